// codec: the LZ4-block-format compressor and strict decompressor used for tile deltas and the
// text layer, and the 64-bit tile hash that names a tile in the caches. Stateless; allocates nothing.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Output capacity the compressor demands for n input bytes: n + n/255 + 16 (16464 for a tile).
static inline size_t codec_bound(size_t n) { return n + n / 255 + 16; }

// Bytes written to dst, or -1 when dst_cap < codec_bound(src_len) (nothing written then).
int codec_compress(const uint8_t *src, size_t src_len, uint8_t *dst, size_t dst_cap);

// Bytes produced, or -1 for a malformed stream or one that would write past dst_cap. Empty input: 0.
int codec_decompress(const uint8_t *src, size_t src_len, uint8_t *dst, size_t dst_cap);

// Hash of the 16384 bytes of a tile; never 0.
uint64_t tile_hash(const uint8_t *tile);
// out[k] = tile_hash(tiles[k]) for k < n, several chains at once (much quicker per tile than one by one).
void tile_hash_many(const uint8_t *const *tiles, size_t n, uint64_t *out);
// The same for tiles whose 64 rows of 256 bytes lie `stride` bytes apart (tiles in a picture).
void tile_hash_many_rows(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out);
// The same for rows that come from memory rather than the core's cache (a picture's, not yet read):
// each row is fetched a few rows ahead of the chains that need it.
void tile_hash_many_far(const uint8_t *const *tiles, size_t stride, size_t n, uint64_t *out);
// Which path tile_hash_many takes: want 1 the vector path (eight or sixteen lanes) where the processor has it,
// 0 the scalar one, -1 the best this processor has (the default). Returns 1 when the vector path is in use.
int tile_hash_wide(int want);
