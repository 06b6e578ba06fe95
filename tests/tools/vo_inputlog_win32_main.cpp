// vo_inputlog: a Windows test window for the end-to-end checks. It logs the mouse clicks and keys
// it receives to a file, so a test can see that input injected by the host arrived.
//   vo_inputlog OUT.txt X Y W H
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static FILE *g_log;   // the log file, one line per event, flushed at once

static void log_line(const char *fmt, int a, int b) {
    fprintf(g_log, fmt, a, b);
    fflush(g_log);
}

static LRESULT CALLBACK proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_LBUTTONDOWN: log_line("down %d %d\n", (short)LOWORD(lp), (short)HIWORD(lp)); return 0;
    case WM_LBUTTONUP: log_line("up %d %d\n", (short)LOWORD(lp), (short)HIWORD(lp)); return 0;
    case WM_KEYDOWN: log_line("key %d %d\n", (int)wp, 1); return 0;
    case WM_KEYUP: log_line("key %d %d\n", (int)wp, 0); return 0;
    case WM_CHAR: log_line("char %d %d\n", (int)wp, 0); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcA(h, m, wp, lp);
}

int main(int argc, char **argv) {
    if (argc < 6) return 2;
    g_log = fopen(argv[1], "w");
    if (!g_log) return 1;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = "voinputlog";
    RegisterClassA(&wc);
    HWND w = CreateWindowExA(0, "voinputlog", "vo input log", WS_POPUP | WS_VISIBLE, atoi(argv[2]), atoi(argv[3]),
                             atoi(argv[4]), atoi(argv[5]), nullptr, nullptr, wc.hInstance, nullptr);
    if (!w) return 1;
    log_line("ready %d %d\n", 0, 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    fclose(g_log);
    return 0;
}
