// tile_batch: MSG_TILE_BATCH on the viewer. The frame's moves, if it carries them, then entries in
// order: tiles through the second codec's forms (their content arrives unpacked), references from
// the cache or from a tile built earlier in the same batch. Tiles enter the cache as they are built
// but stay held there until the next check, over every tile since the previous one, keeps them or
// takes them out again.
#include "viewer/tile_batch.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/outbox.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)
#define PENDING_CAP (BATCH_PENDING_MAX + CODEC2_BATCH_ENTRIES)
#define REPLY_CAP ((size_t)CODEC2_BATCH_ENTRIES * (HEADER_BYTES + CACHE_MISS_BYTES) + HEADER_BYTES + FRAME_ACK_BYTES)

static uint8_t *batch_fb(uint32_t index) {
    uint32_t cols = (uint32_t)(g_viewer.pad_width / TILE_EDGE);
    return g_viewer.fb + (size_t)(index / cols) * TILE_EDGE * g_viewer.stride + (size_t)(index % cols) * TILE_ROW_BYTES;
}

static void batch_put(uint32_t index, const uint8_t *tile) {
    viewer_tile_put(batch_fb(index), tile);
    uint32_t cols = (uint32_t)(g_viewer.pad_width / TILE_EDGE);
    int64_t x = (int64_t)(index % cols) * TILE_EDGE, y = (int64_t)(index / cols) * TILE_EDGE;
    viewer_dirty_add(x, y, x + TILE_EDGE, y + TILE_EDGE);
}

static int batch_ready(viewer_batch *b) {
    if (!b->tiles) b->tiles = (uint32_t *)malloc(CODEC2_BATCH_ENTRIES * sizeof *b->tiles);
    if (!b->hashes) b->hashes = (uint64_t *)malloc(CODEC2_BATCH_ENTRIES * sizeof *b->hashes);
    if (!b->reply) b->reply = (uint8_t *)malloc(REPLY_CAP);
    if (!b->pend_hash) b->pend_hash = (uint64_t *)malloc(PENDING_CAP * sizeof *b->pend_hash);
    if (!b->pend_slot) b->pend_slot = (int32_t *)malloc(PENDING_CAP * sizeof *b->pend_slot);
    if (!b->scratch) b->scratch = (uint8_t *)malloc(TILE_BYTES);
    return b->tiles && b->hashes && b->reply && b->pend_hash && b->pend_slot && b->scratch;
}

// A tile entry: built on the framebuffer's tile, held in the cache and its hash kept for the check.
// Past BATCH_PENDING_MAX unchecked tiles only a batch that carries the check may go on.
static int batch_tile(viewer_batch *b, const Codec2BatchEntry *e, int cached) {
    if (b->pending >= BATCH_PENDING_MAX && !(b->dec.flags & BATCH_HAS_CHECK)) return 0;
    uint8_t *tile = b->scratch;
    viewer_tile_get(batch_fb(e->index), tile);
    if (!codec2_batch_apply(&g_viewer.codec2_dec, e, tile)) return 0;
    batch_put(e->index, tile);
    uint64_t h = cached ? tile_hash(tile) : 0;
    b->tiles[b->built] = e->index;
    b->hashes[b->built++] = h;
    b->chain = codec2_check_step(b->chain, h);
    b->pend_hash[b->pending] = h;
    b->pend_slot[b->pending++] = cached ? cache_insert_held(&g_viewer.cache, h, tile) : -1;
    return 1;
}

// A reference: a tile of this batch with that hash, else the cache, else a miss.
static void batch_ref(viewer_batch *b, const Codec2BatchEntry *e) {
    for (uint32_t k = 0; k < b->built; k++)
        if (b->hashes[k] == e->hash && g_viewer.cache.enabled) {
            viewer_tile_get(batch_fb(b->tiles[k]), b->scratch);
            batch_put(e->index, b->scratch);
            g_viewer.cache_hits.fetch_add(1);
            return;
        }
    uint32_t cols = (uint32_t)(g_viewer.pad_width / TILE_EDGE);
    CacheRef ref = {(uint16_t)(e->index % cols), (uint16_t)(e->index / cols), e->hash};
    b->reply_len += viewer_cache_ref(&ref, b->reply + b->reply_len);
}

// The check settles every tile since the previous one: all stay in the cache, or all leave it
// (those whose slot still holds them) and count as rejected.
static void batch_settle(viewer_batch *b) {
    int keep = b->chain == b->dec.check;
    for (uint32_t k = 0; k < b->pending; k++) cache_settle(&g_viewer.cache, b->pend_slot[k], b->pend_hash[k], keep);
    if (!keep) g_viewer.cache_rejects.fetch_add(b->pending);
}

// The frame's moves (flags bit 2), before any entry; one outside the picture is skipped.
static int batch_moves(viewer_batch *b) {
    for (uint32_t k = 0; k < b->dec.moves_n; k++) viewer_apply_move(&b->dec.moves[k]);
    return 1;
}

// The entries one by one; 0 when one is malformed.
static int batch_entries(viewer_batch *b, int cached) {
    Codec2BatchEntry e;
    int r;
    while ((r = codec2_batch_next(&b->dec, &e)) == 1) {
        if (e.kind == BATCH_KIND_REF) batch_ref(b, &e);
        else if (!batch_tile(b, &e, cached)) return 0;
    }
    return r == 0;
}

int viewer_tile_batch(const uint8_t *p, uint32_t len) {
    viewer_batch *b = &g_viewer.tile_batch;
    b->built = 0;
    b->reply_len = 0;
    uint32_t grid = (uint32_t)(g_viewer.pad_width / TILE_EDGE) * (uint32_t)(g_viewer.pad_height / TILE_EDGE);
    if (!g_viewer.codec2 || !batch_ready(b) || !codec2_batch_open(&b->dec, &g_viewer.codec2_dec, p, len, grid) ||
        !batch_moves(b) || !batch_entries(b, g_viewer.cache.enabled)) {
        g_viewer.stream_failed = 1;   // our stream is no longer the host's
        b->reply_len = 0;
        return 0;
    }
    if (b->dec.flags & BATCH_HAS_CHECK) {
        if (g_viewer.cache.enabled) batch_settle(b);
        b->chain = CODEC2_CHECK_SEED;
        b->pending = 0;
    }
    if (!(b->dec.flags & BATCH_CLOSES_FRAME)) return 0;
    FrameEnd end = {b->dec.frame, b->dec.tick};
    b->reply_len += (uint32_t)msg_pack_frame_ack(b->reply + b->reply_len, &end);
    g_viewer.frames.fetch_add(1);
    return 1;
}

void viewer_tile_batch_send(void) {
    viewer_batch *b = &g_viewer.tile_batch;
    for (uint32_t at = 0; at < b->reply_len;) {
        uint32_t n = HEADER_BYTES + get_u32(b->reply + at + 4);
        viewer_send(b->reply + at, n, 1);
        at += n;
    }
    b->reply_len = 0;
}

void viewer_tile_batch_note_end(uint32_t frame, uint32_t tick) {
    codec2_batch_dec_note_end(&g_viewer.tile_batch.dec, frame, tick);
}

void viewer_tile_batch_reset(void) {
    viewer_batch *b = &g_viewer.tile_batch;
    codec2_batch_dec_note_end(&b->dec, 0, 0);
    b->chain = CODEC2_CHECK_SEED;
    b->pending = 0;   // held tiles of the last session went with its cache
}
