// cache: the viewer's tile cache. 8192 tiles keyed by the host's tile hash, two-way set-associative
// with least-recently-used replacement in each set, saved to tiles.bin in the app data folder and
// advertised to the host at the start of the next session. The session's cache is g_viewer.cache;
// every call names the cache it works on. All calls run under the viewer lock (or before the
// receive thread starts), except the *_shared save and close, which take it briefly.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/messages.h"

#define CACHE_SLOTS 8192
#define CACHE_SETS 4096                      // set s owns slots 2s and 2s+1
#define CACHE_MAGIC 0x564F4331u              // file bytes 31 43 4F 56
#define CACHE_FILE_HEADER 16
#define CACHE_FILE_BYTES (CACHE_FILE_HEADER + (uint64_t)CACHE_SLOTS * 8 + (uint64_t)CACHE_SLOTS * TILE_BYTES)
#define CACHE_PATH_MAX 292                   // 291 characters and the terminator

struct tile_cache {
    uint64_t *keys;       // CACHE_SLOTS hashes, 0 = empty slot
    uint8_t *tiles;       // CACHE_SLOTS tiles of TILE_BYTES (64 rows of 256 bytes)
    uint8_t *victim;      // CACHE_SETS bytes: which slot of the set is replaced next (0 or 1)
    uint8_t *held;        // CACHE_SLOTS bytes: 1 while the slot's tile awaits its check (never saved)
    uint8_t *unchecked;   // CACHE_SLOTS bytes: 1 while the slot holds the host's word for its key, its
                          // tile not yet hashed (done when a lookup or a save first needs it)
    uint32_t rejected;    // such tiles found not to have their key's hash, and dropped
    int enabled;          // 1 while the cache is in use this session
    int dirty;            // 1 when something was inserted since the last successful save
    char path[CACHE_PATH_MAX];   // full path of tiles.bin; empty = nothing to save
};

// Allocate an empty cache whose file is <dir>/tiles.bin (dir NULL: the app data folder, created if
// missing) and load that file if it is ours and whole. 1 when the cache is enabled; 0 when the
// folder or the memory is unavailable (the session then runs without a cache).
int cache_open(tile_cache *c, const char *dir);

// Load tiles.bin contents into the open cache from a file or a buffer. 1 when the contents were
// taken; 0 when they were ignored (missing, foreign or damaged: the cache stays empty).
int cache_load_file(tile_cache *c, const char *path);
int cache_load_buffer(tile_cache *c, const uint8_t *data, size_t len);

uint32_t cache_resident(const tile_cache *c);   // non-zero keys

// Send the resident keys as MSG_CACHE_ADVERT messages of at most 4096 hashes (header and payload
// as two sends) and print the "tile cache" line. Returns the number of keys advertised.
uint32_t cache_advertise(const tile_cache *c, channel *ch);

// Session start in one call: cache_open, then cache_advertise when it opened. Nothing is printed
// when the cache cannot be opened.
int cache_start(tile_cache *c, channel *ch, const char *dir);

// The tile stored under hash, or NULL; a hit makes its slot the most recent of its set. An unchecked
// tile is hashed first: one whose pixels do not have that hash is dropped (counted in `rejected`)
// and not served.
const uint8_t *cache_lookup(tile_cache *c, uint64_t hash);
// Checks the unchecked tiles held under these hashes, all together (several tiles' hashes are made
// side by side far quicker than one after another), as lookups would one at a time.
void cache_check(tile_cache *c, const uint64_t *hashes, size_t n);
// Store a tile (TILE_BYTES) under hash; hash 0 and a disabled cache store nothing. The slot, or -1.
int cache_insert(tile_cache *c, uint64_t hash, const uint8_t *tile);
// The two halves of an insert, for a tile written into its slot by the caller: the slot the hash
// goes to (its own, else an empty one of its set, else the set's victim; -1 as above), and, once the
// tile is there, the slot marked as holding it. `checked` 0: the tile is the host's word for hash,
// hashed when first looked up or saved.
int cache_insert_slot(const tile_cache *c, uint64_t hash);
void cache_insert_done(tile_cache *c, int slot, uint64_t hash, int checked);
// Whether slot already holds hash under a checked tile (nothing to write into it for that hash).
int cache_holds_checked(const tile_cache *c, int slot, uint64_t hash);
// Writes a tile whose rows lie stride bytes apart into slot, past the processor's caches (the cache
// is far bigger than they are, and a slot is read again only when a reference names it).
void cache_put_rows(tile_cache *c, int slot, const uint8_t *rows, size_t stride);
// cache_insert of a tile whose rows lie stride bytes apart (the framebuffer's); `checked` as for
// cache_insert_done.
int cache_insert_rows(tile_cache *c, uint64_t hash, const uint8_t *rows, size_t stride, int checked);
// The same for a tile not yet checked: served by lookups, left out of tiles.bin until settled.
int cache_insert_held(tile_cache *c, uint64_t hash, const uint8_t *tile);
// Settles a held tile: kept (`keep`), or removed when `slot` still holds `hash`.
void cache_settle(tile_cache *c, int slot, uint64_t hash, int keep);

// Write tiles.bin when something changed: into tiles.bin.tmp, then over tiles.bin in one rename,
// so a failed or interrupted save leaves the previous file whole. 1 when written or nothing to do.
// Unchecked tiles are hashed on the way; one without its key's hash is dropped, not written.
// Caller holds the viewer lock (or no other thread uses the cache).
int cache_save(tile_cache *c);
// Save, then free everything and disable the cache. Same rule as cache_save.
void cache_close(tile_cache *c);
// The same while the receive thread runs, called without `lock` (the viewer lock) held: it is taken
// only to copy CACHE_SAVE_CHUNK slots at a time and to free, never while the file is written.
int cache_save_shared(tile_cache *c, plat_lock *lock);
void cache_close_shared(tile_cache *c, plat_lock *lock);
#define CACHE_SAVE_CHUNK 64   // slots copied per turn of the lock (1 MiB of tiles)

// Empty every slot and reset the replacement order (keeps the allocation).
void cache_clear(tile_cache *c);

// Platform half (cache_file_posix.cpp / cache_file_win32.cpp): push a written file to the disk,
// and move tmp over dst in one step, replacing dst. 1/0.
int cache_file_sync(void *file);   // FILE *
int cache_file_replace(const char *tmp, const char *dst);
