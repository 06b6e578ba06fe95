// host panel (Windows): the ID, password and status texts refreshed from the host core, the
// two clipboard buttons and "Set password...".
#include "app/app_win32.h"
#include <sodium.h>
#include <string.h>
#include "app/status.h"
#include "host/host.h"

// Sets a control's text only when it differs, so the once-a-second refresh does not flicker.
// The text read back may be the password: wiped like every other copy.
static void set_text(HWND control, const char *text) {
    char now[APP_TEXT_BYTES];
    GetWindowTextA(control, now, sizeof now);
    if (strcmp(now, text) != 0) SetWindowTextA(control, text);
    sodium_memzero(now, sizeof now);
}

void app_refresh_status(void) {
    char text[APP_TEXT_BYTES], viewer[40], pass[40], id[HOST_ID_BYTES], name[HOST_NAME_BYTES];
    host_copy_id(id, sizeof id);
    app_format_id(text, sizeof text, id);
    set_text(g_app.id_display, text);
    host_copy_password(pass, sizeof pass);
    set_text(g_app.password_display, pass);
    sodium_memzero(pass, sizeof pass);
    host_copy_viewer_name(viewer, sizeof viewer);
    host_copy_computer_name(name, sizeof name);
    app_status_text(text, sizeof text, host_get_state(), viewer, VO_DEFAULT_RELAY_HOST, name);
    set_text(g_app.status_line, text);
}

void app_copy_text(const char *text) {
    if (!OpenClipboard(g_app.main_window)) return;
    EmptyClipboard();
    size_t n = strlen(text) + 1;
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, n);
    if (mem) {
        void *p = GlobalLock(mem);
        if (p) {
            memcpy(p, text, n);
            GlobalUnlock(mem);
            if (!SetClipboardData(CF_TEXT, mem)) GlobalFree(mem);
        } else {
            GlobalFree(mem);
        }
    }
    CloseClipboard();
}

static void set_password(void) {
    char buf[APP_INPUT_BYTES] = "";
    if (app_input_dialog(g_app.main_window, "Set password",
                         "New password for this computer (empty = back to an automatic temporary password):", buf)) {
        host_set_password(buf);   // a host waiting in the relay takes it when the next viewer arrives
        app_refresh_status();
    }
    sodium_memzero(buf, sizeof buf);
}

void app_command_host_panel(int id) {
    if (id == IDC_COPY_ID) {
        char host_id[HOST_ID_BYTES];
        host_copy_id(host_id, sizeof host_id);
        app_copy_text(host_id);
    } else if (id == IDC_COPY_PASSWORD) {
        char pass[40];
        host_copy_password(pass, sizeof pass);
        app_copy_text(pass);
        sodium_memzero(pass, sizeof pass);
    } else if (id == IDC_SET_PASSWORD) {
        set_password();
    }
}
