// fuzz_viewer_receive: the viewer's reconstruction fed arbitrary host message streams on a random
// screen size, with and without a tile cache. It must neither crash nor touch memory outside the
// framebuffer (AddressSanitizer), the dirty rectangle must stay inside the host picture, no tile may
// enter the cache under a hash that is not its own, and the text layer's cells must stay where the
// window's arithmetic cannot overflow. Shorthands reach the limits: move messages far beyond 256
// rectangles, and text layers with extreme rectangles and the largest grid.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/layout.h"
#include "viewer/viewer.h"

// Input: u16 width, u16 height, flags (bit 0: cache on, bit 1: second tile codec), then messages as
// type u8, length u16, payload. Shorthand types make whole messages reachable from short inputs:
// 0xF3 tx, ty, hash byte, fill byte -> a raw MSG_TILE (0xF4: the same with the fill's real hash);
// 0xF8 tx, ty, hash byte -> a MSG_CACHE_REF;
// 0xF2 count, kind -> a MSG_MOVE_RECTS of 8 * (count + 1) rectangles (up to 2048) of one kind;
// 0xF5 four picks, cols, rows -> a MSG_TEXT_LAYER with extreme values and one row record.
#define OP_MANY_MOVES 0xF2
#define OP_RAW_TILE 0xF3
#define OP_HASHED_TILE 0xF4
#define OP_TEXT_LIMITS 0xF5
#define OP_SMALL_REF 0xF8
#define MANY_MOVES_MAX 2048

// A whole message: header, then the payload (at msg) that is dispatched.
static uint8_t whole[HEADER_BYTES + MANY_MOVES_MAX * MOVE_RECT_BYTES];
static uint8_t *const msg = whole + HEADER_BYTES;   // also holds a raw tile or a text layer
static int32_t g_w, g_h;                                // this input's screen size

static const int32_t EXTREMES[8] = {INT32_MIN, -16385, -1, 0, 1, 16384, 65536, INT32_MAX};

static int cache_ready(void) {
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vo_fuzz_viewer_%d", (int)(rand() & 0xFFFF));
    if (!cache_open(&g_viewer.cache, dir)) return 0;
    g_viewer.cache.path[0] = 0;   // never saved
    return 1;
}

// A move rectangle of one kind: whole screen, half screen shifted, or extreme values.
static void move_kind(uint8_t *r, uint8_t kind, uint32_t k) {
    int32_t v[6] = {0, 0, 0, 0, g_w, g_h};
    if (kind % 3 == 1) {
        v[0] = (int32_t)(k % 7);
        v[3] = g_h / 2;
        v[4] = g_w / 2 + 1;
        v[5] = g_h / 2;
    } else if (kind % 3 == 2) {
        for (int i = 0; i < 6; i++) v[i] = EXTREMES[(kind + k + (uint32_t)i * 3) % 8];
    }
    MoveRect m = {v[0], v[1], v[2], v[3], v[4], v[5]};
    msg_pack_move_rect(r, &m);
}

static uint32_t text_limits(const uint8_t *p) {
    TextLayerHeader th;
    th.left = EXTREMES[p[0] % 8];
    th.top = EXTREMES[p[1] % 8];
    th.width = EXTREMES[p[2] % 8];
    th.height = EXTREMES[p[3] % 8];
    th.cols = p[4] & 1 ? VIEWER_TEXT_MAX_COLS : 1 + p[4] % VIEWER_TEXT_MAX_COLS;
    th.rows = p[5] & 1 ? VIEWER_TEXT_MAX_ROWS : 1 + p[5] % VIEWER_TEXT_MAX_ROWS;
    th.records = 1;
    static uint8_t rec[VIEWER_TEXT_ROW_BYTES(VIEWER_TEXT_MAX_COLS)];
    size_t n = VIEWER_TEXT_ROW_BYTES(th.cols);
    memset(rec, p[5], n);
    put_u16(rec, (uint16_t)(th.rows - 1));
    th.body_bytes = (uint32_t)n;
    size_t room = sizeof whole - HEADER_BYTES - TEXT_LAYER_HEADER_BYTES;
    int z = codec_compress(rec, n, msg + TEXT_LAYER_HEADER_BYTES, room);
    uint32_t data = (uint32_t)(z > 0 ? z : 0);
    msg_pack_text_layer(whole, &th, data);
    return TEXT_LAYER_HEADER_BYTES + data;
}

// Expands one shorthand op into msg; returns its length, or 0 when the input ran out.
static uint32_t expand(uint8_t op, const uint8_t *p, size_t left, uint8_t *type) {
    if ((op == OP_RAW_TILE || op == OP_HASHED_TILE) && left >= 4) {
        memset(msg + TILE_HEADER_BYTES, p[3], TILE_BYTES);
        TileHeader th = {p[0], p[1], 1, op == OP_HASHED_TILE ? tile_hash(msg + TILE_HEADER_BYTES) : p[2]};
        msg_pack_tile(whole, &th, TILE_BYTES);
        *type = MSG_TILE;
        return TILE_HEADER_BYTES + TILE_BYTES;
    }
    if (op == OP_MANY_MOVES && left >= 2) {
        uint32_t count = 8 * ((uint32_t)p[0] + 1);
        for (uint32_t k = 0; k < count; k++) move_kind(msg + (size_t)k * MOVE_RECT_BYTES, p[1], k);
        *type = MSG_MOVE_RECTS;
        return count * MOVE_RECT_BYTES;
    }
    if (op == OP_TEXT_LIMITS && left >= 6) {
        *type = MSG_TEXT_LAYER;
        return text_limits(p);
    }
    if (op == OP_SMALL_REF && left >= 3) {
        CacheRef ref = {p[0], p[1], p[2]};
        msg_pack_cache_ref(whole, &ref);
        *type = MSG_CACHE_REF;
        return CACHE_REF_BYTES;
    }
    return 0;
}

// What the window would compute for the text layer at any scale must fit an int.
static void check_text(void) {
    const viewer_text *t = &g_viewer.text;
    if (!t->active) return;
    static const int clients[3] = {1, 700, 16384};
    for (int cw_client : clients) {
        viewer_layout L;
        layout_compute(&L, cw_client, cw_client, g_viewer.width, g_viewer.height);
        int cw, ch, gx, gy;
        layout_text_cells(&L, t->left, t->top, t->width, t->height, t->cols, t->rows, &cw, &ch, &gx, &gy);
        int64_t far_x = (int64_t)gx + (int64_t)t->cols * cw, far_y = (int64_t)gy + (int64_t)t->rows * ch;
        if (cw < 1 || ch < 1 || far_x > INT32_MAX || far_y > INT32_MAX || far_x < INT32_MIN || far_y < INT32_MIN)
            abort();
    }
}

// Every checked tile is kept under its own hash, and a lookup serves no tile under a hash it does
// not have (an unchecked one, taken on the host's word, is hashed first).
static void check_cache(void) {
    tile_cache *c = &g_viewer.cache;
    if (!c->enabled) return;
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) {
        uint64_t key = c->keys[slot];
        if (!key) continue;
        if (!c->unchecked[slot] && tile_hash(c->tiles + (size_t)slot * TILE_BYTES) != key) abort();
        const uint8_t *served = cache_lookup(c, key);
        if (served && tile_hash(served) != key) abort();
    }
}

static void check_dirty(void) {
    if (!g_viewer.dirty) return;
    if (g_viewer.dirty_l < 0 || g_viewer.dirty_t < 0 || g_viewer.dirty_r > g_viewer.width ||
        g_viewer.dirty_b > g_viewer.height || g_viewer.dirty_l >= g_viewer.dirty_r || g_viewer.dirty_t >= g_viewer.dirty_b)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int cache_ok = cache_ready();
    if (size < 5) return 0;
    int32_t w = 1 + get_u16(data) % 700, h = 1 + get_u16(data + 2) % 500;
    if (!viewer_begin(w, h)) return 0;
    g_w = w;
    g_h = h;
    cache_clear(&g_viewer.cache);
    g_viewer.cache.enabled = cache_ok && (data[4] & 1);
    g_viewer.codec2 = (data[4] >> 1) & 1;
    size_t i = 5;
    while (i < size) {
        uint8_t type = data[i++];
        uint32_t n = expand(type, data + i, size - i, &type);
        if (n) {
            i += type == MSG_TILE ? 4 : type == MSG_MOVE_RECTS ? 2 : type == MSG_TEXT_LAYER ? 6 : 3;
            viewer_dispatch(type, msg, n);
        } else {
            if (size - i < 2) break;
            uint32_t len = get_u16(data + i);
            i += 2;
            if (len > size - i) len = (uint32_t)(size - i);
            viewer_dispatch(type, data + i, len);   // exact-size input: reads beyond it are caught
            i += len;
        }
        check_dirty();
        check_text();
    }
    check_cache();
    viewer_end();
    return 0;
}
