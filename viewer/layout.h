// layout: the viewer window's arithmetic, kept portable so it is tested natively: where the scaled
// picture sits in the client area, which host pixels a repaint needs, how the text layer's cells
// and runs fall, where a click lands on the host, the first window size and the title text.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define LAYOUT_TEXT_RUN_MAX 512   // cells drawn by one text call at most
#define LAYOUT_CELL_MAX 16384     // largest text cell edge in client pixels
#define LAYOUT_CORNER_MAX (1 << 20)   // text grid corner kept within this many client pixels

struct viewer_layout {
    double scale;    // min(1, cw / width, ch / height); 1.0 before the first paint
    int sw, sh;      // scaled picture size (0 before the first paint)
    int ox, oy;      // picture offset in the client area
};

void layout_compute(viewer_layout *L, int cw, int ch, int32_t width, int32_t height);
// Host pixels under the client area [ax0,ax1) x [ay0,ay1), with a margin for the smoothing
// filter. 0 when none.
int layout_source_rect(const viewer_layout *L, int32_t width, int32_t height, int ax0, int ay0, int ax1, int ay1,
                       int *sx0, int *sy0, int *sx1, int *sy1);
// Where host pixels [sx0,sx1) x [sy0,sy1) are drawn in the client area.
void layout_dest_rect(const viewer_layout *L, int sx0, int sy0, int sx1, int sy1, int *dx, int *dy, int *dw,
                      int *dh);
// Client rectangle to invalidate for the host dirty rectangle (l, t, r, b).
void layout_invalidate_rect(const viewer_layout *L, int32_t l, int32_t t, int32_t r, int32_t b, int *x0, int *y0,
                            int *x1, int *y1);
// Text layer: cell size (1..LAYOUT_CELL_MAX) and the grid's top-left corner in the client area
// (within LAYOUT_CORNER_MAX), whatever the rectangle.
void layout_text_cells(const viewer_layout *L, int32_t left, int32_t top, int32_t width, int32_t height, int cols,
                       int rows, int *cellw, int *cellh, int *gx, int *gy);
// Length of the run of equal attribute bytes starting at column c of a row of 3-byte cells
// (at most LAYOUT_TEXT_RUN_MAX).
int layout_text_run(const uint8_t *row, int c, int cols);
// Host position of a client position; 0 before the first paint (input is dropped then).
int layout_map_mouse(const viewer_layout *L, int32_t width, int32_t height, int cx, int cy, int32_t *hx, int32_t *hy);
// First client size: the host size, at most 9/10 of the screen in each direction.
void layout_initial_client(int32_t width, int32_t height, int screen_w, int screen_h, int *cw, int *ch);
// "vo - %s  %dx%d  %ld fps  %ld KB/s  cache hits %ld  misses %ld%s"
void layout_title(char *out, size_t cap, const char *host, int32_t width, int32_t height, long fps, long kbs, long hits,
                  long misses, int text_active);
