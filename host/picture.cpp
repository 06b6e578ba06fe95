// picture: sizing, resetting and filling the host's picture buffers, and the picture lock.
#include "host/picture.h"

#include <stdlib.h>
#include <string.h>

#include "platform/bigmem.h"

Picture g_picture;
static struct {
    plat_lock lock;   // the picture lock (picture.h)
    int ready;        // 1 once picture_init created it
} s_picture;

void picture_init(void) {
    if (s_picture.ready) return;
    lock_init(&s_picture.lock);
    s_picture.ready = 1;
}

void picture_lock(void) { lock_enter(&s_picture.lock); }
void picture_unlock(void) { lock_leave(&s_picture.lock); }

void picture_free(void) {
    size_t bytes = (size_t)g_picture.pad_width * g_picture.pad_height * 4;
    bigmem_free(g_picture.current, bytes);
    bigmem_free(g_picture.sent, bytes);
    free(g_picture.dirty);
    free(g_picture.force_raw);
    free(g_picture.sent_zero);
    free(g_picture.ref_frame);
    g_picture.current = g_picture.sent = g_picture.dirty = g_picture.force_raw = g_picture.sent_zero = NULL;
    g_picture.ref_frame = NULL;
    g_picture.width = g_picture.height = g_picture.cols = g_picture.rows = 0;
    g_picture.pad_width = g_picture.pad_height = 0;
    g_picture.move_count = 0;
}

int picture_resize(int32_t w, int32_t h) {
    picture_free();
    g_picture.full_refresh = 1;
    if (w <= 0 || h <= 0 || w > PICTURE_MAX_EDGE || h > PICTURE_MAX_EDGE) return 0;
    int32_t cols = (w + TILE_EDGE - 1) / TILE_EDGE, rows = (h + TILE_EDGE - 1) / TILE_EDGE;
    size_t bytes = (size_t)cols * TILE_EDGE * (size_t)rows * TILE_EDGE * 4;
    size_t tiles = (size_t)cols * (size_t)rows;
    g_picture.pad_width = cols * TILE_EDGE;   // their size, for picture_free should one fail
    g_picture.pad_height = rows * TILE_EDGE;
    // current and sent in large pages where the system allows: a tile's rows lie a screen width
    // apart, each in a page of its own with small pages, which the tile sweeps pay for in misses.
    g_picture.current = (uint8_t *)bigmem_alloc(bytes);
    g_picture.sent = (uint8_t *)bigmem_alloc(bytes);
    g_picture.dirty = (uint8_t *)calloc(tiles, 1);
    g_picture.force_raw = (uint8_t *)calloc(tiles, 1);
    g_picture.sent_zero = (uint8_t *)malloc(tiles);
    g_picture.ref_frame = (uint32_t *)calloc(tiles, sizeof(uint32_t));
    if (!g_picture.current || !g_picture.sent || !g_picture.dirty || !g_picture.force_raw || !g_picture.sent_zero ||
        !g_picture.ref_frame) {
        picture_free();
        return 0;
    }
    memset(g_picture.sent_zero, 1, tiles);
    g_picture.width = w;
    g_picture.height = h;
    g_picture.cols = cols;
    g_picture.rows = rows;
    return 1;
}

void picture_reset(void) {
    size_t tiles = (size_t)g_picture.cols * (size_t)g_picture.rows;
    if (g_picture.sent) memset(g_picture.sent, 0, (size_t)g_picture.pad_width * g_picture.pad_height * 4);
    if (g_picture.dirty) memset(g_picture.dirty, 1, tiles);
    if (g_picture.force_raw) memset(g_picture.force_raw, 0, tiles);
    if (g_picture.sent_zero) memset(g_picture.sent_zero, 1, tiles);
    if (g_picture.ref_frame) memset(g_picture.ref_frame, 0, tiles * sizeof(uint32_t));
    g_picture.latest_ref = 0;
    g_picture.move_count = 0;
}

void picture_forget_all(void) {
    picture_reset();
    if (g_picture.force_raw) memset(g_picture.force_raw, 1, (size_t)g_picture.cols * g_picture.rows);
}

void picture_forget_tile(uint32_t tx, uint32_t ty) {
    if (tx >= (uint32_t)g_picture.cols || ty >= (uint32_t)g_picture.rows) return;
    size_t stride = (size_t)g_picture.pad_width * 4;
    uint8_t *p = g_picture.sent + (size_t)ty * TILE_EDGE * stride + (size_t)tx * TILE_EDGE * 4;
    for (int r = 0; r < TILE_EDGE; r++) memset(p + r * stride, 0, TILE_EDGE * 4);
    size_t i = tx + (size_t)ty * g_picture.cols;
    g_picture.dirty[i] = 1;
    g_picture.force_raw[i] = 1;
    g_picture.sent_zero[i] = 1;
}

void picture_forget_pending(uint32_t confirmed) {
    // Nothing can be pending once the latest reference is acknowledged: a flood of misses then
    // costs no scan.
    if (g_picture.latest_ref == 0 || (int32_t)(g_picture.latest_ref - confirmed) <= 0) return;
    for (int32_t ty = 0; ty < g_picture.rows; ty++)
        for (int32_t tx = 0; tx < g_picture.cols; tx++)
            if (picture_ref_pending((size_t)tx + (size_t)ty * g_picture.cols, confirmed)) {
                picture_forget_tile((uint32_t)tx, (uint32_t)ty);
                g_picture.ref_frame[tx + (size_t)ty * g_picture.cols] = 0;
            }
}

void picture_copy_rect(const uint8_t *src, int32_t stride, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x1 > g_picture.width) x1 = g_picture.width;
    if (y1 > g_picture.height) y1 = g_picture.height;
    if (x1 <= x0 || y1 <= y0) return;
    size_t row_bytes = (size_t)(x1 - x0) * 4, dst_stride = (size_t)g_picture.pad_width * 4;
    for (int32_t y = y0; y < y1; y++)
        memcpy(g_picture.current + y * dst_stride + (size_t)x0 * 4, src + (size_t)y * stride + (size_t)x0 * 4,
               row_bytes);
    // The receive thread also sets dirty bytes (under the lock); the pixels above need no lock.
    int32_t tx1 = (x1 - 1) / TILE_EDGE, ty1 = (y1 - 1) / TILE_EDGE;
    picture_lock();
    for (int32_t ty = y0 / TILE_EDGE; ty <= ty1; ty++)
        memset(g_picture.dirty + (size_t)ty * g_picture.cols + x0 / TILE_EDGE, 1, (size_t)(tx1 - x0 / TILE_EDGE + 1));
    picture_unlock();
}

int picture_add_move(const MoveRect *m) {
    if (g_picture.move_count >= MAX_MOVE_RECTS) return 0;
    g_picture.moves[g_picture.move_count++] = *m;
    return 1;
}

