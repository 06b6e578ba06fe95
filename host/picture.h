// picture: the host's picture state shared by capture, encoder and receive thread.
// `current` is the latest capture, `sent` the host's copy of what the viewer shows, `dirty` the tiles
// that may differ, `moves` the screen areas that moved since the encoder last ran. One per process.
#pragma once
#include <stdint.h>
#include "platform/thread.h"
#include "protocol/messages.h"

#define PICTURE_MAX_EDGE 65536   // widest and tallest screen the picture accepts

struct Picture {
    int32_t width, height;           // screen size in physical pixels
    int32_t cols, rows;              // tile grid: ceil(width/64) x ceil(height/64)
    int32_t pad_width, pad_height;   // cols*64, rows*64
    uint8_t *current;                // pad_width*pad_height pixels (BGRx), stride pad_width*4; latest capture
    uint8_t *sent;                   // same layout: what the viewer shows once it applied what we sent
    uint8_t *dirty;                  // cols*rows bytes, index tx + ty*cols; 1 = may differ from sent
    uint8_t *force_raw;              // cols*rows bytes; 1 = the viewer's tile is unknown, send it whole
    uint8_t *sent_zero;              // cols*rows bytes; 1 = the tile's sent copy is all zero (its delta
                                     // is the new pixels, made without reading sent); 0 = unknown
    uint32_t *ref_frame;             // cols*rows: frame of the last MSG_CACHE_REF the tile's content
                                     // rests on (its own, or one a move copied from); 0 once a tile
                                     // message replaced it. Unsure until that frame is really acknowledged
    uint32_t latest_ref;             // frame of the latest MSG_CACHE_REF this session (0: none yet)
    MoveRect moves[MAX_MOVE_RECTS];  // pending moves in capture order
    int32_t move_count;              // entries used in moves
    int32_t full_refresh;            // 1 = the next duplication pass must copy the whole screen
};

extern Picture g_picture;

// The picture lock guards sent, dirty, force_raw, sent_zero, ref_frame and the cache mirror between the session
// loop and the receive thread. picture_init creates it: once at start-up, before any other picture
// call (the host's start-up, and tests and benchmarks that use the picture; later calls do nothing).
void picture_init(void);
void picture_lock(void);
void picture_unlock(void);

// Size the picture for a w x h screen: all buffers zero-filled, no dirty tile, no moves,
// full_refresh = 1. 1, or 0 when memory ran out (the picture is then 0 x 0).
int picture_resize(int32_t w, int32_t h);
void picture_free(void);
// Session start: sent zeroed (the viewer starts black), every tile dirty, no reference pending,
// moves dropped.
void picture_reset(void);
// After a capture recovery: as picture_reset, and every tile is sent whole next time, because the
// viewer still shows what it had and a delta against zero would garble it.
void picture_forget_all(void);
// After a cache miss for tile (tx, ty): its sent copy is zeroed, it is dirty and goes whole next time.
// Outside the grid nothing happens. Caller holds the picture lock.
void picture_forget_tile(uint32_t tx, uint32_t ty);

// 1 while tile i's last message was a reference in a frame after `confirmed` (the latest frame the
// viewer really acknowledged): the viewer may not hold that tile, and its miss is still on the way.
static inline int picture_ref_pending(size_t i, uint32_t confirmed) {
    uint32_t f = g_picture.ref_frame[i];
    return f != 0 && (int32_t)(f - confirmed) > 0;
}
// 1 when the host cannot be sure what the viewer shows at tile i (forgotten, or a pending reference):
// such a tile never goes as a delta (the encoder sends it whole or holds it back, see encoder.h).
static inline int picture_tile_unsure(size_t i, uint32_t confirmed) {
    return g_picture.force_raw[i] || picture_ref_pending(i, confirmed);
}

// After a cache miss: every tile with a pending reference may rest on the missed one (a move may
// have copied it), so each is forgotten as picture_forget_tile does. Caller holds the picture lock.
void picture_forget_pending(uint32_t confirmed);

// Copy the rectangle [x0,x1) x [y0,y1) of a full-screen image (stride bytes per row) into current,
// clamped to the screen, and mark the tiles it touches dirty.
// Takes the picture lock briefly for the dirty bytes: never call it with the lock held.
void picture_copy_rect(const uint8_t *src, int32_t stride, int32_t x0, int32_t y0, int32_t x1, int32_t y1);
// Append a move; 1, or 0 when 256 are already pending (the caller still copies its destination).
int picture_add_move(const MoveRect *m);
