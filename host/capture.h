// capture: copies the primary screen into the picture once per pass of the session loop, by desktop
// duplication (changed and moved rectangles) or by GDI (the whole screen every pass), and recovers
// from duplication failures. The POSIX build captures the synthetic screen (host/synth.h) instead.
#pragma once
#include <stdint.h>

// Results of capture_pass.
#define CAPTURE_NOTHING 0     // nothing new arrived; the pass goes on to pacing
#define CAPTURE_NEW 1         // the picture was updated; the pass goes on to pacing
#define CAPTURE_RECOVERED 2   // a recovery ran; this pass ends here
#define CAPTURE_RESIZED 3     // the screen changed size; the session must end (the viewer knows the old size)

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
    uint32_t metadata_bytes;       // room the move and dirty rectangles need; 0 = none came
};

struct Capture {
    int dxgi;            // 1 while desktop duplication is in use, 0 for GDI (for good after a failed recovery)
    int32_t recoveries;  // recoveries performed since start-up (for tests and logs)
};
extern Capture g_capture;

// Backends (capture_win32.cpp, or capture_posix.cpp over the synthetic screen).
int capture_init_dxgi(void);     // 1 when duplication is ready; re-sizes the picture to the output
void capture_init_gdi(void);     // never fails; re-sizes the picture to the screen
int capture_pass(void);          // one capture step: CAPTURE_*
void capture_screen_size(int32_t *w, int32_t *h);   // primary screen size in physical pixels
void capture_shutdown(void);     // release duplication and GDI objects

// Portable steps shared by both backends (capture.cpp).
// 1 when a duplicated frame may be copied rectangle by rectangle, 0 when the whole screen must be copied.
int capture_choose_partial(int full_refresh, const CaptureFrameInfo *info);
// Partial copy from a mapped full-screen image: moves are checked against the screen, listed in the
// picture while room remains, and their destinations copied; dirty rectangles are copied clipped.
void capture_apply_partial(const uint8_t *image, int32_t pitch, const CaptureMove *moves, int move_count,
                           const CaptureRect *dirty, int dirty_count);
// Full copy: the whole screen, pending moves dropped.
void capture_apply_full(const uint8_t *image, int32_t pitch);
// Re-size the picture under the picture lock when (w, h) differs from it. 1 when it changed.
int capture_fit_picture(int32_t w, int32_t h);
// After a duplication failure: pause, re-open (or fall back to GDI for good), forget the viewer's
// picture. Returns CAPTURE_RECOVERED, or CAPTURE_RESIZED when the screen size changed meanwhile.
int capture_recover(void);
// Called at the end of a pass with the size the picture had at its start: logs and reports a change.
int capture_check_size(int32_t old_w, int32_t old_h, int result);
