// encoder_work: per-tile compute of the encoder on the worker pool.
#include "host/encoder_work.h"

#include <string.h>

#include "host/picture.h"
#include "platform/workers.h"
#include "protocol/codec.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)

static TileSlot s_slots[WORK_SLOTS];
static Codec2Enc s_codec2[WORKERS_MAX + 1];   // one per thread: zstd context and scratch

// The job under way: slots first .. first+count-1 in groups of `group`.
struct WorkJob {
    int first, count, group, codec2;
    int compress;   // a take job compresses too
};
static WorkJob s_job;

TileSlot *work_slot(int k) { return &s_slots[k % WORK_SLOTS]; }

#define TAKE_AHEAD 8   // rows prefetched ahead: a tile's rows lie a screen width apart

// Take a changed tile in one sweep over its rows: the new pixels go to tile, their delta against
// sent to delta, and sent takes the new pixels. Hashing tile afterwards (in L1) is far quicker
// than hashing across the strided rows.
static void work_take(const uint8_t *cur, uint8_t *snt, size_t stride, uint8_t *tile, uint8_t *delta) {
    for (int r = 0; r < TILE_EDGE; r++) {
        const uint8_t *c = cur + r * stride;
        uint8_t *d = snt + r * stride, *t = tile + r * TILE_ROW_BYTES, *x = delta + r * TILE_ROW_BYTES;
        if (r + TAKE_AHEAD < TILE_EDGE)
            for (int k = 0; k < TILE_ROW_BYTES; k += 64) {
                __builtin_prefetch(c + TAKE_AHEAD * stride + k, 0);
                __builtin_prefetch(d + TAKE_AHEAD * stride + k, 1);
            }
        for (int j = 0; j < TILE_ROW_BYTES; j += 8) {
            uint64_t cw, sw;
            memcpy(&cw, c + j, 8);
            memcpy(&sw, d + j, 8);
            sw ^= cw;
            memcpy(t + j, &cw, 8);
            memcpy(x + j, &sw, 8);
            memcpy(d + j, &cw, 8);
        }
    }
}

static size_t work_offset(const TileSlot *s, size_t stride) {
    return (size_t)s->ty * TILE_EDGE * stride + (size_t)s->tx * TILE_ROW_BYTES;
}

static void work_compress_slot(const WorkJob *j, TileSlot *s, int worker) {
    if (s->how != TILE_DELTA || s->in_mirror) return;
    s->n = j->codec2 ? codec2_encode_tile(&s_codec2[worker], s->tile, s->delta, s->data, &s->form)
                     : codec_compress(s->delta, TILE_BYTES, s->data, sizeof s->data);
}

// Item k of a take job: one group of tiles taken and hashed together (and compressed, if asked).
static void work_take_group(void *ctx, int item, int worker) {
    const WorkJob *j = (const WorkJob *)ctx;
    int a = j->first + item * j->group, b = a + j->group, end = j->first + j->count;
    if (b > end) b = end;
    size_t stride = (size_t)g_picture.pad_width * 4;
    const uint8_t *tiles[WORK_GROUP] = {};
    uint64_t h[WORK_GROUP];
    for (int k = a; k < b; k++) {
        TileSlot *s = work_slot(k);
        size_t off = work_offset(s, stride);
        if (s->how == TILE_PENDING)   // sent stays until the encoder knows whether the tile goes
            for (int r = 0; r < TILE_EDGE; r++)
                memcpy(s->tile + r * TILE_ROW_BYTES, g_picture.current + off + r * stride, TILE_ROW_BYTES);
        else
            work_take(g_picture.current + off, g_picture.sent + off, stride, s->tile, s->delta);
        tiles[k - a] = s->tile;
    }
    tile_hash_many(tiles, (size_t)(b - a), h);
    for (int k = a; k < b; k++) {
        TileSlot *s = work_slot(k);
        s->hash = h[k - a];
        s->n = -1;
        s->form = TILE_FORM_LZ4_DELTA;
        s->in_mirror = 0;
        s->done = 1;
        if (j->compress) work_compress_slot(j, s, worker);   // while the tile is in this core's cache
    }
}

// Item k of a compress job: the delta of one tile that goes as a delta unless it is a reference.
static void work_compress_one(void *ctx, int item, int worker) {
    const WorkJob *j = (const WorkJob *)ctx;
    work_compress_slot(j, work_slot(j->first + item), worker);
}

static void work_job(int first, int count, int codec2, int group, int compress) {
    s_job.compress = compress;
    s_job.first = first;
    s_job.count = count;
    s_job.group = group;
    s_job.codec2 = codec2;
}

void work_begin(int first, int count, int compress, int codec2) {
    int threads = workers_ensure() + 1;
    int group = (count + threads - 1) / threads;
    work_job(first, count, codec2, group < 1 ? 1 : group > WORK_GROUP ? WORK_GROUP : group, compress);
    for (int k = first; k < first + count; k++) work_slot(k)->done = 0;
    workers_begin(work_take_group, &s_job, (count + s_job.group - 1) / s_job.group);
}

void work_compress(int first, int count, int codec2) {
    work_job(first, count, codec2, 1, 0);
    workers_begin(work_compress_one, &s_job, count);
    workers_join();
}

void work_join(void) { workers_join(); }
void work_cancel(void) { workers_cancel(); }

void work_undo(const TileSlot *s) {
    if (!s->done || s->how == TILE_PENDING) return;
    size_t stride = (size_t)g_picture.pad_width * 4;
    uint8_t *snt = g_picture.sent + work_offset(s, stride);
    for (int r = 0; r < TILE_EDGE; r++)
        for (int j = 0; j < TILE_ROW_BYTES; j++)
            snt[r * stride + j] = (uint8_t)(s->tile[r * TILE_ROW_BYTES + j] ^ s->delta[r * TILE_ROW_BYTES + j]);
}
