// capture: the portable capture steps: open a mode and fit the picture to it, one pass (grab from the
// backend, copy partial or whole into the picture), and the recovery after a duplication failure.
#include "host/capture.h"

#include <string.h>
#include "host/log.h"
#include "host/picture.h"
#include "host/synth.h"
#include "platform/clock.h"

// Capture state, touched by the session loop's thread only.
static struct {
    int dxgi;            // 1 while desktop duplication is in use, 0 for GDI (for good after a failed recovery)
    int32_t recoveries;  // recoveries performed since start-up
} s_capture;

int capture_uses_dxgi(void) { return s_capture.dxgi; }
int32_t capture_recoveries(void) { return s_capture.recoveries; }

// The backend steps of a source.
static void source_screen_size(int source, int32_t *w, int32_t *h) {
    if (source == CAPTURE_SYNTHETIC) synth_capture_screen_size(w, h);
    else capture_screen_size(w, h);
}
static int source_open(int source, int dxgi, int32_t *w, int32_t *h) {
    return source == CAPTURE_SYNTHETIC ? synth_capture_open(dxgi, w, h) : capture_open(dxgi, w, h);
}
static int source_start(int source, int dxgi, const CaptureSize *picture) {
    return source == CAPTURE_SYNTHETIC ? synth_capture_start(dxgi, picture) : capture_start(dxgi, picture);
}
static int source_grab(int source, int dxgi, int wait, CaptureFrame *f) {
    int full = g_picture.full_refresh;
    return source == CAPTURE_SYNTHETIC ? synth_capture_grab(dxgi, full, wait, f) : capture_grab(dxgi, full, wait, f);
}
static int source_take(int source, int partial, CaptureFrame *f) {
    return source == CAPTURE_SYNTHETIC ? synth_capture_take(partial, f) : capture_take(partial, f);
}

int capture_choose_partial(int full_refresh, const CaptureFrameInfo *info) {
    return !full_refresh && info->last_present_time != 0 && info->accumulated_frames <= 1 &&
           info->metadata_bytes != 0;
}

// One duplication move: listed while room remains, destination copied either way.
static void capture_apply_move(const uint8_t *image, int32_t pitch, const CaptureMove *cm) {
    MoveRect m;
    m.src_x = cm->src_x;
    m.src_y = cm->src_y;
    m.dst_x = cm->left;
    m.dst_y = cm->top;
    m.width = cm->right - cm->left;
    m.height = cm->bottom - cm->top;
    if (!msg_move_rect_valid(&m, g_picture.width, g_picture.height)) return;
    picture_add_move(&m);
    picture_copy_rect(image, pitch, cm->left, cm->top, cm->right, cm->bottom);
}

void capture_apply_partial(const uint8_t *image, int32_t pitch, const CaptureMove *moves, int move_count,
                           const CaptureRect *dirty, int dirty_count) {
    for (int i = 0; i < move_count; i++) capture_apply_move(image, pitch, &moves[i]);
    for (int i = 0; i < dirty_count; i++)
        picture_copy_rect(image, pitch, dirty[i].left, dirty[i].top, dirty[i].right, dirty[i].bottom);
    g_picture.full_refresh = 0;
}

void capture_apply_full(const uint8_t *image, int32_t pitch) {
    picture_copy_rect(image, pitch, 0, 0, g_picture.width, g_picture.height);
    g_picture.move_count = 0;
    g_picture.full_refresh = 0;
}

// Re-size the picture under the picture lock when (w, h) differs from it; the geometry it now has.
static CaptureSize capture_fit_picture(int32_t w, int32_t h) {
    if (w != g_picture.width || h != g_picture.height || !g_picture.current) {
        picture_lock();
        picture_resize(w, h);
        picture_unlock();
    }
    CaptureSize s = {g_picture.width, g_picture.height, g_picture.pad_width};
    return s;
}

int capture_init_dxgi(int source) {
    int32_t w = 0, h = 0;
    if (!source_open(source, 1, &w, &h)) return 0;
    CaptureSize size = capture_fit_picture(w, h);
    if (!g_picture.current || !source_start(source, 1, &size)) {
        if (source == CAPTURE_SCREEN) capture_close_dxgi();
        return 0;
    }
    g_picture.full_refresh = 1;
    s_capture.dxgi = 1;
    return 1;
}

void capture_init_gdi(int source) {
    int32_t w = 0, h = 0;
    source_open(source, 0, &w, &h);
    CaptureSize size = capture_fit_picture(w, h);
    source_start(source, 0, &size);
    s_capture.dxgi = 0;
}

// Called at the end of a pass with the size the picture had at its start: logs and reports a change.
static int capture_check_size(int32_t old_w, int32_t old_h, int result) {
    if (old_w == g_picture.width && old_h == g_picture.height) return result;
    host_log("screen size changed from %dx%d to %dx%d", old_w, old_h, g_picture.width, g_picture.height);
    return CAPTURE_RESIZED;
}

// After a duplication failure: pause, re-open (or fall back to GDI for good), forget the viewer's
// picture. CAPTURE_RECOVERED, or CAPTURE_RESIZED when the screen size changed meanwhile.
static int capture_recover(int source) {
    int32_t w = g_picture.width, h = g_picture.height;
    s_capture.recoveries++;
    clock_sleep(CAPTURE_RECOVERY_MS);
    if (!capture_init_dxgi(source)) {
        capture_init_gdi(source);
        s_capture.dxgi = 0;
    }
    // The viewer keeps what it shows; whatever we send next for a tile must replace it whole.
    picture_lock();
    picture_forget_all();
    picture_unlock();
    return capture_check_size(w, h, CAPTURE_RECOVERED);
}

// GDI: the whole screen every pass, re-opened first when the screen changed size (the session ends).
static int capture_pass_gdi(int source) {
    int32_t w = 0, h = 0;
    source_screen_size(source, &w, &h);
    if (w != g_picture.width || h != g_picture.height) capture_init_gdi(source);
    CaptureFrame f;
    memset(&f, 0, sizeof f);
    source_grab(source, 0, 1, &f);
    if (f.image) picture_copy_rect(f.image, f.pitch, 0, 0, g_picture.width, g_picture.height);
    return CAPTURE_NEW;
}

// Duplication: a frame's rectangles, or the whole screen when they cannot be trusted.
static int capture_pass_dxgi(int source, int wait) {
    CaptureFrame f;
    memset(&f, 0, sizeof f);
    int got = source_grab(source, 1, wait, &f);
    if (got == CAPTURE_GRAB_NONE) return CAPTURE_NOTHING;
    if (got == CAPTURE_GRAB_LOST) return capture_recover(source);
    int partial = capture_choose_partial(g_picture.full_refresh, &f.info);
    if (!source_take(source, partial, &f)) return capture_recover(source);
    if (f.partial)
        capture_apply_partial(f.image, f.pitch, f.moves, f.move_count, f.dirty, f.dirty_count);
    else
        capture_apply_full(f.image, f.pitch);
    if (source == CAPTURE_SCREEN) capture_release();
    return CAPTURE_NEW;
}

int capture_pass_for(int source, int wait) {
    int32_t w = g_picture.width, h = g_picture.height;
    int result = s_capture.dxgi ? capture_pass_dxgi(source, wait) : capture_pass_gdi(source);
    return capture_check_size(w, h, result);
}

int capture_pass(int source) { return capture_pass_for(source, 1); }
