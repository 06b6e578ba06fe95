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

void viewer_tile_put(uint8_t *fb, const uint8_t *tile) {
    for (int r = 0; r < TILE_EDGE; r++) memcpy(fb + r * g_viewer.stride, tile + r * TILE_ROW_BYTES, TILE_ROW_BYTES);
}

void viewer_tile_get(const uint8_t *fb, uint8_t *tile) {
    for (int r = 0; r < TILE_EDGE; r++) memcpy(tile + r * TILE_ROW_BYTES, fb + r * g_viewer.stride, TILE_ROW_BYTES);
}

// A tile on its own: a run of one (apply.cpp).
static void on_tile(const uint8_t *p, uint32_t len) {
    if (viewer_run_add(MSG_TILE, p, len)) viewer_run_apply();
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
    // The echo carries the 8 bytes as they came; a short frame end is padded with zeros.
    FrameEnd end;
    msg_unpack_frame_end(p, len, &end);
    g_viewer.reply_len = (uint32_t)msg_pack_frame_ack(g_viewer.reply, &end);
    viewer_tile_batch_note_end(end.frame, end.tick);
    g_viewer.frames.fetch_add(1);
}

// Tiles the cache dropped since it had counted `before`, when it checked them, counted as rejects.
static void count_rejects(uint32_t before) {
    if (g_viewer.cache.rejected != before) g_viewer.cache_rejects.fetch_add(g_viewer.cache.rejected - before);
}

void viewer_cache_check(const uint64_t *hashes, size_t n) {
    uint32_t before = g_viewer.cache.rejected;
    cache_check(&g_viewer.cache, hashes, n);
    count_rejects(before);
}

uint32_t viewer_cache_ref(const CacheRef *ref, uint8_t *reply) {
    uint32_t before = g_viewer.cache.rejected;
    const uint8_t *tile = cache_lookup(&g_viewer.cache, ref->hash);
    count_rejects(before);
    if (!tile) {
        g_viewer.cache_misses.fetch_add(1);
        return (uint32_t)msg_pack_cache_miss(reply, ref);
    }
    int64_t x = (int64_t)ref->tx * TILE_EDGE, y = (int64_t)ref->ty * TILE_EDGE;
    viewer_tile_put(fb_at(x, y), tile);
    g_viewer.cache_hits.fetch_add(1);
    viewer_dirty_add(x, y, x + TILE_EDGE, y + TILE_EDGE);
    return 0;
}

static void on_cache_ref(const uint8_t *p, uint32_t len) {
    CacheRef ref;
    if (!msg_unpack_cache_ref(p, len, &ref)) return;
    if (!tile_inside(ref.tx, ref.ty)) return;
    g_viewer.reply_len = viewer_cache_ref(&ref, g_viewer.reply);
}

int viewer_apply(uint8_t type, const uint8_t *payload, uint32_t len) {
    g_viewer.reply_len = 0;
    viewer_run_apply();   // tiles gathered before come first
    switch (type) {
    case MSG_MOVE_RECTS: on_move_rects(payload, len); return 0;
    case MSG_TILE: on_tile(payload, len); return 0;
    case MSG_TEXT_LAYER: on_text_layer(payload, len); return 0;
    case MSG_FRAME_END: on_frame_end(payload, len); return 1;
    case MSG_CACHE_REF: on_cache_ref(payload, len); return 0;
    case MSG_CLIPBOARD_HOST: viewer_clipboard_on_message(payload, len); return 0;
    case MSG_TILE_BATCH: return viewer_tile_batch(payload, len);
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
    viewer_run_send_replies();   // misses of tiles gathered before come first
    if (reply_len) viewer_send(reply, reply_len, 1);
    viewer_tile_batch_send();
    if (frame && g_viewer.on_frame) g_viewer.on_frame();
}

void viewer_feed(uint8_t type, const uint8_t *payload, uint32_t len, int more) {
    if (type != MSG_TILE && type != MSG_CACHE_REF) {
        viewer_run_flush();
        viewer_dispatch(type, payload, len);
        return;
    }
    g_viewer.bytes_received.fetch_add(len + HEADER_BYTES);
    if (!viewer_run_add(type, payload, len)) {   // a repeated position or a full run: what came before goes first
        viewer_run_flush();
        viewer_run_add(type, payload, len);
    }
    if (!more || g_viewer.stream_failed) viewer_run_flush();
}

// Room for a payload of len bytes; the buffer grows to len + 4096 and never shrinks.
static int payload_room(uint32_t len) {
    if (len <= g_viewer.payload_cap) return 1;
    free(g_viewer.payload);
    g_viewer.payload = (uint8_t *)malloc((size_t)len + 4096);
    g_viewer.payload_cap = g_viewer.payload ? (size_t)len + 4096 : 0;
    return g_viewer.payload != nullptr;
}

// Tiles gather while the channel's current record holds more bytes (the next message, or the
// start of one that goes on in the next record).
static int viewer_receive_message(channel *ch) {
    uint8_t head[HEADER_BYTES];
    if (!ch || !channel_recv(ch, head, sizeof head)) return 0;
    MessageHeader h = header_get(head);
    if (h.length > VIEWER_MAX_PAYLOAD) return 0;
    int gathered = h.type == MSG_TILE || h.type == MSG_CACHE_REF;
    uint8_t *p = gathered ? viewer_run_room(h.length) : nullptr;   // tiles and references stay where they are read
    int kept = p != nullptr;   // else the tile is applied at once, before the next read
    if (!p && !payload_room(h.length)) return 0;
    if (!p) p = g_viewer.payload;
    if (h.length > 0 && !channel_recv(ch, p, h.length)) return 0;
    viewer_feed(h.type, p, h.length, kept && ch->recv_pos < ch->recv_len);
    return !g_viewer.stream_failed;
}

int viewer_receive_one(channel *ch) {
    if (viewer_receive_message(ch)) return 1;
    viewer_run_flush();   // what the connection delivered is shown
    return 0;
}

unsigned viewer_receive_thread(void *arg) {
    (void)arg;
    while (viewer_receive_one(g_viewer.ch)) {
    }
    if (g_viewer.on_close) g_viewer.on_close();
    return 0;
}
