// Tile codec speed against liblz4 on the same tile deltas: compression and decompression throughput
// and compressed size per class of screen content, as ratios (above 1.00x means ours is faster).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <chrono>
#include <vector>
#include "protocol/codec.h"
#ifdef VO_HAVE_LZ4
#include <lz4.h>
#endif

enum { TILE = 16384, EDGE = 64, TILES_PER_CLASS = 64, ROUNDS = 21 };  // best of ROUNDS passes

struct bench_class {
    const char *name;       // printed as the measurement's suffix
    std::vector<uint8_t> deltas;  // TILES_PER_CLASS deltas, back to back
};

static uint64_t g_rng = 0x9E3779B97F4A7C15ull;
static uint32_t rnd() {
    g_rng = g_rng * 6364136223846793005ull + 1442695040888963407ull;
    return (uint32_t)(g_rng >> 33);
}

static void put_px(uint8_t *t, int x, int y, uint32_t bgra) { memcpy(t + (y * EDGE + x) * 4, &bgra, 4); }
static uint32_t gray(int v) { return 0xFF000000u | (uint32_t)v * 0x010101u; }
static uint32_t bgr(int b, int g, int r) {
    return 0xFF000000u | (uint32_t)(b & 255) | (uint32_t)(g & 255) << 8 | (uint32_t)(r & 255) << 16;
}

// Anti-aliased glyph-like marks in 7x13 cells on white, lines 16 pixels apart; shift moves the text.
static void draw_text(uint8_t *t, uint32_t seed, int shift) {
    for (int i = 0; i < EDGE * EDGE; i++) put_px(t, i % EDGE, i / EDGE, 0xFFFFFFFFu);
    for (int line = 0; line < 4; line++) {
        for (int cell = 0; cell < 9; cell++) {
            uint32_t ch = (seed * 31 + line * 977 + (cell + shift) * 131) % 53 + 1;
            if (ch % 9 == 0) continue;  // a space
            for (int y = 0; y < 13; y++)
                for (int x = 0; x < 7; x++) {
                    uint32_t h = (ch * 2654435761u) ^ (uint32_t)(y * 7 + x) * 40503u;
                    int cover = ((h >> 7) % 5 == 0) ? 255 : ((h >> 11) % 6 == 0 ? 110 : 0);
                    if (cover) put_px(t, cell * 7 + x, line * 16 + 2 + y, gray(255 - cover));
                }
        }
    }
}

static void fill_rect(uint8_t *t, int x0, int y0, int x1, int y1, uint32_t c) {
    for (int y = y0; y < y1 && y < EDGE; y++)
        for (int x = x0; x < x1 && x < EDGE; x++) put_px(t, x, y, c);
}

// Panels, a button with a one-pixel border; hovered changes the button face.
static void draw_ui(uint8_t *t, uint32_t seed, int hovered) {
    fill_rect(t, 0, 0, EDGE, EDGE, 0xFFF0F0F0u);
    fill_rect(t, 0, 0, EDGE, 20 + seed % 8, 0xFF2B579Au);
    fill_rect(t, 4, 30, 60, 31, 0xFFADADADu);
    fill_rect(t, 8, 36 + seed % 6, 56, 58, 0xFF707070u);
    fill_rect(t, 9, 37 + seed % 6, 55, 57, hovered ? 0xFFE5F1FBu : 0xFFE1E1E1u);
    if (hovered) fill_rect(t, 8, 36 + seed % 6, 56, 37 + seed % 6, 0xFF0078D7u);
}

static void draw_gradient(uint8_t *t, uint32_t seed, int active) {
    int r0 = active ? 30 : 180, g0 = (int)(seed % 100), b0 = 200;
    for (int y = 0; y < EDGE; y++)
        for (int x = 0; x < EDGE; x++)
            put_px(t, x, y, bgr(b0 + x, g0 + y, r0 + x / 2 + y / 3));
}

// A smooth picture with sensor noise; frame moves it a little, as in video.
static void draw_photo(uint8_t *t, uint32_t seed, int frame) {
    for (int y = 0; y < EDGE; y++)
        for (int x = 0; x < EDGE; x++) {
            int base = (int)(seed % 64) + ((x + frame) * 3 + y * 2) % 96 + ((x * y) >> 6);
            int b = base + (int)(rnd() % 6), g = base + 20 + (int)(rnd() % 6);
            put_px(t, x, y, bgr(b, g, base + 50 + (int)(rnd() % 6)));
        }
}

// One pair of tiles of the given kind: a is what the viewer shows, b the new picture.
static void draw_pair(int kind, int i, uint8_t *a, uint8_t *b) {
    uint32_t seed = rnd();
    switch (kind) {
    case 0:  // typing shifts a line of text, or the text changes
        draw_text(a, seed, 0);
        draw_text(b, i % 2 ? seed : seed + 1, i % 2);
        break;
    case 1: draw_ui(a, seed, 0); draw_ui(b, seed, 1); break;
    case 2: draw_gradient(a, seed, 0); draw_gradient(b, seed, 1); break;
    case 3: draw_photo(a, seed, 0); draw_photo(b, seed, 1); break;
    case 4:  // a caret appears in text
        draw_text(a, seed, 0);
        memcpy(b, a, TILE);
        fill_rect(b, (int)(seed % 60), 3, (int)(seed % 60) + 1, 19, 0xFF000000u);
        break;
    default:
        for (int k = 0; k < TILE; k++) {
            a[k] = 0;
            b[k] = (uint8_t)rnd();
        }
        break;
    }
}

static void add_class(std::vector<bench_class> &out, const char *name, int kind) {
    bench_class c = {name, std::vector<uint8_t>((size_t)TILE * TILES_PER_CLASS)};
    static uint8_t a[TILE], b[TILE];
    for (int i = 0; i < TILES_PER_CLASS; i++) {
        draw_pair(kind, i, a, b);
        uint8_t *d = c.deltas.data() + (size_t)i * TILE;
        for (int k = 0; k < TILE; k++) d[k] = a[k] ^ b[k];
    }
    out.push_back(c);
}

// CPU time of this thread where the platform has it: the machine may be busy with other work.
static double now_s() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
#else
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
}

static volatile int g_sink;  // keeps results alive

// Seconds for one pass over the class: 0 ours compress, 1 lz4 compress, 2 ours decompress, 3 lz4 decompress.
static double time_pass(const bench_class &c, int which, std::vector<uint8_t> &streams,
                        std::vector<int> &lens) {
    static uint8_t out[TILE + TILE];
    int reps = 20, sink = 0;
    double t0 = now_s();
    for (int r = 0; r < reps; r++)
        for (int i = 0; i < TILES_PER_CLASS; i++) {
            const uint8_t *in = c.deltas.data() + (size_t)i * TILE;
            uint8_t *s = streams.data() + (size_t)i * codec_bound(TILE);
            if (which == 0) sink += codec_compress(in, TILE, out, codec_bound(TILE));
#ifdef VO_HAVE_LZ4
            if (which == 1)
                sink += LZ4_compress_default((const char *)in, (char *)out, TILE, (int)codec_bound(TILE));
            if (which == 3) sink += LZ4_decompress_safe((const char *)s, (char *)out, lens[i], TILE);
#endif
            if (which == 2) sink += codec_decompress(s, (size_t)lens[i], out, TILE);
        }
    g_sink = sink;
    return (now_s() - t0) / reps;
}

// Compresses every tile of the class with our codec into streams; checks they decode back.
// Returns our and liblz4's total compressed bytes through *ours and *theirs.
static int prepare(const bench_class &c, std::vector<uint8_t> &streams, std::vector<int> &lens,
                   size_t *ours, size_t *theirs) {
    static uint8_t back[TILE], tmp[TILE + TILE];
    streams.assign((size_t)TILES_PER_CLASS * codec_bound(TILE), 0);
    lens.assign(TILES_PER_CLASS, 0);
    *ours = *theirs = 0;
    for (int i = 0; i < TILES_PER_CLASS; i++) {
        const uint8_t *in = c.deltas.data() + (size_t)i * TILE;
        uint8_t *s = streams.data() + (size_t)i * codec_bound(TILE);
        lens[i] = codec_compress(in, TILE, s, codec_bound(TILE));
        if (codec_decompress(s, (size_t)lens[i], back, TILE) != TILE || memcmp(back, in, TILE)) return 0;
        *ours += (size_t)lens[i];
#ifdef VO_HAVE_LZ4
        if (LZ4_decompress_safe((const char *)s, (char *)back, lens[i], TILE) != TILE) return 0;
        *theirs += (size_t)LZ4_compress_default((const char *)in, (char *)tmp, TILE, (int)sizeof tmp);
#endif
    }
    return 1;
}

static void report(const char *what, const char *name, double ours, double theirs, double bytes) {
    char label[64];
    snprintf(label, sizeof label, "%s/%s", what, name);
    printf("%-32s %5.2fx lz4   (ours %7.0f MB/s, lz4 %7.0f MB/s)\n", label, theirs / ours,
           bytes / ours / 1e6, bytes / theirs / 1e6);
}

int main(int argc, char **argv) {
#ifndef VO_HAVE_LZ4
    (void)argc;
    (void)argv;
    printf("bench_codec: built without liblz4, nothing to compare against\n");
    return 0;
#else
    std::vector<bench_class> classes;
    const char *names[] = {"text", "ui", "gradient", "photo", "sparse", "incompressible"};
    for (int k = 0; k < 6; k++) add_class(classes, names[k], k);
    double total[4] = {0, 0, 0, 0}, bytes = (double)TILE * TILES_PER_CLASS;
    for (const bench_class &c : classes) {
        if (argc > 1 && strcmp(argv[1], c.name)) continue;  // one class only, for profiling
        std::vector<uint8_t> streams;
        std::vector<int> lens;
        size_t ours, theirs;
        if (!prepare(c, streams, lens, &ours, &theirs)) {
            printf("bench_codec: round trip failed for %s\n", c.name);
            return 1;
        }
        double best[4] = {1e9, 1e9, 1e9, 1e9};
        for (int r = 0; r < ROUNDS; r++)
            for (int w = 0; w < 4; w++) {
                double t = time_pass(c, w, streams, lens);
                if (t < best[w]) best[w] = t;
            }
        report("codec_compress", c.name, best[0], best[1], bytes);
        report("codec_decompress", c.name, best[2], best[3], bytes);
        char label[64];
        snprintf(label, sizeof label, "codec_size/%s", c.name);
        printf("%-32s %5.3f ours, %5.3f lz4 (compressed/original)\n", label, (double)ours / bytes,
               (double)theirs / bytes);
        if (strcmp(c.name, "incompressible"))
            for (int w = 0; w < 4; w++) total[w] += best[w];
    }
    int realistic = (int)classes.size() - 1;
    report("codec_compress", "overall", total[0], total[1], bytes * realistic);
    report("codec_decompress", "overall", total[2], total[3], bytes * realistic);
    return 0;
#endif
}
