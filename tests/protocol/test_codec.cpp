// Tile codec: exact compressor output (vectors and a plain model of the greedy scan), round trips,
// interchange with liblz4 both ways, strict rejection of malformed streams, and the tile hash.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "protocol/codec.h"
#ifdef VO_HAVE_LZ4
#include <lz4.h>
#include <lz4hc.h>
#endif

typedef std::vector<uint8_t> bytes;

static const size_t GUARD = 64;  // bytes after dst_cap that must stay untouched

// ---- plain models, one byte at a time ----

static void model_ext(bytes &out, size_t rest) {
    for (; rest >= 255; rest -= 255) out.push_back(255);
    out.push_back((uint8_t)rest);
}

static void model_literals(bytes &out, const uint8_t *p, size_t n) {
    out.push_back(n >= 15 ? 0xF0 : (uint8_t)(n << 4));
    if (n >= 15) model_ext(out, n - 15);
    out.insert(out.end(), p, p + n);
}

static uint32_t rd32(const uint8_t *p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint32_t model_hash(const uint8_t *p) { return (uint32_t)(rd32(p) * 2654435761u) >> 20; }

// The greedy scan exactly as the format's encoder is defined, without any shortcut.
static bytes model_compress(const bytes &s) {
    bytes out;
    std::vector<uint32_t> table(4096, 0);
    size_t n = s.size(), anchor = 0;
    for (size_t p = 1; n > 12 && p < n - 12;) {
        uint32_t h = model_hash(&s[p]);
        size_t c = table[h];
        table[h] = (uint32_t)p;
        if (!(c < p && p - c <= 65535 && rd32(&s[c]) == rd32(&s[p]))) { p++; continue; }
        while (p > anchor && c > 0 && s[p - 1] == s[c - 1]) { p--; c--; }
        size_t e = p + 4, cc = c + 4;
        while (e < n - 5 && s[e] == s[cc]) { e++; cc++; }
        size_t tok = out.size(), ml = e - p - 4;
        model_literals(out, &s[anchor], p - anchor);
        out.push_back((uint8_t)(p - c));
        out.push_back((uint8_t)((p - c) >> 8));
        out[tok] |= (uint8_t)(ml >= 15 ? 15 : ml);
        if (ml >= 15) model_ext(out, ml - 15);
        anchor = e;
        if (anchor >= n - 12) break;
        table[model_hash(&s[anchor - 2])] = (uint32_t)(anchor - 2);
        p = anchor;
    }
    model_literals(out, s.data() + anchor, n - anchor);
    return out;
}

// Strict decoding, byte by byte; -1 in *ok_len for a rejected stream.
static bytes model_decompress(const bytes &s, size_t cap, long *ok_len) {
    bytes out;
    size_t i = 0, n = s.size();
    *ok_len = -1;
    while (i < n) {
        unsigned tok = s[i++];
        size_t lit = tok >> 4, ml, d;
        if (lit == 15) do { if (i >= n) return out; lit += s[i]; } while (s[i++] == 255);
        if (lit > n - i || out.size() + lit > cap) return out;
        out.insert(out.end(), s.begin() + i, s.begin() + i + lit);
        i += lit;
        if (i == n) break;
        if (n - i < 2) return out;
        d = s[i] | s[i + 1] << 8;
        i += 2;
        if (d == 0 || d > out.size()) return out;
        ml = (tok & 15) + 4;
        if (ml == 19) do { if (i >= n) return out; ml += s[i]; } while (s[i++] == 255);
        if (out.size() + ml > cap) return out;
        for (size_t k = 0; k < ml; k++) out.push_back(out[out.size() - d]);
    }
    *ok_len = (long)out.size();
    return out;
}

// ---- inputs ----

static uint64_t g_rng = 0x243F6A8885A308D3ull;
static uint32_t rnd() {
    g_rng = g_rng * 6364136223846793005ull + 1442695040888963407ull;
    return (uint32_t)(g_rng >> 33);
}

// Varied content: zeros, noise, runs, pixel-periodic areas, text-like rows, and mixtures of them.
static bytes make_input(size_t n, int kind) {
    bytes b(n);
    uint32_t px = rnd();
    for (size_t i = 0; i < n; i++) {
        switch (kind) {
        case 0: b[i] = 0; break;
        case 1: b[i] = (uint8_t)rnd(); break;
        case 2: b[i] = (uint8_t)((i / (1 + rnd() % 3 * 40)) & 0xF0); break;
        case 3: b[i] = (uint8_t)(px >> (8 * (i % 4))); if (rnd() % 500 == 0) px = rnd(); break;
        case 4: b[i] = ((i % 256) / 4 % 7 == 3 && (i / 256) % 11 < 7) ? (uint8_t)rnd() % 4 * 60 : 0; break;
        case 5: b[i] = (rnd() % 8 == 0) ? (uint8_t)rnd() : (i >= 7 ? b[i - 1 - (i % 7)] : 1); break;
        default: b[i] = (uint8_t)(i < n / 2 ? rnd() % 3 : (i / 64) % 2 ? 0xFF : 0x00); break;
        }
    }
    return b;
}

static const int KINDS = 7;
static const size_t SIZES[] = {0, 1, 5, 12, 13, 14, 17, 20, 31, 64, 100, 255, 256, 1000, 4096,
                               16383, 16384, 16385, 40000, 70000, 140000};

static bytes compress(const bytes &in) {
    bytes out(codec_bound(in.size()));
    int r = codec_compress(in.data(), in.size(), out.data(), out.size());
    out.resize(r < 0 ? 0 : (size_t)r);
    return out;
}

// Decompresses with capacity cap into a buffer followed by a guard; fails the test if the guard moved.
static int decompress_guarded(const bytes &s, size_t cap, bytes *out) {
    out->assign(cap + GUARD, 0xA5);
    int r = codec_decompress(s.data(), s.size(), out->data(), cap);
    for (size_t i = cap; i < cap + GUARD; i++) {
        if ((*out)[i] != 0xA5) {
            ADD_FAILURE() << "wrote past capacity " << cap << " at " << i;
            break;
        }
    }
    out->resize(r > 0 ? (size_t)r : 0);
    return r;
}

// ---- vector file ----

static bytes parse_bytes(const std::string &f) {
    bytes b;
    unsigned v, n;
    if (f == "-") return b;
    if (sscanf(f.c_str(), "fill:%x:%u", &v, &n) == 2) return bytes(n, (uint8_t)v);
    for (size_t i = 0; i + 1 < f.size(); i += 2) b.push_back((uint8_t)strtoul(f.substr(i, 2).c_str(), 0, 16));
    return b;
}

TEST(CodecVectors, FileCasesHold) {
    FILE *f = fopen(VO_VECTORS_DIR "/codec_vectors.txt", "r");
    ASSERT_NE(f, nullptr);
    static char line[70000];
    int cases = 0;
    while (fgets(line, sizeof line, f)) {
        char op[32], a[33000], b[33000], c[33000];
        if (line[0] == '#' || sscanf(line, "%31s %32999s %32999s %32999s", op, a, b, c) < 3) continue;
        SCOPED_TRACE(line);
        cases++;
        if (!strcmp(op, "compress")) {
            EXPECT_EQ(compress(parse_bytes(a)), parse_bytes(b));
        } else if (!strcmp(op, "hash")) {
            bytes t = parse_bytes(a);
            ASSERT_EQ(t.size(), 16384u);
            EXPECT_EQ(tile_hash(t.data()), strtoull(b, 0, 16));
        } else if (!strcmp(op, "decompress")) {
            bytes out;
            int r = decompress_guarded(parse_bytes(a), strtoul(b, 0, 10), &out);
            if (!strcmp(c, "-1")) {
                EXPECT_EQ(r, -1);
            } else {
                bytes want = parse_bytes(c);
                EXPECT_EQ(r, (int)want.size());
                EXPECT_EQ(out, want);
            }
        }
    }
    fclose(f);
    EXPECT_GE(cases, 30);
}

TEST(CodecVectors, ZeroTileIsSeventyFiveBytes) {
    bytes zero(16384, 0), z = compress(zero);
    ASSERT_EQ(z.size(), 75u);
    EXPECT_EQ(z[0], 0x1F);
    EXPECT_EQ(z[67], 0xFF);
    EXPECT_EQ(z[68], 0x27);
    EXPECT_EQ(z[69], 0x50);
    bytes out;
    EXPECT_EQ(decompress_guarded(z, 16384, &out), 16384);
    EXPECT_EQ(out, zero);
    uint8_t tile[16384];
    memset(tile, 0, sizeof tile);
    EXPECT_EQ(tile_hash(tile), 0xD23EB558E037DA16ull);
    memset(tile, 0xFF, sizeof tile);
    EXPECT_EQ(tile_hash(tile), 0x73BC79D77879ECCDull);
}

// Several chains at once give each tile's own hash, whatever the count and however tiles repeat,
// on the scalar path and (where the processor has it) the vector one.
TEST(CodecVectors, TileHashManyEqualsTileHash) {
    std::vector<bytes> tiles(20, bytes(16384));
    uint32_t x = 99;
    for (auto &t : tiles)
        for (auto &b : t) b = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
    tiles[3].assign(16384, 0);
    tiles[7] = tiles[1];
    tiles[12].assign(16384, 0xFF);
    const uint8_t *p[20];
    for (size_t k = 0; k < 20; k++) p[k] = tiles[k].data();
    for (int wide = 0; wide < 2; wide++) {
        if (tile_hash_wide(wide) != wide) continue;
        for (size_t n = 0; n <= 20; n++) {
            uint64_t h[21] = {0};
            tile_hash_many(p + 20 - n, n, h);
            for (size_t k = 0; k < 21; k++)
                EXPECT_EQ(h[k], k < n ? tile_hash(p[20 - n + k]) : 0u) << n << " tiles, tile " << k << ", wide " << wide;
        }
        // The same tiles side by side in a picture 20 tiles wide: rows 5120 bytes apart.
        bytes picture(20 * 16384);
        for (size_t k = 0; k < 20; k++)
            for (size_t r = 0; r < 64; r++) memcpy(&picture[r * 5120 + k * 256], p[k] + r * 256, 256);
        const uint8_t *q[20];
        uint64_t h[20];
        for (size_t k = 0; k < 20; k++) q[k] = &picture[k * 256];
        for (int far = 0; far < 2; far++) {   // the rows read ahead, or not
            (far ? tile_hash_many_far : tile_hash_many_rows)(q, 5120, 20, h);
            for (size_t k = 0; k < 20; k++)
                EXPECT_EQ(h[k], tile_hash(p[k])) << "in a picture, tile " << k << ", wide " << wide << ", far " << far;
        }
    }
    tile_hash_wide(-1);
}

// ---- compressor ----

TEST(CodecCompress, MatchesGreedyModelByteForByte) {
    for (int kind = 0; kind < KINDS; kind++) {
        for (size_t n : SIZES) {
            bytes in = make_input(n, kind), got = compress(in);
            ASSERT_EQ(got, model_compress(in)) << "kind " << kind << " size " << n;
            ASSERT_LE(got.size(), codec_bound(n));
            bytes out;
            ASSERT_EQ(decompress_guarded(got, n, &out), (int)n);
            ASSERT_EQ(out, in) << "kind " << kind << " size " << n;
        }
    }
    for (int i = 0; i < 300; i++) {  // short random inputs exercise the tail rules
        bytes in = make_input(rnd() % 80, (int)(rnd() % KINDS));
        ASSERT_EQ(compress(in), model_compress(in));
    }
}

TEST(CodecCompress, RefusesShortBufferWithoutWriting) {
    bytes in = make_input(16384, 1), out(20000, 0x5A);
    EXPECT_EQ(codec_compress(in.data(), in.size(), out.data(), codec_bound(16384) - 1), -1);
    EXPECT_EQ(codec_compress(in.data(), 0, out.data(), 15), -1);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(codec_bound(16384), 16464u);
    // Exactly the bound suffices, and nothing beyond the result is touched for incompressible input.
    int r = codec_compress(in.data(), in.size(), out.data(), codec_bound(16384));
    EXPECT_GT(r, 16384);
    EXPECT_LE(r, (int)codec_bound(16384));
    for (size_t i = codec_bound(16384); i < out.size(); i++) ASSERT_EQ(out[i], 0x5A);
}

// ---- decompressor ----

TEST(CodecDecompress, ExactCapacityAndOneShort) {
    for (int kind = 0; kind < KINDS; kind++) {
        for (size_t n : {13u, 100u, 4096u, 16384u}) {
            bytes in = make_input(n, kind), s = compress(in), out;
            ASSERT_EQ(decompress_guarded(s, n, &out), (int)n);
            ASSERT_EQ(out, in);
            ASSERT_EQ(decompress_guarded(s, n - 1, &out), -1);
            ASSERT_EQ(decompress_guarded(s, n + 1, &out), (int)n);
        }
    }
}

TEST(CodecDecompress, MatchCopiesEqualTheByteWiseCopy) {
    // Short distances repeat a pattern, long ones copy in pieces; lengths on both sides of every
    // copy width, with the capacity ending right at the match or a little after it.
    const size_t dists[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 31, 32, 33, 63, 64,
                            255, 256, 300, 1000};
    const size_t lens[] = {4, 5, 7, 8, 9, 15, 16, 17, 18, 19, 20, 31, 32, 33, 40, 64, 65, 77,
                           255, 256, 300, 1000, 3000};
    for (size_t d : dists) {
        for (size_t len : lens) {
            bytes s, lit;
            for (size_t k = 0; k < d; k++) lit.push_back((uint8_t)(0x11 * k + 1 + k / 256));
            model_literals(s, lit.data(), d);
            s[0] |= (uint8_t)(len >= 19 ? 15 : len - 4);
            s.push_back((uint8_t)d);
            s.push_back((uint8_t)(d >> 8));
            if (len >= 19) model_ext(s, len - 19);
            long want_len;
            bytes want = model_decompress(s, 5000, &want_len), out;
            ASSERT_EQ(want_len, (long)(d + len));
            for (size_t cap : {d + len, d + len + 7, d + len + 40}) {
                ASSERT_EQ(decompress_guarded(s, cap, &out), (int)(d + len));
                ASSERT_EQ(out, want) << "distance " << d << " length " << len << " cap " << cap;
            }
        }
    }
}

TEST(CodecDecompress, RandomStreamsAgreeWithModelAndStayInBounds) {
    // Garbage and damaged real streams: the result must equal the strict model, output included.
    bytes base = compress(make_input(3000, 5));
    for (int i = 0; i < 20000; i++) {
        bytes s;
        if (i % 2) {
            s = base;
            s.resize(rnd() % (base.size() + 1));
            for (int k = rnd() % 4; k > 0 && !s.empty(); k--) s[rnd() % s.size()] = (uint8_t)rnd();
        } else {
            s.resize(rnd() % 40);
            for (auto &b : s) b = (uint8_t)(rnd() % 3 ? rnd() : 0x1F);
        }
        size_t cap = rnd() % 4 ? rnd() % 64 : rnd() % 4000;
        long want_len;
        bytes want = model_decompress(s, cap, &want_len), out;
        int r = decompress_guarded(s, cap, &out);
        ASSERT_EQ(r, (int)want_len) << "case " << i;
        if (r >= 0) {
            ASSERT_EQ(out, want) << "case " << i;
        }
    }
}

// ---- interchange with liblz4 ----

#ifdef VO_HAVE_LZ4
TEST(CodecLz4, Lz4DecodesEveryStreamWeEmit) {
    for (int kind = 0; kind < KINDS; kind++) {
        for (size_t n : SIZES) {
            bytes in = make_input(n, kind), s = compress(in), out(n + 1);
            int r = LZ4_decompress_safe((const char *)s.data(), (char *)out.data(), (int)s.size(),
                                        (int)n + 1);
            ASSERT_EQ(r, (int)n) << "kind " << kind << " size " << n;
            out.resize(n);
            ASSERT_EQ(out, in);
        }
    }
}

TEST(CodecLz4, WeDecodeEveryStreamLz4Emits) {
    for (int kind = 0; kind < KINDS; kind++) {
        for (size_t n : {1u, 13u, 64u, 777u, 4096u, 16384u}) {
            bytes in = make_input(n, kind), s(LZ4_compressBound((int)n)), out;
            for (int level = 0; level < 6; level++) {
                const char *src = (const char *)in.data();
                char *d = (char *)s.data();
                int cap = (int)s.size(), r;
                if (level == 0) r = LZ4_compress_default(src, d, (int)n, cap);
                else if (level < 3) r = LZ4_compress_fast(src, d, (int)n, cap, level * 8);
                else r = LZ4_compress_HC(src, d, (int)n, cap, level == 3 ? 3 : level == 4 ? 9 : 12);
                ASSERT_GT(r, 0);
                bytes stream(s.begin(), s.begin() + r);
                ASSERT_EQ(decompress_guarded(stream, n, &out), (int)n)
                    << "kind " << kind << " level " << level;
                ASSERT_EQ(out, in);
            }
        }
    }
}
#endif
