// fuzz_viewer_receive: the viewer's reconstruction fed arbitrary host message streams on a random
// screen size, with and without a tile cache. It must neither crash nor touch memory outside the
// framebuffer (AddressSanitizer), and the dirty rectangle must stay inside the host picture.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "viewer/cache.h"
#include "viewer/viewer.h"

// Input: u16 width, u16 height, flags (bit 0: cache on, bit 1: second tile codec), then messages as
// type u8, length u16, payload. Two shorthand types make whole tiles reachable from short inputs:
// 0xF3 tx, ty, hash byte, fill byte -> a raw MSG_TILE; 0xF8 tx, ty, hash byte -> a MSG_CACHE_REF.
#define OP_RAW_TILE 0xF3
#define OP_SMALL_REF 0xF8

static uint8_t msg[TILE_HEADER_BYTES + TILE_BYTES];

static int cache_ready(void) {
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vo_fuzz_viewer_%d", (int)(rand() & 0xFFFF));
    if (!cache_open(dir)) return 0;
    g_cache.path[0] = 0;   // never saved
    return 1;
}

// Expands one shorthand op into msg; returns its length, or 0 when the input ran out.
static uint32_t expand(uint8_t op, const uint8_t *p, size_t left, uint8_t *type) {
    if (op == OP_RAW_TILE && left >= 4) {
        put_u16(msg, p[0]);
        put_u16(msg + 2, p[1]);
        msg[4] = 1;
        put_u64(msg + 5, p[2]);
        memset(msg + TILE_HEADER_BYTES, p[3], TILE_BYTES);
        *type = MSG_TILE;
        return TILE_HEADER_BYTES + TILE_BYTES;
    }
    if (op == OP_SMALL_REF && left >= 3) {
        put_u16(msg, p[0]);
        put_u16(msg + 2, p[1]);
        put_u64(msg + 4, p[2]);
        *type = MSG_CACHE_REF;
        return CACHE_REF_BYTES;
    }
    return 0;
}

static void check_dirty(void) {
    if (!g_viewer.dirty) return;
    if (g_viewer.dirty_l < 0 || g_viewer.dirty_t < 0 || g_viewer.dirty_r > g_viewer.W ||
        g_viewer.dirty_b > g_viewer.H || g_viewer.dirty_l >= g_viewer.dirty_r || g_viewer.dirty_t >= g_viewer.dirty_b)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int cache_ok = cache_ready();
    if (size < 5) return 0;
    int32_t w = 1 + get_u16(data) % 700, h = 1 + get_u16(data + 2) % 500;
    if (!viewer_begin(w, h)) return 0;
    cache_clear();
    g_cache.enabled = cache_ok && (data[4] & 1);
    g_viewer.codec2 = (data[4] >> 1) & 1;
    size_t i = 5;
    while (i < size) {
        uint8_t type = data[i++];
        uint32_t n = expand(type, data + i, size - i, &type);
        if (n) {
            i += type == MSG_TILE ? 4 : 3;
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
    }
    viewer_end();
    return 0;
}
