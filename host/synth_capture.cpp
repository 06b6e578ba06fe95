// synth_capture: capture of the synthetic screen, as duplication (rectangles, pointer-only frames,
// failures and recovery) or as GDI (the whole screen every pass). The POSIX capture backend is this;
// tests on both targets drive it directly.
#include "host/capture.h"

#include "host/log.h"
#include "host/picture.h"
#include "host/synth.h"
#include "platform/clock.h"

#define SYNTH_DEFAULT_W 1280   // screen size when nothing opened the synthetic screen first
#define SYNTH_DEFAULT_H 720
#define SYNTH_ACCESS_LOST 0x887A0026ul
#define SYNTH_NOT_IMPLEMENTED 0x80004001ul

static void synth_ready(void) {
    if (!g_synth.pixels) synth_open(SYNTH_DEFAULT_W, SYNTH_DEFAULT_H);
}

void synth_capture_screen_size(int32_t *w, int32_t *h) {
    synth_ready();
    *w = g_synth.width;
    *h = g_synth.height;
}

int synth_capture_init_dxgi(void) {
    synth_ready();
    if (g_synth.dxgi_unavailable) {
        host_log("DuplicateOutput %08lx", SYNTH_NOT_IMPLEMENTED);
        return 0;
    }
    capture_fit_picture(g_synth.width, g_synth.height);
    g_picture.full_refresh = 1;
    g_capture.dxgi = 1;
    host_log("DXGI duplication %dx%d", g_picture.width, g_picture.height);
    return 1;
}

void synth_capture_init_gdi(void) {
    synth_ready();
    capture_fit_picture(g_synth.width, g_synth.height);
    g_capture.dxgi = 0;
    host_log("GDI capture %dx%d", g_synth.width, g_synth.height);
}

static int synth_pass_gdi(void) {
    if (g_synth.width != g_picture.width || g_synth.height != g_picture.height) synth_capture_init_gdi();
    synth_step();
    picture_copy_rect(g_synth.pixels, g_synth.width * 4, 0, 0, g_picture.width, g_picture.height);
    if (g_synth.gdi_pause_ms) clock_sleep(g_synth.gdi_pause_ms);
    return CAPTURE_NEW;
}

static int synth_pass_dxgi(void) {
    if (g_synth.fail_next) {
        g_synth.fail_next = 0;
        host_log("AcquireNextFrame %08lx", SYNTH_ACCESS_LOST);
        return capture_recover();
    }
    synth_step();
    if (!g_synth.presented && !g_picture.full_refresh) {
        if (g_synth.wait_ms) clock_sleep(g_synth.wait_ms);   // the time-out of a frame that never came
        return CAPTURE_NOTHING;
    }
    CaptureFrameInfo info;
    info.last_present_time = g_synth.presented ? (int64_t)g_synth.step : 0;
    info.accumulated_frames = 1;
    info.metadata_bytes = (uint32_t)(g_synth.move_count * 24 + g_synth.dirty_count * 16);
    int32_t pitch = g_synth.width * 4;
    if (capture_choose_partial(g_picture.full_refresh, &info))
        capture_apply_partial(g_synth.pixels, pitch, g_synth.moves, g_synth.move_count, g_synth.dirty,
                              g_synth.dirty_count);
    else
        capture_apply_full(g_synth.pixels, pitch);
    return CAPTURE_NEW;
}

int synth_capture_pass(void) {
    int32_t w = g_picture.width, h = g_picture.height;
    int result = g_capture.dxgi ? synth_pass_dxgi() : synth_pass_gdi();
    return capture_check_size(w, h, result);
}
