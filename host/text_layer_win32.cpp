// text_layer_win32: reads the visible window of the foreground console's screen buffer. The host
// attaches to that console, reads it through CONOUT$ and detaches again within the same pass.
#include <windows.h>
#include <string.h>
#include "host/text_layer.h"

static_assert(sizeof(text_cell) == sizeof(CHAR_INFO), "text_cell mirrors CHAR_INFO");

// The foreground window when it is a console window, else NULL.
static HWND foreground_console(void) {
    HWND w = GetForegroundWindow();
    char cls[64];
    if (!w || GetClassNameA(w, cls, sizeof cls) == 0) return NULL;
    return strcmp(cls, "ConsoleWindowClass") == 0 ? w : NULL;
}

// Reads the visible window of the attached console's screen buffer into the read scratch.
static int read_cells(HANDLE out, int32_t *cols, int32_t *rows) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info)) return 0;
    SMALL_RECT region = info.srWindow;
    int32_t c = region.Right - region.Left + 1, r = region.Bottom - region.Top + 1;
    if (r < 1 || r > TEXT_MAX_ROWS || c < 1 || c > TEXT_MAX_COLS) return 0;
    text_cell *cells = text_layer_read_buffer((size_t)c * r);
    if (!cells) return 0;
    COORD size = {(SHORT)c, (SHORT)r}, origin = {0, 0};
    if (!ReadConsoleOutputW(out, (CHAR_INFO *)cells, size, origin, &region)) return 0;
    *cols = c;
    *rows = r;
    return 1;
}

// Attaches to the console of the window's process, reads it and detaches; 1 on success.
static int read_console_of(HWND w, int32_t *cols, int32_t *rows) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (!AttachConsole(pid)) return 0;
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_EXISTING, 0, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        FreeConsole();
        return 0;
    }
    int ok = read_cells(out, cols, rows);
    CloseHandle(out);
    FreeConsole();
    return ok;
}

int text_console_read(int32_t *cols, int32_t *rows, text_rect_t *rect) {
    HWND w = foreground_console();
    if (!w || !read_console_of(w, cols, rows)) return 0;
    RECT rc = {0, 0, 0, 0};
    POINT origin = {0, 0};
    GetClientRect(w, &rc);
    ClientToScreen(w, &origin);
    rect->left = rc.left + origin.x;
    rect->top = rc.top + origin.y;
    rect->right = rc.right + origin.x;
    rect->bottom = rc.bottom + origin.y;
    return 1;
}
