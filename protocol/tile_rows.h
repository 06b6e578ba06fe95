// tile_rows: the sweeps over a tile's 64 rows of pixels in a picture (rows `stride` bytes apart)
// that the host's encoder and the viewer's apply make for every tile they touch. They move whole
// cache lines with the processor's widest vectors where it has them (512 bits: one streaming store
// fills one line, which the memory takes far more readily than four partial ones), else 128 bits.
// Both ways give the same bytes.
#pragma once
#include <stddef.h>
#include <stdint.h>

// The delta of a tile's new pixels (cur) against sent (snt), into delta (TILE_BYTES, rows end to
// end). With tile set the new pixels go there too; with take they go into sent as well, in
// streaming stores, fenced before it returns. With zero sent is known to hold zeros: it is not read,
// the delta is the pixels.
void tile_rows_delta(const uint8_t *cur, uint8_t *snt, size_t stride, uint8_t *tile, uint8_t *delta, int take,
                     int zero);
// XORs diff (TILE_BYTES, rows end to end) into the tile at dst; with cache set the finished rows
// also go there, end to end, in streaming stores that the caller fences (tile_rows_fence), once for
// a group of tiles.
void tile_rows_xor_in(uint8_t *dst, size_t stride, const uint8_t *diff, uint8_t *cache);
// Streamed stores made so far are seen before any store after this.
void tile_rows_fence(void);

// -1 asks the processor; 0 keeps to 128 bits (tests compare both), 1 uses 512 where the processor
// has them. Returns whether the sweeps now use 512 bits.
int tile_rows_wide(int want);
