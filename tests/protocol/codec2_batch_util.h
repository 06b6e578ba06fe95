// Helpers of the batch tests: a small change of a tile as the host's chooser sends it (a crop).
#pragma once
#include <string.h>
#include "protocol/codec2.h"
#include "protocol/messages.h"

// The viewer's tile before: byte k is (k * 31) mod 256; after: a w x h block at (x, y) of two
// colours picked by `seed`. The chooser's data for it goes to data; its form is returned.
static inline uint8_t c2b_change(Codec2Enc *e, int x, int y, int w, int h, uint32_t seed, uint8_t *after,
                                 uint8_t *data, int *n) {
    static uint8_t delta[TILE_BYTES];
    for (int k = 0; k < TILE_BYTES; k++) after[k] = (uint8_t)(k * 31);
    for (int r = y; r < y + h; r++)
        for (int c = x; c < x + w; c++) {
            uint32_t v = ((seed >> ((r + c) & 15)) & 1) ? 0xFF202020u : 0xFFE0E0E0u;
            memcpy(after + (r * 64 + c) * 4, &v, 4);
        }
    for (int k = 0; k < TILE_BYTES; k++) delta[k] = after[k] ^ (uint8_t)(k * 31);
    uint8_t form;
    *n = codec2_encode_tile(e, after, delta, data, &form);
    return form;
}
