// tile_rows: tile row sweeps in 128-bit vectors, and in 512-bit ones where the processor has them.
#include "protocol/tile_rows.h"

#include <atomic>
#include <emmintrin.h>
#include <immintrin.h>

#include "protocol/messages.h"

#define ROW_BYTES (TILE_EDGE * 4)
#define AHEAD 8   // rows prefetched ahead: a tile's rows lie a screen width apart
#define WIDE __attribute__((target("avx512f")))

static std::atomic<int> s_wide{-1};   // -1 until the processor is asked

static int rows_wide_supported(void) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

int tile_rows_wide(int want) {
    int can = rows_wide_supported();
    s_wide.store(want < 0 ? can : want && can, std::memory_order_relaxed);
    return s_wide.load(std::memory_order_relaxed);
}

// 512-bit streaming stores need whole lines: every row they write starts on one.
static int rows_use_wide(const uint8_t *streamed, size_t stride) {
    int wide = s_wide.load(std::memory_order_relaxed);
    if (wide < 0) wide = tile_rows_wide(-1);
    return wide && (!streamed || ((uintptr_t)streamed % 64 == 0 && stride % 64 == 0));
}

static void rows_prefetch(const uint8_t *c, const uint8_t *d, size_t stride, int r, int zero) {
    if (r + AHEAD >= TILE_EDGE) return;
    for (int k = 0; k < ROW_BYTES; k += 64) {
        __builtin_prefetch(c + AHEAD * stride + k, 0);
        if (!zero) __builtin_prefetch(d + AHEAD * stride + k, 0);
    }
}

WIDE static void delta_wide(const uint8_t *cur, uint8_t *snt, size_t stride, uint8_t *tile, uint8_t *delta, int take,
                            int zero) {
    for (int r = 0; r < TILE_EDGE; r++) {
        const uint8_t *c = cur + r * stride;
        uint8_t *d = snt + r * stride, *t = tile ? tile + r * ROW_BYTES : 0, *x = delta + r * ROW_BYTES;
        rows_prefetch(c, d, stride, r, zero);
        for (int j = 0; j < ROW_BYTES; j += 64) {
            __m512i cw = _mm512_loadu_si512((const void *)(c + j));
            __m512i xw = zero ? cw : _mm512_xor_si512(cw, _mm512_loadu_si512((const void *)(d + j)));
            if (t) _mm512_storeu_si512((void *)(t + j), cw);
            if (take) _mm512_stream_si512((__m512i *)(d + j), cw);
            _mm512_storeu_si512((void *)(x + j), xw);
        }
    }
}

static void delta_narrow(const uint8_t *cur, uint8_t *snt, size_t stride, uint8_t *tile, uint8_t *delta, int take,
                         int zero, int stream) {
    for (int r = 0; r < TILE_EDGE; r++) {
        const uint8_t *c = cur + r * stride;
        uint8_t *d = snt + r * stride, *t = tile ? tile + r * ROW_BYTES : 0, *x = delta + r * ROW_BYTES;
        rows_prefetch(c, d, stride, r, zero);
        for (int j = 0; j < ROW_BYTES; j += 16) {
            __m128i cw = _mm_loadu_si128((const __m128i *)(c + j));
            __m128i xw = zero ? cw : _mm_xor_si128(cw, _mm_loadu_si128((const __m128i *)(d + j)));
            if (t) _mm_storeu_si128((__m128i *)(t + j), cw);
            if (take && stream) _mm_stream_si128((__m128i *)(d + j), cw);
            else if (take) _mm_storeu_si128((__m128i *)(d + j), cw);
            _mm_storeu_si128((__m128i *)(x + j), xw);
        }
    }
}

void tile_rows_delta(const uint8_t *cur, uint8_t *snt, size_t stride, uint8_t *tile, uint8_t *delta, int take,
                     int zero) {
    if (rows_use_wide(take ? snt : 0, stride)) delta_wide(cur, snt, stride, tile, delta, take, zero);
    else delta_narrow(cur, snt, stride, tile, delta, take, zero, (uintptr_t)snt % 16 == 0 && stride % 16 == 0);
    if (take) _mm_sfence();   // sent's streamed rows are seen before whatever follows the sweep
}

WIDE static void xor_in_wide(uint8_t *dst, size_t stride, const uint8_t *diff, uint8_t *cache) {
    for (int r = 0; r < TILE_EDGE; r++, dst += stride, diff += ROW_BYTES) {
        for (int i = 0; i < ROW_BYTES; i += 64) {
            __m512i a = _mm512_xor_si512(_mm512_loadu_si512((const void *)(dst + i)), _mm512_loadu_si512((const void *)(diff + i)));
            _mm512_storeu_si512((void *)(dst + i), a);
            if (cache) _mm512_stream_si512((__m512i *)(cache + i), a);
        }
        if (cache) cache += ROW_BYTES;
    }
}

static void xor_in_narrow(uint8_t *dst, size_t stride, const uint8_t *diff, uint8_t *cache, int stream) {
    for (int r = 0; r < TILE_EDGE; r++, dst += stride, diff += ROW_BYTES) {
        for (int i = 0; i < ROW_BYTES; i += 16) {
            __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(dst + i)), _mm_loadu_si128((const __m128i *)(diff + i)));
            _mm_storeu_si128((__m128i *)(dst + i), a);
            if (cache && stream) _mm_stream_si128((__m128i *)(cache + i), a);
            else if (cache) _mm_storeu_si128((__m128i *)(cache + i), a);
        }
        if (cache) cache += ROW_BYTES;
    }
}

void tile_rows_xor_in(uint8_t *dst, size_t stride, const uint8_t *diff, uint8_t *cache) {
    if (rows_use_wide(cache, ROW_BYTES)) xor_in_wide(dst, stride, diff, cache);
    else xor_in_narrow(dst, stride, diff, cache, (uintptr_t)cache % 16 == 0);
}

void tile_rows_fence(void) { _mm_sfence(); }
