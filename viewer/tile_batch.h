// tile_batch: the viewer's handling of MSG_TILE_BATCH (second codec only): the batch's tiles are
// built into the framebuffer, its references served from the cache, its check decides whether the
// tiles enter the cache, and its frame end is acknowledged like MSG_FRAME_END.
#pragma once
#include <stdint.h>
#include "protocol/codec2_batch.h"

// The receive thread's batch state; its buffers are allocated at the first batch and kept.
struct viewer_batch {
    Codec2BatchDec dec;   // the content and the frame end's base
    uint32_t *tiles;      // tile index of each tile entry of the batch being applied
    uint64_t *hashes;     // their tile hashes
    uint32_t built;       // tile entries applied so far
    uint8_t *reply;       // its misses, then the acknowledgement: sent after the message, in this order
    uint32_t reply_len;
    uint8_t *scratch;     // one tile being built or moved (TILE_BYTES)
};

// Applies one MSG_TILE_BATCH with the viewer lock held. 1 when it closed a frame. One that cannot
// be read or applied sets g_viewer.stream_failed (the session ends).
int viewer_tile_batch(const uint8_t *p, uint32_t len);
// Sends the last batch's replies, message by message, without the viewer lock (receive thread).
void viewer_tile_batch_send(void);
// A MSG_FRAME_END or a new session (0, 0): the base of the next batch's frame end.
void viewer_tile_batch_note_end(uint32_t frame, uint32_t tick);
