// window_list_win32: enumerates the top-level windows with EnumWindows and asks the desktop
// window manager whether each is cloaked and where its visible frame lies. dwmapi.dll is bound at
// run time, so the programs need no import library for it and run where it is missing.
#include <windows.h>
#include <dwmapi.h>
#include "host/window_list.h"

typedef HRESULT(WINAPI *dwm_attribute_fn)(HWND, DWORD, PVOID, DWORD);

struct WindowListWin32 {
    int resolved;                 // 1 once the lookup below was tried
    dwm_attribute_fn attribute;   // DwmGetWindowAttribute, or NULL without dwmapi.dll
};
static WindowListWin32 g_dwm;

// DwmGetWindowAttribute, or a failure result when the window manager library is absent.
static HRESULT dwm_attribute(HWND w, DWORD what, void *out, DWORD size) {
    if (!g_dwm.resolved) {
        HMODULE lib = LoadLibraryA("dwmapi.dll");
        FARPROC p = lib ? GetProcAddress(lib, "DwmGetWindowAttribute") : NULL;
        g_dwm.attribute = (dwm_attribute_fn)(void *)p;
        g_dwm.resolved = 1;
    }
    return g_dwm.attribute ? g_dwm.attribute(w, what, out, size) : E_NOTIMPL;
}

// Frame bounds: the extended frame from the window manager, else the window rectangle.
static void frame_bounds(HWND w, WindowInfo *info) {
    RECT r = {0, 0, 0, 0};
    if (FAILED(dwm_attribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r))) GetWindowRect(w, &r);
    info->left = r.left;
    info->top = r.top;
    info->right = r.right;
    info->bottom = r.bottom;
}

// One window: gathered in the order the checks need it; the list applies the skip rules.
static BOOL CALLBACK enum_window(HWND w, LPARAM param) {
    char title[WINDOW_TITLE_MAX + 1];
    WindowInfo info = {};
    info.handle = (uint32_t)(uintptr_t)w;
    info.visible = IsWindowVisible(w) ? 1 : 0;
    info.title = title;
    if (info.visible) info.title_len = GetWindowTextA(w, title, sizeof title);
    if (info.visible && info.title_len > 0) {
        DWORD cloaked = 0;
        dwm_attribute(w, DWMWA_CLOAKED, &cloaked, sizeof cloaked);
        info.cloaked = cloaked != 0;
        if (!info.cloaked) {
            frame_bounds(w, &info);
            info.foreground = w == (HWND)param;
            info.minimized = IsIconic(w) ? 1 : 0;
        }
    }
    return window_list_add(&info) ? TRUE : FALSE;
}

void window_list_enumerate(void) { EnumWindows(enum_window, (LPARAM)GetForegroundWindow()); }
