// Fuzz target for the tile codec: arbitrary bytes as a compressed stream into a small buffer with
// a guard behind it, and as plain input that must survive compress then decompress unchanged.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"

enum { FUZZ_CAP = 256, FUZZ_GUARD = 64, FUZZ_MAX_INPUT = 1 << 17 };

static uint8_t g_unpacked[FUZZ_CAP + FUZZ_GUARD];                    // decompression target and guard
static uint8_t g_packed[FUZZ_MAX_INPUT + FUZZ_MAX_INPUT / 255 + 16];  // compressed copy of the input
static uint8_t g_back[FUZZ_MAX_INPUT];                          // the input restored

static void fuzz_stream(const uint8_t *data, size_t size) {
    size_t cap = size ? data[0] % (FUZZ_CAP + 1) : FUZZ_CAP;  // vary the capacity with the input
    memset(g_unpacked, 0xA5, sizeof g_unpacked);
    int r = codec_decompress(data, size, g_unpacked, cap);
    if (r < -1 || r > (int)cap) abort();
    for (size_t i = cap; i < sizeof g_unpacked; i++)
        if (g_unpacked[i] != 0xA5) abort();
}

static void fuzz_round_trip(const uint8_t *data, size_t size) {
    if (size > FUZZ_MAX_INPUT) size = FUZZ_MAX_INPUT;
    int packed = codec_compress(data, size, g_packed, codec_bound(size));
    if (packed < 1 || (size_t)packed > codec_bound(size)) abort();
    if (codec_compress(data, size, g_packed, codec_bound(size) - 1) != -1) abort();
    int r = codec_decompress(g_packed, (size_t)packed, g_back, size);
    if (r != (int)size || (size && memcmp(g_back, data, size))) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_stream(data, size);
    fuzz_round_trip(data, size);
    return 0;
}
