// bench_bandwidth: bytes the host core sends for typical screen activity, with version-1 tiles
// and with the second codec, against a lossless VNC reference of our own (ZRLE and Tight manners,
// vnc_reference.h) for the same synthetic screens; and the host's encode time for a full 1080p
// change with the second codec against version-1 tiles.
// With `--frames DIR` it also writes each workload's screens (DIR/<n>.frames, format below) for
// scripts/x11vnc_bytes.sh, which replays them on an X display viewed through x11vnc.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/synth.h"
#include "platform/workers.h"
#include "protocol/codec2.h"
#include "protocol/messages.h"
#include "protocol/writer.h"
#ifdef VO_HAVE_ZLIB
#include "bench/vnc_reference.h"
#endif

static FrameWriter s_out;   // the frame the passes write into, as the session's own

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

static FILE *s_frames;   // --frames: the open workload's file, else null
static int s_breakdown;  // --breakdown: bytes per message type of each counted second-codec run
static uint64_t s_type_bytes[256], s_type_count[256];

// Tallies the frame's messages by type (headers included).
static void breakdown_add(const FrameWriter *w) {
    for (size_t at = 0; at + HEADER_BYTES <= w->len;) {
        MessageHeader h = header_get(w->data + at);
        s_type_bytes[h.type] += HEADER_BYTES + h.length;
        s_type_count[h.type]++;
        at += HEADER_BYTES + h.length;
    }
}

// Prints the tally (when show) and starts a new one.
static void breakdown_print(int show) {
    for (int t = 0; t < 256 && show; t++)
        if (s_type_count[t])
            printf("      type %3d: %6llu messages, %9llu bytes\n", t, (unsigned long long)s_type_count[t],
                   (unsigned long long)s_type_bytes[t]);
    memset(s_type_bytes, 0, sizeof s_type_bytes);
    memset(s_type_count, 0, sizeof s_type_count);
}

// One screen change: u32 move count, u32 rectangle count, then per move i32 src_x, src_y, dst_x,
// dst_y, width, height, then per rectangle i32 left, top, right, bottom and its BGRX rows (all
// little-endian). whole: the whole screen as one rectangle.
static void frames_put(int whole) {
    if (!s_frames) return;
    uint32_t counts[2] = {whole ? 0u : (uint32_t)g_synth.move_count, whole ? 1u : (uint32_t)g_synth.dirty_count};
    fwrite(counts, 4, 2, s_frames);
    for (uint32_t i = 0; i < counts[0]; i++) {
        const CaptureMove *m = &g_synth.moves[i];
        int32_t v[6] = {m->src_x, m->src_y, m->left, m->top, m->right - m->left, m->bottom - m->top};
        fwrite(v, 4, 6, s_frames);
    }
    for (uint32_t i = 0; i < counts[1]; i++) {
        CaptureRect r = whole ? CaptureRect{0, 0, W, H} : g_synth.dirty[i];
        int32_t v[4] = {r.left, r.top, r.right, r.bottom};
        fwrite(v, 4, 4, s_frames);
        for (int32_t y = r.top; y < r.bottom; y++)
            fwrite(g_synth.pixels + ((size_t)y * W + r.left) * 4, 4, (size_t)(r.right - r.left), s_frames);
    }
}

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

// A fresh session on the synthetic screen; codec2 says whether caps bit 3 was negotiated.
static void session(int codec2) {
    synth_open(W, H);
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_init();
    capture_init_dxgi(CAPTURE_SYNTHETIC);
    picture_reset();
    mirror_clear();
    flow_reset(0);
    encoder_session_reset(1);
    encoder_viewer_caps((uint16_t)(3 | (codec2 ? CODEC2_CAP : 0)));
    writer_reset(&s_out);
}

// One pass (capture, encode, close); the frame's bytes on the wire.
static size_t pass(void) {
    if (capture_pass(CAPTURE_SYNTHETIC) == CAPTURE_RECOVERED) return 0;
    encoder_frame(&s_out);
    size_t n = encoder_pass_close(&s_out) ? s_out.len : 0;
    if (s_breakdown && n) breakdown_add(&s_out);
    writer_reset(&s_out);
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
    frames_put(1);
#ifdef VO_HAVE_ZLIB
    if (wl->synth < 0) reference_step(&v, 1);
#endif
    if (wl->synth < 0) {
        total = first;
    } else {
        synth_set_workload(wl->synth);
        pass();   // the workload's opening frame (the terminal window appears) is not counted
        breakdown_print(0);   // (not counted either)
        frames_put(0);
#ifdef VO_HAVE_ZLIB
        vnc_ref_close(&v);   // the reference starts its streams here
        vnc_ref_open(&v);
#endif
        for (int i = 0; i < wl->steps; i++) {
            total += pass();
            frames_put(0);
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
    capture_pass(CAPTURE_SYNTHETIC);
    double best = 1e30;
    for (int round = 0; round < ROUNDS; round++) {
        picture_reset();
        mirror_clear();
        double t0 = now_us();
        encoder_frame(&s_out);
        encoder_pass_close(&s_out);
        double t1 = now_us();
        writer_reset(&s_out);
        if (t1 - t0 < best) best = t1 - t0;
    }
    return best;
}

int main(int argc, char **argv) {
    const char *frames_dir = argc == 3 && !strcmp(argv[1], "--frames") ? argv[2] : nullptr;
    s_breakdown = argc == 2 && !strcmp(argv[1], "--breakdown");
    workers_start(0);   // encode times on the session thread alone, in its CPU time
    printf("bytes per workload at %dx%d (tile cache in use; VNC reference: our ZRLE and Tight manners, zlib level 6)\n",
           W, H);
    printf("  %-24s %11s %11s %11s %11s %9s %9s\n", "workload", "version-1", "codec2", "zrle", "tight",
           "c2/v1", "c2/vnc");
    double worst = 0;
    for (const Workload &wl : WORKLOADS) {
        Figures f = {0, 0, 0, 0};
        if (frames_dir) {
            char path[4096];
            snprintf(path, sizeof path, "%s/%d.frames", frames_dir, (int)(&wl - WORKLOADS));
            s_frames = fopen(path, "wb");
        }
        f.v1 = run(&wl, 0, &f);
        if (s_frames) fclose(s_frames);
        s_frames = nullptr;
        breakdown_print(0);
        double c2_start = now_us();
        f.c2 = run(&wl, 1, &f);
        double c2_us = now_us() - c2_start;
        double vnc = f.zrle < f.tight ? f.zrle : f.tight;
        double r = vnc > 0 ? f.c2 / vnc : 0;
        if (r > worst) worst = r;
        printf("  %-24s %11.0f %11.0f %11.0f %11.0f %9.3f %9.3f\n", wl.name, f.v1, f.c2, f.zrle, f.tight,
               f.c2 / f.v1, r);
        if (s_breakdown) printf("      second codec run: %.1f ms of CPU\n", c2_us / 1000);
        breakdown_print(s_breakdown);   // the second codec's counted frames
    }
    printf("  ratio codec2/smallest_vnc worst workload = %.3f (target <= 1.0)\n", worst);
    double t1 = full_change_us(0), t2 = full_change_us(1);
    printf("full 1080p change: version-1 %.0f us, codec2 %.0f us\n", t1, t2);
    printf("  ratio codec2_encode/version1_encode = %.2f (target <= 2.0)\n", t2 / t1);
    synth_close();
    return 0;
}
