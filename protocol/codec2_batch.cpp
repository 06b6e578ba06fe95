// codec2_batch: the content of MSG_TILE_BATCH, built by the host and walked by the viewer. Entries
// are varint steps between tile indexes, a kind byte and the kind's data; the tiles' hashes are
// folded into one check, which runs over every tile since the previous check and goes only every
// few batches. The content travels as one piece of the session stream (codec2_stream).
#include "protocol/codec2_batch.h"
#include <stdlib.h>
#include <string.h>
#include <zstd.h>
#include "protocol/messages.h"

#define HEAD_MAX (1 + 5 + 5)       // flags, count, moves
#define TAIL_MAX (5 + 5 + 8)       // frame and tick differences, check
#define ENTRY_MAX (5 + 1 + 5 + CODEC2_BODY_MAX)
#define REF_BYTES 8

uint64_t codec2_check_step(uint64_t c, uint64_t h) {
    c ^= h;
    c = (c << 31) | (c >> 33);
    return c * 0xC4CEB9FE1A85EC53ull;
}

static size_t varint_put(uint8_t *p, uint32_t v) {
    size_t n = 0;
    while (v >= 0x80) {
        p[n++] = (uint8_t)(v | 0x80);
        v >>= 7;
    }
    p[n++] = (uint8_t)v;
    return n;
}

// A varint in u32 range at *at (moved past it); 0 when it runs past len or beyond 32 bits.
static int varint_get(const uint8_t *p, size_t len, size_t *at, uint32_t *v) {
    uint32_t r = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (*at >= len) return 0;
        uint8_t b = p[(*at)++];
        if (shift == 28 && b > 0x0F) return 0;
        r |= (uint32_t)(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            *v = r;
            return 1;
        }
    }
    return 0;
}

static uint32_t zigzag(int64_t v) { return (uint32_t)(((uint64_t)v << 1) ^ (uint64_t)(v >> 63)); }
static int64_t unzigzag(uint32_t v) { return (int64_t)(v >> 1) ^ -(int64_t)(v & 1); }

// ---- the host's end ----

void codec2_batch_reset(Codec2Batch *b) {
    b->len = 0;
    b->count = 0;
    b->prev = -1;
    b->check = b->base = CODEC2_CHECK_SEED;
    b->pending = b->tiles = b->unchecked = 0;
    b->moves_len = b->moves_n = 0;
    b->last_frame = b->last_tick = 0;
}

// Room for one more entry of at most `more` bytes; 0 when it cannot grow.
static int codec2_batch_room(Codec2Batch *b, size_t more) {
    if (b->count >= CODEC2_BATCH_ENTRIES) return 0;
    if (!b->index) b->index = (uint32_t *)malloc(CODEC2_BATCH_ENTRIES * sizeof *b->index);
    if (!b->index) return 0;
    if (b->len + more <= b->cap) return 1;
    size_t cap = (b->len + more) * 2 + 65536;
    uint8_t *p = (uint8_t *)realloc(b->entries, cap);
    if (!p) return 0;
    b->entries = p;
    b->cap = cap;
    return 1;
}

// The step and kind of a new entry for tile `index`.
static void codec2_batch_head(Codec2Batch *b, uint32_t index, uint8_t kind) {
    b->len += varint_put(b->entries + b->len, (uint32_t)((int64_t)index - b->prev));
    b->entries[b->len++] = kind;
    b->prev = index;
    b->index[b->count++] = index;
}

int codec2_batch_tile(Codec2Batch *b, Codec2Stream *s, uint32_t index, uint8_t form, const uint8_t *data, size_t n,
                      uint64_t hash) {
    if ((int64_t)index <= b->prev || !codec2_batch_room(b, ENTRY_MAX)) return 0;
    size_t body = codec2_stream_unpack_form(s, data, n, form);
    if (body < 2) return 0;
    codec2_batch_head(b, index, form);
    b->len += varint_put(b->entries + b->len, (uint32_t)(body - 1));
    memcpy(b->entries + b->len, s->body + 1, body - 1);
    b->len += body - 1;
    b->check = codec2_check_step(b->check, hash);
    b->pending++;
    b->tiles++;
    return 1;
}

int codec2_batch_ref(Codec2Batch *b, uint32_t index, uint64_t hash) {
    if ((int64_t)index <= b->prev || !codec2_batch_room(b, 5 + 1 + REF_BYTES)) return 0;
    codec2_batch_head(b, index, BATCH_KIND_REF);
    put_u64(b->entries + b->len, hash);
    b->len += REF_BYTES;
    return 1;
}

int codec2_batch_move(Codec2Batch *b, const MoveRect *m) {
    if (b->moves_n >= MAX_MOVE_RECTS) return 0;
    uint8_t *p = b->moves + b->moves_len;
    size_t n = varint_put(p, (uint32_t)m->src_x);
    n += varint_put(p + n, (uint32_t)m->src_y);
    n += varint_put(p + n, zigzag((int64_t)m->dst_x - m->src_x));
    n += varint_put(p + n, zigzag((int64_t)m->dst_y - m->src_y));
    n += varint_put(p + n, (uint32_t)m->width);
    n += varint_put(p + n, (uint32_t)m->height);
    b->moves_len += n;
    b->moves_n++;
    return 1;
}

int codec2_batch_full(const Codec2Batch *b) {
    return b->len >= CODEC2_BATCH_CAP || b->count >= CODEC2_BATCH_ENTRIES;
}

size_t codec2_batch_bound(const Codec2Batch *b) {
    return HEADER_BYTES + ZSTD_compressBound(HEAD_MAX + b->moves_len + b->len + TAIL_MAX) + 64;
}

long codec2_batch_pack(Codec2Batch *b, Codec2Stream *s, int closes, uint32_t frame, uint32_t tick, uint8_t *dst) {
    uint8_t head[HEAD_MAX], tail[TAIL_MAX];
    size_t h = 0, t = 0;
    // Nothing unchecked: no check. Else one when enough tiles or batches waited for it.
    int check = b->pending >= BATCH_CHECK_TILES || (b->pending && b->unchecked + 1 >= BATCH_CHECK_BATCHES);
    head[h++] = (uint8_t)((closes ? BATCH_CLOSES_FRAME : 0) | (check ? BATCH_HAS_CHECK : 0) |
                          (b->moves_n ? BATCH_HAS_MOVES : 0));
    h += varint_put(head + h, b->count);
    if (b->moves_n) h += varint_put(head + h, b->moves_n);
    if (closes) {
        t += varint_put(tail, frame - b->last_frame);
        t += varint_put(tail + t, tick - b->last_tick);
    }
    if (check) {
        put_u64(tail + t, b->check);   // last: the bytes before it then repeat from batch to batch
        t += 8;
    }
    const uint8_t *parts[4] = {head, b->moves, b->entries, tail};
    size_t lens[4] = {h, b->moves_len, b->len, t};
    long n = dst ? codec2_stream_put(s, parts, lens, 4, dst + HEADER_BYTES, codec2_batch_bound(b) - HEADER_BYTES) : -1;
    b->moves_len = b->moves_n = 0;
    b->len = 0;
    b->count = 0;
    b->prev = -1;
    if (n < 0) {   // the viewer never sees this batch: the check goes on from before it
        b->check = b->base;
        b->pending -= b->tiles;
    } else if (check) {
        b->check = CODEC2_CHECK_SEED;
        b->pending = b->unchecked = 0;
    } else {
        b->unchecked = b->pending ? b->unchecked + 1 : 0;
    }
    b->base = b->check;
    b->tiles = 0;
    if (n < 0) return -1;
    if (closes) codec2_batch_note_end(b, frame, tick);
    header_put(dst, MSG_TILE_BATCH, (uint32_t)n);
    return HEADER_BYTES + n;
}

void codec2_batch_note_end(Codec2Batch *b, uint32_t frame, uint32_t tick) {
    b->last_frame = frame;
    b->last_tick = tick;
}

void codec2_batch_free(Codec2Batch *b) {
    free(b->entries);
    free(b->index);
    b->entries = nullptr;
    b->index = nullptr;
    b->cap = 0;
    codec2_batch_reset(b);
}

// ---- the viewer's end ----

// A field of a move as an i32; one out of that range becomes -1, which no valid move has.
static int32_t move_field(int64_t v) { return v < 0 || v > INT32_MAX ? -1 : (int32_t)v; }

// The moves after `count`: how many (1 to MAX_MOVE_RECTS), then six varints each.
static int codec2_batch_moves_read(Codec2BatchDec *b) {
    uint32_t n, v[6];
    if (!varint_get(b->content, b->len, &b->at, &n) || n == 0 || n > MAX_MOVE_RECTS) return 0;
    for (uint32_t k = 0; k < n; k++) {
        for (int f = 0; f < 6; f++)
            if (!varint_get(b->content, b->len, &b->at, &v[f])) return 0;
        MoveRect *m = &b->moves[k];
        m->src_x = move_field(v[0]);
        m->src_y = move_field(v[1]);
        m->dst_x = move_field(v[0] + unzigzag(v[2]));
        m->dst_y = move_field(v[1] + unzigzag(v[3]));
        m->width = move_field(v[4]);
        m->height = move_field(v[5]);
    }
    b->moves_n = n;
    return 1;
}

int codec2_batch_open(Codec2BatchDec *b, Codec2Dec *d, const uint8_t *piece, size_t n, uint32_t grid) {
    if (!b->content) b->content = (uint8_t *)malloc(CODEC2_BATCH_MAX + 1);
    if (!b->content) return 0;
    b->len = codec2_dec_stream_read(d, piece, n, b->content, CODEC2_BATCH_MAX + 1);
    b->at = 0;
    b->seen = 0;
    b->prev = -1;
    b->grid = grid;
    if (b->len < 1 + 1) return 0;
    b->flags = b->content[b->at++];
    if (b->flags & ~(BATCH_CLOSES_FRAME | BATCH_HAS_CHECK | BATCH_HAS_MOVES)) return 0;
    b->moves_n = 0;
    if (!varint_get(b->content, b->len, &b->at, &b->count) || b->count > CODEC2_BATCH_ENTRIES) return 0;
    return !(b->flags & BATCH_HAS_MOVES) || codec2_batch_moves_read(b);
}

// After the last entry: the frame end (flags bit 0) and the check, then the content must end.
static int codec2_batch_tail(Codec2BatchDec *b) {
    if (b->flags & BATCH_CLOSES_FRAME) {
        uint32_t df, dt;
        if (!varint_get(b->content, b->len, &b->at, &df) || !varint_get(b->content, b->len, &b->at, &dt)) return -1;
        b->frame = b->last_frame + df;
        b->tick = b->last_tick + dt;
    }
    size_t check = (b->flags & BATCH_HAS_CHECK) ? 8 : 0;
    if (b->len - b->at != check) return -1;
    if (check) b->check = get_u64(b->content + b->at);
    b->at += check;
    if (b->flags & BATCH_CLOSES_FRAME) codec2_batch_dec_note_end(b, b->frame, b->tick);
    return 0;
}

int codec2_batch_next(Codec2BatchDec *b, Codec2BatchEntry *e) {
    if (b->seen == b->count) return codec2_batch_tail(b);
    uint32_t step, n;
    if (!varint_get(b->content, b->len, &b->at, &step) || step == 0) return -1;
    int64_t index = b->prev + step;
    if (index >= b->grid || b->at >= b->len) return -1;
    e->index = (uint32_t)index;
    e->kind = b->content[b->at++];
    e->data = nullptr;
    e->n = 0;
    e->hash = 0;
    if (e->kind == BATCH_KIND_REF) {
        if (b->len - b->at < REF_BYTES) return -1;
        e->hash = get_u64(b->content + b->at);
        b->at += REF_BYTES;
    } else {
        if (e->kind < TILE_FORM_ZDELTA || e->kind > TILE_FORM_CROP) return -1;
        if (!varint_get(b->content, b->len, &b->at, &n) || n > b->len - b->at) return -1;
        e->data = b->content + b->at;
        e->n = n;
        b->at += n;
    }
    b->prev = index;
    b->seen++;
    return 1;
}

int codec2_batch_apply(Codec2Dec *d, const Codec2BatchEntry *e, uint8_t *tile) {
    if (e->kind < TILE_FORM_ZDELTA || e->kind > TILE_FORM_CROP) return 0;
    d->unpacked = 1;
    int ok = codec2_apply_tile(d, e->kind, e->data, e->n, tile);
    d->unpacked = 0;
    return ok;
}

void codec2_batch_dec_note_end(Codec2BatchDec *b, uint32_t frame, uint32_t tick) {
    b->last_frame = frame;
    b->last_tick = tick;
}

void codec2_batch_dec_reset(Codec2BatchDec *b) {
    b->last_frame = b->last_tick = 0;
    b->len = b->at = 0;
}

void codec2_batch_dec_free(Codec2BatchDec *b) {
    free(b->content);
    b->content = nullptr;
    codec2_batch_dec_reset(b);
}
