// codec2_batch: MSG_TILE_BATCH, a frame's small tiles and cache references (and, when it closes
// the frame, its frame end) as one piece of the session's zstd stream, without a message header
// or hash per tile. The host gathers entries in scan order and packs them at emit time; the viewer
// unpacks a piece and walks its entries. Only with the second codec; layout in docs/codec2.md.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/codec2.h"
#include "protocol/messages.h"

#define MSG_TILE_BATCH 10                 // host to viewer
#define BATCH_KIND_REF 16                 // entry kind: a cache reference (kinds 2..5 are tile forms)
#define BATCH_CLOSES_FRAME 1              // flags bit 0: the frame end follows the entries
#define BATCH_HAS_CHECK 2                 // flags bit 1: the content ends with the check
#define BATCH_HAS_MOVES 4                 // flags bit 2: the frame's moves follow `count`
#define BATCH_MOVE_BYTES 30               // most bytes of one move: six varints
#define BATCH_PENDING_MAX 256             // viewer: most tiles held unchecked between checks
#define BATCH_CHECK_TILES 128              // host: a check goes once this many tiles wait for one
#define BATCH_CHECK_BATCHES 16             // host: ... or this many batches went without one
#define CODEC2_BATCH_CAP 262144           // host: content past this goes out and a new batch begins
#define CODEC2_BATCH_ENTRIES 4096         // most entries in one batch (the viewer rejects more)
#define CODEC2_BATCH_MAX 524288           // viewer: largest content accepted
#define CODEC2_CHECK_SEED 0x9E3779B97F4A7C15ull

// One step of the batch check: c = rotl64(c ^ h, 31) * 0xC4CEB9FE1A85EC53.
uint64_t codec2_check_step(uint64_t c, uint64_t h);

// ---- the host's end ----
struct Codec2Batch {
    uint8_t *entries;            // the entries so far; grows and stays
    size_t len, cap;
    uint32_t *index;             // tile index of each entry (grows and stays)
    uint32_t count;              // entries so far
    int64_t prev;                // index of the last entry, -1 before the first
    uint64_t check;              // over the tile entries since the last check sent (all batches)
    uint64_t base;               // check before this batch's tiles (restored when the batch is lost)
    uint32_t pending;            // tile entries since the last check sent, this batch's included
    uint32_t tiles;              // this batch's tile entries
    uint32_t unchecked;          // batches sent since the last check
    uint32_t last_frame, last_tick;   // the last frame end sent this session (0, 0 before any)
    uint8_t moves[MAX_MOVE_RECTS * BATCH_MOVE_BYTES];   // the frame's moves, packed
    size_t moves_len;
    uint32_t moves_n;
};
// A new session: no entries, no frame end sent yet.
void codec2_batch_reset(Codec2Batch *b);
// Appends tile `index` (above the last entry's) of form 2..5 with its data as codec2_encode_tile
// made it; the data goes unpacked. 1, or 0 when it cannot be batched (the tile goes alone then).
int codec2_batch_tile(Codec2Batch *b, Codec2Stream *s, uint32_t index, uint8_t form, const uint8_t *data, size_t n,
                      uint64_t hash);
// Appends a cache reference to `hash` for tile `index`. 1, or 0 when it cannot grow.
int codec2_batch_ref(Codec2Batch *b, uint32_t index, uint64_t hash);
// Puts a move ahead of the entries (the viewer applies the moves first). 0 past MAX_MOVE_RECTS.
int codec2_batch_move(Codec2Batch *b, const MoveRect *m);
// 1 when the batch should go out before it takes more.
int codec2_batch_full(const Codec2Batch *b);
// Most bytes the message (header and piece) can take.
size_t codec2_batch_bound(const Codec2Batch *b);
// Writes the message at dst (room for codec2_batch_bound) and empties the batch. closes: the frame
// end (frame, tick) follows the entries. The check goes along once BATCH_CHECK_TILES tiles or
// BATCH_CHECK_BATCHES batches waited for it. Bytes written, or -1 when the stream failed (nothing
// written, or dst NULL; the entries are lost, b->index still names them; after a failed compression
// the stream is broken for the session).
long codec2_batch_pack(Codec2Batch *b, Codec2Stream *s, int closes, uint32_t frame, uint32_t tick, uint8_t *dst);
// A frame end that went as MSG_FRAME_END: the next batch's frame end counts from it.
void codec2_batch_note_end(Codec2Batch *b, uint32_t frame, uint32_t tick);
void codec2_batch_free(Codec2Batch *b);

// ---- the viewer's end ----
struct Codec2BatchEntry {
    uint32_t index;              // tile index: ty * cols + tx
    uint8_t kind;                // 2..5 or BATCH_KIND_REF
    const uint8_t *data;         // kinds 2..5: the form's data, unpacked
    size_t n;
    uint64_t hash;               // BATCH_KIND_REF: the hash named
};
struct Codec2BatchDec {
    uint8_t *content;            // the piece's content; CODEC2_BATCH_MAX + 1 bytes once allocated
    size_t len, at;              // content length; next byte to read
    uint8_t flags;
    uint32_t count, seen;        // entries named; entries read
    int64_t prev;                // index of the last entry read
    uint32_t grid;               // tiles in the picture: indexes must stay below
    uint64_t check;              // as sent (read after the entries, flags bit 1)
    uint32_t last_frame, last_tick;   // the last frame end seen this session (0, 0 before any)
    uint32_t frame, tick;        // the frame end rebuilt once the entries are read (flags bit 0)
    MoveRect moves[MAX_MOVE_RECTS];   // flags bit 2: the moves, as read (not yet checked against the picture)
    uint32_t moves_n;
};
// Unpacks a piece through the viewer's stream and reads the content's head. 1, or 0 when the piece
// or head is malformed (the stream is then out of step: the session must end).
int codec2_batch_open(Codec2BatchDec *b, Codec2Dec *d, const uint8_t *piece, size_t n, uint32_t grid);
// The next entry: 1; 0 when all were read and the content ended right (the check in b->check, the
// frame end, if any, in b->frame and b->tick, and b->last_* moved on); -1 when malformed.
int codec2_batch_next(Codec2BatchDec *b, Codec2BatchEntry *e);
// Applies a tile entry (kinds 2..5) to `tile`, the viewer's 16384 bytes there. 0 when malformed.
int codec2_batch_apply(Codec2Dec *d, const Codec2BatchEntry *e, uint8_t *tile);
// A MSG_FRAME_END seen: the next batch's frame end counts from it. Reset: a new session.
void codec2_batch_dec_note_end(Codec2BatchDec *b, uint32_t frame, uint32_t tick);
void codec2_batch_dec_reset(Codec2BatchDec *b);
void codec2_batch_dec_free(Codec2BatchDec *b);
