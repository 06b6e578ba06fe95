// codec_hash: the 64-bit tile hash. Each tile's chain is serial, so several tiles' chains run side
// by side: four on the scalar path, or eight lanes of a vector where the processor has AVX-512.
#include "protocol/codec.h"
#include <atomic>
#include <string.h>
#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector, which it then warns of.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"   // GCC's alone: clang does not know it
#endif
#include <immintrin.h>
#define CODEC_HASH_X86 1
#endif

#define HASH_SEED 0x9E3779B97F4A7C15ull
#define HASH_MUL_WORD 0xFF51AFD7ED558CCDull
#define HASH_MUL_STATE 0xC4CEB9FE1A85EC53ull
#define HASH_MUL_FINAL 0x94D049BB133111EBull

static inline uint64_t hash_rd64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

static inline uint64_t hash_final(uint64_t s) {
    uint64_t x = (s ^ (s >> 29)) * HASH_MUL_FINAL;
    uint64_t h = x ^ (x >> 32);
    return h ? h : 1;
}

// A tile is hashed as its 64 rows of 256 bytes in order, wherever the rows lie.
#define HASH_ROWS 64
#define HASH_ROW_BYTES 256

static uint64_t tile_hash_rows(const uint8_t *tile, size_t stride) {
    uint64_t s = HASH_SEED;
    for (size_t row = 0; row < HASH_ROWS; row++)
        for (size_t i = row * stride, end = i + HASH_ROW_BYTES; i < end; i += 8) {
            uint64_t a = hash_rd64(tile + i) * HASH_MUL_WORD;
            uint64_t b = a ^ (a >> 32) ^ s;
            s = ((b << 31) | (b >> 33)) * HASH_MUL_STATE;
        }
    return hash_final(s);
}

uint64_t tile_hash(const uint8_t *tile) { return tile_hash_rows(tile, HASH_ROW_BYTES); }

// Rows read ahead when a tile's rows come from memory (a picture's rows lie a screen width apart,
// too far for the processor to see them coming). Rows just written are in the core's cache.
#define HASH_AHEAD 4

static inline void hash_read_ahead(const uint8_t *const *tiles, int count, size_t at) {
    for (int k = 0; k < count; k++) __builtin_prefetch(tiles[k] + at, 0);
}

// Four tiles' chains side by side: each chain is serial (its multiply waits on the one before),
// so interleaving four keeps the multiplier busy. Each lane computes exactly tile_hash.
static void tile_hash4(const uint8_t *const *tiles, size_t stride, uint64_t *out, int ahead) {
    uint64_t s0 = HASH_SEED, s1 = s0, s2 = s0, s3 = s0;
    const uint8_t *t0 = tiles[0], *t1 = tiles[1], *t2 = tiles[2], *t3 = tiles[3];
    for (size_t row = 0; row < HASH_ROWS; row++) {
        if (ahead && row + HASH_AHEAD < HASH_ROWS)
            for (size_t i = 0; i < HASH_ROW_BYTES; i += 64) hash_read_ahead(tiles, 4, (row + HASH_AHEAD) * stride + i);
        for (size_t i = row * stride, end = i + HASH_ROW_BYTES; i < end; i += 8) {
            uint64_t a0 = hash_rd64(t0 + i) * HASH_MUL_WORD, a1 = hash_rd64(t1 + i) * HASH_MUL_WORD;
            uint64_t a2 = hash_rd64(t2 + i) * HASH_MUL_WORD, a3 = hash_rd64(t3 + i) * HASH_MUL_WORD;
            uint64_t b0 = a0 ^ (a0 >> 32) ^ s0, b1 = a1 ^ (a1 >> 32) ^ s1;
            uint64_t b2 = a2 ^ (a2 >> 32) ^ s2, b3 = a3 ^ (a3 >> 32) ^ s3;
            s0 = ((b0 << 31) | (b0 >> 33)) * HASH_MUL_STATE;
            s1 = ((b1 << 31) | (b1 >> 33)) * HASH_MUL_STATE;
            s2 = ((b2 << 31) | (b2 >> 33)) * HASH_MUL_STATE;
            s3 = ((b3 << 31) | (b3 >> 33)) * HASH_MUL_STATE;
        }
    }
    out[0] = hash_final(s0);
    out[1] = hash_final(s1);
    out[2] = hash_final(s2);
    out[3] = hash_final(s3);
}

// A group of `width` lanes from tiles[i..n): a short last group is padded with its first tile,
// whose extra lanes' results are dropped. Returns how many of group's lanes are real.
static size_t hash_group(const uint8_t *const *tiles, size_t i, size_t n, size_t width, const uint8_t **group) {
    for (size_t k = 0; k < width; k++) group[k] = tiles[i + (i + k < n ? k : 0)];
    return n - i < width ? n - i : width;
}

#if CODEC_HASH_X86
#define HASH_WIDE __attribute__((target("avx512f,avx512dq")))

// The word part of one chain step for eight words at once: a = w * C, a ^ (a >> 32).
HASH_WIDE static inline __m512i hash_words8(__m512i w) {
    __m512i a = _mm512_mullo_epi64(w, _mm512_set1_epi64((long long)HASH_MUL_WORD));
    return _mm512_xor_si512(a, _mm512_srli_epi64(a, 32));
}

// r[k] holds 8 consecutive words of tile k; afterwards r[j] holds word j of tiles 0..7.
HASH_WIDE static inline void hash_transpose8(__m512i *r) {
    __m512i a[8], b[8];
    for (int k = 0; k < 8; k += 2) {
        a[k] = _mm512_unpacklo_epi64(r[k], r[k + 1]);       // words 0 2 4 6 of tiles k, k+1
        a[k + 1] = _mm512_unpackhi_epi64(r[k], r[k + 1]);   // words 1 3 5 7
    }
    const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0), hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    for (int k = 0; k < 8; k += 4)   // four tiles' words {0,4} {2,6} {1,5} {3,7}
        for (int e = 0; e < 2; e++) {
            b[k + e * 2] = _mm512_permutex2var_epi64(a[k + e], lo, a[k + 2 + e]);
            b[k + e * 2 + 1] = _mm512_permutex2var_epi64(a[k + e], hi, a[k + 2 + e]);
        }
    static const int word[4] = {0, 2, 1, 3};
    for (int k = 0; k < 4; k++) {
        r[word[k]] = _mm512_shuffle_i64x2(b[k], b[k + 4], 0x44);
        r[word[k] + 4] = _mm512_shuffle_i64x2(b[k], b[k + 4], 0xEE);
    }
}

// Eight tiles' chains per group, one per lane: each 64-byte line of the group's tiles is turned so
// that a vector holds one word of every tile, and the chain steps through the eight words. Two
// groups (sixteen tiles) go side by side, so one group's multiplies run while the other's wait: a
// single group's chain is bound by the multiply's latency.
HASH_WIDE static inline __attribute__((always_inline)) void tile_hash_lanes(const uint8_t *const *tiles, size_t stride,
                                                                            uint64_t *out, int groups, int ahead) {
    const __m512i mul = _mm512_set1_epi64((long long)HASH_MUL_STATE);
    __m512i s[2] = {_mm512_set1_epi64((long long)HASH_SEED), _mm512_set1_epi64((long long)HASH_SEED)};
    for (size_t row = 0; row < HASH_ROWS; row++) {
        for (size_t i = row * stride, end = i + HASH_ROW_BYTES; i < end; i += 64) {
            __m512i r[2][8];
            if (ahead && row + HASH_AHEAD < HASH_ROWS) hash_read_ahead(tiles, 8 * groups, i + HASH_AHEAD * stride);
            for (int g = 0; g < groups; g++) {
                for (int k = 0; k < 8; k++) r[g][k] = hash_words8(_mm512_loadu_si512((const void *)(tiles[8 * g + k] + i)));
                hash_transpose8(r[g]);
            }
            for (int j = 0; j < 8; j++)
                for (int g = 0; g < groups; g++)
                    s[g] = _mm512_mullo_epi64(_mm512_rol_epi64(_mm512_xor_si512(r[g][j], s[g]), 31), mul);
        }
    }
    uint64_t st[16];
    for (int g = 0; g < groups; g++) _mm512_storeu_si512((void *)(st + 8 * g), s[g]);
    for (int k = 0; k < 8 * groups; k++) out[k] = hash_final(st[k]);
}

HASH_WIDE static void tile_hash8(const uint8_t *const *tiles, size_t stride, uint64_t *out, int ahead) {
    tile_hash_lanes(tiles, stride, out, 1, ahead);
}

HASH_WIDE static void tile_hash16(const uint8_t *const *tiles, size_t stride, uint64_t *out, int ahead) {
    tile_hash_lanes(tiles, stride, out, 2, ahead);
}

static int hash_wide_supported(void) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}
#else
static int hash_wide_supported(void) { return 0; }
#endif

// Groups of `width` chains: 4 scalar ones, or vector lanes where the processor has them (8, or 16
// while more than eight tiles are left). A lone last tile goes as one chain, as quick as a group.
// With ahead the rows are read a few ahead of the chains.
static void tile_hash_groups(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out, size_t width,
                             int ahead) {
    for (size_t i = 0; i < n;) {
        if (n - i == 1) {
            out[i] = tile_hash_rows(tiles[i], stride);
            return;
        }
        const uint8_t *group[16];
        uint64_t h[16];
        size_t lanes = width == 8 && n - i > 8 ? 16 : width;
        size_t real = hash_group(tiles, i, n, lanes, group);
#if CODEC_HASH_X86
        if (lanes == 16) tile_hash16(group, stride, h, ahead);
        else if (lanes == 8) tile_hash8(group, stride, h, ahead);
        else
#endif
            tile_hash4(group, stride, h, ahead);
        memcpy(out + i, h, real * sizeof h[0]);
        i += real;
    }
}

static std::atomic<int> s_hash_wide{-1};   // -1 until the processor is asked

int tile_hash_wide(int want) {
    int can = hash_wide_supported();
    s_hash_wide.store(want < 0 ? can : want && can, std::memory_order_relaxed);
    return s_hash_wide.load(std::memory_order_relaxed);
}

static void tile_hash_many_at(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out, int ahead) {
    int wide = s_hash_wide.load(std::memory_order_relaxed);
    if (wide < 0) wide = tile_hash_wide(-1);
    tile_hash_groups(tiles, stride, n, out, wide ? 8 : 4, ahead);
}

void tile_hash_many_rows(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out) {
    tile_hash_many_at(tiles, stride, n, out, 0);
}

void tile_hash_many_far(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out) {
    tile_hash_many_at(tiles, stride, n, out, 1);
}

void tile_hash_many(const uint8_t *const *tiles, size_t n, uint64_t *out) {
    tile_hash_many_rows(tiles, HASH_ROW_BYTES, n, out);
}
