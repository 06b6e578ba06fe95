// codec2_palette: the palette form's inner layout: a tile of at most 256 colours as its colours in
// order of first appearance (4 bytes each) and one index per pixel, packed MSB-first in rows.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Index width for n colours: 0 (one colour), 1, 2, 4 or 8 bits.
int codec2_palette_bits(int n);
// Bytes of the packed block for n colours: n * 4 palette bytes, then 64 rows of 64 * bits / 8.
size_t codec2_palette_block_bytes(int n);
// Builds the block for a tile into out (at least 1024 + 4096 bytes); returns the colour count
// (1..256), or -1 when the tile holds more than 256 colours.
int codec2_palette_pack(const uint8_t *tile, uint8_t *out);
// Rebuilds the tile from a block of n colours and exactly codec2_palette_block_bytes(n) bytes.
// 0 when an index names no colour.
int codec2_palette_unpack(const uint8_t *block, int n, uint8_t *tile);
