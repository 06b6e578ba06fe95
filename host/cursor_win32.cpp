// cursor (Windows): GetCursorPos for the position, GetCursorInfo for whether the pointer is shown.
#include <windows.h>

#include "host/cursor.h"

int cursor_read(int32_t *x, int32_t *y, int *visible) {
    POINT p;
    if (!GetCursorPos(&p)) return 0;
    CURSORINFO ci;
    ZeroMemory(&ci, sizeof ci);
    ci.cbSize = sizeof ci;   // 24 bytes on 64-bit Windows
    *visible = GetCursorInfo(&ci) && (ci.flags & CURSOR_SHOWING) ? 1 : 0;
    *x = p.x;
    *y = p.y;
    return 1;
}

void cursor_feed(int, int32_t, int32_t, int) {}
