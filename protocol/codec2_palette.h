// codec2_palette: the palette form's inner layout: w x h pixels of at most 256 colours as their
// colours in order of first appearance (4 bytes each) and one index per pixel, packed MSB-first
// in rows that each end on a whole byte.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Index width for n colours: 0 (one colour), 1, 2, 4 or 8 bits.
int codec2_palette_bits(int n);
// Bytes of the packed block for n colours: n * 4 palette bytes, then h rows of ceil(w * bits / 8).
size_t codec2_palette_block_bytes(int n, int w, int h);
// Builds the block for w x h pixels (rows of w, at most 4096 pixels) into out (at least 1024 +
// 4096 bytes); returns the colour count (1..256), or -1 past 256 colours.
int codec2_palette_pack(const uint8_t *px, int w, int h, uint8_t *out);
// Rebuilds the pixels from a block of n colours. 0 when an index names no colour.
int codec2_palette_unpack(const uint8_t *block, int n, int w, int h, uint8_t *px);
