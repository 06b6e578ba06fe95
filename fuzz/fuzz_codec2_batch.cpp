// Fuzz target for MSG_TILE_BATCH content (protocol/codec2_batch): the input as a piece and as a
// content put through the host's stream, walked and applied to a tile (rejected or applied, never
// read past); and a batch made from the input by the host's builder must come back exact.
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "protocol/codec2.h"
#include "protocol/codec2_batch.h"
#include "protocol/messages.h"

static Codec2Enc g_fz_enc;
static Codec2Dec g_fz_dec;
static uint8_t g_fz_tile[TILE_BYTES], g_fz_new[TILE_BYTES], g_fz_delta[TILE_BYTES];
static uint8_t g_fz_data[CODEC2_DATA_CAP];

static Codec2Stream g_fz_stream;
static Codec2Batch g_fz_batch;
static Codec2BatchDec g_fz_reader;
static uint8_t g_fz_piece[CODEC2_BATCH_MAX + 4096];

// Walks the entries of an opened batch, applying tiles to a scratch tile.
static void fuzz_batch_walk(void) {
    Codec2BatchEntry e;
    while (codec2_batch_next(&g_fz_reader, &e) == 1)
        if (e.kind != BATCH_KIND_REF) codec2_batch_apply(&g_fz_dec, &e, g_fz_tile);
}

static void fuzz_batch_decode(const uint8_t *data, size_t size) {
    uint32_t grid = size ? data[0] * 64u + 1 : 1;
    codec2_dec_stream_reset(&g_fz_dec);
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);   // exact size: reads past it are caught
    if (size) memcpy(copy, data, size);
    if (codec2_batch_open(&g_fz_reader, &g_fz_dec, copy, size, grid)) fuzz_batch_walk();
    free(copy);
    // The input as the content itself.
    if (size > CODEC2_BATCH_MAX) return;
    codec2_stream_reset(&g_fz_stream);
    codec2_dec_stream_reset(&g_fz_dec);
    const uint8_t *parts[1] = {data};
    size_t lens[1] = {size};
    long n = codec2_stream_put(&g_fz_stream, parts, lens, 1, g_fz_piece, sizeof g_fz_piece);
    if (n > 0 && codec2_batch_open(&g_fz_reader, &g_fz_dec, g_fz_piece, (size_t)n, grid)) fuzz_batch_walk();
}

// Each 8 input bytes: a change of one tile (as in the stream target) batched at a growing index,
// or (odd first byte) a reference. The batch must read back to the same tiles and frame end, and
// carry the check over them when an odd input length asks the builder for it, and a move when the
// length is a multiple of 3.
static void fuzz_batch_session(const uint8_t *data, size_t size) {
    codec2_stream_reset(&g_fz_stream);
    codec2_dec_stream_reset(&g_fz_dec);
    codec2_batch_reset(&g_fz_batch);
    codec2_batch_dec_reset(&g_fz_reader);
    static uint8_t want[16][TILE_BYTES];
    int tiles = 0;
    uint32_t index = 0;
    uint64_t check = CODEC2_CHECK_SEED;
    for (size_t at = 0; at + 8 <= size && tiles < 16; at += 8) {
        const uint8_t *c = data + at;
        index += 1 + c[7];
        if (c[0] & 1) {
            if (!codec2_batch_ref(&g_fz_batch, index, get_u64(c))) abort();
            continue;
        }
        int x0 = c[0] % 64, y0 = c[1] % 64, x1 = x0 + c[2] % (64 - x0), y1 = y0 + c[3] % (64 - y0);
        for (int k = 0; k < TILE_BYTES; k++) g_fz_new[k] = (uint8_t)(k * 31);
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++) {
                uint32_t v = ((c[4 + (y & 1)] >> (x & 7)) & 1) ? 0xFFCCCCCCu : 0xFF000000u | c[6] * 0x10101u;
                memcpy(g_fz_new + (y * 64 + x) * 4, &v, 4);
            }
        for (int k = 0; k < TILE_BYTES; k++) g_fz_delta[k] = g_fz_new[k] ^ (uint8_t)(k * 31);
        uint8_t form;
        int n = codec2_encode_tile(&g_fz_enc, g_fz_new, g_fz_delta, g_fz_data, &form);
        if (form < TILE_FORM_ZDELTA || form > TILE_FORM_CROP) continue;
        uint64_t h = tile_hash(g_fz_new);
        if (!codec2_batch_tile(&g_fz_batch, &g_fz_stream, index, form, g_fz_data, (size_t)n, h)) {
            if (form == TILE_FORM_CROP) abort();   // whole-tile forms may unpack past a stream piece's limit
            continue;
        }
        memcpy(want[tiles++], g_fz_new, TILE_BYTES);
        check = codec2_check_step(check, h);
    }
    if (!g_fz_batch.count) return;
    if (size & 1) g_fz_batch.unchecked = BATCH_CHECK_BATCHES;
    MoveRect mv = {data[0] * 7, data[1] * 5, data[2] * 3, data[3] * 11, data[4] + 1, data[5] + 1};
    int moves = size % 3 == 0;   // the batch carries a move, as a frame's move would go
    if (moves && !codec2_batch_move(&g_fz_batch, &mv)) abort();
    long n = codec2_batch_pack(&g_fz_batch, &g_fz_stream, 1, 7, 9, g_fz_piece);
    if (n <= HEADER_BYTES) abort();
    if (!codec2_batch_open(&g_fz_reader, &g_fz_dec, g_fz_piece + HEADER_BYTES, (size_t)n - HEADER_BYTES, index + 1))
        abort();
    Codec2BatchEntry e;
    int r, k = 0;
    while ((r = codec2_batch_next(&g_fz_reader, &e)) == 1) {
        if (e.kind == BATCH_KIND_REF) continue;
        for (int b = 0; b < TILE_BYTES; b++) g_fz_tile[b] = (uint8_t)(b * 31);
        if (!codec2_batch_apply(&g_fz_dec, &e, g_fz_tile) || memcmp(g_fz_tile, want[k++], TILE_BYTES)) abort();
    }
    if (r != 0 || k != tiles || g_fz_reader.frame != 7 || g_fz_reader.tick != 9) abort();
    if (g_fz_reader.moves_n != (uint32_t)moves || (moves && memcmp(&g_fz_reader.moves[0], &mv, sizeof mv))) abort();
    int checked = (g_fz_reader.flags & BATCH_HAS_CHECK) != 0;
    if (checked != ((size & 1) && tiles > 0) || (checked && g_fz_reader.check != check)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_batch_decode(data, size);
    fuzz_batch_session(data, size);
    return 0;
}
