// layout: the viewer window's portable arithmetic (see layout.h).
#include "viewer/layout.h"
#include <stdio.h>
#include "protocol/messages.h"

void layout_compute(viewer_layout *L, int cw, int ch, int32_t width, int32_t height) {
    double s = 1.0;
    if (width > 0 && (double)cw / width < s) s = (double)cw / width;
    if (height > 0 && (double)ch / height < s) s = (double)ch / height;
    if (s < 0) s = 0;
    L->scale = s;
    L->sw = (int)(width * s);
    L->sh = (int)(height * s);
    L->ox = (cw - L->sw) / 2;
    L->oy = (ch - L->sh) / 2;
}

static int clamp_int(long long v, long long lo, long long hi) { return (int)(v < lo ? lo : v > hi ? hi : v); }

int layout_source_rect(const viewer_layout *L, int32_t width, int32_t height, int ax0, int ay0, int ax1, int ay1,
                       int *sx0, int *sy0, int *sx1, int *sy1) {
    if (L->scale <= 0) return 0;
    long long x0 = (long long)((ax0 - L->ox) / L->scale) - 2, x1 = (long long)((ax1 - L->ox) / L->scale) + 3;
    long long y0 = (long long)((ay0 - L->oy) / L->scale) - 2, y1 = (long long)((ay1 - L->oy) / L->scale) + 3;
    *sx0 = clamp_int(x0, 0, width);
    *sx1 = clamp_int(x1, 0, width);
    *sy0 = clamp_int(y0, 0, height);
    *sy1 = clamp_int(y1, 0, height);
    return *sx0 < *sx1 && *sy0 < *sy1;
}

void layout_dest_rect(const viewer_layout *L, int sx0, int sy0, int sx1, int sy1, int *dx, int *dy, int *dw,
                      int *dh) {
    *dx = L->ox + (int)(sx0 * L->scale);
    *dy = L->oy + (int)(sy0 * L->scale);
    *dw = (int)(sx1 * L->scale + 0.999) - (int)(sx0 * L->scale);
    *dh = (int)(sy1 * L->scale + 0.999) - (int)(sy0 * L->scale);
}

void layout_invalidate_rect(const viewer_layout *L, int32_t l, int32_t t, int32_t r, int32_t b, int *x0, int *y0,
                            int *x1, int *y1) {
    *x0 = (int)(l * L->scale) + L->ox - 1;
    *y0 = (int)(t * L->scale) + L->oy - 1;
    *x1 = (int)(r * L->scale) + L->ox + 2;
    *y1 = (int)(b * L->scale) + L->oy + 2;
}

void layout_text_cells(const viewer_layout *L, int32_t left, int32_t top, int32_t width, int32_t height, int cols,
                       int rows, int *cellw, int *cellh, int *gx, int *gy) {
    // Whatever the host sent, cells stay within a screen and the grid's corner near the window, so
    // corner + cols * cell width (cols <= 512) cannot overflow.
    long long w = cols > 0 ? (long long)(width * L->scale / cols) : 1;
    long long h = rows > 0 ? (long long)(height * L->scale / rows) : 1;
    *cellw = clamp_int(w, 1, LAYOUT_CELL_MAX);
    *cellh = clamp_int(h, 1, LAYOUT_CELL_MAX);
    *gx = clamp_int(L->ox + (long long)(left * L->scale), -LAYOUT_CORNER_MAX, LAYOUT_CORNER_MAX);
    *gy = clamp_int(L->oy + (long long)(top * L->scale), -LAYOUT_CORNER_MAX, LAYOUT_CORNER_MAX);
}

int layout_text_run(const uint8_t *row, int c, int cols) {
    int k = 1;
    while (c + k < cols && k < LAYOUT_TEXT_RUN_MAX && row[(c + k) * 3 + 2] == row[c * 3 + 2]) k++;
    return k;
}

int layout_map_mouse(const viewer_layout *L, int32_t width, int32_t height, int cx, int cy, int32_t *hx, int32_t *hy) {
    if (L->sw <= 0 || L->sh <= 0) return 0;
    long long x = (long long)width * (cx - L->ox) / L->sw;
    long long y = (long long)height * (cy - L->oy) / L->sh;
    *hx = clamp_int(x, 0, width - 1);
    *hy = clamp_int(y, 0, height - 1);
    return 1;
}

void layout_initial_client(int32_t width, int32_t height, int screen_w, int screen_h, int *cw, int *ch) {
    int mw = screen_w * 9 / 10, mh = screen_h * 9 / 10;
    *cw = width < mw ? width : mw;
    *ch = height < mh ? height : mh;
}

void layout_title(char *out, size_t cap, const char *host, int32_t width, int32_t height, long fps, long kbs, long hits,
                  long misses, int text_active) {
    snprintf(out, cap, "vo - %s  %dx%d  %ld fps  %ld KB/s  cache hits %ld  misses %ld%s", host, width, height, fps, kbs,
             hits, misses, text_active ? "  [text layer]" : "");
}
