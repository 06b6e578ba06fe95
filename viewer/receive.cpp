// receive: the handlers that rebuild the host picture from host messages, the dirty rectangle,
// and the receive thread that feeds them from the channel. The state itself is the session's.
#include "viewer/receive.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/clipboard.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/clipboard.h"
#include "viewer/outbox.h"
#include "viewer/tile_batch.h"
#include "viewer/viewer.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)
// Largest text block a host can mean: every row of the largest grid once.
#define TEXT_MAX_BLOCK (VIEWER_TEXT_MAX_ROWS * VIEWER_TEXT_ROW_BYTES(VIEWER_TEXT_MAX_COLS))

// Coordinates are taken as 64-bit so that a host's left + width can never overflow.
void viewer_dirty_add(int64_t l, int64_t t, int64_t r, int64_t b) {
    if (l < 0) l = 0;
    if (r > g_viewer.width) r = g_viewer.width;
    if (l >= r) return;
    if (t < 0) t = 0;
    if (b > g_viewer.height) b = g_viewer.height;
    if (t >= b) return;
    if (!g_viewer.dirty) {
        g_viewer.dirty_l = (int32_t)l;
        g_viewer.dirty_t = (int32_t)t;
        g_viewer.dirty_r = (int32_t)r;
        g_viewer.dirty_b = (int32_t)b;
        g_viewer.dirty = 1;
        return;
    }
    if (l < g_viewer.dirty_l) g_viewer.dirty_l = (int32_t)l;
    if (t < g_viewer.dirty_t) g_viewer.dirty_t = (int32_t)t;
    if (r > g_viewer.dirty_r) g_viewer.dirty_r = (int32_t)r;
    if (b > g_viewer.dirty_b) g_viewer.dirty_b = (int32_t)b;
}

int viewer_dirty_take(int32_t *l, int32_t *t, int32_t *r, int32_t *b) {
    if (!g_viewer.dirty) return 0;
    *l = g_viewer.dirty_l;
    *t = g_viewer.dirty_t;
    *r = g_viewer.dirty_r;
    *b = g_viewer.dirty_b;
    g_viewer.dirty = 0;
    return 1;
}

static uint8_t *fb_at(int64_t x, int64_t y) { return g_viewer.fb + (size_t)y * g_viewer.stride + (size_t)x * 4; }

// A tile position lies wholly inside the padded framebuffer, margin included.
static int tile_inside(uint32_t tx, uint32_t ty) {
    return (int64_t)tx * TILE_EDGE < g_viewer.pad_width && (int64_t)ty * TILE_EDGE < g_viewer.pad_height;
}

// ---- MSG_MOVE_RECTS ----

void viewer_apply_move(const MoveRect *mr) {
    const MoveRect &m = *mr;
    if (!msg_move_rect_valid(&m, g_viewer.width, g_viewer.height)) return;
    int64_t sx = m.src_x, sy = m.src_y, dx = m.dst_x, dy = m.dst_y, w = m.width, h = m.height;
    size_t bytes = (size_t)w * 4;
    if (sy < dy) {   // content moves down: copy from the bottom row up
        for (int64_t i = h - 1; i >= 0; i--) memmove(fb_at(dx, dy + i), fb_at(sx, sy + i), bytes);
    } else {
        for (int64_t i = 0; i < h; i++) memmove(fb_at(dx, dy + i), fb_at(sx, sy + i), bytes);
    }
    viewer_dirty_add(dx, dy, dx + w, dy + h);
}

// A host sends at most MAX_MOVE_RECTS a frame; more in one message are ignored.
static void on_move_rects(const uint8_t *p, uint32_t len) {
    uint32_t count = msg_move_rect_count(len);
    for (uint32_t k = 0; k < count; k++) {
        MoveRect m;
        msg_unpack_move_rect(p + (size_t)k * MOVE_RECT_BYTES, &m);
        viewer_apply_move(&m);
    }
}

// ---- MSG_TILE ----

// XORs one row of the difference into the framebuffer and leaves the resulting pixels in the
// difference's place too, so the finished tile can go to the cache without another pass.
static void xor_row(uint8_t *dst, uint8_t *diff) {
    for (int i = 0; i < TILE_ROW_BYTES; i += 8) {
        uint64_t a, b;
        memcpy(&a, dst + i, 8);
        memcpy(&b, diff + i, 8);
        a ^= b;
        memcpy(dst + i, &a, 8);
        memcpy(diff + i, &a, 8);
    }
}

static void tile_copy_in(uint8_t *dst, const uint8_t *tile) {
    for (int r = 0; r < TILE_EDGE; r++) memcpy(dst + r * g_viewer.stride, tile + r * TILE_ROW_BYTES, TILE_ROW_BYTES);
}

// The waiting tiles' hashes, several chains at once; each tile that really has the hash the host
// named enters the cache, in arrival order. Anything else (a host that sent a delta against a tile
// we do not show) would come back under that name later, and for good through tiles.bin: it was
// shown all the same, and the counter tells of the host's fault.
static void tile_batch_flush(void) {
    uint32_t n = g_viewer.batch_count;
    if (n == 0) return;
    const uint8_t *tiles[VIEWER_HASH_BATCH];
    uint64_t h[VIEWER_HASH_BATCH];
    for (uint32_t k = 0; k < n; k++) tiles[k] = g_viewer.batch_tiles[k];
    tile_hash_many(tiles, n, h);
    for (uint32_t k = 0; k < n; k++) {
        if (h[k] == g_viewer.batch_hash[k]) cache_insert(&g_viewer.cache, h[k], g_viewer.batch_tiles[k]);
        else g_viewer.cache_rejects.fetch_add(1);
    }
    g_viewer.batch_count = 0;
}

// A tile in one of the second codec's forms: the viewer's tile is gathered, the data applied to
// it in out, and the result written back (and left in out for the cache). 0: tile untouched.
static int tile_codec2(uint8_t *dst, uint8_t form, const uint8_t *data, uint32_t n, uint8_t *out) {
    for (int r = 0; r < TILE_EDGE; r++) memcpy(out + r * TILE_ROW_BYTES, dst + r * g_viewer.stride, TILE_ROW_BYTES);
    if (!codec2_apply_tile(&g_viewer.codec2_dec, form, data, n, out)) return 0;
    tile_copy_in(dst, out);
    return 1;
}

static void on_tile(const uint8_t *p, uint32_t len) {
    TileHeader th;
    if (!msg_unpack_tile(p, len, &th)) return;
    uint32_t tx = th.tx, ty = th.ty;
    // A stream piece that cannot be applied leaves our stream behind the host's: the session ends.
    int stream = g_viewer.codec2 && th.form == TILE_FORM_STREAM;
    if (!tile_inside(tx, ty)) {
        g_viewer.stream_failed |= stream;
        return;
    }
    uint64_t hash = th.hash;
    const uint8_t *data = p + TILE_HEADER_BYTES;
    uint32_t n = len - TILE_HEADER_BYTES;
    uint8_t *dst = fb_at((int64_t)tx * TILE_EDGE, (int64_t)ty * TILE_EDGE);
    // A tile for the cache is finished in a batch slot (its new 16384 bytes, contiguous), which the
    // slot count takes only once the tile is whole.
    int cached = g_viewer.cache.enabled && hash != 0;
    uint8_t *pixels = cached ? g_viewer.batch_tiles[g_viewer.batch_count] : g_viewer.tile;
    if (g_viewer.codec2 && th.form > TILE_FORM_RAW) {
        if (!tile_codec2(dst, th.form, data, n, pixels)) {
            g_viewer.stream_failed |= stream;
            return;
        }
    } else if (th.form != 0) {
        if (n < TILE_BYTES) return;
        tile_copy_in(dst, data);
        if (cached) memcpy(pixels, data, TILE_BYTES);
    } else {
        if (codec_decompress(data, n, pixels, TILE_BYTES) != TILE_BYTES) return;
        for (int r = 0; r < TILE_EDGE; r++) xor_row(dst + r * g_viewer.stride, pixels + r * TILE_ROW_BYTES);
    }
    if (cached) {
        g_viewer.batch_hash[g_viewer.batch_count++] = hash;
        if (g_viewer.batch_count == VIEWER_HASH_BATCH) tile_batch_flush();
    }
    viewer_dirty_add((int64_t)tx * TILE_EDGE, (int64_t)ty * TILE_EDGE, (int64_t)tx * TILE_EDGE + TILE_EDGE,
                     (int64_t)ty * TILE_EDGE + TILE_EDGE);
}

// ---- MSG_TEXT_LAYER ----

// A new grid of rows x cols blank cells; the storage only grows. 0 when it cannot.
static int text_grid_reset(uint16_t cols, uint16_t rows) {
    viewer_text *t = &g_viewer.text;
    size_t need = (size_t)cols * rows * 3;
    if (need > t->grid_cap) {
        free(t->grid);
        t->grid = (uint8_t *)malloc(need);
        t->grid_cap = t->grid ? need : 0;
        if (!t->grid) return 0;
    }
    memset(t->grid, 0, need);
    return 1;
}

// Decompresses the row records into the scratch buffer and copies each into its grid row.
static void text_rows(const uint8_t *data, uint32_t n_data, uint16_t records, uint32_t size) {
    viewer_text *t = &g_viewer.text;
    if (size == 0 || size > TEXT_MAX_BLOCK) return;
    if (size > t->scratch_cap) {
        free(t->scratch);
        t->scratch = (uint8_t *)malloc(size);
        t->scratch_cap = t->scratch ? size : 0;
        if (!t->scratch) return;
    }
    if (codec_decompress(data, n_data, t->scratch, t->scratch_cap) != (int)size) return;
    size_t rec = VIEWER_TEXT_ROW_BYTES(t->cols), off = 0;
    for (uint32_t k = 0; k < records && size - off >= rec; k++, off += rec) {
        uint16_t row = get_u16(t->scratch + off);
        if (row < t->rows) memcpy(t->grid + (size_t)row * t->cols * 3, t->scratch + off + 2, rec - 2);
    }
}

static int32_t text_clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

static void on_text_layer(const uint8_t *p, uint32_t len) {
    TextLayerHeader th;
    if (!msg_unpack_text_layer(p, len, &th)) return;
    uint16_t cols = th.cols, rows = th.rows;
    // No console window is larger; a bigger grid would only let a host make us allocate gigabytes.
    if (cols > VIEWER_TEXT_MAX_COLS || rows > VIEWER_TEXT_MAX_ROWS) return;
    viewer_text *t = &g_viewer.text;
    if (t->active) viewer_dirty_add(t->left, t->top, (int64_t)t->left + t->width, (int64_t)t->top + t->height);
    if (cols == 0 || rows == 0) {
        t->active = 0;
        return;
    }
    if (!t->active || cols != t->cols || rows != t->rows) {
        t->active = 0;
        if (!text_grid_reset(cols, rows)) return;
    }
    // Kept within a screen's reach, so the window's cell arithmetic cannot overflow.
    t->left = text_clamp(th.left, -VIEWER_MAX_EDGE, VIEWER_MAX_EDGE);
    t->top = text_clamp(th.top, -VIEWER_MAX_EDGE, VIEWER_MAX_EDGE);
    t->width = text_clamp(th.width, 0, VIEWER_MAX_EDGE);
    t->height = text_clamp(th.height, 0, VIEWER_MAX_EDGE);
    t->cols = cols;
    t->rows = rows;
    t->active = 1;
    viewer_dirty_add(t->left, t->top, (int64_t)t->left + t->width, (int64_t)t->top + t->height);
    text_rows(p + TEXT_LAYER_HEADER_BYTES, len - TEXT_LAYER_HEADER_BYTES, th.records, th.body_bytes);
}

// ---- MSG_FRAME_END and MSG_CACHE_REF ----

static void on_frame_end(const uint8_t *p, uint32_t len) {
    tile_batch_flush();
    // The echo carries the 8 bytes as they came; a short frame end is padded with zeros.
    FrameEnd end;
    msg_unpack_frame_end(p, len, &end);
    g_viewer.reply_len = (uint32_t)msg_pack_frame_ack(g_viewer.reply, &end);
    viewer_tile_batch_note_end(end.frame, end.tick);
    g_viewer.frames.fetch_add(1);
}

static void on_cache_ref(const uint8_t *p, uint32_t len) {
    CacheRef ref;
    if (!msg_unpack_cache_ref(p, len, &ref)) return;
    uint16_t tx = ref.tx, ty = ref.ty;
    uint64_t hash = ref.hash;
    if (!tile_inside(tx, ty)) return;
    tile_batch_flush();   // the cache as it would be had every earlier tile gone in at once
    const uint8_t *tile = cache_lookup(&g_viewer.cache, hash);
    if (tile) {
        tile_copy_in(fb_at((int64_t)tx * TILE_EDGE, (int64_t)ty * TILE_EDGE), tile);
        g_viewer.cache_hits.fetch_add(1);
        viewer_dirty_add((int64_t)tx * TILE_EDGE, (int64_t)ty * TILE_EDGE, (int64_t)tx * TILE_EDGE + TILE_EDGE,
                         (int64_t)ty * TILE_EDGE + TILE_EDGE);
        return;
    }
    g_viewer.reply_len = (uint32_t)msg_pack_cache_miss(g_viewer.reply, &ref);
    g_viewer.cache_misses.fetch_add(1);
}

int viewer_apply(uint8_t type, const uint8_t *payload, uint32_t len) {
    g_viewer.reply_len = 0;
    switch (type) {
    case MSG_MOVE_RECTS: on_move_rects(payload, len); return 0;
    case MSG_TILE: on_tile(payload, len); return 0;
    case MSG_TEXT_LAYER: on_text_layer(payload, len); return 0;
    case MSG_FRAME_END: on_frame_end(payload, len); return 1;
    case MSG_CACHE_REF: on_cache_ref(payload, len); return 0;
    case MSG_CLIPBOARD_HOST: viewer_clipboard_on_message(payload, len); return 0;
    case MSG_TILE_BATCH: tile_batch_flush(); return viewer_tile_batch(payload, len);
    default: return 0;   // hello, cursor, window list and unknown types are read past
    }
}

// ---- the receive thread ----

void viewer_dispatch(uint8_t type, const uint8_t *payload, uint32_t len) {
    g_viewer.bytes_received.fetch_add(len + HEADER_BYTES);
    lock_enter(&g_viewer.lock);
    int frame = viewer_apply(type, payload, len);
    uint8_t reply[sizeof g_viewer.reply];
    uint32_t reply_len = g_viewer.reply_len;
    memcpy(reply, g_viewer.reply, reply_len);
    lock_leave(&g_viewer.lock);
    // Sent without the lock, so a host that stops reading never holds up painting or closing.
    if (reply_len) viewer_send(reply, reply_len, 1);
    viewer_tile_batch_send();
    if (frame && g_viewer.on_frame) g_viewer.on_frame();
}

// Room for a payload of len bytes; the buffer grows to len + 4096 and never shrinks.
static int payload_room(uint32_t len) {
    if (len <= g_viewer.payload_cap) return 1;
    free(g_viewer.payload);
    g_viewer.payload = (uint8_t *)malloc((size_t)len + 4096);
    g_viewer.payload_cap = g_viewer.payload ? (size_t)len + 4096 : 0;
    return g_viewer.payload != nullptr;
}

int viewer_receive_one(channel *ch) {
    uint8_t head[HEADER_BYTES];
    if (!ch || !channel_recv(ch, head, sizeof head)) return 0;
    MessageHeader h = header_get(head);
    if (h.length > VIEWER_MAX_PAYLOAD || !payload_room(h.length)) return 0;
    if (h.length > 0 && !channel_recv(ch, g_viewer.payload, h.length)) return 0;
    viewer_dispatch(h.type, g_viewer.payload, h.length);
    return !g_viewer.stream_failed;
}

unsigned viewer_receive_thread(void *arg) {
    (void)arg;
    while (viewer_receive_one(g_viewer.ch)) {
    }
    if (g_viewer.on_close) g_viewer.on_close();
    return 0;
}
