// codec2: the second tile codec, used only when both hellos carry caps bit 3. A tile goes in one
// of several forms, named by the byte that is the raw flag in version-1 tiles: the version-1 LZ4
// delta (0) and raw pixels (1) keep their meaning; zstd of the delta's byte planes (2), zstd of
// the tile's gradient-predicted planes (3), a palette of the tile's colours (4), and either of
// the last two for only the changed rectangle of the tile (5) are new; and any of 2 to 5 as a piece
// of one zstd stream kept for the whole session on both sides (6, codec2_stream.cpp), so content
// sent before (a glyph, a row of text) costs a few bytes.
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
#define TILE_FORM_STREAM 6              // a piece of the session's zstd stream: a form of 2..5, unpacked
#define CODEC2_DATA_CAP 16640           // destination capacity codec2_encode_tile demands
#define CODEC2_BODY_MAX 16400           // largest unpacked form a stream piece may carry (form byte included)
#define CODEC2_STREAM_WINDOW_LOG 21     // the host's stream window: 2 MiB
#define CODEC2_STREAM_WINDOW_LOG_MAX 22 // the largest window a viewer accepts: 4 MiB
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
    ZSTD_DCtx_s *stream;                // the session's stream (form 6), from codec2_dec_stream_reset on
    int unpacked;                       // 1 while a stream piece's content is applied: no zstd frames in it
    uint8_t body[CODEC2_BODY_MAX];      // a stream piece's content
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
// become the new tile. 0 (tile untouched) when the data is malformed or the form unknown. After a
// 0 for TILE_FORM_STREAM the stream is out of step with the host's: the session must end.
int codec2_apply_tile(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, uint8_t *tile);

// ---- the stream form (codec2_stream.cpp) ----

// The host's end of the session stream: one per connection, used by one thread at a time, in the
// order the tiles go on the wire (after the per-tile choice, which needs no shared state).
struct Codec2Stream {
    ZSTD_CCtx_s *cctx;                  // the stream: one zstd frame for the whole session
    ZSTD_DCtx_s *dctx;                  // unpacks the chosen form's zstd frame
    int broken;                         // a compression failed half-way: no stream pieces this session
    uint64_t pieces;                    // pieces sent this session (for benchmarks)
    uint8_t body[CODEC2_BODY_MAX];      // the chosen form, unpacked
    uint8_t piece[16384];               // its piece of the stream, until it is known whole
};

// A new session on both ends: the next piece starts a new stream (host), the decoder forgets its
// stream (viewer). Called before the first tile of every session.
void codec2_stream_reset(Codec2Stream *s);
void codec2_dec_stream_reset(Codec2Dec *d);
// Turns the data of a tile that codec2_encode_tile chose (form *form, n bytes in data, room for
// 16384) into a piece of the session stream when our host sends that form so (the crop form): data
// is rewritten, *form becomes TILE_FORM_STREAM. Returns the data length (under 16384 for
// a piece; the same n when the form stays). The piece must then be sent, in this order.
int codec2_stream_tile(Codec2Stream *s, uint8_t *data, int n, uint8_t *form);
void codec2_stream_free(Codec2Stream *s);
// The data of form 2..5 that codec2_encode_tile made, unpacked behind its form byte into s->body:
// the length (form byte included), or 0 when it cannot be (a broken stream, malformed data).
size_t codec2_stream_unpack_form(Codec2Stream *s, const uint8_t *data, size_t n, uint8_t form);
// The k parts, one after another, as the next piece of the stream, at dst (cap bytes). Its length,
// or -1 when compression failed (the stream is then broken for the session).
long codec2_stream_put(Codec2Stream *s, const uint8_t *const *parts, const size_t *lens, int k, uint8_t *dst,
                       size_t cap);
// The viewer's end: a piece through the session stream into dst: the content length, or 0 when
// the piece is malformed or its content does not stay under cap bytes.
size_t codec2_dec_stream_read(Codec2Dec *d, const uint8_t *data, size_t n, uint8_t *dst, size_t cap);
// The stream form's part of codec2_apply_tile.
int codec2_stream_apply(Codec2Dec *d, const uint8_t *data, size_t n, uint8_t *tile);
// Where the zstd frame of a form's data (2 to 5, over a w x h block for 3 and 4) begins (*head)
// and how many bytes it decompresses to (*expect). 0 when the bytes before the frame are malformed.
int codec2_frame_layout(uint8_t form, const uint8_t *data, size_t n, int w, int h, size_t *head, size_t *expect);

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
