// encoder: turns the difference between the captured picture and the host's copy of the viewer's
// picture into one frame's messages, in wire order: moves, text layer, window list, tiles in
// row-major order (cache references or compressed deltas / raw pixels), cursor, frame end. With the
// second codec, crops and references go into the frame's MSG_TILE_BATCH, which closes the frame
// (and carries the moves as well when every tile of the frame is in it).
//
// `sent` is the host's copy of what the viewer shows once it has applied everything sent so far.
// It is exact for every tile except two kinds, which the picture marks and the encoder treats alike
// as unsure (picture_tile_unsure): a tile whose viewer content is unknown (force_raw: after a cache
// miss or a capture recovery; `sent` holds zeros there), and a tile whose content rests on a
// MSG_CACHE_REF of a frame the viewer has not really acknowledged yet (ref_frame: its own reference,
// or one whose content a move carried into it): the viewer shows `sent` there if it held the hash,
// or older pixels if not. The viewer sends its misses before the acknowledgement of their frame, so
// once flow.confirmed_frame (moved by real acknowledgements only, never by the 250 ms release)
// reaches that frame without a miss, the tile is exact again; a miss instead forgets the tile it
// names and every tile still resting on a pending reference (force_raw).
// An unsure tile never goes as a delta. When it changes: a forgotten tile goes raw, or as a
// reference (pending again); a pending tile goes as a reference if the viewer holds the new
// content, and otherwise is held back: it stays dirty, `sent` and its state stay as they are (the
// viewer shows the same, or the older pixels a coming miss will forget), and it goes on the first
// pass after the acknowledgement, as an ordinary delta against the now exact `sent`, or raw once a
// miss forgot it or once the reference's frame went out more than the hold bound ago (a ring of
// frame send ticks; at least ENCODER_HOLD_MS). A move carries the state with the content, tile by
// tile: a destination fed from a forgotten tile is forgotten, one fed from a pending tile is pending
// on the latest such reference, and one the move covers wholly from sure tiles is sure; held tiles
// are only dirty tiles whose state moves the same way.
// So a delta only ever goes against a tile the viewer really shows, and the viewer never stores a
// wrong tile under a right hash.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "host/pick.h"
#include "host/text_layer.h"
#include "protocol/writer.h"

struct FrameWriter;
struct channel;

#define ENCODER_TICK_RING 64    // frames whose send tick the hold bound can look up
#define ENCODER_HOLD_MS 1000    // a held tile waits at least this long for its reference's frame
#define ENCODER_PART_BYTES WRITER_RECORD_BYTES   // a big frame goes out in records of about this size as it is encoded

struct EncoderState {
    int cache_in_use;               // viewer caps bit 1: references may go out, the mirror is kept
    int text_wanted;                // viewer caps bit 0: the viewer draws a console text layer
    int text_layer_on;              // host setting text_layer_enabled (the session sets both)
    int window_list_on;             // host setting window_tracking_enabled
    int codec2;                     // caps bit 3 in both hellos: tiles go in the second codec's forms
    int text_cover;                 // 1 while an active text layer hides the tiles wholly inside cover
    text_rect_t cover;              // the text layer's client area in screen pixels
    int32_t tiles_this_frame;       // tiles and references appended by this pass
    int32_t refs_this_frame;        // references appended by this pass
    int32_t raw_this_frame;         // tiles of this pass that went as raw pixels
    int32_t held_this_frame;        // changed tiles this pass held back for a pending reference
    int cut;                        // this pass left changed tiles for want of room, or only took the fresh ones
    size_t pass_start;              // output length when this pass's encode step began
    size_t encoded_bytes;           // bytes the encode step appended (moves, text, windows, tiles)
    uint64_t session_tiles;         // tiles sent this session, references included
    uint64_t session_refs;          // references sent this session
    int cursor_sent;                // 1 once a cursor message went out this session
    int32_t cursor_x, cursor_y;     // pointer position last sent
    int cursor_visible;             // visibility last sent
    uint32_t ring_frame[ENCODER_TICK_RING];   // frame number held in each entry (number % ring)
    uint32_t ring_tick[ENCODER_TICK_RING];    // tick of that frame's MSG_FRAME_END
    int fresh_only;                 // 1: this pass takes only tiles the latest capture marked (dirty
                                    // byte 1), none left waiting by earlier passes (dirty byte 2)
    channel *part_channel;          // set: a frame's first parts go out on it while the rest is encoded
    size_t part_room;               // bytes a frame may send so, ahead of its end (0: none), at
    int64_t part_start_ns;          // this moment (pick_clock_ns); the room grows as the link drains
    PickState pick;                 // the second codec's big passes: which family of forms
};
extern EncoderState g_encoder;

// Session start: counters zero, cursor forgotten, no text cover, references on when cache_in_use.
void encoder_session_reset(int cache_in_use);
// The viewer's caps from its hello (after encoder_session_reset): bit 0 text layer, bit 1 tile cache.
void encoder_viewer_caps(uint16_t caps);

// The frame's encode step, with the picture lock held: moves, overlays, tiles under the flow budget,
// appended to the session's frame writer.
void encoder_frame(FrameWriter *out);
// A frame carries at most flow_frame_bytes() of tiles (the first tile always goes); the rest wait.
// With part_channel set, every ENCODER_PART_BYTES of it go out as a record of their own as soon as
// they are emitted, up to part_room bytes in all, so the viewer applies the first tiles while the
// last are encoded and on their way; the rest goes with the frame end.
// Its parts (tests drive them one by one).
void encoder_moves(FrameWriter *out);
void encoder_tiles(FrameWriter *out, int32_t budget);
void encoder_tiles_at(FrameWriter *out, int32_t budget, uint32_t now);   // at tick now (the hold's clock)

// After the lock is released: session totals, cursor, frame log line and MSG_FRAME_END (or the
// frame's batch, carrying the frame end).
// 1 when a frame was closed (out holds it), 0 when the pass appended nothing, -1 when the frame
// end could not be appended.
int encoder_pass_close(FrameWriter *out);
// Append MSG_CURSOR when the pointer moved or changed visibility since it was last sent.
void encoder_cursor(FrameWriter *out, int32_t x, int32_t y, int visible);
// "session stats: ..." line for the session end.
void encoder_log_session_stats(void);

// Hook points into the text layer, the window list and the pointer (encoder_hooks.cpp).
void encoder_overlays_pass(FrameWriter *out);   // appends MSG_TEXT_LAYER / MSG_WINDOW_LIST, sets the text cover
int encoder_pointer(int32_t *x, int32_t *y, int *visible);   // 1 when the pointer could be read
