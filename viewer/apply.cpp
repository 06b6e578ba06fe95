// apply: runs of tiles gathered from one record, applied on the viewer's worker pool. Each slot is
// a distinct tile position, so the slots' framebuffer writes never overlap; what several slots
// share (the cache's keys and order, a cache set two slots use, the dirty rectangle, the session's
// zstd stream) is touched on the receive thread alone, in arrival order.
#include "viewer/apply.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "protocol/tile_rows.h"
#include "viewer/outbox.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

#define TILE_ROW_BYTES (TILE_EDGE * 4)

static uint8_t *tile_at(const TileHeader *th) {
    return g_viewer.fb + (size_t)th->ty * TILE_EDGE * g_viewer.stride + (size_t)th->tx * TILE_ROW_BYTES;
}

// A tile position lies wholly inside the padded framebuffer, margin included.
static int tile_inside(uint32_t tx, uint32_t ty) {
    return (int64_t)tx * TILE_EDGE < g_viewer.pad_width && (int64_t)ty * TILE_EDGE < g_viewer.pad_height;
}

uint8_t *viewer_run_room(uint32_t len) {
    viewer_run *r = &g_viewer.run;
    if (r->used + len <= r->cap) return r->bytes + r->used;
    viewer_run_flush();   // nothing points into the bytes any more
    r->used = 0;
    if (len > r->cap) {
        size_t cap = len > VIEWER_RUN_BYTES ? len : VIEWER_RUN_BYTES;
        free(r->bytes);
        r->bytes = (uint8_t *)malloc(cap);
        r->cap = r->bytes ? cap : 0;
    }
    return r->bytes;
}

// A cache reference as a tile header: its position and the hash it names. 0 when malformed.
static int ref_unpack(const uint8_t *payload, uint32_t len, TileHeader *th) {
    CacheRef ref;
    if (!msg_unpack_cache_ref(payload, len, &ref)) return 0;
    th->tx = ref.tx;
    th->ty = ref.ty;
    th->form = 0;
    th->hash = ref.hash;
    return 1;
}

// A new run: a generation of position marks of its own, over a grid of the picture's size.
static int run_begin(viewer_run *r) {
    size_t grid = (size_t)(g_viewer.pad_width / TILE_EDGE) * (size_t)(g_viewer.pad_height / TILE_EDGE);
    if (grid > r->marks_cap) {
        free(r->marks);
        r->marks = (uint32_t *)calloc(grid, sizeof *r->marks);
        r->marks_cap = r->marks ? grid : 0;
        r->gen = 0;
    }
    if (!r->marks) return 0;
    if (++r->gen == 0) {   // wrapped: old marks could pass for the new generation's
        memset(r->marks, 0, r->marks_cap * sizeof *r->marks);
        r->gen = 1;
    }
    return 1;
}

int viewer_run_add(uint8_t type, const uint8_t *payload, uint32_t len) {
    viewer_run *r = &g_viewer.run;
    TileHeader th;
    int ref = type == MSG_CACHE_REF;
    if (!(ref ? ref_unpack(payload, len, &th) : msg_unpack_tile(payload, len, &th))) return 1;
    // A stream piece that cannot be applied leaves our stream behind the host's: the session ends.
    int stream = !ref && g_viewer.codec2 && th.form == TILE_FORM_STREAM;
    if (!tile_inside(th.tx, th.ty)) {
        g_viewer.stream_failed |= stream;
        return 1;
    }
    if (!r->slots && !(r->slots = (viewer_slot *)malloc(sizeof(viewer_slot) * VIEWER_RUN_SLOTS))) return 1;
    if (!r->count && !run_begin(r)) return 1;
    if (r->count == VIEWER_RUN_SLOTS) return 0;
    uint32_t *mark = &r->marks[(size_t)th.ty * (size_t)(g_viewer.pad_width / TILE_EDGE) + th.tx];
    if (*mark == r->gen) return 0;
    *mark = r->gen;
    viewer_slot *s = &r->slots[r->count++];
    s->p = payload;
    s->len = len;
    s->th = th;
    s->ref = (uint8_t)ref;
    s->stream = (uint8_t)stream;
    uintptr_t at = (uintptr_t)payload - (uintptr_t)r->bytes;
    if (r->bytes && at < r->cap) r->used = at + len;   // read into the run's bytes: kept from the next tile
    return 1;
}

// Where a tile's finished rows go: the cache slot planned for it, unless that slot holds the named
// tile already, checked. They go as the host's word for the hash, checked when a reference or a save
// first needs the tile (cache_lookup): most cached tiles are replaced before anything names them.
static uint8_t *slot_cache_rows(const viewer_slot *s) {
    if (s->to_slot < 0 || cache_holds_checked(&g_viewer.cache, s->to_slot, s->th.hash)) return nullptr;
    return g_viewer.cache.tiles + (size_t)s->to_slot * TILE_BYTES;
}

// One slot's tile applied to its place in the framebuffer, decoded in this thread's scratch; s->ok
// tells whether it was. The finished tile is read back from the framebuffer for its hash and the cache.
static void slot_apply(viewer_slot *s, Codec2Dec *dec, uint8_t *scratch) {
    const uint8_t *data = s->p + TILE_HEADER_BYTES;
    uint32_t n = s->len - TILE_HEADER_BYTES;
    uint8_t *dst = tile_at(&s->th);
    s->ok = s->written = 0;
    if (g_viewer.codec2 && s->th.form > TILE_FORM_RAW) {   // the second codec works on the whole tile
        viewer_tile_get(dst, scratch);
        if (!codec2_apply_tile(dec, s->th.form, data, n, scratch)) return;
        viewer_tile_put(dst, scratch);
    } else if (s->th.form != 0) {
        if (n < TILE_BYTES) return;
        viewer_tile_put(dst, data);
    } else {
        if (codec_decompress(data, n, scratch, TILE_BYTES) != TILE_BYTES) return;
        uint8_t *cache = slot_cache_rows(s);
        tile_rows_xor_in(dst, g_viewer.stride, scratch, cache);
        s->written = cache != nullptr;
    }
    s->ok = 1;
}

// One pool item: a group of slots applied; a finished tile not streamed into its planned cache slot
// on the way (not a delta) is copied there now.
static void run_item(void *ctx, int item, int worker) {
    viewer_run *r = (viewer_run *)ctx;
    uint32_t first = (uint32_t)item * r->group, end = first + r->group < r->work ? first + r->group : r->work;
    Codec2Dec *dec = worker ? r->dec[worker] : &g_viewer.codec2_dec;
    for (uint32_t i = first; i < end; i++) {
        viewer_slot *s = &r->slots[r->order[i]];
        slot_apply(s, dec, r->scratch[worker]);
        if (s->ok && !s->written && slot_cache_rows(s)) {
            cache_put_rows(&g_viewer.cache, s->to_slot, tile_at(&s->th), g_viewer.stride);
            s->written = 1;
        }
    }
    tile_rows_fence();   // the rows streamed into the cache are in memory before the pool's join says so
}

#define PLAN_BUCKETS (4 * VIEWER_RUN_SLOTS)   // open addressing over the run's cache sets

// The bucket of cache set `set` in the plan's table: its own, or the empty one it would take.
static uint32_t plan_bucket(const uint32_t *sets, const uint8_t *state, uint32_t set) {
    uint32_t b = (set * 2654435761u) % PLAN_BUCKETS;
    while (state[b] && sets[b] != set) b = (b + 1) % PLAN_BUCKETS;
    return b;
}

// Which finished tiles the pool copies into the cache itself: a tile whose cache set no other
// reference or cached tile of the run uses goes to the slot an insert would pick now, as it would
// in arrival order (nothing before it in the run changes its set, and nothing in the run reads it).
static void run_plan(viewer_run *r) {
    uint32_t sets[PLAN_BUCKETS];
    uint8_t state[PLAN_BUCKETS] = {};   // 0 empty, 1 one cached tile, 2 shared or referenced
    for (uint32_t k = 0; k < r->count; k++) {
        viewer_slot *s = &r->slots[k];
        s->to_slot = -1;
        if (!s->ref && !s->cached) continue;
        uint32_t set = (uint32_t)(s->th.hash % CACHE_SETS), b = plan_bucket(sets, state, set);
        sets[b] = set;
        state[b] = state[b] || s->ref ? 2 : 1;
    }
    for (uint32_t k = 0; k < r->count; k++) {
        viewer_slot *s = &r->slots[k];
        if (s->ref || s->stream || !s->cached) continue;
        if (state[plan_bucket(sets, state, (uint32_t)(s->th.hash % CACHE_SETS))] == 1)
            s->to_slot = cache_insert_slot(&g_viewer.cache, s->th.hash);
    }
}

// Threads this run is spread over: the receive thread and the pool's helpers, each helper with a
// decoder of its own for the second codec (1 when the pool or a decoder cannot be had).
static int run_threads(viewer_run *r) {
    if (r->serial) return 1;
    int helpers = workers_pool_ensure(&r->pool);
    for (int k = 1; k <= helpers; k++)
        if (!r->dec[k] && !(r->dec[k] = (Codec2Dec *)calloc(1, sizeof(Codec2Dec)))) return 1;
    return helpers + 1;
}

// The session stream's pieces, in order, with the session's decoder. After one that fails the
// stream is out of step: later pieces are not tried, and the session ends.
static void run_stream(viewer_run *r) {
    int broken = 0;
    for (uint32_t k = 0; k < r->count; k++) {
        viewer_slot *s = &r->slots[k];
        if (!s->stream) continue;
        s->ok = 0;
        if (!broken) slot_apply(s, &g_viewer.codec2_dec, r->scratch[0]);
        if (!s->ok) {
            broken = 1;
            g_viewer.stream_failed = 1;
        }
    }
}

// The tiles the run's references name that the cache holds unchecked, hashed together now rather
// than one at a time as each reference is served. No tile of the run is written into their cache
// sets (run_plan), so this goes on beside the pool.
static void run_check_refs(viewer_run *r) {
    uint64_t named[VIEWER_RUN_SLOTS];
    size_t n = 0;
    for (uint32_t k = 0; k < r->count; k++)
        if (r->slots[k].ref) named[n++] = r->slots[k].th.hash;
    if (n) viewer_cache_check(named, n);
}

// In arrival order: each finished tile enters the cache under the hash the host named, unchecked.
// One that does not have that hash (a host that sent a delta against a tile we do not show) is
// found out when a reference or a save first needs it, and dropped then: it never comes back under
// that name, nor goes to tiles.bin. It was shown all the same.
static void run_finish(viewer_run *r) {
    for (uint32_t k = 0; k < r->count; k++) {
        viewer_slot *s = &r->slots[k];
        if (s->ref) {
            CacheRef ref = {s->th.tx, s->th.ty, s->th.hash};
            r->replies_len += viewer_cache_ref(&ref, r->replies + r->replies_len);
            continue;
        }
        if (!s->ok) continue;
        if (s->cached) {   // a planned slot holds the tile now, or held it checked already
            if (s->to_slot >= 0) cache_insert_done(&g_viewer.cache, s->to_slot, s->th.hash, 0);
            else cache_insert_rows(&g_viewer.cache, s->th.hash, tile_at(&s->th), g_viewer.stride, 0);
        }
        int64_t x = (int64_t)s->th.tx * TILE_EDGE, y = (int64_t)s->th.ty * TILE_EDGE;
        viewer_dirty_add(x, y, x + TILE_EDGE, y + TILE_EDGE);
    }
    r->count = 0;
    r->used = 0;
}

void viewer_run_apply(void) {
    viewer_run *r = &g_viewer.run;
    if (!r->count) return;
    r->work = 0;
    size_t bytes = 0;
    for (uint32_t k = 0; k < r->count; k++) {
        viewer_slot *s = &r->slots[k];
        s->cached = g_viewer.cache.enabled && s->th.hash != 0;
        s->ok = 0;
        if (s->stream || s->ref) continue;
        r->order[r->work++] = (uint16_t)k;
        bytes += s->len;
    }
    run_plan(r);
    int threads = bytes >= (r->pool_min ? r->pool_min : VIEWER_POOL_MIN_BYTES) ? run_threads(r) : 1;
    // Items of 4, 8 or 16 slots, two per thread at least when there are enough, so a helper that
    // wakes late leaves little to wait for; a few slots stay together.
    uint32_t w = r->work, t = (uint32_t)threads;
    r->group = t == 1 || w >= t * 2 * VIEWER_ITEM_SLOTS ? VIEWER_ITEM_SLOTS : w >= t * 16 ? 8 : w > 4 ? 4 : w ? w : 1;
    int items = (int)((r->work + r->group - 1) / r->group);
    int spread = threads > 1 && items > 1;
    if (spread) workers_pool_begin(&r->pool, run_item, r, items);
    run_check_refs(r);
    run_stream(r);
    if (spread) workers_pool_join(&r->pool);
    else
        for (int i = 0; i < items; i++) run_item(r, i, 0);
    run_finish(r);
}

void viewer_run_send_replies(void) {
    viewer_run *r = &g_viewer.run;
    for (uint32_t at = 0; at < r->replies_len; at += HEADER_BYTES + CACHE_MISS_BYTES)   // one message a send
        viewer_send(r->replies + at, HEADER_BYTES + CACHE_MISS_BYTES, 1);
    r->replies_len = 0;
}

void viewer_run_flush(void) {
    if (!g_viewer.run.count) return;
    lock_enter(&g_viewer.lock);
    viewer_run_apply();
    lock_leave(&g_viewer.lock);
    viewer_run_send_replies();
}
