// capture: copies the primary screen into the picture once per pass of the session loop, by desktop
// duplication (changed and moved rectangles) or by GDI (the whole screen every pass), and recovers
// from duplication failures. The portable steps (capture.cpp) call the backend, which hands back what
// it captured in a CaptureFrame and never touches the picture nor calls back; capture.cpp alone
// copies into the picture. The backend is capture_win32.cpp on Windows and capture_stub.cpp (the
// synthetic screen, host/synth.h) elsewhere; tests on every system capture the synthetic screen.
#pragma once
#include <stdint.h>

// Results of capture_pass.
#define CAPTURE_NOTHING 0     // nothing new arrived; the pass goes on to pacing
#define CAPTURE_NEW 1         // the picture was updated; the pass goes on to pacing
#define CAPTURE_RECOVERED 2   // a recovery ran; this pass ends here
#define CAPTURE_RESIZED 3     // the screen changed size; the session must end (the viewer knows the old size)

// Where the portable steps take the screen from.
#define CAPTURE_SCREEN 0      // the backend: the real screen (its stand-in where there is none)
#define CAPTURE_SYNTHETIC 1   // the synthetic screen, on every system (tests and benchmarks)

#define CAPTURE_WAIT_MS 2         // longest wait for a new duplicated frame
#define CAPTURE_GDI_PAUSE_MS 16   // pause after each GDI copy
#define CAPTURE_RECOVERY_MS 200   // pause before a recovery re-opens the duplication

// Move rectangle as duplication reports it: source point, destination rectangle (24 bytes).
struct CaptureMove {
    int32_t src_x, src_y;
    int32_t left, top, right, bottom;
};
// Dirty rectangle as duplication reports it (16 bytes).
struct CaptureRect {
    int32_t left, top, right, bottom;
};

// What one duplicated frame said about itself, for the choice between partial and full copy.
struct CaptureFrameInfo {
    int64_t last_present_time;     // 0 when only the pointer changed
    uint32_t accumulated_frames;   // frames the system merged into this one
    uint32_t metadata_bytes;       // room the move and dirty rectangles need; 0 = none came (or no room)
};

// What a backend hands back from one grab. The image is the whole screen, rows `pitch` bytes apart,
// and stays valid until capture_release. With `partial` only the move destinations and dirty
// rectangles of the image are current; otherwise all of it is.
struct CaptureFrame {
    CaptureFrameInfo info;       // duplication: the frame's own description (filled by the grab)
    const uint8_t *image;        // NULL when the backend has no image (the pass copies nothing)
    int32_t pitch;
    int partial;                 // 1: only moves and dirty rectangles changed
    const CaptureMove *moves;    // partial only
    int move_count;
    const CaptureRect *dirty;    // partial only
    int dirty_count;
};

// The picture's geometry as a backend sizes its buffers to it (width 0 when the picture could not
// be sized).
struct CaptureSize {
    int32_t width, height, pad_width;
};

// Results of a backend grab.
#define CAPTURE_GRAB_NONE 0    // nothing new (time-out, or only the pointer moved)
#define CAPTURE_GRAB_FRAME 1   // a frame is held: duplication goes on with capture_take
#define CAPTURE_GRAB_LOST 2    // duplication failed (the backend logged why): recover

// Portable steps (capture.cpp), called by the session loop's thread only.
// Open desktop duplication and fit the picture to its output: 1 when ready.
int capture_init_dxgi(int source);
// Open GDI capture and fit the picture to the screen; never fails.
void capture_init_gdi(int source);
int capture_pass(int source);   // one capture step: CAPTURE_*
// The same; without wait, duplication does not wait for a new frame when none is there (the frame
// loop still has a change to send).
int capture_pass_for(int source, int wait);
int capture_uses_dxgi(void);    // 1 while desktop duplication is in use, 0 for GDI
int32_t capture_recoveries(void);   // recoveries performed since start-up (for tests and logs)
// 1 when a duplicated frame may be copied rectangle by rectangle, 0 when the whole screen must be copied.
int capture_choose_partial(int full_refresh, const CaptureFrameInfo *info);
// Partial copy from a full-screen image: moves are checked against the screen, listed in the
// picture while room remains, and their destinations copied; dirty rectangles are copied clipped.
void capture_apply_partial(const uint8_t *image, int32_t pitch, const CaptureMove *moves, int move_count,
                           const CaptureRect *dirty, int dirty_count);
// Full copy: the whole screen, pending moves dropped.
void capture_apply_full(const uint8_t *image, int32_t pitch);

// Backend (capture_win32.cpp, or capture_stub.cpp over the synthetic screen). The synthetic screen
// has the same steps under synth_capture_ names (host/synth.h).
void capture_screen_size(int32_t *w, int32_t *h);   // primary screen size in physical pixels
// Open duplication (dxgi 1) or GDI (dxgi 0): 1 and the size the picture must take, 0 when
// duplication cannot be opened (logged).
int capture_open(int dxgi, int32_t *w, int32_t *h);
// Once the picture fits: buffers for it; logs the mode. 1, or 0 when duplication is not usable.
int capture_start(int dxgi, const CaptureSize *picture);
void capture_close_dxgi(void);   // release duplication after a failed start
// One frame: GDI copies the screen (f->image) and pauses; duplication waits for a frame (with wait,
// else it only looks) and, when one came (a pointer-only frame counts only with full_refresh),
// fills f->info. CAPTURE_GRAB_*.
int capture_grab(int dxgi, int full_refresh, int wait, CaptureFrame *f);
// Duplication, after CAPTURE_GRAB_FRAME: the frame's image, partial when asked and its rectangles
// could be read (f->partial says). 0 when the frame was lost: recover.
int capture_take(int partial, CaptureFrame *f);
void capture_release(void);      // the pass has copied the taken image
void capture_shutdown(void);     // release duplication and GDI objects
