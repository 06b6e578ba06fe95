// apply: the viewer's tiles applied a run at a time. Consecutive MSG_TILE and MSG_CACHE_REF
// messages of one record at distinct positions are gathered into slots; a run is then applied with
// the tiles' decoding, XOR and (where nothing else in the run touches their cache set) cache copy
// spread over the viewer's worker pool, and the cache keys, references and dirty marks
// made in arrival order on the receive thread, so the picture, the cache and the replies are the
// same as if every message had been applied on its own.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "platform/workers.h"
#include "protocol/codec2.h"
#include "protocol/messages.h"

#define VIEWER_RUN_SLOTS 256            // messages gathered at most before a run is applied
#define VIEWER_RUN_BYTES (4u << 20)     // room for their payloads (a longer single message gets its own)
#define VIEWER_ITEM_SLOTS 16            // slots a pool item applies at most
#define VIEWER_POOL_MIN_BYTES (64u << 10)   // a run whose tiles carry less is applied on the receive
                                            // thread alone: waking a helper and reading its tiles on
                                            // another core cost more than the decoding it would share

struct viewer_slot {
    const uint8_t *p;           // the tile's payload, header included (it stays until the run is applied)
    uint32_t len;
    TileHeader th;
    uint8_t ref;                // a cache reference (th.hash names the tile): served in arrival order
    uint8_t stream;             // a piece of the session stream: applied on the receive thread, in order
    uint8_t cached;             // its finished pixels go to the cache under the named hash
    uint8_t written;            // its finished pixels went into to_slot
    uint8_t ok;                 // applied (a malformed tile leaves its place untouched)
    int32_t to_slot;            // the cache slot the thread that finishes the tile writes it into: a
                                // delta's rows as they are made, others once finished (-1: the
                                // receive thread inserts it, in arrival order)
};

struct viewer_run {
    viewer_slot *slots;         // VIEWER_RUN_SLOTS, allocated at the first tile and kept
    uint32_t count;             // slots in use
    uint32_t *marks;            // per tile position: the generation of the run that holds it
    size_t marks_cap;           // positions it covers (grows with the picture, kept)
    uint32_t gen;               // the current run's generation
    uint8_t *bytes;             // payloads the receive thread read in, end to end; kept
    size_t used, cap;           // bytes in use by the run's slots; allocated
    uint16_t order[VIEWER_RUN_SLOTS];   // the slots the pool applies (tiles but stream pieces)
    uint32_t work;                      // entries of order
    uint32_t group;                     // slots per pool item in this run
    uint8_t replies[VIEWER_RUN_SLOTS * (HEADER_BYTES + CACHE_MISS_BYTES)];   // misses, to send in order
    uint32_t replies_len;
    int serial;                 // 1: every slot on the receive thread (tests compare both)
    uint32_t pool_min;          // runs whose tiles carry fewer bytes stay on the receive thread
                                // (0: VIEWER_POOL_MIN_BYTES)
    workers_pool pool;          // the viewer's own helpers, started at the first run
    Codec2Dec *dec[WORKERS_MAX + 1];    // a decoder per helper for forms 2 to 5 (0: the session's)
    alignas(64) uint8_t scratch[WORKERS_MAX + 1][TILE_BYTES];   // per thread (0: the receive thread):
                                        // the tile being decoded, reused tile after tile so it stays
                                        // in that core's nearest cache
};

// Where the receive thread reads a MSG_TILE or MSG_CACHE_REF payload of len bytes in, so that it
// can join the run where it lies (the run is applied first when there is no room left). NULL when
// no memory.
uint8_t *viewer_run_room(uint32_t len);
// Adds one MSG_TILE or MSG_CACHE_REF payload to the run (receive thread; no lock needed). The
// payload must stay unchanged until the run is applied. 1 when taken or when it has no effect at
// all; 0 when the run must be applied first (a repeated position, or full).
int viewer_run_add(uint8_t type, const uint8_t *payload, uint32_t len);
// Applies and empties the run; the misses it found wait in replies. Viewer lock held.
void viewer_run_apply(void);
// Sends the waiting misses (viewer lock not held).
void viewer_run_send_replies(void);
// Applies the run taking the viewer lock, then sends its misses.
void viewer_run_flush(void);
