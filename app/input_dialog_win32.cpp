// input dialog (Windows): the small modal "voinput" window with a prompt, one edit, OK and
// Cancel, run by a message loop of its own; used for "Set password..." and "Rename...".
#include "app/app_win32.h"

static struct {
    HWND owner;         // the window disabled while the dialog is up
    HWND edit;          // the dialog's edit control
    char *buffer;       // the caller's buffer: initial text in, result out
    int capacity;       // its size, always APP_INPUT_BYTES
    int result;         // 1 once the user confirmed
    int registered;     // 1 once the class "voinput" exists
    int running;        // 1 while a dialog's loop runs (one dialog at a time)
} D;

// The owner is enabled again before the dialog goes, so the activation passes straight back to
// it instead of to some other window while the owner is still disabled.
static void close_dialog(HWND dlg) {
    EnableWindow(D.owner, TRUE);
    DestroyWindow(dlg);
}

static LRESULT CALLBACK app_input_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
            GetWindowTextA(D.edit, D.buffer, D.capacity);
            D.result = 1;
            close_dialog(hwnd);
        } else if (LOWORD(wp) == IDCANCEL) {
            close_dialog(hwnd);
        }
        return 0;
    case WM_CLOSE: close_dialog(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

static void register_class(void) {
    if (D.registered) return;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = app_input_window_proc;
    wc.hInstance = g_app.instance;
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "voinput";
    D.registered = RegisterClassA(&wc) != 0;
}

// A child of the dialog with the app's font.
static HWND child(HWND dlg, DWORD ex, const char *cls, const char *text, DWORD style, int x, int y, int w, int h,
                  int id) {
    HWND c = CreateWindowExA(ex, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, dlg, (HMENU)(INT_PTR)id,
                             g_app.instance, NULL);
    if (c) SendMessageA(c, WM_SETFONT, (WPARAM)g_app.ui_font, TRUE);
    return c;
}

// The dialog's own loop: Enter confirms and Escape cancels wherever the focus is.
static void dialog_loop(HWND dlg) {
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        if (m.message == WM_KEYDOWN && m.wParam == VK_RETURN) {
            SendMessageA(dlg, WM_COMMAND, IDOK, 0);
            continue;
        }
        if (m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE) {
            SendMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
            continue;
        }
        if (IsWindow(dlg) && IsDialogMessageA(dlg, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

int app_input_dialog(HWND owner, const char *title, const char *prompt, char *buffer) {
    // A click that reaches the owner while a closing dialog is still being taken down must not
    // start a second loop inside the first.
    if (D.running) return 0;
    register_class();
    D.owner = owner;
    D.buffer = buffer;
    D.capacity = APP_INPUT_BYTES;
    D.result = 0;
    RECT r = {};
    GetWindowRect(owner, &r);
    HWND dlg = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, "voinput", title,
                               WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, r.left + 60, r.top + 120, 380, 150,
                               owner, NULL, g_app.instance, NULL);
    if (!dlg) return 0;
    child(dlg, 0, "STATIC", prompt, 0, 12, 12, 350, 20, 0);
    D.edit = child(dlg, WS_EX_CLIENTEDGE, "EDIT", buffer, WS_TABSTOP | ES_AUTOHSCROLL, 12, 36, 350, 24, 0);
    child(dlg, 0, "BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 190, 76, 80, 26, IDOK);
    child(dlg, 0, "BUTTON", "Cancel", WS_TABSTOP, 282, 76, 80, 26, IDCANCEL);
    EnableWindow(owner, FALSE);
    SetFocus(D.edit);
    SendMessageA(D.edit, EM_SETSEL, 0, -1);
    D.running = 1;
    dialog_loop(dlg);
    D.running = 0;
    // The owner may have gone while the dialog ran ("Exit" from the tray): its quit request
    // was taken by the loop above, so pass it on to the main loop.
    if (!IsWindow(owner)) {
        PostQuitMessage(0);
        return 0;
    }
    EnableWindow(owner, TRUE);
    SetForegroundWindow(owner);
    return D.result;
}
