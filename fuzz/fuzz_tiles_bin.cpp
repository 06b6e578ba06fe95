// fuzz_tiles_bin: the tile cache loader fed arbitrary tiles.bin contents. Small inputs are read as
// they stand; larger ones are also laid into a full-size image (header and keys from the input,
// length cut where the input says), so that whole files with hostile keys are reached. A loaded
// cache must hold only keys that a lookup can find.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "viewer/cache.h"

static uint8_t *image;   // one full-size file image, reused
static tile_cache g_tiles;   // the cache every input is loaded into

static int ready(void) {
    if (!cache_open(&g_tiles, "/tmp/vo_fuzz_tiles_bin")) return 0;
    g_tiles.path[0] = 0;   // never saved
    image = (uint8_t *)calloc(1, CACHE_FILE_BYTES);
    return image != nullptr;
}

static void check_keys(void) {
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) {
        uint64_t k = g_tiles.keys[slot];
        if (k == 0) continue;
        if (k % CACHE_SETS != slot / 2 || cache_lookup(&g_tiles, k) == nullptr) abort();
        if ((slot & 1) && g_tiles.keys[slot - 1] == k) abort();
    }
}

// Input bytes: 16 header bytes, u32 control, then (u16 slot, u64 key) pairs. Control bit 1 puts
// our own header in place of the input's; bit 0 cuts the image at (control >> 2) bytes.
static size_t build_image(const uint8_t *data, size_t size) {
    uint32_t cut = get_u32(data + CACHE_FILE_HEADER);
    memcpy(image, data, CACHE_FILE_HEADER);
    if (cut & 2) {
        put_u32(image, CACHE_MAGIC);
        put_u32(image + 4, CACHE_SLOTS);
        put_u32(image + 8, TILE_BYTES);
    }
    memset(image + CACHE_FILE_HEADER, 0, CACHE_SLOTS * 8);
    for (size_t i = CACHE_FILE_HEADER + 4; i + 10 <= size; i += 10) {
        uint32_t slot = get_u16(data + i) % CACHE_SLOTS;
        memcpy(image + CACHE_FILE_HEADER + 8 * slot, data + i + 2, 8);
    }
    // Mostly whole files; sometimes cut anywhere.
    return (cut & 1) ? (size_t)(cut >> 2) % CACHE_FILE_BYTES : (size_t)CACHE_FILE_BYTES;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int ok = ready();
    if (!ok) return 0;
    cache_load_buffer(&g_tiles, data, size);
    check_keys();
    if (size < CACHE_FILE_HEADER + 4) return 0;
    cache_load_buffer(&g_tiles, image, build_image(data, size));
    check_keys();
    uint8_t tile[TILE_BYTES] = {0};
    cache_insert(&g_tiles, get_u64(data) | 1, tile);   // the loaded cache still takes new tiles
    check_keys();
    return 0;
}
