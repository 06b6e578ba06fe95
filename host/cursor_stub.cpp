// cursor_stub: the native stand-in for reading the pointer: none of its own; tests set the one it reports.
#include "host/cursor.h"

#include <atomic>

static std::atomic<int> s_known;     // 1 once a test set a pointer
static std::atomic<int32_t> s_x, s_y;  // its position
static std::atomic<int> s_visible;   // and visibility

int cursor_read(int32_t *x, int32_t *y, int *visible) {
    if (!s_known.load()) return 0;
    *x = s_x.load();
    *y = s_y.load();
    *visible = s_visible.load();
    return 1;
}

void cursor_feed(int known, int32_t x, int32_t y, int visible) {
    s_x.store(x);
    s_y.store(y);
    s_visible.store(visible ? 1 : 0);
    s_known.store(known ? 1 : 0);
}
