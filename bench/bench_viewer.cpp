// bench_viewer: the viewer's apply time against the host's encode time on the same streams. For
// each synthetic workload the host encoder produces a stream of frames on its worker pool (time
// measured: the elapsed time of each pass's encode and frame close, summed over the passes, capture
// excluded; best of 3 runs); the viewer core then applies that stream message by message, each frame
// as one record (its data all there: a session's viewer applies each record of up to 64 KiB as it
// arrives, in shorter runs), its tiles spread over the viewer's own worker pool (time
// measured: the elapsed time of each record's apply, summed, the record read through beforehand as
// its decryption would have; on a framebuffer and cache in use but emptied; best of 3 runs). Prints the ratio encode time / apply time per workload and overall (target >= 3).
// A second line per workload gives both sides on one thread in its CPU time (the per-tile cost),
// with the part of the one-thread apply that goes to decompressing the deltas.
//   bench_viewer [DIR]   also writes each workload's stream to DIR/<workload>.bin and prints the
//                        native apply rate on one thread in tiles per second, the anchor of
//                        bench/bench_web.mjs.
//   BENCH_VIEWER_ONLY=drag bench_viewer   runs that one workload alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/synth.h"
#include "platform/workers.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/viewer.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

#define W 1920
#define H 1080
#define PASSES 120

static double now_us(void) {   // thread CPU time: the machine is shared
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static double wall_us(void) {   // elapsed time, for work spread over a pool
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

#define RUNS 3   // timed runs of each side; the best counts

static uint8_t *g_stream;   // every frame of one workload, messages end to end
static size_t g_len, g_cap;
static size_t *g_ends;      // where each frame (one record on the wire) ends in g_stream
static size_t g_frames, g_frames_cap;

static void frame_end_add(void) {
    if (g_frames == g_frames_cap) {
        g_frames_cap = g_frames_cap ? g_frames_cap * 2 : 256;
        g_ends = (size_t *)realloc(g_ends, g_frames_cap * sizeof *g_ends);
    }
    g_ends[g_frames++] = g_len;
}

static void stream_add(const uint8_t *p, size_t n) {
    if (g_len + n > g_cap) {
        g_cap = (g_len + n) * 2;
        g_stream = (uint8_t *)realloc(g_stream, g_cap);
    }
    memcpy(g_stream + g_len, p, n);
    g_len += n;
}

// Host side: a fresh session on the synthetic screen, then PASSES passes of the workload, with
// `helpers` helper threads (0: the session thread's CPU time, else the elapsed time).
static double encode_workload(int workload, int helpers) {
    workers_start(helpers);
    synth_open(W, H);
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    capture_init_dxgi(CAPTURE_SYNTHETIC);
    picture_reset();
    mirror_clear();
    flow_reset(0);
    encoder_session_reset(1);
    writer_reset(&s_out);
    g_len = 0;
    g_frames = 0;
    double spent = 0;
    for (int i = 0; i <= PASSES; i++) {
        if (i == 1) synth_set_workload(workload);   // pass 0 sends the whole first picture
        if (capture_pass(CAPTURE_SYNTHETIC) == CAPTURE_RECOVERED) continue;
        double t0 = helpers ? wall_us() : now_us();
        encoder_frame(&s_out);
        int sent = encoder_pass_close(&s_out);
        spent += (helpers ? wall_us() : now_us()) - t0;
        if (sent) {
            stream_add(s_out.data, s_out.len);
            frame_end_add();
            uint8_t ack[FRAME_ACK_BYTES];   // a viewer that acknowledges at once
            put_u32(ack, frame_counter.load());
            put_u32(ack + 4, 0);
            flow_on_ack(ack, sizeof ack, 0);
        }
        writer_reset(&s_out);
    }
    return spent;
}

static size_t g_tiles;   // MSG_TILE and MSG_CACHE_REF messages in the stream

// A record as the receive thread holds it: just decrypted into its buffer, so in the processor's
// caches (the decryption is not the apply's cost). Here the frame is read through once, untimed;
// else each message header would be a trip to memory that a session's viewer never makes.
static void record_warm(size_t from, size_t to) {
    uint64_t sink = 0;
    for (size_t at = from; at < to; at += 64) sink += g_stream[at];
    if (sink == 1) printf(" ");
}

// The stream as the receive thread takes it: message by message, each frame one record. Returns
// the time spent applying (`serial`: this thread's CPU time, else elapsed time).
static double apply_once(int serial) {
    g_tiles = 0;
    size_t f = 0, start = 0;
    double spent = 0, t0 = 0;
    for (size_t pos = 0; pos + HEADER_BYTES <= g_len;) {
        if (pos == start) {   // a record begins
            while (f < g_frames && g_ends[f] <= pos) f++;
            start = f < g_frames ? g_ends[f] : g_len;
            record_warm(pos, start);
            t0 = serial ? now_us() : wall_us();
        }
        MessageHeader h = header_get(g_stream + pos);
        g_tiles += h.type == MSG_TILE || h.type == MSG_CACHE_REF;
        size_t next = pos + HEADER_BYTES + h.length;
        while (f < g_frames && g_ends[f] < next) f++;
        viewer_feed(h.type, g_stream + pos + HEADER_BYTES, h.length, f < g_frames && next < g_ends[f]);
        pos = next;
        if (pos >= start || pos + HEADER_BYTES > g_len) spent += (serial ? now_us() : wall_us()) - t0;
    }
    return spent;
}

// The decompression inside the apply: every MSG_TILE in form 0 decoded once more into a scratch
// tile, as the viewer decodes it before the XOR (time measured).
static double decode_time(int *tiles) {
    static uint8_t out[TILE_BYTES];
    uint64_t sink = 0;
    *tiles = 0;
    double t0 = now_us();
    for (size_t pos = 0; pos + HEADER_BYTES <= g_len;) {
        MessageHeader hd = header_get(g_stream + pos);
        const uint8_t *p = g_stream + pos + HEADER_BYTES;
        if (hd.type == MSG_TILE && hd.length > TILE_HEADER_BYTES && p[4] == 0) {
            sink += (uint64_t)codec_decompress(p + TILE_HEADER_BYTES, hd.length - TILE_HEADER_BYTES, out, TILE_BYTES);
            ++*tiles;
        }
        pos += HEADER_BYTES + hd.length;
    }
    double spent = now_us() - t0;
    if (sink == 1) printf(" ");
    return spent;
}

// Viewer side: the stream applied to a framebuffer and cache whose memory is already in use (a
// first untimed run touches it, as the first seconds of a session do), then applied again, timed.
// A timed run starts as the session did: a black picture and an empty cache (their memory stays
// touched), so every tile is applied and cached as in the untimed run.
static void apply_restart(void) {
    memset(g_viewer.fb, 0, g_viewer.stride * (size_t)g_viewer.pad_height);
    cache_clear(&g_viewer.cache);
    g_viewer.dirty = 0;
}

// `serial` 1: on the receive thread alone, in its CPU time; else on the viewer's pool, the elapsed
// time. Best of RUNS.
static double apply_stream(int serial) {
    viewer_begin(W, H);
    g_viewer.ch = nullptr;   // replies are made but go nowhere
    g_viewer.run.serial = serial;
    apply_restart();
    apply_once(serial);
    double best = 0;
    for (int run = 0; run < RUNS; run++) {
        apply_restart();
        double spent = apply_once(serial);
        if (run == 0 || spent < best) best = spent;
    }
    viewer_end();
    return best;
}

// The host's encode on its pool, elapsed time, best of RUNS (the stream is the same each run).
static double encode_best(int wl, int helpers) {
    double best = 0;
    for (int run = 0; run < RUNS; run++) {
        double spent = encode_workload(wl, helpers);
        if (run == 0 || spent < best) best = spent;
    }
    return best;
}

static void dump_stream(const char *dir, int workload) {
    char path[512];
    snprintf(path, sizeof path, "%s/%s.bin", dir, synth_workload_name(workload));
    FILE *f = fopen(path, "wb");
    if (f) {
        fwrite(g_stream, 1, g_len, f);
        fclose(f);
    }
}

int main(int argc, char **argv) {
    const char *dump = argc > 1 ? argv[1] : nullptr;
    const char *only = getenv("BENCH_VIEWER_ONLY");   // one workload by name, for a quick look
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vo-bench-viewer-%d", (int)getpid());
    picture_init();
    if (!cache_open(&g_viewer.cache, dir)) printf("(viewer cache unavailable: references will miss)\n");
    double enc_all = 0, app_all = 0, one_all = 0, app1_all = 0, dec_all = 0;
    int helpers = workers_default();
    int viewer_threads = workers_pool_ensure(&g_viewer.run.pool) + 1;
    printf("viewer apply rate vs host encode rate, %d passes at %dx%d (elapsed time, best of %d runs; the host's\n"
           "encode on %d helper(s) and the session thread, the viewer's apply on %d helper(s) and the receive\n"
           "thread; below each, both on one thread in its CPU time)\n", PASSES, W, H, RUNS, helpers, viewer_threads - 1);
    for (int wl = 1; wl < SYNTH_WORKLOADS; wl++) {
        if (only && strcmp(only, synth_workload_name(wl)) != 0) continue;
        encode_workload(wl, 0);   // memory first touched here is not the encoder's cost
        double one = encode_workload(wl, 0);
        double enc = helpers ? encode_best(wl, helpers) : one;
        size_t bytes = g_len;
        double app1 = apply_stream(1);
        double app = apply_stream(0);
        int decoded;
        double dec = decode_time(&decoded);
        dec_all += dec;
        enc_all += enc;
        app_all += app;
        one_all += one;
        app1_all += app1;
        printf("  %-7s %9zu bytes  encode %8.0f us  apply %8.0f us  ratio encode/apply = %.2f (target >= 3)\n"
               "          one thread: encode %8.0f us  apply %8.0f us  ratio %.2f  (decompression: %d tiles, %.0f us)\n",
               synth_workload_name(wl), bytes, enc, app, app > 0 ? enc / app : 0.0, one, app1,
               app1 > 0 ? one / app1 : 0.0, decoded, dec);
        if (dump) {
            dump_stream(dump, wl);
            printf("  %-7s native apply %zu tiles, %.0f tiles/s\n", synth_workload_name(wl), g_tiles,
                   app1 > 0 ? g_tiles / (app1 / 1e6) : 0.0);
        }
    }
    printf("ratio viewer_apply_rate/host_encode_rate = %.2f (target >= 3)\n", app_all > 0 ? enc_all / app_all : 0.0);
    printf("  both on one thread: ratio %.2f; of the apply's time the decompression of the deltas takes %.0f%%\n",
           app1_all > 0 ? one_all / app1_all : 0.0, app1_all > 0 ? 100.0 * dec_all / app1_all : 0.0);
    cache_close(&g_viewer.cache);   // saves tiles.bin (128 MiB): removed with its folder
    char file[96];
    snprintf(file, sizeof file, "%s/tiles.bin", dir);
    remove(file);
    remove(dir);
    return 0;
}
