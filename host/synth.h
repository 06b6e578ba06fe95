// synth: a deterministic synthetic screen that stands in for the real one on POSIX. It draws a
// desktop (editor, web page, video, taskbar) and animates one workload at a time, reporting each
// frame's changes as desktop duplication would: dirty rectangles and move rectangles.
#pragma once
#include <stdint.h>
#include "host/capture.h"

#define SYNTH_IDLE 0      // nothing changes
#define SYNTH_TYPING 1    // one character per frame in the editor
#define SYNTH_SCROLL 2    // the page scrolls (smoothly, a line per frame): a move plus the new strip
#define SYNTH_DRAG 3      // a window is dragged across the desktop
#define SYNTH_VIDEO 4     // a video region changes completely every frame
#define SYNTH_FULL 5      // the whole screen changes every frame (switching applications)
#define SYNTH_WORKLOADS 6   // the workloads above; those below are for bench_bandwidth
#define SYNTH_TERM_TYPING 6   // typing in a terminal window (light text on black)
#define SYNTH_TERM_SCROLL 7   // a terminal printing output: a line scrolls up per frame
#define SYNTH_SLIDESHOW 8     // a full-screen photo, a new one every frame
#define SYNTH_ALL_WORKLOADS 9

#define SYNTH_MAX_MOVES 4
#define SYNTH_MAX_DIRTY 16

struct SynthScreen {
    int32_t width, height;      // screen size
    uint8_t *pixels;            // width*height BGRX pixels, stride width*4: what the screen shows
    uint8_t *base;              // the desktop under the dragged window (drag workload only)
    int workload;               // SYNTH_*
    uint32_t step;              // frames produced since the workload was chosen
    uint32_t variant;           // scene variant (changes every frame in SYNTH_FULL)
    int moves_enabled;          // 0: moved areas are reported as dirty rectangles instead
    int dxgi_unavailable;       // test: duplication cannot be opened (as under Wine)
    int fail_next;              // test: the next duplicated frame fails (access lost)
    uint32_t wait_ms;           // pause of a duplication pass that finds nothing new (default 2)
    uint32_t gdi_pause_ms;      // pause after a GDI pass (default 16)
    int32_t page_offset;        // document row shown at the top of the page window
    int32_t scroll_step;        // pixel rows the page scrolls per frame (default 16: a wheel notch of
                                // three lines animated over three frames)
    int32_t type_line, type_col;  // editor cursor (character cells)
    int32_t drag_x, drag_y;     // dragged window's top-left corner
    int32_t drag_dx, drag_dy;   // its motion per frame
    int mark_pending;           // 1: the next step also paints a mark (a square, as a typed glyph)
    int32_t mark_x, mark_y, mark_edge;   // its place and size
    uint32_t mark_rgb;          // its colour
    int presented;              // 1 when the last step changed the screen
    CaptureMove moves[SYNTH_MAX_MOVES];   // last step's moves
    int move_count;
    CaptureRect dirty[SYNTH_MAX_DIRTY];   // last step's dirty rectangles
    int dirty_count;
};
extern SynthScreen g_synth;

// Draw the desktop at w x h (any size from 1 x 1); workload idle. 1, or 0 when memory ran out.
int synth_open(int32_t w, int32_t h);
void synth_close(void);
// Change the screen size (redrawn, workload kept); a duplication in use fails on its next frame.
int synth_resize(int32_t w, int32_t h);
void synth_set_workload(int workload);
// Advance one frame of the workload: pixels change, moves and dirty rectangles describe how.
void synth_step(void);
const char *synth_workload_name(int workload);

// Capture of the synthetic screen (synth_capture.cpp): the backend steps of capture.h over this
// screen, for capture_stub.cpp and for CAPTURE_SYNTHETIC on every system. They log nothing.
void synth_capture_screen_size(int32_t *w, int32_t *h);
int synth_capture_open(int dxgi, int32_t *w, int32_t *h);
int synth_capture_start(int dxgi, const CaptureSize *picture);
int synth_capture_grab(int dxgi, int full_refresh, int wait, CaptureFrame *f);
int synth_capture_take(int partial, CaptureFrame *f);
