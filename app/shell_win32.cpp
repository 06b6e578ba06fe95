// shell (Windows): the app's start-up, single instance, main window with its controls, message
// dispatch to the panels and the tray, the host thread and the message loop.
#include "app/app_win32.h"
#include <commctrl.h>
#include <shlobj.h>
#include <stdio.h>
#include "app/history.h"
#include "host/host.h"

app_ui_state g_app;

#define APP_CLIENT_W 484
#define APP_CLIENT_H 520
#define APP_STYLE (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)

HWND app_create_control(const char *cls, const char *text, DWORD style, int x, int y, int w, int h, int id,
                        HFONT font) {
    DWORD ex = lstrcmpiA(cls, "EDIT") == 0 ? WS_EX_CLIENTEDGE : 0;
    HWND c = CreateWindowExA(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, g_app.main_window,
                             (HMENU)(INT_PTR)id, g_app.instance, NULL);
    if (c) SendMessageA(c, WM_SETFONT, (WPARAM)(font ? font : g_app.ui_font), TRUE);
    return c;
}

// Grid lines, full-row selection and the four columns of the history list.
static void setup_history_columns(HWND list) {
    static const char *const names[4] = {"Nickname", "Computer", "ID", "Last connected"};
    static const int widths[4] = {110, 110, 100, 120};
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    for (int i = 0; i < 4; i++) {
        LVCOLUMNA col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.pszText = (char *)names[i];
        col.cx = widths[i];
        SendMessageA(list, LVM_INSERTCOLUMNA, (WPARAM)i, (LPARAM)&col);
    }
}

// The controls of the main window, in Tab order.
static void create_controls(void) {
    const DWORD tab = WS_TABSTOP, edit = WS_TABSTOP | ES_AUTOHSCROLL;
    app_create_control("STATIC", "This computer", 0, 16, 12, 300, 20, 0, NULL);
    g_app.id_display = app_create_control("STATIC", "--- --- ---", 0, 16, 36, 300, 36, 0, g_app.id_font);
    app_create_control("BUTTON", "Copy ID", tab, 330, 40, 90, 26, IDC_COPY_ID, NULL);
    app_create_control("STATIC", "Password:", 0, 16, 84, 80, 20, 0, NULL);
    g_app.password_display = app_create_control("STATIC", "", 0, 96, 84, 150, 20, 0, NULL);
    app_create_control("BUTTON", "Copy", tab, 250, 80, 70, 26, IDC_COPY_PASSWORD, NULL);
    app_create_control("BUTTON", "Set password...", tab, 330, 80, 120, 26, IDC_SET_PASSWORD, NULL);
    g_app.status_line = app_create_control("STATIC", "Starting...", 0, 16, 112, 440, 20, 0, NULL);
    app_create_control("STATIC", "Connect to another computer", 0, 16, 146, 300, 20, 0, NULL);
    app_create_control("STATIC", "ID (or host:port on the LAN)", 0, 16, 170, 200, 18, 0, NULL);
    app_create_control("STATIC", "Password", 0, 236, 170, 120, 18, 0, NULL);
    g_app.target_edit = app_create_control("EDIT", "", edit, 16, 190, 210, 24, IDC_TARGET, NULL);
    g_app.password_edit = app_create_control("EDIT", "", edit | ES_PASSWORD, 236, 190, 130, 24,
                                             IDC_TARGET_PASSWORD, NULL);
    g_app.connect_button = app_create_control("BUTTON", "Connect", tab | BS_DEFPUSHBUTTON, 376, 189, 90, 26,
                                              IDC_CONNECT, NULL);
    app_create_control("STATIC", "History  (double-click to connect)", 0, 16, 226, 300, 20, 0, NULL);
    g_app.history_list = app_create_control(WC_LISTVIEWA, "", tab | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                                            16, 248, 450, 200, IDC_HISTORY, NULL);
    setup_history_columns(g_app.history_list);
    app_create_control("BUTTON", "Connect", tab, 16, 456, 90, 26, IDC_HISTORY_CONNECT, NULL);
    app_create_control("BUTTON", "Rename...", tab, 116, 456, 90, 26, IDC_RENAME, NULL);
    app_create_control("BUTTON", "Remove", tab, 216, 456, 90, 26, IDC_REMOVE, NULL);
}

void app_show_window(void) {
    ShowWindow(g_app.main_window, SW_SHOW);
    ShowWindow(g_app.main_window, SW_RESTORE);
    SetForegroundWindow(g_app.main_window);
}

static LRESULT on_command(HWND hwnd, WPARAM wp, LPARAM lp) {
    int id = LOWORD(wp);
    switch (id) {
    case IDC_SET_PASSWORD: case IDC_COPY_ID: case IDC_COPY_PASSWORD:
        app_command_host_panel(id);
        return 0;
    case IDC_CONNECT: case IDC_HISTORY_CONNECT: case IDC_RENAME: case IDC_REMOVE:
        app_command_connect_panel(id);
        return 0;
    case IDM_TRAY_SHOW: case IDM_TRAY_EXIT:
        app_command_tray(id);
        return 0;
    default:
        return DefWindowProcA(hwnd, WM_COMMAND, wp, lp);
    }
}

LRESULT CALLBACK app_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        g_app.main_window = hwnd;
        create_controls();
        app_fill_history_list();
        SetTimer(hwnd, 1, 1000, NULL);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_SIZE:
        if (wp == SIZE_MINIMIZED) {
            app_hide_to_tray();
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    case WM_CLOSE: app_hide_to_tray(); return 0;
    case WM_NOTIFY: {
        const NMHDR *n = (const NMHDR *)lp;
        if (n && n->idFrom == IDC_HISTORY && n->code == (UINT)NM_DBLCLK) app_connect_selected();
        return 0;
    }
    case WM_COMMAND: return on_command(hwnd, wp, lp);
    case WM_TIMER: app_refresh_status(); return 0;
    case WM_APP_TRAY: app_tray_message(lp); return 0;
    case WM_APP_SHOW: app_show_window(); return 0;
    case WM_APP_VIEWER_DONE: app_viewer_done(); return 0;
    case WM_APP_VIEWER_CONNECTED: app_viewer_connected(); return 0;
    default: return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

static DWORD WINAPI app_host_thread(LPVOID) {
    host_open_log();
    host_run(&g_app.host_settings);
    return 0;
}

// The list view classes. comctl32 is loaded here by name, so the program needs no import
// library for it; the manifest makes this the version 6 library.
static void init_common_controls(void) {
    typedef BOOL(WINAPI * init_fn)(const INITCOMMONCONTROLSEX *);
    HMODULE m = LoadLibraryA("comctl32.dll");
    init_fn init = m ? (init_fn)(void (*)(void))GetProcAddress(m, "InitCommonControlsEx") : NULL;
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES};
    if (init) init(&icc);
}

// The app data folder (<local app data>\vo, or .\vo) and history.txt in it.
static void setup_app_folder(void) {
    char base[MAX_PATH], dir[MAX_PATH];
    if (SHGetFolderPathA(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, base) != S_OK) lstrcpyA(base, ".");
    snprintf(dir, sizeof dir, "%s\\vo", base);
    CreateDirectoryA(dir, NULL);
    snprintf(g_history.path, sizeof g_history.path, "%s\\history.txt", dir);
}

static HWND create_main_window(void) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = app_window_proc;
    wc.hInstance = g_app.instance;
    wc.hIcon = LoadIcon(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "voapp";
    RegisterClassA(&wc);
    RECT r = {0, 0, APP_CLIENT_W, APP_CLIENT_H};
    AdjustWindowRect(&r, APP_STYLE, FALSE);
    return CreateWindowExA(0, "voapp", "vo remote desktop", APP_STYLE | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           r.right - r.left, r.bottom - r.top, NULL, NULL, g_app.instance, NULL);
}

static void message_loop(void) {
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        if (IsDialogMessageA(g_app.main_window, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

int app_main(HINSTANCE instance) {
    HANDLE mutex = CreateMutexA(NULL, TRUE, "Local\\vo_app_single_instance");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        HWND first = FindWindowA("voapp", NULL);
        if (first) PostMessageA(first, WM_APP_SHOW, 0, 0);
        if (mutex) CloseHandle(mutex);
        return 0;
    }
    g_app.instance = instance;
    init_common_controls();
    SetProcessDPIAware();
    g_app.ui_font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    g_app.id_font = CreateFontA(-28, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, "Segoe UI");
    setup_app_folder();
    app_load_history();
    host_settings_default(&g_app.host_settings);
    host_app_init(&g_app.host_settings, 1);
    HANDLE host_thread = CreateThread(NULL, 0, app_host_thread, NULL, 0, NULL);
    if (host_thread) CloseHandle(host_thread);
    if (!create_main_window()) {   // nothing to show and no way to exit: stop at once
        host_stop();
        if (mutex) CloseHandle(mutex);
        return 1;
    }
    app_add_tray_icon();
    app_refresh_status();
    message_loop();
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return 0;
}
