// tray (Windows): the notification-area icon, hiding the window into it with a one-time
// balloon, and its menu with "Show vo" and "Exit", the only way to end the program.
#include "app/app_win32.h"
#include <shellapi.h>
#include <string.h>
#include "host/host.h"

static struct {
    NOTIFYICONDATAA icon;   // filled once after the main window exists
    int balloon_shown;      // 1 after the first hiding in this run
} T;

void app_add_tray_icon(void) {
    memset(&T.icon, 0, sizeof T.icon);
    T.icon.cbSize = sizeof T.icon;
    T.icon.hWnd = g_app.main_window;
    T.icon.uID = 1;
    T.icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    T.icon.uCallbackMessage = WM_APP_TRAY;
    T.icon.hIcon = LoadIcon(NULL, IDI_APPLICATION);
    lstrcpynA(T.icon.szTip, "vo remote desktop", sizeof T.icon.szTip);
    Shell_NotifyIconA(NIM_ADD, &T.icon);
}

void app_remove_tray_icon(void) { Shell_NotifyIconA(NIM_DELETE, &T.icon); }

void app_hide_to_tray(void) {
    ShowWindow(g_app.main_window, SW_HIDE);
    if (T.balloon_shown) return;
    T.icon.uFlags |= NIF_INFO;
    lstrcpynA(T.icon.szInfoTitle, "vo is still running", sizeof T.icon.szInfoTitle);
    lstrcpynA(T.icon.szInfo, "This computer stays reachable. Right-click the tray icon to exit.",
              sizeof T.icon.szInfo);
    T.icon.dwInfoFlags = NIIF_NONE;
    Shell_NotifyIconA(NIM_MODIFY, &T.icon);
    T.balloon_shown = 1;
    T.icon.uFlags &= ~NIF_INFO;
}

static void tray_menu(void) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuA(menu, MF_STRING, IDM_TRAY_SHOW, "Show vo");
    AppendMenuA(menu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(menu, MF_STRING, IDM_TRAY_EXIT, "Exit");
    POINT pt = {};
    GetCursorPos(&pt);
    SetForegroundWindow(g_app.main_window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, pt.x, pt.y, 0, g_app.main_window, NULL);
    PostMessageA(g_app.main_window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void app_tray_message(LPARAM lp) {
    UINT mouse = LOWORD(lp);
    if (mouse == WM_LBUTTONUP || mouse == WM_LBUTTONDBLCLK) app_show_window();
    else if (mouse == WM_RBUTTONUP) tray_menu();
}

void app_command_tray(int id) {
    if (id == IDM_TRAY_SHOW) {
        app_show_window();
    } else if (id == IDM_TRAY_EXIT) {
        app_remove_tray_icon();
        host_stop();
        DestroyWindow(g_app.main_window);
    }
}
