// encoder: frame differencing and tile encoding, and the end-of-pass steps of the session loop.
#include "host/encoder.h"

#include <string.h>

#include "host/flow.h"
#include "host/log.h"
#include "host/encoder_work.h"
#include "host/mirror.h"
#include "host/pick.h"
#include "host/picture.h"
#include "platform/workers.h"
#include "platform/clock.h"
#include "protocol/channel.h"
#include "protocol/codec.h"
#include "protocol/codec2.h"
#include "protocol/codec2_batch.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)
#define TILE_MSG_MAX (HEADER_BYTES + TILE_HEADER_BYTES + TILE_BYTES)   // a raw tile on the wire
// Room kept free in a frame's record for the cursor and the frame end.
#define FRAME_TAIL_BYTES (2 * HEADER_BYTES + CURSOR_BYTES + FRAME_END_BYTES)

EncoderState g_encoder;

static Codec2Stream s_stream;   // the second codec's session stream: pieces go out in tile order
static Codec2Batch s_batch;     // the frame's crops and references, on their way into MSG_TILE_BATCH

// The frame's MSG_MOVE_RECTS, which moves into the batch when all the frame's tiles went there.
struct FrameMoves {
    size_t at, size;   // the message's place in the frame being written; size 0: none
    int loose;         // MSG_TILE or MSG_CACHE_REF messages written this frame
    int spilled;       // a batch went out before the frame's end
};
static FrameMoves s_moves;

void encoder_session_reset(int cache_in_use) {
    memset(&g_encoder, 0, sizeof g_encoder);
    g_encoder.cache_in_use = cache_in_use;
}

void encoder_viewer_caps(uint16_t caps) {
    g_encoder.text_wanted = caps & 1;
    g_encoder.cache_in_use = (caps >> 1) & 1;
    g_encoder.codec2 = (caps & CODEC2_CAP) != 0;   // the host answers bit 3 whenever it is offered
    codec2_stream_reset(&s_stream);
    codec2_batch_reset(&s_batch);
}

// Crops and references go into the frame's batch: with the second codec while its stream works.
static int encoder_batching(void) { return g_encoder.codec2 && !s_stream.broken; }

// The batch as MSG_TILE_BATCH, closing the frame (frame, tick) when `closes`; the batch is empty
// afterwards. 1 when it went; else the viewer never sees its entries, so their tiles become unknown
// and go again whole (`locked`: the picture lock is held already).
static int encoder_batch_emit(FrameWriter *out, int closes, uint32_t frame, uint32_t tick, int locked) {
    uint32_t count = s_batch.count;
    uint8_t *p = writer_reserve(out, codec2_batch_bound(&s_batch));
    long n = codec2_batch_pack(&s_batch, &s_stream, closes, frame, tick, p);
    if (n > 0) {
        writer_commit(out, (size_t)n);
        return 1;
    }
    if (!locked) picture_lock();
    for (uint32_t k = 0; k < count; k++) {
        g_picture.force_raw[s_batch.index[k]] = 1;
        g_picture.dirty[s_batch.index[k]] = 1;
    }
    if (!locked) picture_unlock();
    host_log("tile batch of %u entries could not go; its tiles go again whole", count);
    return 0;
}

// A batch grown to its cap goes out at once (without the frame end) and a new one begins.
static void encoder_batch_spill(FrameWriter *out) {
    if (!codec2_batch_full(&s_batch)) return;
    encoder_batch_emit(out, 0, 0, 0, 1);
    s_moves.spilled = 1;
}

// When every tile of the frame is in its batch, the frame's moves go there too, ahead of the
// entries (the viewer applies them first, as it would the earlier message). 1 when they did.
static int encoder_moves_to_batch(const FrameWriter *out) {
    const uint8_t *p = out->data + s_moves.at;
    // Moves a part of the frame already carried to the viewer stay where they are.
    if (!s_moves.size || s_moves.loose || s_moves.spilled || !s_batch.count || !encoder_batching() ||
        s_moves.at < out->sent || s_moves.at + s_moves.size > out->len || p[0] != MSG_MOVE_RECTS)
        return 0;
    uint32_t count = msg_move_rect_count((uint32_t)(s_moves.size - HEADER_BYTES));
    for (uint32_t k = 0; k < count; k++) {
        MoveRect m;
        msg_unpack_move_rect(p + HEADER_BYTES + (size_t)k * MOVE_RECT_BYTES, &m);
        if (!codec2_batch_move(&s_batch, &m)) return 0;
    }
    return 1;
}

// The batch carried the moves: their own message leaves the frame.
static void encoder_moves_cut(FrameWriter *out) {
    uint8_t *p = out->data + s_moves.at;
    memmove(p, p + s_moves.size, out->len - s_moves.at - s_moves.size);
    out->len -= s_moves.size;
}

// What the host knows of the viewer's pixels under the part of destination tile (tx, ty) that move m
// covers: 1 when a forgotten tile is among its source tiles (unknown content), else 0 with
// *pending = the latest pending reference frame among them (0: none). *whole = 1 when the move
// covers the whole destination tile.
static int encoder_source_state(const MoveRect *m, int32_t tx, int32_t ty, uint32_t confirmed, uint32_t *pending,
                               int *whole) {
    int32_t x0 = tx * TILE_EDGE, y0 = ty * TILE_EDGE, x1 = x0 + TILE_EDGE, y1 = y0 + TILE_EDGE;
    if (x0 < m->dst_x) x0 = m->dst_x;
    if (y0 < m->dst_y) y0 = m->dst_y;
    if (x1 > m->dst_x + m->width) x1 = m->dst_x + m->width;
    if (y1 > m->dst_y + m->height) y1 = m->dst_y + m->height;
    *whole = x1 - x0 == TILE_EDGE && y1 - y0 == TILE_EDGE;
    *pending = 0;
    int32_t sx = m->src_x - m->dst_x, sy = m->src_y - m->dst_y;   // destination to source
    for (int32_t y = (y0 + sy) / TILE_EDGE; y <= (y1 - 1 + sy) / TILE_EDGE; y++)
        for (int32_t x = (x0 + sx) / TILE_EDGE; x <= (x1 - 1 + sx) / TILE_EDGE; x++) {
            size_t i = (size_t)x + (size_t)y * g_picture.cols;
            if (g_picture.force_raw[i]) return 1;
            if (picture_ref_pending(i, confirmed) && (*pending == 0 || (int32_t)(g_picture.ref_frame[i] - *pending) > 0))
                *pending = g_picture.ref_frame[i];
        }
    return 0;
}

// The moved area may now differ from current wherever capture did not say so: every destination
// tile is dirty. What the host knows of it follows its content tile by tile: content the host does
// not know goes whole, content behind a pending reference makes its new place depend on that
// reference too (a miss then forgets it, see picture_forget_pending), and a tile the move covers
// wholly with sure content is sure. Destination tiles are visited against the direction of the
// move, so each reads its source tiles before any of them takes its own new state.
static void encoder_move_state(const MoveRect *m, uint32_t confirmed) {
    int32_t tx0 = m->dst_x / TILE_EDGE, tx1 = (m->dst_x + m->width - 1) / TILE_EDGE;
    int32_t ty0 = m->dst_y / TILE_EDGE, ty1 = (m->dst_y + m->height - 1) / TILE_EDGE;
    int down = m->dst_y > m->src_y, right = m->dst_x > m->src_x;
    for (int32_t a = 0; a <= ty1 - ty0; a++)
        for (int32_t b = 0; b <= tx1 - tx0; b++) {
            int32_t ty = down ? ty1 - a : ty0 + a, tx = right ? tx1 - b : tx0 + b;
            size_t i = (size_t)tx + (size_t)ty * g_picture.cols;
            uint32_t pending;
            int whole, forgotten = encoder_source_state(m, tx, ty, confirmed, &pending, &whole);
            g_picture.dirty[i] = 1;
            g_picture.sent_zero[i] = 0;
            if (whole) {
                g_picture.force_raw[i] = (uint8_t)forgotten;
                g_picture.ref_frame[i] = forgotten ? 0 : pending;
            } else if (forgotten) {
                g_picture.force_raw[i] = 1;
            } else if (pending && (!picture_ref_pending(i, confirmed) || (int32_t)(pending - g_picture.ref_frame[i]) > 0)) {
                g_picture.ref_frame[i] = pending;
            }
        }
}

// Rows of one sent-copy move, in the order that keeps overlapping areas intact.
static void encoder_move_sent(const MoveRect *m, uint32_t confirmed) {
    size_t stride = (size_t)g_picture.pad_width * 4, bytes = (size_t)m->width * 4;
    uint8_t *base = g_picture.sent;
    for (int32_t i = 0; i < m->height; i++) {
        int32_t r = m->dst_y > m->src_y ? m->height - 1 - i : i;
        memmove(base + (size_t)(m->dst_y + r) * stride + (size_t)m->dst_x * 4,
                base + (size_t)(m->src_y + r) * stride + (size_t)m->src_x * 4, bytes);
    }
    encoder_move_state(m, confirmed);
}

void encoder_moves(FrameWriter *out) {
    if (g_picture.move_count <= 0) return;
    uint8_t *p = writer_reserve(out, HEADER_BYTES + (size_t)g_picture.move_count * MOVE_RECT_BYTES);
    if (!p) return;   // the moves stay pending; nothing was applied
    uint8_t *q = p + HEADER_BYTES;
    uint32_t confirmed = flow.confirmed_frame.load();
    for (int32_t i = 0; i < g_picture.move_count; i++) {
        const MoveRect *m = &g_picture.moves[i];
        if (!msg_move_rect_valid(m, g_picture.width, g_picture.height)) continue;   // the viewer skips it too
        encoder_move_sent(m, confirmed);
        msg_pack_move_rect(q, m);
        q += MOVE_RECT_BYTES;
    }
    g_picture.move_count = 0;
    if (q == p + HEADER_BYTES) return;
    header_put(p, MSG_MOVE_RECTS, (uint32_t)(q - p - HEADER_BYTES));
    s_moves.at = out->len;
    s_moves.size = (size_t)(q - p);
    writer_commit(out, (size_t)(q - p));
}

static void encoder_cache_ref(FrameWriter *out, uint8_t *p, int32_t tx, int32_t ty, uint64_t h) {
    if (encoder_batching() && codec2_batch_ref(&s_batch, (uint32_t)(tx + ty * g_picture.cols), h)) {
        g_encoder.refs_this_frame++;
        encoder_batch_spill(out);
        return;
    }
    CacheRef m = {(uint16_t)tx, (uint16_t)ty, h};
    writer_commit(out, msg_pack_cache_ref(p, &m));
    g_encoder.refs_this_frame++;
    s_moves.loose++;
}

// MSG_TILE at p: the compressed delta when it is 1..16383 bytes, else the new pixels. With the
// second codec the byte after ty names the form that its chooser picked.
static void encoder_tile_msg(FrameWriter *out, uint8_t *p, const TileSlot *s) {
    int32_t tx = s->tx, ty = s->ty;
    uint64_t h = s->hash;
    uint8_t *data = p + HEADER_BYTES + TILE_HEADER_BYTES, form = s->form;
    int n = s->n;
    int raw = form == TILE_FORM_RAW || !(n >= 1 && n < TILE_BYTES);
    if (raw) {
        work_new_pixels(s, data, TILE_ROW_BYTES);
        n = TILE_BYTES;
        g_encoder.raw_this_frame++;
    } else if (form == TILE_FORM_CROP && encoder_batching() &&
               codec2_batch_tile(&s_batch, &s_stream, (uint32_t)(tx + ty * g_picture.cols), form, s->data,
                                 (size_t)n, h)) {
        encoder_batch_spill(out);   // the crop goes in the frame's batch
        return;
    } else {
        memcpy(data, s->data, (size_t)n);
        // The form was chosen for the tile alone, on any thread; its piece of the session stream
        // is made here, in wire order.
        if (g_encoder.codec2) n = codec2_stream_tile(&s_stream, data, n, &form);
    }
    TileHeader m = {(uint16_t)tx, (uint16_t)ty, raw ? (uint8_t)TILE_FORM_RAW : form, h};
    writer_commit(out, msg_pack_tile(p, &m, (uint32_t)n) + (size_t)n);
    s_moves.loose++;
}

// What one pass needs to know for every tile it encodes.
struct EncodePass {
    FrameWriter *out;     // the frame being written
    int32_t budget;
    int use_cache;        // references may go out and the mirror is kept
    uint32_t confirmed;   // latest frame the viewer really acknowledged
    uint32_t frame;       // the number this pass's frame will get
    uint32_t now;         // tick of this pass
    uint32_t hold_ms;     // how long a tile may wait for its reference's acknowledgement
    size_t start;         // output length when the tiles began
    size_t max_bytes;     // tile bytes the pass may append (0: no limit)
    int32_t candidates;   // tiles that may go as deltas (pick_delta_candidates) when the pass began
    int fresh_only;       // only tiles whose dirty byte is 1
    int codec2;           // deltas in the second codec's forms (else the version-1 forms)
};

// What became of a changed tile.
enum { TILE_NOT_SENT, TILE_SENT, TILE_AS_REF, TILE_HELD };

// 1 while a tile whose content rests on the reference of frame f may still wait for its
// acknowledgement: the frame went out less than hold_ms ago (a frame the ring no longer holds is
// older than that).
static int encoder_may_hold(const EncodePass *ps, uint32_t f) {
    uint32_t k = f % ENCODER_TICK_RING;
    return g_encoder.ring_frame[k] == f && ps->now - g_encoder.ring_tick[k] < ps->hold_ms;
}

// One changed tile, computed in slot s: reference or tile message, and sent takes its new pixels.
// A tile the host is unsure of goes raw unless the viewer holds its content; one that is unsure
// only because of a pending reference (TILE_PENDING) instead waits for that reference's
// acknowledgement (held: sent and the tile's state stay as they are) for up to hold_ms after its
// frame went out. Returns TILE_AS_REF, TILE_SENT, TILE_HELD, or
// TILE_NOT_SENT when the output buffer cannot grow.
static int encoder_tile(const EncodePass *ps, const TileSlot *s, size_t i) {
    uint8_t *p = writer_reserve(ps->out, HEADER_BYTES + TILE_HEADER_BYTES + codec_bound(TILE_BYTES));
    if (!p) return TILE_NOT_SENT;
    if (s->how == TILE_PENDING && !(ps->use_cache && mirror_lookup(s->hash)) && encoder_may_hold(ps, g_picture.ref_frame[i]))
        return TILE_HELD;
    if (!s->in_sent) work_put_sent(s);
    if (ps->use_cache && mirror_lookup(s->hash)) {
        encoder_cache_ref(ps->out, p, s->tx, s->ty, s->hash);
        return TILE_AS_REF;
    }
    encoder_tile_msg(ps->out, p, s);
    if (ps->use_cache) mirror_insert(s->hash);
    return TILE_SENT;
}

static int encoder_covered(int32_t tx, int32_t ty) {
    return g_encoder.text_cover && text_rect_covers_tile(&g_encoder.cover, tx, ty);
}

// Which candidate tiles of tile row ty differ from sent. Compared pixel row by pixel row across
// runs of neighbouring candidates, so an unchanged screen costs about one memcmp of the picture.
static void encoder_compare_band(int32_t ty, const uint8_t *candidate, uint8_t *changed) {
    size_t stride = (size_t)g_picture.pad_width * 4, base = (size_t)ty * TILE_EDGE * stride;
    int32_t cols = g_picture.cols;
    for (int r = 0; r < TILE_EDGE; r++) {
        const uint8_t *c = g_picture.current + base + r * stride, *s = g_picture.sent + base + r * stride;
        for (int32_t tx = 0; tx < cols;) {
            if (!candidate[tx] || changed[tx]) {
                tx++;
                continue;
            }
            int32_t end = tx;
            while (end < cols && candidate[end] && !changed[end]) end++;
            size_t at = (size_t)tx * TILE_ROW_BYTES;
            if (memcmp(c + at, s + at, (size_t)(end - tx) * TILE_ROW_BYTES) != 0)
                for (int32_t k = tx; k < end; k++)
                    changed[k] = memcmp(c + (size_t)k * TILE_ROW_BYTES, s + (size_t)k * TILE_ROW_BYTES, TILE_ROW_BYTES) != 0;
            tx = end;
        }
    }
}

#define MAX_COLS (PICTURE_MAX_EDGE / TILE_EDGE)
#define QUEUE_CAP (4 * WORK_SLOTS + MAX_COLS)   // queued candidates at most: a band more than the target

// The pass's candidate tiles in scan order, compared band by band ahead of the emitting. A
// changed one has an ordinal (its slot's), an unchanged one -1.
struct TileQueue {
    int32_t tx[QUEUE_CAP], ty[QUEUE_CAP], ord[QUEUE_CAP];
    int head, count;          // next entry to emit; entries queued
    int32_t next_band;        // first tile row not yet queued
    int ords;                 // changed tiles queued this pass
    int assigned;             // changed tiles whose slot a job took (from the head's entries on)
    int32_t passed;           // entries the scan has passed this pass
};
static TileQueue s_queue;
static uint8_t s_candidate[MAX_COLS];   // per tile column of the band: dirty and not under the text layer
static uint8_t s_changed[MAX_COLS];     // per tile column: differs from sent (or must be sent whole)

// Queues tile row ty's candidates.
static void encoder_queue_band(const EncodePass *ps, TileQueue *q, int32_t ty) {
    int32_t cols = g_picture.cols;
    const uint8_t *dirty = g_picture.dirty + (size_t)ty * cols, *force = g_picture.force_raw + (size_t)ty * cols;
    for (int32_t tx = 0; tx < cols; tx++) {
        s_candidate[tx] = dirty[tx] && (!ps->fresh_only || dirty[tx] == 1) && !encoder_covered(tx, ty);
        s_changed[tx] = s_candidate[tx] && force[tx];
    }
    encoder_compare_band(ty, s_candidate, s_changed);
    for (int32_t tx = 0; tx < cols; tx++) {
        if (!s_candidate[tx]) continue;
        q->tx[q->count] = tx;
        q->ty[q->count] = ty;
        q->ord[q->count++] = s_changed[tx] ? q->ords++ : -1;
    }
}

// Queues bands until `want` changed tiles are queued, the screen is done, or the queue is full.
static void encoder_queue_fill(const EncodePass *ps, TileQueue *q, int want) {
    if (q->head > 0) {   // entries before the head went out
        int n = q->count - q->head;
        memmove(q->tx, q->tx + q->head, (size_t)n * sizeof q->tx[0]);
        memmove(q->ty, q->ty + q->head, (size_t)n * sizeof q->ty[0]);
        memmove(q->ord, q->ord + q->head, (size_t)n * sizeof q->ord[0]);
        q->count = n;
        q->head = 0;
    }
    while (q->ords < want && q->next_band < g_picture.rows && q->count + g_picture.cols <= QUEUE_CAP)
        encoder_queue_band(ps, q, q->next_band++);
}

// Begins the job for up to `count` changed tiles after those already assigned: their slots take
// position and kind. Returns how many it took (0: no job begun).
static int encoder_queue_job(const EncodePass *ps, TileQueue *q, int count) {
    encoder_queue_fill(ps, q, q->assigned + count);
    if (q->ords - q->assigned < count) count = q->ords - q->assigned;
    if (count <= 0) return 0;
    int first = q->assigned;
    for (int e = q->head; e < q->count && q->assigned < first + count; e++) {
        if (q->ord[e] < first) continue;
        TileSlot *s = work_slot(q->ord[e]);
        size_t i = (size_t)q->tx[e] + (size_t)q->ty[e] * g_picture.cols;
        s->tx = q->tx[e];
        s->ty = q->ty[e];
        s->how = g_picture.force_raw[i] ? TILE_WHOLE : picture_ref_pending(i, ps->confirmed) ? TILE_PENDING : TILE_DELTA;
        s->sent_zero = g_picture.sent_zero[i];
        q->assigned++;
    }
    work_begin(first, count, !ps->use_cache, ps->codec2);
    return count;
}

// The pass's byte budget once `used` bytes went into `tiles` tiles with `passed` entries of the scan
// behind: max_bytes, or a quarter more when the rest of the change, at the size of the tiles so far,
// fits in that. A tail in a frame of its own would wait a whole round trip for this one's
// acknowledgement.
static size_t encoder_byte_limit(const EncodePass *ps, size_t used, size_t tiles, int32_t passed) {
    if (!tiles || used < tiles) return ps->max_bytes;
    size_t rest = ps->candidates > passed ? (size_t)(ps->candidates - passed) * (used / tiles) : 0;
    size_t stretched = ps->max_bytes + ps->max_bytes / 4;
    return used + rest <= stretched ? stretched : ps->max_bytes;
}

// Changed tiles worth computing beyond `ahead` computed and not yet emitted: what the tile budget
// and, estimated from the tiles so far, the byte budget still allow. Only wasted work depends on it.
static int encoder_room(const EncodePass *ps, int ahead, int32_t passed) {
    int64_t left = (int64_t)ps->budget - g_encoder.tiles_this_frame - ahead;
    if (ps->max_bytes) {
        size_t used = ps->out->len - ps->start, tiles = (size_t)g_encoder.tiles_this_frame;
        size_t limit = encoder_byte_limit(ps, used, tiles, passed);
        int64_t est = workers_helpers() + 1;
        if (tiles && used >= tiles) est = (int64_t)((limit > used ? limit - used : 0) / (used / tiles)) + 1;
        if (est - ahead < left) left = est - ahead;
    }
    return left < 0 ? 0 : left > WORK_CHUNK ? WORK_CHUNK : (int)left;
}

// 1 while the frame may take another tile (budget, record size); `passed` entries of the scan are behind.
static int encoder_has_room(const EncodePass *ps, int32_t passed) {
    if (g_encoder.tiles_this_frame >= ps->budget) return 0;
    // A byte budget stops the frame before a tile of the usual size would overshoot it (batched
    // entries counted as their unpacked bytes).
    size_t used = ps->out->len - ps->start + s_batch.len, tiles = (size_t)g_encoder.tiles_this_frame;
    if (ps->max_bytes && tiles && used + used / tiles > encoder_byte_limit(ps, used, tiles, passed)) return 0;
    // A frame stays within the largest record a viewer takes, as its biggest message must; what
    // does not fit waits for the next pass.
    return ps->out->len + codec2_batch_bound(&s_batch) + TILE_MSG_MAX + FRAME_TAIL_BYTES <= CHANNEL_MAX_RECORD;
}

// Queue entry e in scan order (its tile computed when it changed). 0 when the output cannot grow.
static int encoder_entry(const EncodePass *ps, const TileQueue *q, int e) {
    size_t i = (size_t)q->tx[e] + (size_t)q->ty[e] * g_picture.cols;
    if (q->ord[e] < 0) {
        g_picture.dirty[i] = 0;
        return 1;
    }
    int sent = encoder_tile(ps, work_slot(q->ord[e]), i);
    if (sent == TILE_NOT_SENT) return 0;
    if (sent == TILE_HELD) {   // stays dirty, costs no budget, and goes on a later pass
        g_encoder.held_this_frame++;
        return 1;
    }
    // A reference leaves the tile unsure until its frame is acknowledged without a miss; a raw
    // tile, or a delta against a tile the viewer surely shows, makes it sure.
    g_picture.ref_frame[i] = sent == TILE_AS_REF ? ps->frame : 0;
    if (sent == TILE_AS_REF) g_picture.latest_ref = ps->frame;
    g_picture.dirty[i] = 0;
    g_picture.force_raw[i] = 0;
    g_picture.sent_zero[i] = 0;   // sent took the new pixels
    g_encoder.tiles_this_frame++;
    return 1;
}

// With the cache, compresses the hashed tiles first .. first+count-1 but those whose content the
// viewer already holds: the mirror only grows during a pass, so they surely go as references.
static void encoder_compress(const EncodePass *ps, int first, int count) {
    if (!ps->use_cache) return;   // the take job compressed them
    for (int k = first; k < first + count; k++) {
        TileSlot *s = work_slot(k);
        s->in_mirror = ps->use_cache && s->how == TILE_DELTA && mirror_lookup(s->hash);
    }
    work_compress(first, count, ps->codec2);
}

// The room for the frame's parts: what the session gave at the pass's start, grown by what the link
// carried since at the measured delivery rate (the socket's buffer empties as the pass goes on: on a
// fast link a big pass would otherwise leave the link idle before the pass ends). The rate a fast
// link measures is below the link's, since it takes in the viewer's apply.
static size_t encoder_part_room(void) {
    int64_t ms = (pick_clock_ns() - g_encoder.part_start_ns) / 1000000;
    int64_t drained = ms > 0 ? (int64_t)flow.rate.load() * ms : 0;
    return g_encoder.part_room + (size_t)drained;
}

// The frame so far as a record of its own once it makes a part, while the parts stay within the
// room the session gave them.
static void encoder_part(FrameWriter *out) {
    if (!g_encoder.part_channel || out->len - out->sent < ENCODER_PART_BYTES || out->len > encoder_part_room()) return;
    if (!out->sent) flow_frame_began(frame_counter.load() + 1, clock_tick());
    writer_send_part(out, g_encoder.part_channel);   // a failure fails the frame's own send too
}

// The candidate tiles in scan order, each changed one computed first. With helpers, while the
// session thread emits one job's tiles the next job computes ahead; when the pass stops early the
// tiles computed but not emitted give sent back its old pixels. Without, each
// tile is computed as its turn comes, or a few at a time where the tile budget alone says how
// many may go.
static void encoder_tiles_pass(const EncodePass *ps) {
    TileQueue *q = &s_queue;
    q->head = q->count = q->next_band = q->ords = q->assigned = q->passed = 0;
    int ahead = workers_ensure() > 0;
    int computed = 0, running = 0;   // changed tiles computed; of those after them, in the running job
    int emitted = 0;                 // changed tiles the scan has passed
    for (;;) {
        if (q->head == q->count) {
            encoder_queue_fill(ps, q, q->ords + 1);
            if (q->head == q->count) break;
        }
        if (!encoder_has_room(ps, q->passed)) {
            g_encoder.cut = 1;
            break;
        }
        int ord = q->ord[q->head];
        if (ord >= computed) {   // the next changed tile: finish its job, or compute it now
            // Alone, a group of tiles is still hashed in one go while the budget is counted exactly.
            int room = ahead || !ps->max_bytes ? encoder_room(ps, 0, q->passed) : 1;
            if (!ahead && room > WORK_GROUP) room = WORK_GROUP;
            if (!running) running = encoder_queue_job(ps, q, room > 0 ? room : 1);
            work_join();
            encoder_compress(ps, computed, running);
            computed += running;
            running = ahead ? encoder_queue_job(ps, q, encoder_room(ps, computed - emitted, q->passed)) : 0;
            if (ord >= computed) break;   // no job took it (cannot happen: it is queued)
        }
        if (!encoder_entry(ps, q, q->head)) {
            g_encoder.cut = 1;
            break;
        }
        encoder_part(ps->out);
        if (ord >= 0) emitted++;
        q->head++;
        q->passed++;
    }
    if (running) work_cancel();
    for (int k = emitted; k < computed + running; k++) work_undo(work_slot(k));
}

// How long a tile waits for its reference's acknowledgement: ENCODER_HOLD_MS, or three smoothed
// round trips on a link slower than that, never beyond the largest round trip the flow counts.
static uint32_t encoder_hold_ms(void) {
    uint32_t rtt3 = 3u * (uint32_t)(flow.ema16.load() >> 4);
    if (rtt3 > FLOW_RTT_MAX) rtt3 = FLOW_RTT_MAX;
    return rtt3 > ENCODER_HOLD_MS ? rtt3 : ENCODER_HOLD_MS;
}

void encoder_tiles_at(FrameWriter *out, int32_t budget, uint32_t now) {
    g_encoder.tiles_this_frame = g_encoder.refs_this_frame = g_encoder.raw_this_frame = 0;
    g_encoder.held_this_frame = 0;
    g_encoder.cut = g_encoder.fresh_only;
    EncodePass ps;
    ps.out = out;
    ps.budget = budget;
    ps.use_cache = g_encoder.cache_in_use && mirror_ready();
    ps.confirmed = flow.confirmed_frame.load();
    ps.frame = frame_counter.load() + 1;
    ps.now = now;
    ps.hold_ms = encoder_hold_ms();
    ps.start = out->len;
    ps.fresh_only = g_encoder.fresh_only;
    ps.max_bytes = ps.fresh_only ? 0 : (size_t)flow_frame_bytes();   // a small change goes whole
    // Under the second codec a big pass (or the rest of one the flow cut) takes its family of forms
    // once, before any tile's work, so every thread encodes the pass alike.
    ps.candidates = ps.max_bytes || g_encoder.codec2 ? pick_delta_candidates(ps.fresh_only) : 0;
    int family = g_encoder.codec2 ? pick_pass_family(&g_encoder.pick, ps.candidates, flow.rate.load(), now) : 0;
    ps.codec2 = g_encoder.codec2 && family != 1;
    int64_t t0 = family ? pick_clock_ns() : 0;
    encoder_tiles_pass(&ps);
    // The figures are of the deltas: references and raw tiles cost the same in either family.
    int32_t raw = g_encoder.raw_this_frame, deltas = g_encoder.tiles_this_frame - g_encoder.refs_this_frame - raw;
    if (family) {
        pick_record(&g_encoder.pick, family, deltas, pick_clock_ns() - t0,
                    (int64_t)(out->len - ps.start) - (int64_t)raw * TILE_MSG_MAX);
        pick_pass_end(&g_encoder.pick, family, g_encoder.cut);
    }
}

void encoder_tiles(FrameWriter *out, int32_t budget) { encoder_tiles_at(out, budget, clock_tick()); }

void encoder_frame(FrameWriter *out) {
    g_encoder.pass_start = out->len;
    memset(&s_moves, 0, sizeof s_moves);
    encoder_moves(out);
    encoder_overlays_pass(out);
    encoder_tiles(out, flow_budget());
    g_encoder.encoded_bytes = out->len - g_encoder.pass_start;
}

void encoder_cursor(FrameWriter *out, int32_t x, int32_t y, int visible) {
    visible = visible ? 1 : 0;
    if (g_encoder.cursor_sent && x == g_encoder.cursor_x && y == g_encoder.cursor_y &&
        visible == g_encoder.cursor_visible)
        return;
    uint8_t *p = writer_reserve(out, HEADER_BYTES + CURSOR_BYTES);
    if (!p) return;
    CursorMsg m = {x, y, (uint8_t)visible};
    writer_commit(out, msg_pack_cursor(p, &m));
    g_encoder.cursor_sent = 1;
    g_encoder.cursor_x = x;
    g_encoder.cursor_y = y;
    g_encoder.cursor_visible = visible;
}

int encoder_pass_close(FrameWriter *out) {
    g_encoder.session_tiles += (uint64_t)g_encoder.tiles_this_frame;
    g_encoder.session_refs += (uint64_t)g_encoder.refs_this_frame;
    int32_t x, y;
    int visible;
    if (encoder_pointer(&x, &y, &visible)) encoder_cursor(out, x, y, visible);
    if (out->len <= g_encoder.pass_start && !s_batch.count) return 0;
    uint32_t number = frame_counter.load() + 1;
    if (number - 1 < 3 || (number - 1) % 200 == 0)
        host_log("frame %u: %d tiles (%d as refs), %u bytes", number, g_encoder.tiles_this_frame,
                 g_encoder.refs_this_frame, (unsigned)g_encoder.encoded_bytes);
    frame_counter.store(number);
    uint32_t tick = clock_tick();
    g_encoder.ring_frame[number % ENCODER_TICK_RING] = number;   // for the hold's bound
    g_encoder.ring_tick[number % ENCODER_TICK_RING] = tick;
    // A frame with a batch ends with it; one whose batch could not go, as any other.
    int moved = encoder_moves_to_batch(out);
    if (s_batch.count && encoder_batch_emit(out, 1, number, tick, 0)) {
        if (moved) encoder_moves_cut(out);
        memset(&s_moves, 0, sizeof s_moves);
        return 1;
    }
    memset(&s_moves, 0, sizeof s_moves);   // a batch that could not go took the moves with it
    uint8_t *p = writer_reserve(out, HEADER_BYTES + FRAME_END_BYTES);
    if (!p) return -1;
    FrameEnd m = {number, tick};
    writer_commit(out, msg_pack_frame_end(p, &m));
    codec2_batch_note_end(&s_batch, number, tick);
    return 1;
}

void encoder_log_session_stats(void) {
    double share = g_encoder.session_tiles ? 100.0 * (double)g_encoder.session_refs / (double)g_encoder.session_tiles : 0.0;
    host_log("session stats: %llu tiles sent, %llu as cache refs (%.0f%%)",
             (unsigned long long)g_encoder.session_tiles, (unsigned long long)g_encoder.session_refs, share);
}
