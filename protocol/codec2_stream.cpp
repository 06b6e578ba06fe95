// codec2_stream: the stream form. The host feeds every tile it chose to send as a crop (a change
// of part of a tile: a typed glyph, a scrolled-in line), unpacked, into one zstd stream kept for
// the session and flushed per tile; the viewer decodes the pieces in the order they arrive with
// its own stream. Content sent before within the window (2 MiB) then costs a few bytes. Whole-tile
// forms keep their own frames: the history gains them little, and they stay free of shared state.
#define ZSTD_STATIC_LINKING_ONLY   // ZSTD_c_format / ZSTD_d_format: frames without the magic number
#include <string.h>
#include <zstd.h>
#include "protocol/codec2.h"

#define TILE 16384
#define STREAM_LEVEL 3
#define STREAM_BODY_LIMIT 16000   // a piece of at most this much content stays under 16384 bytes

static int codec2_stream_ready(Codec2Stream *s) {
    if (!s->dctx) s->dctx = ZSTD_createDCtx();
    if (!s->dctx) return 0;
    ZSTD_DCtx_setParameter(s->dctx, ZSTD_d_format, ZSTD_f_zstd1_magicless);
    if (s->cctx) return 1;
    s->cctx = ZSTD_createCCtx();
    if (!s->cctx) return 0;
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_dictIDFlag, 0);
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_windowLog, CODEC2_STREAM_WINDOW_LOG);
    ZSTD_CCtx_setParameter(s->cctx, ZSTD_c_compressionLevel, STREAM_LEVEL);
    return 1;
}

void codec2_stream_reset(Codec2Stream *s) {
    if (s->cctx) ZSTD_CCtx_reset(s->cctx, ZSTD_reset_session_only);
    s->broken = 0;
    s->pieces = 0;
}

void codec2_stream_free(Codec2Stream *s) {
    ZSTD_freeCCtx(s->cctx);
    ZSTD_freeDCtx(s->dctx);
    s->cctx = nullptr;
    s->dctx = nullptr;
}

// The form's data with its zstd frame unpacked, behind the form byte, into s->body; its length or 0.
static size_t codec2_stream_body(Codec2Stream *s, const uint8_t *data, size_t n, uint8_t form) {
    size_t head, expect;
    if (!codec2_frame_layout(form, data, n, 64, 64, &head, &expect) || 1 + head + expect > STREAM_BODY_LIMIT)
        return 0;
    s->body[0] = form;
    memcpy(s->body + 1, data, head);
    size_t r = ZSTD_decompressDCtx(s->dctx, s->body + 1 + head, expect, data + head, n - head);
    return !ZSTD_isError(r) && r == expect ? 1 + head + expect : 0;
}

size_t codec2_stream_unpack_form(Codec2Stream *s, const uint8_t *data, size_t n, uint8_t form) {
    if (s->broken || form < TILE_FORM_ZDELTA || form > TILE_FORM_CROP || !codec2_stream_ready(s)) return 0;
    return codec2_stream_body(s, data, n, form);
}

long codec2_stream_put(Codec2Stream *s, const uint8_t *const *parts, const size_t *lens, int k, uint8_t *dst,
                       size_t cap) {
    if (s->broken || !codec2_stream_ready(s)) return -1;
    ZSTD_outBuffer out = {dst, cap, 0};
    for (int i = 0; i < k; i++) {
        ZSTD_inBuffer in = {parts[i], lens[i], 0};
        size_t left = ZSTD_compressStream2(s->cctx, &out, &in, i == k - 1 ? ZSTD_e_flush : ZSTD_e_continue);
        if (ZSTD_isError(left) || in.pos != in.size || (i == k - 1 && left != 0)) {
            s->broken = 1;
            return -1;
        }
    }
    s->pieces++;
    return (long)out.pos;
}

int codec2_stream_tile(Codec2Stream *s, uint8_t *data, int n, uint8_t *form) {
    if (s->broken || n < 1 || n >= TILE) return n;
    if (*form != TILE_FORM_CROP) return n;   // the decoder takes forms 2 to 5; crops are what repeat
    if (!codec2_stream_ready(s)) return n;
    size_t body = codec2_stream_body(s, data, (size_t)n, *form);
    if (!body) return n;
    ZSTD_inBuffer in = {s->body, body, 0};
    ZSTD_outBuffer out = {s->piece, TILE - 1, 0};
    size_t left = ZSTD_compressStream2(s->cctx, &out, &in, ZSTD_e_flush);
    if (ZSTD_isError(left) || left != 0 || in.pos != in.size) {
        s->broken = 1;   // the stream holds what the viewer will never see: it is not used again
        return n;
    }
    memcpy(data, s->piece, out.pos);
    *form = TILE_FORM_STREAM;
    s->pieces++;
    return (int)out.pos;
}

// ---- the viewer's end ----

static int codec2_dec_stream_ready(Codec2Dec *d) {
    if (d->stream) return 1;
    d->stream = ZSTD_createDCtx();
    if (!d->stream) return 0;
    ZSTD_DCtx_setParameter(d->stream, ZSTD_d_format, ZSTD_f_zstd1_magicless);
    ZSTD_DCtx_setParameter(d->stream, ZSTD_d_windowLogMax, CODEC2_STREAM_WINDOW_LOG_MAX);
    return 1;
}

void codec2_dec_stream_reset(Codec2Dec *d) {
    if (d->stream) ZSTD_DCtx_reset(d->stream, ZSTD_reset_session_only);
}

size_t codec2_dec_stream_read(Codec2Dec *d, const uint8_t *data, size_t n, uint8_t *dst, size_t cap) {
    if (n < 1 || !codec2_dec_stream_ready(d)) return 0;
    ZSTD_inBuffer in = {data, n, 0};
    ZSTD_outBuffer out = {dst, cap, 0};
    while (in.pos < in.size) {
        size_t was_in = in.pos, was_out = out.pos;
        if (ZSTD_isError(ZSTD_decompressStream(d->stream, &out, &in))) return 0;
        if (in.pos == was_in && out.pos == was_out) return 0;
    }
    return out.pos < out.size ? out.pos : 0;
}

int codec2_stream_apply(Codec2Dec *d, const uint8_t *data, size_t n, uint8_t *tile) {
    size_t len = codec2_dec_stream_read(d, data, n, d->body, sizeof d->body);
    if (len < 2 || d->body[0] < TILE_FORM_ZDELTA || d->body[0] > TILE_FORM_CROP) return 0;
    d->unpacked = 1;
    int ok = codec2_apply_tile(d, d->body[0], d->body + 1, len - 1, tile);
    d->unpacked = 0;
    return ok;
}
