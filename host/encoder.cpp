// encoder: frame differencing and tile encoding, and the end-of-pass steps of the session loop.
#include "host/encoder.h"

#include <string.h>

#include "host/flow.h"
#include "host/log.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "platform/clock.h"
#include "protocol/channel.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)
#define TILE_MSG_MAX (HEADER_BYTES + TILE_HEADER_BYTES + TILE_BYTES)   // a raw tile on the wire
// Room kept free in a frame's record for the cursor and the frame end.
#define FRAME_TAIL_BYTES (2 * HEADER_BYTES + CURSOR_BYTES + FRAME_END_BYTES)

EncoderState g_encoder;

static uint8_t s_tile[TILE_BYTES];    // the new tile, gathered from current
static uint8_t s_delta[TILE_BYTES];   // new tile XOR the viewer's tile

void encoder_session_reset(int cache_in_use) {
    memset(&g_encoder, 0, sizeof g_encoder);
    g_encoder.cache_in_use = cache_in_use;
}

// Rows of one sent-copy move, in the order that keeps overlapping areas intact.
static void encode_move_sent(const MoveRect *m) {
    size_t stride = (size_t)g_picture.pad_width * 4, bytes = (size_t)m->width * 4;
    uint8_t *base = g_picture.sent;
    for (int32_t i = 0; i < m->height; i++) {
        int32_t r = m->dst_y > m->src_y ? m->height - 1 - i : i;
        memmove(base + (size_t)(m->dst_y + r) * stride + (size_t)m->dst_x * 4,
                base + (size_t)(m->src_y + r) * stride + (size_t)m->src_x * 4, bytes);
    }
    // The moved area may now differ from current wherever capture did not say so.
    int32_t tx1 = (m->dst_x + m->width - 1) / TILE_EDGE, ty1 = (m->dst_y + m->height - 1) / TILE_EDGE;
    for (int32_t ty = m->dst_y / TILE_EDGE; ty <= ty1; ty++)
        for (int32_t tx = m->dst_x / TILE_EDGE; tx <= tx1; tx++) g_picture.dirty[tx + ty * g_picture.cols] = 1;
}

void encode_moves(void) {
    if (g_picture.move_count <= 0) return;
    uint8_t *p = out_reserve(HEADER_BYTES + (size_t)g_picture.move_count * MOVE_RECT_BYTES);
    if (!p) return;   // the moves stay pending; nothing was applied
    uint8_t *q = p + HEADER_BYTES;
    for (int32_t i = 0; i < g_picture.move_count; i++) {
        const MoveRect *m = &g_picture.moves[i];
        if (!picture_move_valid(m, g_picture.width, g_picture.height)) continue;   // the viewer skips it too
        encode_move_sent(m);
        put_i32(q, m->src_x);
        put_i32(q + 4, m->src_y);
        put_i32(q + 8, m->dst_x);
        put_i32(q + 12, m->dst_y);
        put_i32(q + 16, m->width);
        put_i32(q + 20, m->height);
        q += MOVE_RECT_BYTES;
    }
    g_picture.move_count = 0;
    if (q == p + HEADER_BYTES) return;
    header_put(p, MSG_MOVE_RECTS, (uint32_t)(q - p - HEADER_BYTES));
    g_out.len += (size_t)(q - p);
}

static int encode_tile_same(const uint8_t *cur, const uint8_t *snt, size_t stride) {
    for (int r = 0; r < TILE_EDGE; r++)
        if (memcmp(cur + r * stride, snt + r * stride, TILE_ROW_BYTES) != 0) return 0;
    return 1;
}

// Gather the new tile from current and, unless it goes raw anyway, its delta against sent.
static void encode_gather(const uint8_t *cur, const uint8_t *snt, size_t stride, int with_delta) {
    for (int r = 0; r < TILE_EDGE; r++) {
        const uint8_t *c = cur + r * stride, *s = snt + r * stride;
        uint8_t *t = s_tile + r * TILE_ROW_BYTES, *d = s_delta + r * TILE_ROW_BYTES;
        memcpy(t, c, TILE_ROW_BYTES);
        if (with_delta)
            for (int j = 0; j < TILE_ROW_BYTES; j++) d[j] = (uint8_t)(c[j] ^ s[j]);
    }
}

static int encode_cache_ref(int32_t tx, int32_t ty, uint64_t h) {
    uint8_t *p = out_reserve(HEADER_BYTES + CACHE_REF_BYTES);
    if (!p) return 0;
    header_put(p, MSG_CACHE_REF, CACHE_REF_BYTES);
    put_u16(p + 8, (uint16_t)tx);
    put_u16(p + 10, (uint16_t)ty);
    put_u64(p + 12, h);
    g_out.len += HEADER_BYTES + CACHE_REF_BYTES;
    g_encoder.refs_this_frame++;
    return 1;
}

// MSG_TILE straight into the output buffer: the compressed delta when it is 1..16383 bytes, else raw.
static int encode_tile_msg(int32_t tx, int32_t ty, uint64_t h, int force_raw) {
    uint8_t *p = out_reserve(HEADER_BYTES + TILE_HEADER_BYTES + codec_bound(TILE_BYTES));
    if (!p) return 0;
    uint8_t *data = p + HEADER_BYTES + TILE_HEADER_BYTES;
    int n = force_raw ? -1 : codec_compress(s_delta, TILE_BYTES, data, codec_bound(TILE_BYTES));
    int raw = !(n >= 1 && n < TILE_BYTES);
    if (raw) {
        memcpy(data, s_tile, TILE_BYTES);
        n = TILE_BYTES;
        g_encoder.raw_this_frame++;
    }
    header_put(p, MSG_TILE, (uint32_t)(TILE_HEADER_BYTES + n));
    put_u16(p + 8, (uint16_t)tx);
    put_u16(p + 10, (uint16_t)ty);
    p[12] = (uint8_t)raw;
    put_u64(p + 13, h);
    g_out.len += HEADER_BYTES + TILE_HEADER_BYTES + (size_t)n;
    return 1;
}

// One changed tile: reference or tile message, then sent takes the new content. 0 when out of memory.
static int encode_tile(int32_t tx, int32_t ty, size_t off, int force_raw, int use_cache) {
    size_t stride = (size_t)g_picture.pad_width * 4;
    uint8_t *snt = g_picture.sent + off;
    encode_gather(g_picture.current + off, snt, stride, !force_raw);
    uint64_t h = tile_hash(s_tile);
    if (use_cache && mirror_lookup(h)) {
        if (!encode_cache_ref(tx, ty, h)) return 0;
    } else {
        if (!encode_tile_msg(tx, ty, h, force_raw)) return 0;
        if (use_cache) mirror_insert(h);
    }
    for (int r = 0; r < TILE_EDGE; r++) memcpy(snt + r * stride, s_tile + r * TILE_ROW_BYTES, TILE_ROW_BYTES);
    return 1;
}

static int encode_covered(int32_t tx, int32_t ty) {
    int32_t x = tx * TILE_EDGE, y = ty * TILE_EDGE;
    return g_encoder.text_cover && g_encoder.cover_left <= x && g_encoder.cover_top <= y &&
           x + TILE_EDGE - 1 < g_encoder.cover_right && y + TILE_EDGE - 1 < g_encoder.cover_bottom;
}

void encode_tiles(int32_t budget) {
    g_encoder.tiles_this_frame = g_encoder.refs_this_frame = g_encoder.raw_this_frame = 0;
    int use_cache = g_encoder.cache_in_use && mirror_ready();
    size_t stride = (size_t)g_picture.pad_width * 4;
    for (int32_t ty = 0; ty < g_picture.rows; ty++)
        for (int32_t tx = 0; tx < g_picture.cols; tx++) {
            size_t i = (size_t)tx + (size_t)ty * g_picture.cols;
            if (!g_picture.dirty[i] || encode_covered(tx, ty)) continue;
            if (g_encoder.tiles_this_frame >= budget) return;
            // A frame must fit one record; what does not fit waits for the next pass.
            if (g_out.len + TILE_MSG_MAX + FRAME_TAIL_BYTES > CHANNEL_MAX_RECORD) return;
            size_t off = (size_t)ty * TILE_EDGE * stride + (size_t)tx * TILE_ROW_BYTES;
            g_picture.dirty[i] = 0;
            int force_raw = g_picture.force_raw[i];
            if (!force_raw && encode_tile_same(g_picture.current + off, g_picture.sent + off, stride)) continue;
            if (!encode_tile(tx, ty, off, force_raw, use_cache)) {
                g_picture.dirty[i] = 1;
                return;
            }
            g_picture.force_raw[i] = 0;
            g_encoder.tiles_this_frame++;
        }
}

void encode_frame(void) {
    g_encoder.pass_start = g_out.len;
    encode_moves();
    encoder_overlays_pass();
    encode_tiles(flow_budget());
    g_encoder.encoded_bytes = g_out.len - g_encoder.pass_start;
}

void encode_cursor(int32_t x, int32_t y, int visible) {
    visible = visible ? 1 : 0;
    if (g_encoder.cursor_sent && x == g_encoder.cursor_x && y == g_encoder.cursor_y &&
        visible == g_encoder.cursor_visible)
        return;
    uint8_t payload[CURSOR_BYTES];
    put_i32(payload, x);
    put_i32(payload + 4, y);
    payload[8] = (uint8_t)visible;
    if (!out_append_msg(MSG_CURSOR, payload, CURSOR_BYTES)) return;
    g_encoder.cursor_sent = 1;
    g_encoder.cursor_x = x;
    g_encoder.cursor_y = y;
    g_encoder.cursor_visible = visible;
}

int encode_pass_close(void) {
    g_encoder.session_tiles += (uint64_t)g_encoder.tiles_this_frame;
    g_encoder.session_refs += (uint64_t)g_encoder.refs_this_frame;
    int32_t x, y;
    int visible;
    if (encoder_pointer(&x, &y, &visible)) encode_cursor(x, y, visible);
    if (g_out.len <= g_encoder.pass_start) return 0;
    uint32_t number = frame_counter.load() + 1;
    if (number - 1 < 3 || (number - 1) % 200 == 0)
        host_log("frame %u: %d tiles (%d as refs), %u bytes", number, g_encoder.tiles_this_frame,
                 g_encoder.refs_this_frame, (unsigned)g_encoder.encoded_bytes);
    frame_counter.store(number);
    uint8_t payload[FRAME_END_BYTES];
    put_u32(payload, number);
    put_u32(payload + 4, clock_tick());
    return out_append_msg(MSG_FRAME_END, payload, FRAME_END_BYTES);
}

int encode_pass_end(channel *ch) {
    if (!encode_pass_close()) return g_out.len == 0 ? 1 : 0;
    return channel_flush(ch);
}

void encoder_log_session_stats(void) {
    double share = g_encoder.session_tiles ? 100.0 * (double)g_encoder.session_refs / (double)g_encoder.session_tiles : 0.0;
    host_log("session stats: %llu tiles sent, %llu as cache refs (%.0f%%)",
             (unsigned long long)g_encoder.session_tiles, (unsigned long long)g_encoder.session_refs, share);
}

void encoder_on_cache_miss(const uint8_t *payload, size_t len) {
    uint16_t tx, ty;
    picture_lock();
    if (mirror_apply_miss(payload, len, &tx, &ty)) picture_forget_tile(tx, ty);
    picture_unlock();
}
