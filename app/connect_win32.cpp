// connect panel (Windows): starting a viewer session on a thread of its own, the Connect
// button's states, the "vo - could not connect" box, and the history list with its commands.
#include "app/app_win32.h"
#include <sodium.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include "app/history.h"
#include "app/target.h"
#include "protocol/channel_v2.h"
#include "viewer/session.h"

// The connection report: written by the viewer thread once per session before it posts
// WM_APP_VIEWER_CONNECTED, read by the user interface thread when that message arrives.
static struct {
    char computer[33];   // the host's computer name, at most 32 characters
    char id[64];         // the peer ID, at most 63 characters
    int v2;              // 1 when the session's login was version 2
} pending;


void app_fill_history_list(void) {
    HWND list = g_app.history_list;
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (int i = 0; i < g_history.count; i++) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = (char *)history_cell(i, 0);
        SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item);
        for (int col = 1; col < 4; col++) {
            LVITEMA sub = {};
            sub.iSubItem = col;
            sub.pszText = (char *)history_cell(i, col);
            SendMessageA(list, LVM_SETITEMTEXTA, (WPARAM)i, (LPARAM)&sub);
        }
    }
}

// Index of the list's selected entry, or -1.
static int selected_entry(void) {
    int i = (int)SendMessageA(g_app.history_list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
    return (i >= 0 && i < g_history.count) ? i : -1;
}

static void set_idle(void) {
    g_app.session_open = 0;
    EnableWindow(g_app.connect_button, TRUE);
    SetWindowTextA(g_app.connect_button, "Connect");
}

// Called on the viewer thread once the host hello has been read: the user interface thread
// records the connection in the history.
static void app_on_viewer_connected(const char *host_name, const char *peer_id) {
    snprintf(pending.computer, sizeof pending.computer, "%s", host_name ? host_name : "");
    snprintf(pending.id, sizeof pending.id, "%s", peer_id ? peer_id : "");
    pending.v2 = viewer_login_version() == 2;
    PostMessageA(g_app.main_window, WM_APP_VIEWER_CONNECTED, 0, 0);
}

static DWORD WINAPI app_viewer_thread(LPVOID arg) {
    connect_request *r = (connect_request *)arg;
    char err[128] = "";
    viewer_session_options v;
    viewer_session_defaults(&v);
    v.host = r->host;
    v.port = r->port;
    v.relay = r->relay;
    v.peer_id = r->target;
    v.password = r->password;
    v.login = r->login;
    v.on_connected = app_on_viewer_connected;
    int rc = viewer_session_run(&v, err, sizeof err);
    if (rc != 0 && err[0]) MessageBoxA(NULL, err, "vo - could not connect", MB_ICONWARNING | MB_TOPMOST);
    sodium_memzero(r, sizeof *r);
    free(r);
    PostMessageA(g_app.main_window, WM_APP_VIEWER_DONE, 0, 0);
    return 0;
}

static void app_start_connect(const char *target, const char *password) {
    if (!target[0]) {
        MessageBoxA(g_app.main_window, "Enter the ID of the computer to connect to.", "vo", MB_ICONINFORMATION);
        return;
    }
    if (g_app.session_open) {
        MessageBoxA(g_app.main_window, "A session is already open. Close it first.", "vo", MB_ICONINFORMATION);
        return;
    }
    connect_request *r = (connect_request *)calloc(1, sizeof *r);
    if (!r) return;
    snprintf(r->password, sizeof r->password, "%s", password);
    app_parse_target(r, target, VO_DEFAULT_RELAY_HOST);
    r->login = history_pinned(target) ? VIEWER_LOGIN_PINNED : CHANNEL_LOGIN_V2_PREFERRED;
    g_app.session_open = 1;
    EnableWindow(g_app.connect_button, FALSE);
    SetWindowTextA(g_app.connect_button, "Connecting...");
    HANDLE t = CreateThread(NULL, 0, app_viewer_thread, r, 0, NULL);
    if (t) {
        CloseHandle(t);
    } else {   // no viewer thread: nothing will post "done", so go back to idle here
        sodium_memzero(r, sizeof *r);
        free(r);
        set_idle();
    }
}

void app_connect_selected(void) {
    int i = selected_entry();
    if (i < 0) return;
    char id[64], pass[64];
    snprintf(id, sizeof id, "%s", g_history.entries[i].id);
    SetWindowTextA(g_app.target_edit, id);
    GetWindowTextA(g_app.password_edit, pass, sizeof pass);
    app_start_connect(id, pass);
    sodium_memzero(pass, sizeof pass);
}

// "Rename...": the entry is looked up again by its ID after the dialog, because a connection
// recorded while the dialog was open may have moved it.
static void rename_selected(void) {
    int i = selected_entry();
    if (i < 0) return;
    char id[64], name[APP_INPUT_BYTES];
    snprintf(id, sizeof id, "%s", g_history.entries[i].id);
    snprintf(name, sizeof name, "%s", g_history.entries[i].nickname);
    if (!app_input_dialog(g_app.main_window, "Nickname", "Name for this computer:", name)) return;
    i = history_find(id);
    if (i >= 0) history_rename(i, name);
    app_fill_history_list();
}

void app_command_connect_panel(int id) {
    if (id == IDC_CONNECT) {
        char target[128], pass[64];
        GetWindowTextA(g_app.target_edit, target, sizeof target);
        GetWindowTextA(g_app.password_edit, pass, sizeof pass);
        app_start_connect(target, pass);
        sodium_memzero(pass, sizeof pass);
    } else if (id == IDC_HISTORY_CONNECT) {
        app_connect_selected();
    } else if (id == IDC_RENAME) {
        rename_selected();
    } else if (id == IDC_REMOVE) {
        int i = selected_entry();
        if (i >= 0 && history_remove(i)) app_fill_history_list();
    }
}

void app_viewer_connected(void) {
    history_record(pending.id, pending.computer, time(NULL));
    if (pending.v2) history_mark_v2(pending.id);
    app_fill_history_list();
}

void app_viewer_done(void) { set_idle(); }
