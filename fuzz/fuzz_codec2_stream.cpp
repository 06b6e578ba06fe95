// Fuzz target for the second codec's stream form (fuzz_codec2.h): the input cut into pieces fed to
// a fresh stream decoder in order (each rejected with the tile untouched, or applied), and a
// session of small changes made from the input through the host's stream and back.
#include "fuzz/fuzz_codec2.h"

static Codec2Stream g_fz_stream;

// Pieces: the first byte of each says how many bytes follow in it (at least one).
static void fuzz_stream_decode(const uint8_t *data, size_t size) {
    codec2_dec_stream_reset(&g_fz_dec);
    for (size_t at = 0; at < size;) {
        size_t n = (size_t)data[at] + 1;
        at++;
        if (n > size - at) n = size - at;
        fuzz_codec2_decode(TILE_FORM_STREAM, data + at, n);
        at += n;
    }
}

// Each 8 input bytes make one change of the tile: a rectangle (4 bytes) filled with two colours in
// a pattern the other 4 bytes pick; every change goes through the stream and must come back exact.
static void fuzz_stream_session(const uint8_t *data, size_t size) {
    codec2_stream_reset(&g_fz_stream);
    codec2_dec_stream_reset(&g_fz_dec);
    for (int k = 0; k < TILE_BYTES; k++) g_fz_new[k] = g_fz_tile[k] = (uint8_t)(k * 31);
    for (size_t at = 0; at + 8 <= size; at += 8) {
        const uint8_t *c = data + at;
        int x0 = c[0] % 64, y0 = c[1] % 64, x1 = x0 + c[2] % (64 - x0), y1 = y0 + c[3] % (64 - y0);
        memcpy(g_fz_before, g_fz_new, TILE_BYTES);
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++) {
                uint32_t v = ((c[4 + (y & 3)] >> (x & 7)) & 1) ? 0xFFCCCCCCu : 0xFF000000u | c[5] * 0x10101u;
                memcpy(g_fz_new + (y * 64 + x) * 4, &v, 4);
            }
        for (int k = 0; k < TILE_BYTES; k++) g_fz_delta[k] = g_fz_new[k] ^ g_fz_before[k];
        uint8_t form;
        int n = codec2_encode_tile(&g_fz_enc, g_fz_new, g_fz_delta, g_fz_data, &form);
        n = codec2_stream_tile(&g_fz_stream, g_fz_data, n, &form);
        if (!codec2_apply_tile(&g_fz_dec, form, g_fz_data, (size_t)n, g_fz_tile)) abort();
        if (memcmp(g_fz_tile, g_fz_new, TILE_BYTES)) abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_stream_decode(data, size);
    fuzz_stream_session(data, size);
    return fuzz_codec2_one(TILE_FORM_STREAM, data, size);   // the whole input as one piece, stream as left
}
