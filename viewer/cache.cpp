// cache: the viewer's tile cache in memory, its tiles.bin file and the advertisement to the host.
#include "viewer/cache.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/bigmem.h"
#include "platform/sysinfo.h"
#include "protocol/codec.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Where a tiles.bin image is read from: an open file or a buffer in memory.
struct cache_source {
    FILE *file;            // non-NULL: read from here
    const uint8_t *data;   // otherwise: this buffer
    size_t len;
    size_t pos;
};

static size_t source_read(cache_source *s, void *dst, size_t n) {
    if (s->file) return fread(dst, 1, n, s->file);
    size_t left = s->len - s->pos;
    if (n > left) n = left;
    memcpy(dst, s->data + s->pos, n);
    s->pos += n;
    return n;
}

static void cache_free(tile_cache *c) {
    free(c->keys);
    bigmem_free(c->tiles, (size_t)CACHE_SLOTS * TILE_BYTES);
    free(c->victim);
    free(c->held);
    free(c->unchecked);
    c->held = nullptr;
    c->unchecked = nullptr;
    c->keys = nullptr;
    c->tiles = nullptr;
    c->victim = nullptr;
    c->enabled = 0;
    c->dirty = 0;
}

void cache_clear(tile_cache *c) {
    if (c->keys) memset(c->keys, 0, CACHE_SLOTS * sizeof(uint64_t));
    if (c->victim) memset(c->victim, 0, CACHE_SETS);
    if (c->held) memset(c->held, 0, CACHE_SLOTS);
    if (c->unchecked) memset(c->unchecked, 0, CACHE_SLOTS);
}

// Keys are held in native order in memory and little-endian in the file.
static uint64_t key_from_file(const uint8_t *p) { return get_u64(p); }

// A key that sits outside its own set, or repeats its set's other key, can never be found by a
// lookup; it would only be advertised to the host in vain, so a loaded file drops it.
static void drop_unreachable_keys(tile_cache *c) {
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) {
        uint64_t k = c->keys[slot];
        if (k == 0) continue;
        if (k % CACHE_SETS != slot / 2 || ((slot & 1) && c->keys[slot - 1] == k))
            c->keys[slot] = 0;
    }
}

static int load_from(tile_cache *c, cache_source *src) {
    uint8_t head[CACHE_FILE_HEADER];
    if (source_read(src, head, sizeof head) != sizeof head) return 0;
    if (get_u32(head) != CACHE_MAGIC || get_u32(head + 4) != CACHE_SLOTS || get_u32(head + 8) != TILE_BYTES)
        return 0;
    static uint8_t raw[CACHE_SLOTS * 8];   // keys as stored; only used before the receive thread runs
    if (source_read(src, raw, sizeof raw) != sizeof raw) return 0;
    if (source_read(src, c->tiles, (size_t)CACHE_SLOTS * TILE_BYTES) != (size_t)CACHE_SLOTS * TILE_BYTES)
        return 0;
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) c->keys[slot] = key_from_file(raw + slot * 8);
    drop_unreachable_keys(c);
    return 1;
}

int cache_load_buffer(tile_cache *c, const uint8_t *data, size_t len) {
    if (!c->keys) return 0;
    cache_clear(c);
    cache_source src = {nullptr, data, data ? len : 0, 0};
    return load_from(c, &src);
}

int cache_load_file(tile_cache *c, const char *path) {
    if (!c->keys) return 0;
    cache_clear(c);
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    cache_source src = {f, nullptr, 0, 0};
    int ok = load_from(c, &src);
    fclose(f);
    return ok;
}

// Fills c->path with <dir>/tiles.bin; dir NULL means the app data folder, which is created.
static int cache_set_path(tile_cache *c, const char *dir) {
    char folder[CACHE_PATH_MAX];
    if (!dir) {
        if (!sysinfo_app_dir(folder, sizeof folder)) return 0;
        dir = folder;
    }
    if (!sysinfo_make_dir(dir)) return 0;
    int n = snprintf(c->path, sizeof c->path, "%s%ctiles.bin", dir, sysinfo_path_sep());
    if (n <= 0 || (size_t)n >= sizeof c->path) {
        c->path[0] = 0;
        return 0;
    }
    return 1;
}

int cache_open(tile_cache *c, const char *dir) {
    cache_free(c);
    c->path[0] = 0;
    if (!cache_set_path(c, dir)) return 0;
    c->keys = (uint64_t *)calloc(CACHE_SLOTS, sizeof(uint64_t));
    c->tiles = (uint8_t *)bigmem_alloc((size_t)CACHE_SLOTS * TILE_BYTES);   // filled from the first picture on
    c->victim = (uint8_t *)calloc(CACHE_SETS, 1);
    c->held = (uint8_t *)calloc(CACHE_SLOTS, 1);
    c->unchecked = (uint8_t *)calloc(CACHE_SLOTS, 1);
    c->rejected = 0;
    if (!c->keys || !c->tiles || !c->victim || !c->held || !c->unchecked) {
        cache_free(c);
        c->path[0] = 0;
        return 0;
    }
    cache_load_file(c, c->path);
    c->enabled = 1;
    return 1;
}

uint32_t cache_resident(const tile_cache *c) {
    uint32_t n = 0;
    if (!c->keys) return 0;
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) n += c->keys[slot] != 0;
    return n;
}

uint32_t cache_advertise(const tile_cache *c, channel *ch) {
    static uint8_t payload[CACHE_SLOTS * 8];   // every resident key, little-endian, in slot order
    uint32_t n = 0;
    for (uint32_t slot = 0; c->keys && slot < CACHE_SLOTS; slot++)
        if (c->keys[slot]) msg_pack_advert_hash(payload, n++, c->keys[slot]);
    for (uint32_t first = 0; ch && first < n; first += MAX_ADVERT_HASHES) {
        uint32_t count = n - first < MAX_ADVERT_HASHES ? n - first : MAX_ADVERT_HASHES;
        uint8_t head[HEADER_BYTES];
        header_put(head, MSG_CACHE_ADVERT, count * 8);
        // A failed send is left to the receive thread, which sees the dead connection.
        if (channel_send(ch, head, sizeof head)) channel_send(ch, payload + 8 * first, count * 8);
    }
    printf("tile cache: %u tiles resident from earlier sessions\n", n);
    fflush(stdout);
    return n;
}

int cache_start(tile_cache *c, channel *ch, const char *dir) {
    if (!cache_open(c, dir)) return 0;
    cache_advertise(c, ch);
    return 1;
}

// Hashes the unchecked tiles of the n slots listed (tiles are packed, so side by side in the
// hash's lanes); each keeps its key if it has that hash, else the slot is emptied.
static void check_listed(tile_cache *c, const uint32_t *list, size_t n) {
    enum { LANES = 16 };
    const uint8_t *tiles[LANES];
    uint32_t slots[LANES];
    uint64_t got[LANES];
    for (size_t i = 0; i < n;) {
        size_t m = 0;
        for (; i < n && m < LANES; i++)
            if (c->unchecked[list[i]] && c->keys[list[i]]) {
                slots[m] = list[i];
                c->unchecked[list[i]] = 0;   // a slot listed twice is hashed once
                tiles[m++] = c->tiles + (size_t)list[i] * TILE_BYTES;
            }
        if (m) tile_hash_many(tiles, m, got);
        for (size_t k = 0; k < m; k++) {
            if (got[k] == c->keys[slots[k]]) continue;
            c->keys[slots[k]] = 0;   // never in tiles.bin: a save checks first
            c->rejected++;
        }
    }
}

static void check_slots(tile_cache *c, uint32_t first, uint32_t count) {
    uint32_t list[CACHE_SAVE_CHUNK];
    for (uint32_t at = first, end = first + count; at < end;) {
        size_t n = 0;
        for (; at < end && n < CACHE_SAVE_CHUNK; at++) list[n++] = at;
        check_listed(c, list, n);
    }
}

// The slot that holds hash, or -1.
static int slot_of(const tile_cache *c, uint64_t hash) {
    uint32_t s = (uint32_t)(hash % CACHE_SETS);
    return c->keys[2 * s] == hash ? (int)(2 * s) : c->keys[2 * s + 1] == hash ? (int)(2 * s + 1) : -1;
}

void cache_check(tile_cache *c, const uint64_t *hashes, size_t n) {
    enum { BATCH = 64 };
    uint32_t list[BATCH];
    for (size_t i = 0; c->enabled && i < n;) {
        size_t m = 0;
        for (; i < n && m < BATCH; i++) {
            int slot = hashes[i] ? slot_of(c, hashes[i]) : -1;
            if (slot >= 0 && c->unchecked[slot]) list[m++] = (uint32_t)slot;
        }
        check_listed(c, list, m);
    }
}

const uint8_t *cache_lookup(tile_cache *c, uint64_t hash) {
    if (!c->enabled || hash == 0) return nullptr;
    int slot = slot_of(c, hash);
    if (slot < 0) return nullptr;
    uint32_t one = (uint32_t)slot;
    if (c->unchecked[slot]) check_listed(c, &one, 1);
    if (c->keys[slot] != hash) return nullptr;
    c->victim[slot / 2] = (uint8_t)((slot & 1) == 0);
    return c->tiles + (size_t)slot * TILE_BYTES;
}

int cache_holds_checked(const tile_cache *c, int slot, uint64_t hash) {
    return c->keys[slot] == hash && !c->unchecked[slot];
}

int cache_insert_slot(const tile_cache *c, uint64_t hash) {
    if (!c->enabled || hash == 0) return -1;
    uint32_t s = (uint32_t)(hash % CACHE_SETS);
    if (c->keys[2 * s] == hash) return (int)(2 * s);
    if (c->keys[2 * s + 1] == hash) return (int)(2 * s + 1);
    if (c->keys[2 * s] == 0) return (int)(2 * s);
    if (c->keys[2 * s + 1] == 0) return (int)(2 * s + 1);
    return (int)(2 * s + c->victim[s]);
}

void cache_insert_done(tile_cache *c, int slot, uint64_t hash, int checked) {
    c->unchecked[slot] = !checked && !cache_holds_checked(c, slot, hash);
    c->keys[slot] = hash;
    c->victim[slot / 2] = (uint8_t)((slot & 1) ? 0 : 1);
    c->dirty = 1;
    if (c->held) c->held[slot] = 0;
}

void cache_put_rows(tile_cache *c, int slot, const uint8_t *rows, size_t stride) {
    uint8_t *dst = c->tiles + (size_t)slot * TILE_BYTES;
#if defined(__SSE2__)
    for (int r = 0; r < TILE_EDGE; r++, rows += stride, dst += TILE_EDGE * 4)
        for (int i = 0; i < TILE_EDGE * 4; i += 16)
            _mm_stream_si128((__m128i *)(dst + i), _mm_loadu_si128((const __m128i *)(rows + i)));
    _mm_sfence();   // the stores are seen before whatever the caller does next
#else
    for (int r = 0; r < TILE_EDGE; r++) memcpy(dst + r * TILE_EDGE * 4, rows + r * stride, TILE_EDGE * 4);
#endif
}

int cache_insert_rows(tile_cache *c, uint64_t hash, const uint8_t *rows, size_t stride, int checked) {
    int slot = cache_insert_slot(c, hash);
    if (slot < 0) return -1;
    // The same hash, checked: that tile is there. A tile read from its own slot needs no copy either.
    if (!cache_holds_checked(c, slot, hash) && rows != c->tiles + (size_t)slot * TILE_BYTES)
        cache_put_rows(c, slot, rows, stride);
    cache_insert_done(c, slot, hash, checked);
    return slot;
}

int cache_insert(tile_cache *c, uint64_t hash, const uint8_t *tile) {
    return cache_insert_rows(c, hash, tile, TILE_EDGE * 4, 1);
}

int cache_insert_held(tile_cache *c, uint64_t hash, const uint8_t *tile) {
    int slot = cache_insert(c, hash, tile);
    if (slot >= 0 && c->held) c->held[slot] = 1;
    return slot;
}

void cache_settle(tile_cache *c, int slot, uint64_t hash, int keep) {
    if (!c->enabled || slot < 0 || slot >= CACHE_SLOTS) return;
    if (!keep && c->keys[slot] == hash) c->keys[slot] = 0;
    if ((keep || c->keys[slot] == 0) && c->held) c->held[slot] = 0;
}

// Copies slots [first, first + count) (keys as stored in the file, and tiles) out of the cache,
// under the lock when one is given, so each key goes to the file with the tile it named.
static int save_take_chunk(tile_cache *c, plat_lock *lock, uint32_t first, uint32_t count, uint8_t *raw_keys,
                           uint8_t *tiles) {
    if (lock) lock_enter(lock);
    int ok = c->keys && c->tiles;
    if (ok) {
        check_slots(c, first, count);   // a tile goes to the file only under a hash it has
        for (uint32_t slot = first; slot < first + count; slot++)
            put_u64(raw_keys + slot * 8, c->held && c->held[slot] ? 0 : c->keys[slot]);   // held: left out
        memcpy(tiles, c->tiles + (size_t)first * TILE_BYTES, (size_t)count * TILE_BYTES);
    }
    if (lock) lock_leave(lock);
    return ok;
}

// Writes the whole file image; 1 only when every byte reached the file and it was closed cleanly.
// The tiles go out a chunk at a time, each copied under the lock and written outside it; the keys
// of all chunks are collected on the way and written into their place at the end.
static int write_image(tile_cache *c, FILE *f, plat_lock *lock) {
    static uint8_t raw[CACHE_SLOTS * 8];
    static uint8_t chunk[CACHE_SAVE_CHUNK * TILE_BYTES];
    uint8_t head[CACHE_FILE_HEADER];
    put_u32(head, CACHE_MAGIC);
    put_u32(head + 4, CACHE_SLOTS);
    put_u32(head + 8, TILE_BYTES);
    put_u32(head + 12, 0);
    int ok = fwrite(head, 1, sizeof head, f) == sizeof head && fseek(f, (long)sizeof raw, SEEK_CUR) == 0;
    for (uint32_t first = 0; ok && first < CACHE_SLOTS; first += CACHE_SAVE_CHUNK)
        ok = save_take_chunk(c, lock, first, CACHE_SAVE_CHUNK, raw, chunk) &&
             fwrite(chunk, 1, sizeof chunk, f) == sizeof chunk;
    ok = ok && fseek(f, CACHE_FILE_HEADER, SEEK_SET) == 0 && fwrite(raw, 1, sizeof raw, f) == sizeof raw;
    ok = ok && fflush(f) == 0 && cache_file_sync(f);
    return (fclose(f) == 0) && ok;
}

int cache_save_shared(tile_cache *c, plat_lock *lock) {
    if (lock) lock_enter(lock);
    int todo = c->enabled && c->path[0] && c->dirty;
    if (todo) c->dirty = 0;   // an insert made while the file is written marks it again
    if (lock) lock_leave(lock);
    if (!todo) return 1;
    char tmp[CACHE_PATH_MAX + 4];
    snprintf(tmp, sizeof tmp, "%s.tmp", c->path);
    FILE *f = fopen(tmp, "wb");
    int ok = f && write_image(c, f, lock) && cache_file_replace(tmp, c->path);
    if (!ok) {
        if (f) remove(tmp);
        if (lock) lock_enter(lock);
        c->dirty = 1;
        if (lock) lock_leave(lock);
    }
    return ok;
}

int cache_save(tile_cache *c) { return cache_save_shared(c, nullptr); }

void cache_close_shared(tile_cache *c, plat_lock *lock) {
    cache_save_shared(c, lock);
    if (lock) lock_enter(lock);
    cache_free(c);
    if (lock) lock_leave(lock);
}

void cache_close(tile_cache *c) {
    cache_save(c);
    cache_free(c);
}
