// synth_capture: the synthetic screen as a capture backend: duplication (rectangles, pointer-only
// frames, failures on request) or GDI (the whole screen every pass). It hands frames back to the
// portable capture steps and never touches the picture.
#include "host/capture.h"

#include "host/synth.h"
#include "platform/clock.h"

#define SYNTH_DEFAULT_W 1280   // screen size when nothing opened the synthetic screen first
#define SYNTH_DEFAULT_H 720

static void synth_ready(void) {
    if (!g_synth.pixels) synth_open(SYNTH_DEFAULT_W, SYNTH_DEFAULT_H);
}

void synth_capture_screen_size(int32_t *w, int32_t *h) {
    synth_ready();
    *w = g_synth.width;
    *h = g_synth.height;
}

int synth_capture_open(int dxgi, int32_t *w, int32_t *h) {
    synth_capture_screen_size(w, h);
    return !(dxgi && g_synth.dxgi_unavailable);
}

int synth_capture_start(int dxgi, const CaptureSize *picture) {
    (void)dxgi;
    (void)picture;
    return 1;
}

static int synth_grab_gdi(CaptureFrame *f) {
    synth_step();
    if (g_synth.gdi_pause_ms) clock_sleep(g_synth.gdi_pause_ms);
    f->image = g_synth.pixels;
    f->pitch = g_synth.width * 4;
    return CAPTURE_GRAB_FRAME;
}

static int synth_grab_dxgi(int full_refresh, int wait, CaptureFrame *f) {
    if (g_synth.fail_next) {
        g_synth.fail_next = 0;
        return CAPTURE_GRAB_LOST;
    }
    synth_step();
    if (!g_synth.presented && !full_refresh) {
        if (g_synth.wait_ms && wait) clock_sleep(g_synth.wait_ms);   // the time-out of a frame that never came
        return CAPTURE_GRAB_NONE;
    }
    f->info.last_present_time = g_synth.presented ? (int64_t)g_synth.step : 0;
    f->info.accumulated_frames = 1;
    f->info.metadata_bytes = (uint32_t)(g_synth.move_count * 24 + g_synth.dirty_count * 16);
    return CAPTURE_GRAB_FRAME;
}

int synth_capture_grab(int dxgi, int full_refresh, int wait, CaptureFrame *f) {
    return dxgi ? synth_grab_dxgi(full_refresh, wait, f) : synth_grab_gdi(f);
}

int synth_capture_take(int partial, CaptureFrame *f) {
    f->image = g_synth.pixels;
    f->pitch = g_synth.width * 4;
    f->partial = partial;
    if (!partial) return 1;
    f->moves = g_synth.moves;
    f->move_count = g_synth.move_count;
    f->dirty = g_synth.dirty;
    f->dirty_count = g_synth.dirty_count;
    return 1;
}
