// cursor: reads the host's pointer position and visibility for the frame's MSG_CURSOR.
// Windows asks the system; the POSIX stand-in reports whatever a test set, or nothing.
#pragma once
#include <stdint.h>

// 1 with the pointer position (screen pixels) and visibility, 0 when it cannot be read.
int cursor_read(int32_t *x, int32_t *y, int *visible);
// POSIX stand-in only: the pointer that cursor_read reports from now on (known = 0: none).
void cursor_feed(int known, int32_t x, int32_t y, int visible);
