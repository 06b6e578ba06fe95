// bench_bandwidth: bytes the host core sends for typical screen activity, with version-1 tiles
// and with the second codec, against a lossless VNC reference of our own (ZRLE and Tight manners,
// vnc_reference.h) for the same synthetic screens; and the host's encode time for a full 1080p
// change with the second codec against version-1 tiles.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/synth.h"
#include "host/workers.h"
#include "protocol/codec2.h"
#include "protocol/messages.h"
#ifdef VO_HAVE_ZLIB
#include "bench/vnc_reference.h"
#endif

enum { W = 1920, H = 1080, STEPS = 40, ROUNDS = 9 };

struct Workload {
    const char *name;
    int synth;    // SYNTH_* driven after the first picture; -1: the first picture itself
    int steps;    // frames counted
};

static const Workload WORKLOADS[] = {
    {"terminal typing", SYNTH_TERM_TYPING, STEPS},
    {"terminal scroll", SYNTH_TERM_SCROLL, STEPS},
    {"window drag over photo", SYNTH_DRAG, STEPS},
    {"photo slideshow", SYNTH_SLIDESHOW, 8},
    {"first full picture", -1, 1},
};

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

// A fresh session on the synthetic screen; codec2 says whether caps bit 3 was negotiated.
static void session(int codec2) {
    synth_open(W, H);
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_lock_create();
    synth_capture_init_dxgi();
    picture_reset();
    mirror_clear();
    flow_reset(0);
    encoder_session_reset(1);
    encoder_viewer_caps((uint16_t)(3 | (codec2 ? CODEC2_CAP : 0)));
    out_reset();
}

// One pass (capture, encode, close); the frame's bytes on the wire.
static size_t pass(void) {
    if (synth_capture_pass() == CAPTURE_RECOVERED) return 0;
    encode_frame();
    size_t n = encode_pass_close() ? g_out.len : 0;
    out_reset();
    return n;
}

#ifdef VO_HAVE_ZLIB
// The reference's view of the last synthetic step (or the whole screen for the first picture).
static void reference_step(VncRef *v, int whole) {
    int rects = whole ? 1 : g_synth.dirty_count;
    vnc_ref_frame(v, whole ? 0 : g_synth.move_count, rects);
    if (whole) {
        vnc_ref_rect(v, g_synth.pixels, W * 4, 0, 0, W, H);
        return;
    }
    for (int i = 0; i < g_synth.dirty_count; i++) {
        const CaptureRect *r = &g_synth.dirty[i];
        vnc_ref_rect(v, g_synth.pixels, W * 4, r->left, r->top, r->right, r->bottom);
    }
}
#endif

struct Figures {
    double v1, c2, zrle, tight;
};

// Bytes of one workload with version-1 tiles or the second codec; the reference rides along
// with the version-1 run (same screens).
static double run(const Workload *wl, int codec2, Figures *f) {
    session(codec2);
#ifdef VO_HAVE_ZLIB
    VncRef v;
    vnc_ref_open(&v);
#endif
    size_t first = pass(), total = 0;
#ifdef VO_HAVE_ZLIB
    if (wl->synth < 0) reference_step(&v, 1);
#endif
    if (wl->synth < 0) {
        total = first;
    } else {
        synth_set_workload(wl->synth);
        pass();   // the workload's opening frame (the terminal window appears) is not counted
#ifdef VO_HAVE_ZLIB
        vnc_ref_close(&v);   // the reference starts its streams here
        vnc_ref_open(&v);
#endif
        for (int i = 0; i < wl->steps; i++) {
            total += pass();
#ifdef VO_HAVE_ZLIB
            reference_step(&v, 0);
#endif
        }
    }
#ifdef VO_HAVE_ZLIB
    if (!codec2) {
        f->zrle = (double)v.zrle_bytes;
        f->tight = (double)v.tight_bytes;
    }
    vnc_ref_close(&v);
#endif
    return (double)total;
}

// Best encode time of a full 1080p change (every tile against a black viewer), in microseconds.
static double full_change_us(int codec2) {
    session(codec2);
    synth_capture_pass();
    double best = 1e30;
    for (int round = 0; round < ROUNDS; round++) {
        picture_reset();
        mirror_clear();
        double t0 = now_us();
        encode_frame();
        encode_pass_close();
        double t1 = now_us();
        out_reset();
        if (t1 - t0 < best) best = t1 - t0;
    }
    return best;
}

int main(void) {
    workers_start(0);   // encode times on the session thread alone, in its CPU time
    printf("bytes per workload at %dx%d (tile cache in use; VNC reference: our ZRLE and Tight manners, zlib level 6)\n",
           W, H);
    printf("  %-24s %11s %11s %11s %11s %9s %9s\n", "workload", "version-1", "codec2", "zrle", "tight",
           "c2/v1", "c2/vnc");
    double worst = 0;
    for (const Workload &wl : WORKLOADS) {
        Figures f = {0, 0, 0, 0};
        f.v1 = run(&wl, 0, &f);
        f.c2 = run(&wl, 1, &f);
        double vnc = f.zrle < f.tight ? f.zrle : f.tight;
        double r = vnc > 0 ? f.c2 / vnc : 0;
        if (r > worst) worst = r;
        printf("  %-24s %11.0f %11.0f %11.0f %11.0f %9.3f %9.3f\n", wl.name, f.v1, f.c2, f.zrle, f.tight,
               f.c2 / f.v1, r);
    }
    printf("  ratio codec2/smallest_vnc worst workload = %.3f (target <= 1.0)\n", worst);
    double t1 = full_change_us(0), t2 = full_change_us(1);
    printf("full 1080p change: version-1 %.0f us, codec2 %.0f us\n", t1, t2);
    printf("  ratio codec2_encode/version1_encode = %.2f (target <= 2.0)\n", t2 / t1);
    synth_close();
    return 0;
}
