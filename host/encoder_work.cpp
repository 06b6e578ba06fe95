// encoder_work: per-tile compute of the encoder on the worker pool.
#include "host/encoder_work.h"

#include <string.h>

#include "host/picture.h"
#include "platform/workers.h"
#include "protocol/codec.h"
#include "protocol/tile_rows.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)

static TileSlot s_slots[WORK_SLOTS];
static Codec2Enc s_codec2[WORKERS_MAX + 1];   // one per thread: zstd context and scratch

// One per thread: the delta of the tile being compressed and, for the second codec, its new
// pixels whole. Reused tile after tile, so they stay in the core's cache.
struct WorkScratch {
    alignas(64) uint8_t delta[TILE_BYTES];
    alignas(64) uint8_t tile[TILE_BYTES];
};
static WorkScratch s_scratch[WORKERS_MAX + 1];

// The job under way: slots first .. first+count-1.
struct WorkJob {
    int first, count, codec2;
    int compress;   // a take job compresses too
    int take;       // sent takes the new pixels as the delta is made
};
static WorkJob s_job;

TileSlot *work_slot(int k) { return &s_slots[k % WORK_SLOTS]; }

// sent's old pixels back from the new ones and their delta.
static void work_restore(const uint8_t *cur, uint8_t *snt, size_t stride, const uint8_t *delta) {
    for (int r = 0; r < TILE_EDGE; r++)
        for (int j = 0; j < TILE_ROW_BYTES; j++)
            snt[r * stride + j] = (uint8_t)(cur[r * stride + j] ^ delta[r * TILE_ROW_BYTES + j]);
}

static size_t work_offset(const TileSlot *s, size_t stride) {
    return (size_t)s->ty * TILE_EDGE * stride + (size_t)s->tx * TILE_ROW_BYTES;
}

// A tile that goes as a delta and is not a reference: its delta into this thread's scratch, then
// compressed into the slot. With take (first codec) sent takes the new pixels in the same sweep,
// while its lines are in this core's cache, as long as the old ones can be had back (work_undo): they
// were black, or the compressed delta gives them; else they go back at once and the encoder puts the
// new ones in when the tile goes.
static void work_compress_slot(const WorkJob *j, TileSlot *s, int worker) {
    if (s->how != TILE_DELTA || s->in_mirror) return;
    size_t stride = (size_t)g_picture.pad_width * 4, off = work_offset(s, stride);
    WorkScratch *w = &s_scratch[worker];
    int take = j->take;
    tile_rows_delta(g_picture.current + off, g_picture.sent + off, stride, j->codec2 ? w->tile : 0, w->delta, take,
                    s->sent_zero);
    s->n = j->codec2 ? codec2_encode_tile(&s_codec2[worker], w->tile, w->delta, s->data, &s->form)
                     : codec_compress(w->delta, TILE_BYTES, s->data, sizeof s->data);
    if (!take) return;
    if (s->sent_zero || (s->n >= 1 && s->n < TILE_BYTES)) s->in_sent = 1;
    else work_restore(g_picture.current + off, g_picture.sent + off, stride, w->delta);
}

// A group of up to WORK_GROUP tiles hashed together from the picture's rows.
static void work_hash_group(const WorkJob *j, int a) {
    int b = a + WORK_GROUP, end = j->first + j->count;
    if (b > end) b = end;
    size_t stride = (size_t)g_picture.pad_width * 4;
    const uint8_t *tiles[WORK_GROUP] = {};
    uint64_t h[WORK_GROUP];
    for (int k = a; k < b; k++) tiles[k - a] = g_picture.current + work_offset(work_slot(k), stride);
    tile_hash_many_far(tiles, stride, (size_t)(b - a), h);
    for (int k = a; k < b; k++) work_slot(k)->hash = h[k - a];
}

// The m-th of count tiles in an order that alternates between the two halves of the run.
static int work_spread(int m, int count) { return m % 2 ? (count + 1) / 2 + m / 2 : m / 2; }

// A take job that compresses has one item per group of tiles: the group is hashed and then each
// of its tiles compressed, on one thread, so the rows just hashed are still in that core's cache
// when the delta reads them again. The last group is split so the job ends in single tiles that
// keep every thread busy: its hash is one item, and each of its tiles one more.
static void work_take_group(const WorkJob *j, int a, int worker) {
    work_hash_group(j, a);
    int b = a + WORK_GROUP, end = j->first + j->count;
    for (int k = a; k < b && k < end; k++) work_compress_slot(j, work_slot(k), worker);
}

// A slot before its job: not compressed yet, in the first form, not a reference.
static void work_tile_reset(TileSlot *s) {
    s->n = -1;
    s->form = TILE_FORM_LZ4_DELTA;
    s->in_mirror = 0;
}

// Item k of a take job: without compress one hash group each. With compress, whole groups, then
// the last group's hash, then its tiles one by one.
static void work_take_item(void *ctx, int item, int worker) {
    const WorkJob *j = (const WorkJob *)ctx;
    int groups = (j->count + WORK_GROUP - 1) / WORK_GROUP;
    if (!j->compress) {
        work_hash_group(j, j->first + item * WORK_GROUP);
        return;
    }
    if (item < groups - 1) {
        work_take_group(j, j->first + item * WORK_GROUP, worker);
        return;
    }
    int last = j->first + (groups - 1) * WORK_GROUP;
    if (item == groups - 1) work_hash_group(j, last);
    else work_compress_slot(j, work_slot(last + item - groups), worker);
}

// Item k of a compress job: the delta of one tile that goes as a delta unless it is a reference
// (tiles in an order that puts the two halves of the run side by side, so that threads taking
// turns work on tiles far apart, whose rows do not share the prefetcher's reach).
static void work_compress_one(void *ctx, int item, int worker) {
    const WorkJob *j = (const WorkJob *)ctx;
    work_compress_slot(j, work_slot(j->first + work_spread(item, j->count)), worker);
}

static void work_job(int first, int count, int codec2, int compress) {
    s_job.compress = compress;
    s_job.first = first;
    s_job.count = count;
    s_job.codec2 = codec2;
    s_job.take = !codec2;
}

void work_begin(int first, int count, int compress, int codec2) {
    workers_ensure();
    work_job(first, count, codec2, compress);
    for (int k = first; k < first + count; k++) {
        work_slot(k)->in_sent = 0;
        work_tile_reset(work_slot(k));
    }
    int groups = (count + WORK_GROUP - 1) / WORK_GROUP;
    int last = groups ? count - (groups - 1) * WORK_GROUP : 0;   // tiles of the last group
    workers_begin(work_take_item, &s_job, compress ? groups + last : groups);
}

void work_compress(int first, int count, int codec2) {
    work_job(first, count, codec2, 0);
    workers_begin(work_compress_one, &s_job, count);
    workers_join();
}

void work_join(void) { workers_join(); }
void work_cancel(void) { workers_cancel(); }

void work_new_pixels(const TileSlot *s, uint8_t *dst, size_t dst_stride) {
    size_t stride = (size_t)g_picture.pad_width * 4;
    const uint8_t *cur = g_picture.current + work_offset(s, stride);
    for (int r = 0; r < TILE_EDGE; r++) memcpy(dst + r * dst_stride, cur + r * stride, TILE_ROW_BYTES);
}

void work_undo(const TileSlot *s) {
    if (!s->in_sent) return;
    size_t stride = (size_t)g_picture.pad_width * 4, off = work_offset(s, stride);
    if (s->sent_zero) {   // black before, whether or not the delta compressed
        for (int r = 0; r < TILE_EDGE; r++) memset(g_picture.sent + off + r * stride, 0, TILE_ROW_BYTES);
        return;
    }
    uint8_t *delta = s_scratch[0].delta;   // the session thread's, with no job under way
    if (codec_decompress(s->data, (size_t)s->n, delta, TILE_BYTES) == TILE_BYTES)
        work_restore(g_picture.current + off, g_picture.sent + off, stride, delta);
}

void work_put_sent(const TileSlot *s) {
    size_t stride = (size_t)g_picture.pad_width * 4;
    work_new_pixels(s, g_picture.sent + work_offset(s, stride), stride);
}
