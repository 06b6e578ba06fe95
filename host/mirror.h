// mirror: the host's set of tile hashes that the viewer's tile cache holds, so a changed tile
// already there can go out as a 12-byte reference. Open addressing with linear probing over
// 524288 slots, at most three quarters full; hashes only, never pixels. Every call is made
// with the picture lock held.
// A hash lives within MIRROR_PROBE_MAX slots of its start slot: an insertion that finds no free
// slot there is dropped (that tile then always goes whole), and every lookup, insertion and
// removal looks at no more than that window. So a viewer that advertises hashes crafted to share
// one start slot costs at most MIRROR_PROBE_MAX probes per operation under the picture lock. A
// removal just empties its slot: lookups scan the whole window rather than stop at a free slot.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define MIRROR_SLOTS 0x80000u     // 524288 slots of 8 bytes (4 MiB)
#define MIRROR_LIMIT 0x60000u     // insertion skipped once the count exceeds this
#define MIRROR_PROBE_MAX 64u      // slots a hash may lie from its start slot (the window)

extern uint64_t *mirror_slots;    // the table (NULL until the first mirror_clear); 0 = empty
extern uint32_t mirror_count;     // hashes stored

// Allocates on first use and empties the table. 0 when it cannot be allocated: the session then
// runs as if the viewer's cache were off (lookups fail, inserts and removals do nothing).
int mirror_clear(void);
int mirror_ready(void);           // 1 when the table exists
int mirror_lookup(uint64_t h);    // 1 when h is stored (0 is never stored)
void mirror_insert(uint64_t h);   // store h unless present, 0, or over the capacity rule
void mirror_remove(uint64_t h);   // remove h (its slot becomes free)

// Viewer messages (the receive thread calls these with the picture lock held).
// MSG_CACHE_ADVERT: inserts each whole 8-byte hash of the payload; returns how many there were
// (read mirror_count before releasing the lock for the "cache: client advertised" line).
uint32_t mirror_apply_advert(const uint8_t *payload, size_t len);
// MSG_CACHE_MISS: with at least 12 bytes, removes the hash and reports the named tile column
// and row (the caller re-dirties that tile if it lies in the grid); 0 for a short payload.
int mirror_apply_miss(const uint8_t *payload, size_t len, uint16_t *tx, uint16_t *ty);
