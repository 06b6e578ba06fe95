// codec2: the second tile codec, used only when both hellos carry caps bit 3. A tile goes in one
// of several forms, named by the byte that is the raw flag in version-1 tiles: the version-1 LZ4
// delta (0) and raw pixels (1) keep their meaning; zstd of the delta's byte planes (2), zstd of
// the tile's gradient-predicted planes (3), a palette of the tile's colours (4), and either of
// the last two for only the changed rectangle of the tile (5) are new.
// The host picks per tile the smallest of the forms it tried; the layout is in docs/codec2.md.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define CODEC2_CAP 8                    // the caps bit (value) both hellos carry to use this codec
#define TILE_FORM_LZ4_DELTA 0           // version-1 compressed XOR delta
#define TILE_FORM_RAW 1                 // the 16384 tile bytes
#define TILE_FORM_ZDELTA 2              // flags, zstd frame of the delta's byte planes
#define TILE_FORM_GRADIENT 3            // flags[, fourth byte], zstd frame of predicted planes
#define TILE_FORM_PALETTE 4             // colour count - 1, zstd frame of palette and packed indices
#define TILE_FORM_CROP 5                // x, y, w - 1, h - 1, form 3 or 4 over that part of the tile
#define CODEC2_DATA_CAP 16640           // destination capacity codec2_encode_tile demands
#define CODEC2_PALETTE_MAX 256          // most colours a palette tile holds

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

// Encoder state: one per encoding thread; allocated on first use, kept for the process.
struct Codec2Enc {
    ZSTD_CCtx_s *cctx;                  // zstd compression context (format set once, level per form)
    int tries;                          // forms tried by the last call (for benchmarks)
    uint8_t planes[16384];              // transformed input of one zstd call
    uint8_t out[CODEC2_DATA_CAP];       // one candidate's output while another is kept
};

// Decoder state: one per decoding thread.
struct Codec2Dec {
    ZSTD_DCtx_s *dctx;                  // zstd decompression context
    uint8_t planes[16384];              // decompressed planes before the inverse transform
    uint8_t out[16384];                 // decoded data before it is applied (codec2_apply_tile)
};

// Encodes a changed tile: new pixels `tile`, `delta` = tile XOR what the viewer shows. Writes the
// form to *form and its data to dst (room for 16384 bytes); returns the data length. Falls back
// to the raw form (16384 bytes of tile), so it never fails.
int codec2_encode_tile(Codec2Enc *e, const uint8_t *tile, const uint8_t *delta, uint8_t *dst, uint8_t *form);

// One form alone (tests, vectors, benchmarks): data length, or -1 when the form does not apply
// (a palette for a tile of more than 256 colours) or its output would not fit dst_cap.
int codec2_encode_form(Codec2Enc *e, uint8_t form, const uint8_t *tile, const uint8_t *delta, uint8_t *dst,
                       size_t dst_cap);

// Decodes the data of a tile of any form into out (16384 bytes). *is_delta = 1 when out must be
// XOR-ed into the viewer's tile, 0 when it replaces it. 0 when the data is malformed or the form
// unknown (then the tile must be ignored), 1 on success.
int codec2_decode_tile(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, uint8_t *out, int *is_delta);

// Applies the data of a tile of any form to `tile`, the 16384 bytes the viewer shows there, which
// become the new tile. 0 (tile untouched) when the data is malformed or the form unknown.
int codec2_apply_tile(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, uint8_t *tile);

// Releases the zstd contexts (the records can be used again afterwards).
void codec2_enc_free(Codec2Enc *e);
void codec2_dec_free(Codec2Dec *d);

// Byte-plane transforms (codec2_planes.cpp): shared by encoder, decoder and tests.
// Split `pixels` pixels into planes B, G, R (and the fourth byte when planes_count == 4), each
// `pixels` bytes; join puts them back (fourth byte `fourth` when there are 3 planes).
void codec2_split_planes(const uint8_t *px, int pixels, uint8_t *planes, int planes_count);
void codec2_join_planes(const uint8_t *planes, int pixels, int planes_count, uint8_t fourth, uint8_t *px);
// Gradient prediction of one w x h plane: each byte becomes byte - prediction (mod 256), and back.
void codec2_gradient_forward(const uint8_t *plane, int w, int h, uint8_t *residual);
void codec2_gradient_inverse(const uint8_t *residual, int w, int h, uint8_t *plane);
