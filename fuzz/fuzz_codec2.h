// Shared body of the second codec's fuzz targets (one per form): arbitrary bytes as that form's
// data must be rejected or applied without touching anything outside the tile, a rejection must
// leave the tile as it was, and the input made into a tile must survive that form's round trip.
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "protocol/codec2.h"
#include "protocol/messages.h"

static Codec2Enc g_fz_enc;
static Codec2Dec g_fz_dec;
static uint8_t g_fz_tile[TILE_BYTES], g_fz_before[TILE_BYTES], g_fz_new[TILE_BYTES], g_fz_delta[TILE_BYTES];
static uint8_t g_fz_data[CODEC2_DATA_CAP];

// The input repeated over a tile; a few bytes then cover a whole tile in few colours.
static void fuzz_codec2_tile_from(const uint8_t *data, size_t size, uint8_t *tile) {
    for (size_t k = 0; k < TILE_BYTES; k++) tile[k] = size ? data[(k / 4 * 4 + k % 4) % size] : 0;
}

static void fuzz_codec2_decode(uint8_t form, const uint8_t *data, size_t size) {
    for (int k = 0; k < TILE_BYTES; k++) g_fz_tile[k] = (uint8_t)(k * 31);
    memcpy(g_fz_before, g_fz_tile, TILE_BYTES);
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);   // exact size: reads past it are caught
    if (size) memcpy(copy, data, size);
    int ok = codec2_apply_tile(&g_fz_dec, form, copy, size, g_fz_tile);
    free(copy);
    if (!ok && memcmp(g_fz_tile, g_fz_before, TILE_BYTES)) abort();
}

static void fuzz_codec2_round_trip(uint8_t form, const uint8_t *data, size_t size) {
    fuzz_codec2_tile_from(data, size, g_fz_new);
    if (size > 4) {   // a change of part of the tile only: the first bytes pick the rectangle kept
        int x0 = data[0] % 64, y0 = data[1] % 64, x1 = x0 + data[2] % (64 - x0), y1 = y0 + data[3] % (64 - y0);
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 64; x++)
                if (x < x0 || x > x1 || y < y0 || y > y1) memcpy(g_fz_new + (y * 64 + x) * 4, g_fz_before + (y * 64 + x) * 4, 4);
    }
    for (int k = 0; k < TILE_BYTES; k++) g_fz_delta[k] = g_fz_new[k] ^ g_fz_before[k];
    int n = codec2_encode_form(&g_fz_enc, form, g_fz_new, g_fz_delta, g_fz_data, sizeof g_fz_data);
    if (n < 0) return;   // a palette for more than 256 colours
    memcpy(g_fz_tile, g_fz_before, TILE_BYTES);
    if (!codec2_apply_tile(&g_fz_dec, form, g_fz_data, (size_t)n, g_fz_tile)) abort();
    if (memcmp(g_fz_tile, g_fz_new, TILE_BYTES)) abort();
    uint8_t chosen;   // and the chooser's pick
    n = codec2_encode_tile(&g_fz_enc, g_fz_new, g_fz_delta, g_fz_data, &chosen);
    memcpy(g_fz_tile, g_fz_before, TILE_BYTES);
    if (!codec2_apply_tile(&g_fz_dec, chosen, g_fz_data, (size_t)n, g_fz_tile)) abort();
    if (memcmp(g_fz_tile, g_fz_new, TILE_BYTES)) abort();
}

static int fuzz_codec2_one(uint8_t form, const uint8_t *data, size_t size) {
    fuzz_codec2_decode(form, data, size);
    fuzz_codec2_round_trip(form, data, size);
    return 0;
}
