// tile_batch: the viewer's handling of MSG_TILE_BATCH (second codec only): the batch's tiles are
// built into the framebuffer and held in the cache until a check (every few batches) settles them,
// its references served from the cache, and its frame end is acknowledged like MSG_FRAME_END.
#pragma once
#include <stdint.h>
#include "protocol/codec2_batch.h"

// The receive thread's batch state; its buffers are allocated at the first batch and kept.
struct viewer_batch {
    Codec2BatchDec dec;   // the content and the frame end's base
    uint32_t *tiles;      // tile index of each tile entry of the batch being applied
    uint64_t *hashes;     // their tile hashes
    uint32_t built;       // tile entries applied so far
    uint64_t chain;       // the check over every tile since the last check
    uint32_t pending;     // those tiles (at most BATCH_PENDING_MAX between batches)
    uint64_t *pend_hash;  // their hashes and cache slots (-1: not cached), kept until the check
    int32_t *pend_slot;
    uint8_t *reply;       // its misses, then the acknowledgement: sent after the message, in this order
    uint32_t reply_len;
    uint8_t *scratch;     // one tile being built or moved (TILE_BYTES)
};

// Applies one MSG_TILE_BATCH with the viewer lock held. 1 when it closed a frame. One that cannot
// be read or applied sets g_viewer.stream_failed (the session ends).
int viewer_tile_batch(const uint8_t *p, uint32_t len);
// Sends the last batch's replies, message by message, without the viewer lock (receive thread).
void viewer_tile_batch_send(void);
// A MSG_FRAME_END: the base of the next batch's frame end.
void viewer_tile_batch_note_end(uint32_t frame, uint32_t tick);
// A new session: no frame end seen, no tile awaiting a check.
void viewer_tile_batch_reset(void);
