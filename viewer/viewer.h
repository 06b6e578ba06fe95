// viewer: the viewer core's shared state and entry points. One viewing session at a time per
// process: the session owns the state (session.cpp) and sets up the framebuffer from the host
// hello, the receive thread rebuilds the picture into it from host messages, and the window paints
// it and takes the dirty rectangle.
// Framebuffer, dirty rectangle, text layer and tile cache are guarded by the viewer lock; the
// statistics are atomic counters read without it.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <atomic>
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/codec2.h"
#include "protocol/messages.h"
#include "viewer/apply.h"
#include "viewer/cache.h"
#include "viewer/tile_batch.h"

#define VIEWER_MAX_EDGE 16384                 // largest host width or height accepted from a hello
#define VIEWER_MAX_PAYLOAD 16777216u          // a longer host message ends the session
#define VIEWER_TEXT_MAX_COLS 512              // text grid limits a host never exceeds
#define VIEWER_TEXT_MAX_ROWS 256
#define VIEWER_TEXT_ROW_BYTES(cols) (2 + (size_t)(cols) * 3)   // u16 row index + cells

// Called by the receive thread without the viewer lock held: after each frame end (the window
// posts WM_USER to itself) and once when the connection has ended (the window posts WM_CLOSE).
typedef void (*viewer_hook)(void);

// The console text layer drawn over the picture.
struct viewer_text {
    int active;           // 1 while the host shows a console window's text
    int32_t left, top;    // host-pixel rectangle the grid is drawn over
    int32_t width, height;
    uint16_t cols, rows;  // grid size in character cells
    uint8_t *grid;        // rows x cols cells of 3 bytes: u16 UTF-16 unit (LE), u8 attribute
    size_t grid_cap;      // bytes allocated for grid; kept between sessions
    uint8_t *scratch;     // one decompressed block of row records; grows, never shrinks
    size_t scratch_cap;
};

struct viewer_state {
    // Geometry from the host hello.
    int32_t width, height;           // host screen size in pixels
    int32_t pad_width, pad_height;   // width and height rounded up to multiples of 64
    uint8_t *fb;          // PW x PH pixels, 4 bytes each (blue, green, red, unused), top-down
    size_t stride;        // bytes per framebuffer row: PW * 4

    // Union of everything changed since the window last took it (host pixels, right/bottom exclusive).
    int dirty;
    int32_t dirty_l, dirty_t, dirty_r, dirty_b;

    viewer_text text;     // console text layer
    tile_cache cache;     // the tile cache: opened, saved and closed by the session

    // Statistics, reset at session start and changed only by atomic additions.
    std::atomic<uint32_t> bytes_received;   // payload length + 8 per message
    std::atomic<uint32_t> frames;           // frame-end messages
    std::atomic<uint32_t> cache_hits;
    std::atomic<uint32_t> cache_misses;
    std::atomic<uint32_t> cache_rejects;    // cached tiles dropped when first needed: their pixels miss the host's hash

    plat_lock lock;       // the viewer lock; created at the first session, never destroyed
    int lock_ready;       // 1 once lock has been initialised

    channel *ch;          // the session's channel: replies go out on it, the thread reads it; NULL sends nothing
    viewer_hook on_frame; // set by the window: repaint request after a frame end (may be NULL)
    viewer_hook on_close; // set by the window: the connection ended (may be NULL)

    // Receive-thread buffers; they grow and stay between sessions.
    uint8_t *payload;     // one message payload
    size_t payload_cap;
    // Tiles of one record gathered for applying together (apply.h): slots, payload bytes, the
    // viewer's worker pool and its decoders; receive thread only, applied under the lock.
    viewer_run run;
    int codec2;                 // caps bit 3 in both hellos: MSG_TILE forms above 1 are the second codec's
    Codec2Dec codec2_dec;       // its zstd context and scratch (receive thread only)
    int stream_failed;          // a stream piece could not be applied: the session ends
    viewer_batch tile_batch;    // MSG_TILE_BATCH: its content, tiles and replies (receive thread only)

    // The reply (acknowledgement or miss) made for the last message, header included.
    uint8_t reply[HEADER_BYTES + CACHE_MISS_BYTES];
    uint32_t reply_len;   // 0 when the last message needed no reply

    char host_name[NAME_BYTES + 1];   // from the host hello, terminated; kept for the window title
};

extern viewer_state g_viewer;   // defined and owned by the session; the handlers and the window read it

// Session set-up (before the receive thread starts): creates the viewer lock on first use, sizes
// and zero-fills the framebuffer for a w x h host, resets the dirty flag, text layer and counters.
// 0 when w or h is outside 1..VIEWER_MAX_EDGE or the framebuffer cannot be allocated.
int viewer_begin(int32_t w, int32_t h);
// Session teardown (after the receive thread has ended): frees the framebuffer.
void viewer_end(void);

// Grow the dirty rectangle by (l, t, r, b) clipped to the host picture. Viewer lock held.
// 64-bit so that a host's left + width cannot overflow on the way in.
void viewer_dirty_add(int64_t l, int64_t t, int64_t r, int64_t b);
// Take and clear the dirty rectangle. 1 when there was one. Viewer lock held (window thread).
int viewer_dirty_take(int32_t *l, int32_t *t, int32_t *r, int32_t *b);

// Apply one host message to the shared state: counts its bytes, then under the viewer lock acts on
// it and sends its reply (if any) on g_viewer.ch; calls on_frame after a frame end. Safe on any
// type, payload and length; needs no socket.
void viewer_dispatch(uint8_t type, const uint8_t *payload, uint32_t len);

// The receive thread's way in: a MSG_TILE or MSG_CACHE_REF joins the run of tiles (more = 1 when further messages
// of the same record follow it, so the run grows; its payload must stay unchanged until the run
// is applied: viewer_run_room gives the place); any other message, or the record's end, has the
// run applied first. Counts bytes as viewer_dispatch does.
void viewer_feed(uint8_t type, const uint8_t *payload, uint32_t len, int more);

// Read one message from the channel and feed it. 0 when a read fails or the announced length
// exceeds VIEWER_MAX_PAYLOAD or cannot be buffered (the session then ends).
int viewer_receive_one(channel *ch);

// Receive thread entry (thread_fn): reads and applies host messages from g_viewer.ch until a read
// fails, then calls on_close. arg is unused. Returns 0.
unsigned viewer_receive_thread(void *arg);
