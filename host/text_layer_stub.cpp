// text_layer_stub: the native stand-in for console reading. There is no console unless a test
// feeds one; the fed console then stays "in front" until it is replaced or removed.
#include <stdlib.h>
#include <string.h>
#include "host/text_layer.h"

struct FedConsole {
    text_cell *cells;     // cols * rows cells, or NULL when no console is in front
    int32_t cols, rows;   // size in cells
    text_rect_t rect;     // client area in screen pixels
};
static FedConsole g_fed;

void text_console_feed(const text_cell *cells, int32_t cols, int32_t rows, const text_rect_t *rect) {
    free(g_fed.cells);
    g_fed.cells = nullptr;
    if (!cells || cols <= 0 || rows <= 0) return;
    size_t n = (size_t)cols * rows;
    g_fed.cells = (text_cell *)malloc(n * sizeof(text_cell));
    if (!g_fed.cells) return;
    memcpy(g_fed.cells, cells, n * sizeof(text_cell));
    g_fed.cols = cols;
    g_fed.rows = rows;
    g_fed.rect = *rect;
}

int text_console_read(int32_t *cols, int32_t *rows, text_rect_t *rect) {
    if (!g_fed.cells || g_fed.cols > TEXT_MAX_COLS || g_fed.rows > TEXT_MAX_ROWS) return 0;
    size_t n = (size_t)g_fed.cols * g_fed.rows;
    text_cell *dst = text_layer_read_buffer(n);
    if (!dst) return 0;
    memcpy(dst, g_fed.cells, n * sizeof(text_cell));
    *cols = g_fed.cols;
    *rows = g_fed.rows;
    *rect = g_fed.rect;
    return 1;
}
