// encoder_work: the half of tile encoding that needs nothing but the tile itself, spread over the
// worker pool: hash the new pixels several chains at a time straight from the picture (a take
// job), then compress their deltas against sent, but for those already in the viewer's cache (a
// compress job; without the cache the take job compresses at once). Jobs compute runs of changed
// tiles into slots, which the encoder then emits in scan order with its cache decisions; the
// result is the same whichever thread computed a tile. sent takes a tile's new pixels as its delta
// is made where they can be undone (first codec: the tile was black, or the compressed delta gives
// the old pixels), else when the encoder sends it.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/codec2.h"
#include "protocol/messages.h"

#define WORK_CHUNK 64                  // changed tiles one job computes at most
#define WORK_SLOTS (2 * WORK_CHUNK)    // one job's tiles being emitted while the next job computes
#define WORK_GROUP 8                   // tiles whose hash chains run side by side

// How a changed tile may go: as a delta, whole (raw or reference), or, resting on a pending
// reference, whole or held back.
enum { TILE_DELTA, TILE_WHOLE, TILE_PENDING };

// One changed tile. tx, ty, how, sent_zero are set before its job begins; the rest by the job.
struct TileSlot {
    int32_t tx, ty;
    int how;
    int in_mirror;                     // set before its compress job: it goes as a reference
    int sent_zero;                     // sent holds zeros there (g_picture.sent_zero)
    int in_sent;                       // sent already holds the new pixels (data undoes that, or sent_zero)
    uint64_t hash;                     // tile_hash of the new pixels (the picture's current rows)
    int n;                             // compressed length in data, or -1 (not compressed)
    uint8_t form;                      // the form of data (second codec), else TILE_FORM_LZ4_DELTA
    uint8_t data[CODEC2_DATA_CAP];     // the compressed delta of the new pixels against sent
};

// The slot of the changed tile with ordinal k in the pass (k % WORK_SLOTS).
TileSlot *work_slot(int k);
// Begins hashing slots first .. first+count-1 (each with tx, ty, how set) on the pool, and with
// compress set compressing them right away too (in the second codec's forms with codec2). One job
// at a time.
void work_begin(int first, int count, int compress, int codec2);
void work_join(void);     // the caller helps; every slot of the job is computed afterwards
// Compresses the deltas of hashed slots first .. first+count-1 (in_mirror set) on the pool and the
// caller, in the second codec's forms with codec2; returns when all are done.
void work_compress(int first, int count, int codec2);
void work_cancel(void);   // no further tile starts; those under way finish
// A computed tile that is not going after all: sent gets back its old pixels (no job may run).
void work_undo(const TileSlot *s);
// Sent takes the new pixels of slot s's tile.
void work_put_sent(const TileSlot *s);
// The new pixels of slot s's tile (current's rows, unchanged during the pass) to dst, rows dst_stride apart.
void work_new_pixels(const TileSlot *s, uint8_t *dst, size_t dst_stride);
