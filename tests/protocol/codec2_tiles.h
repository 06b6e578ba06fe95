// codec2_tiles: small deterministic tiles of the kinds the second codec is built for (text, photo,
// one colour, a changing fourth byte), shared by its test and the tool that writes its vectors.
#pragma once
#include <stdint.h>
#include <string.h>

static inline uint32_t c2t_hash(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    return h ^ (h >> 12);
}

static inline void c2t_put(uint8_t *t, int x, int y, uint32_t bgrx) { memcpy(t + (y * 64 + x) * 4, &bgrx, 4); }

// Dark text on white, glyph cells of 8 x 16, with one blue heading row; `seed` picks the letters.
static inline void c2t_text(uint8_t *t, uint32_t seed) {
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            int cell = (y / 16) * 8 + x / 8, gy = y % 16, gx = x % 8;
            uint32_t bits = (gy >= 3 && gy < 13) ? c2t_hash(seed + (uint32_t)cell, (uint32_t)gy) & 0x7E : 0;
            uint32_t ink = y < 16 ? 0xFFA04F1Au : 0xFF202020u;
            c2t_put(t, x, y, (bits >> gx & 1) ? ink : 0xFFFFFFFFu);
        }
}

// A smooth colour field with sensor noise of a few levels, like a photo.
static inline void c2t_photo(uint8_t *t, uint32_t seed) {
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            uint32_t n = c2t_hash((uint32_t)(y * 64 + x), seed);
            uint32_t b = (uint32_t)(40 + x * 2 + (n & 7)), g = (uint32_t)(60 + y * 2 + (n >> 3 & 7));
            uint32_t r = (uint32_t)(90 + (x + y) + (n >> 6 & 7));
            c2t_put(t, x, y, 0xFF000000u | r << 16 | g << 8 | b);
        }
}

static inline void c2t_fill(uint8_t *t, uint32_t bgrx) {
    for (int k = 0; k < 4096; k++) memcpy(t + 4 * k, &bgrx, 4);
}

// XOR of two tiles.
static inline void c2t_xor(const uint8_t *a, const uint8_t *b, uint8_t *out) {
    for (int k = 0; k < 16384; k++) out[k] = a[k] ^ b[k];
}
