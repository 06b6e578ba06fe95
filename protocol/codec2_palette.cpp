// codec2_palette: colour counting with a small open-addressed table (stops at the 257th colour),
// index packing at 0, 1, 2, 4 or 8 bits per pixel, and the strict unpacking.
#include "protocol/codec2_palette.h"
#include <string.h>

#define PIXELS 4096
#define SLOTS 1024   // four times the most colours kept: probes stay short

int codec2_palette_bits(int n) { return n <= 1 ? 0 : n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8; }

static size_t codec2_palette_row_bytes(int n, int w) { return ((size_t)w * (size_t)codec2_palette_bits(n) + 7) / 8; }

size_t codec2_palette_block_bytes(int n, int w, int h) {
    return (size_t)n * 4 + (size_t)h * codec2_palette_row_bytes(n, w);
}

static inline uint32_t rd32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Index of every pixel into idx and the colours into out; the count, or -1 past 256 colours.
// A slot holds (colour index + 1) << 32 | colour, so one load answers both "empty?" and "which?".
static int palette_index(const uint8_t *tile, int pixels, uint8_t *out, uint8_t *idx) {
    uint64_t slot[SLOTS];
    memset(slot, 0, sizeof slot);
    int n = 0;
    for (int k = 0; k < pixels; k++) {   // no run test: its branch guesses badly at glyph edges
        uint32_t c = rd32(tile + 4 * k);
        uint32_t s = (c * 2654435761u) >> 22;
        uint64_t v;
        while ((v = slot[s]) != 0 && (uint32_t)v != c) s = (s + 1) & (SLOTS - 1);
        if (!v) {
            if (n == 256) return -1;
            v = (uint64_t)(n + 1) << 32 | c;
            slot[s] = v;
            memcpy(out + 4 * n, &c, 4);
            n++;
        }
        idx[k] = (uint8_t)((v >> 32) - 1);
    }
    return n;
}

// One row of w indices at `bits` per index, MSB first; the last byte is padded with 0 bits.
static uint8_t *palette_pack_row(const uint8_t *idx, int w, int bits, uint8_t *q) {
    int x = 0;
    if (bits == 8) {
        memcpy(q, idx, (size_t)w);
        return q + w;
    }
    int per = 8 / bits;   // whole bytes first: `per` indices make one byte
    for (; x + per <= w; x += per) {
        unsigned acc = 0;
        for (int i = 0; i < per; i++) acc = acc << bits | idx[x + i];
        *q++ = (uint8_t)acc;
    }
    if (x < w) {
        unsigned acc = 0, have = 0;
        for (; x < w; x++, have += (unsigned)bits) acc = acc << bits | idx[x];
        *q++ = (uint8_t)(acc << (8 - have));
    }
    return q;
}

int codec2_palette_pack(const uint8_t *px, int w, int h, uint8_t *out) {
    uint8_t idx[PIXELS];
    uint8_t colours[256 * 4];
    int n = palette_index(px, w * h, colours, idx);
    if (n < 0) return -1;
    memcpy(out, colours, (size_t)n * 4);
    int bits = codec2_palette_bits(n);
    uint8_t *q = out + (size_t)n * 4;
    for (int y = 0; y < h && bits > 0; y++) q = palette_pack_row(idx + y * w, w, bits, q);
    return n;
}

int codec2_palette_unpack(const uint8_t *block, int n, int w, int h, uint8_t *px) {
    if (n < 1 || n > 256) return 0;
    int bits = codec2_palette_bits(n);
    const uint8_t *q = block + (size_t)n * 4;
    if (bits == 0) {
        for (int k = 0; k < w * h; k++) memcpy(px + 4 * k, block, 4);
        return 1;
    }
    unsigned mask = (1u << bits) - 1;
    for (int y = 0; y < h; y++) {
        const uint8_t *row = q + (size_t)y * codec2_palette_row_bytes(n, w);
        for (int x = 0; x < w; x++) {
            int bit = x * bits;
            unsigned i = (unsigned)(row[bit / 8] >> (8 - bits - bit % 8)) & mask;
            if ((int)i >= n) return 0;
            memcpy(px + 4 * (y * w + x), block + 4 * i, 4);
        }
    }
    return 1;
}
