// codec2: packing and unpacking of the zstd forms and the palette form, and the per-tile chooser
// that tries at most two zstd calls per tile (its CPU budget) and keeps the smallest result.
// Level 3 where inputs are small or sparse (palette, delta), level 1 for photo residuals.
#define ZSTD_STATIC_LINKING_ONLY   // ZSTD_c_format / ZSTD_d_format: frames without the magic number
#include "protocol/codec2.h"
#include <string.h>
#include <zstd.h>
#include "protocol/codec.h"
#include "protocol/codec2_palette.h"

#define PIXELS 4096
#define TILE 16384
#define FLAG_NO_FOURTH 1            // form 2 and 3 flags: the fourth-byte plane is left out
#define PALETTE_BLOCK_MAX (256 * 4 + PIXELS)
#define SPARSE_WORDS 1536           // a delta with at most this many non-zero 8-byte words is worth a try
#define LEVEL_PHOTO 1               // zstd level of the gradient form (large inputs, little to find)
#define LEVEL_TEXT 3                // zstd level of the delta and palette forms (runs and glyph patterns)

static int codec2_enc_ready(Codec2Enc *e) {
    if (e->cctx) return 1;
    e->cctx = ZSTD_createCCtx();
    if (!e->cctx) return 0;
    ZSTD_CCtx_setParameter(e->cctx, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(e->cctx, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(e->cctx, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(e->cctx, ZSTD_c_dictIDFlag, 0);
    return 1;
}

static int codec2_dec_ready(Codec2Dec *d) {
    if (d->dctx) return 1;
    d->dctx = ZSTD_createDCtx();
    if (!d->dctx) return 0;
    ZSTD_DCtx_setParameter(d->dctx, ZSTD_d_format, ZSTD_f_zstd1_magicless);
    return 1;
}

void codec2_enc_free(Codec2Enc *e) {
    ZSTD_freeCCtx(e->cctx);
    e->cctx = nullptr;
}

void codec2_dec_free(Codec2Dec *d) {
    ZSTD_freeDCtx(d->dctx);
    ZSTD_freeDCtx(d->stream);
    d->dctx = d->stream = nullptr;
}

// zstd frame of src behind `head` bytes already in dst; total length or -1.
static int codec2_zstd(Codec2Enc *e, int level, const uint8_t *src, size_t n, uint8_t *dst, size_t head,
                       size_t dst_cap) {
    if (!codec2_enc_ready(e) || dst_cap <= head) return -1;
    ZSTD_CCtx_setParameter(e->cctx, ZSTD_c_compressionLevel, level);
    size_t r = ZSTD_compress2(e->cctx, dst + head, dst_cap - head, src, n);
    if (ZSTD_isError(r)) return -1;
    e->tries++;
    return (int)(head + r);
}

// 1 when every fourth byte of the pixels equals v.
static int codec2_fourth_is(const uint8_t *px, int pixels, uint8_t v) {
    const uint64_t mask = 0xff000000ff000000ull, want = mask & (0x0101010101010101ull * v);
    uint64_t off = 0;   // two pixels at a time, all pairs before one test
    int k = 0;
    for (; k + 2 <= pixels; k += 2) {
        uint64_t w;
        memcpy(&w, px + 4 * k, 8);
        off |= (w & mask) ^ want;
    }
    return !off && (k == pixels || px[4 * k + 3] == v);
}

static int codec2_pack_zdelta(Codec2Enc *e, const uint8_t *delta, uint8_t *dst, size_t cap) {
    int planes = codec2_fourth_is(delta, PIXELS, 0) ? 3 : 4;
    codec2_split_planes(delta, PIXELS, e->planes, planes);
    dst[0] = planes == 3 ? FLAG_NO_FOURTH : 0;
    return codec2_zstd(e, LEVEL_TEXT, e->planes, (size_t)planes * PIXELS, dst, 1, cap);
}

// The gradient form of w x h pixels (rows of w).
static int codec2_pack_gradient(Codec2Enc *e, const uint8_t *px, int w, int h, uint8_t *dst, size_t cap) {
    uint8_t split[TILE];
    int pixels = w * h, planes = codec2_fourth_is(px, pixels, px[3]) ? 3 : 4;
    codec2_split_planes(px, pixels, split, planes);
    for (int c = 0; c < planes; c++) codec2_gradient_forward(split + c * pixels, w, h, e->planes + c * pixels);
    dst[0] = planes == 3 ? FLAG_NO_FOURTH : 0;
    if (planes == 3) dst[1] = px[3];
    return codec2_zstd(e, LEVEL_PHOTO, e->planes, (size_t)planes * pixels, dst, planes == 3 ? 2 : 1, cap);
}

// block: the packed palette block of n colours for w x h pixels (codec2_palette_pack).
static int codec2_pack_palette(Codec2Enc *e, const uint8_t *block, int n, int w, int h, uint8_t *dst, size_t cap) {
    dst[0] = (uint8_t)(n - 1);
    return codec2_zstd(e, LEVEL_TEXT, block, codec2_palette_block_bytes(n, w, h), dst, 1, cap);
}

// The rectangle of a tile holding every non-zero delta byte; its area in pixels (0: none).
struct Codec2Rect {
    int x, y, w, h;
};

static inline uint32_t codec2_px(const uint8_t *delta, int y, int x) {
    uint32_t v;
    memcpy(&v, delta + (y * 64 + x) * 4, 4);
    return v;
}

// Each row is searched from both ends, so a tile that changed everywhere costs two pixels a row.
static int codec2_changed_rect(const uint8_t *delta, Codec2Rect *r) {
    int x0 = 64, y0 = 64, x1 = -1, y1 = -1;
    for (int y = 0; y < 64; y++) {
        int a = 0, b = 63;
        while (a < 64 && !codec2_px(delta, y, a)) a++;
        if (a == 64) continue;
        while (!codec2_px(delta, y, b)) b--;
        if (a < x0) x0 = a;
        if (b > x1) x1 = b;
        if (y < y0) y0 = y;
        y1 = y;
    }
    if (x1 < 0) return 0;
    *r = {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
    return r->w * r->h;
}

static void codec2_gather(const uint8_t *tile, const Codec2Rect *r, uint8_t *px) {
    for (int y = 0; y < r->h; y++) memcpy(px + y * r->w * 4, tile + ((r->y + y) * 64 + r->x) * 4, (size_t)r->w * 4);
}

// The crop form: the rectangle's position and size, the inner form, then its data over the rectangle.
// inner is TILE_FORM_PALETTE or TILE_FORM_GRADIENT; -1 when the palette does not apply.
static int codec2_pack_crop(Codec2Enc *e, const uint8_t *tile, const Codec2Rect *r, uint8_t inner, uint8_t *dst,
                            size_t cap) {
    uint8_t px[TILE], block[PALETTE_BLOCK_MAX];
    codec2_gather(tile, r, px);
    dst[0] = (uint8_t)r->x;
    dst[1] = (uint8_t)r->y;
    dst[2] = (uint8_t)(r->w - 1);
    dst[3] = (uint8_t)(r->h - 1);
    dst[4] = inner;
    int n = 0;
    if (inner == TILE_FORM_GRADIENT) {
        n = codec2_pack_gradient(e, px, r->w, r->h, dst + 5, cap - 5);
    } else {
        int colours = codec2_palette_pack(px, r->w, r->h, block);
        if (colours < 0) return -1;
        n = codec2_pack_palette(e, block, colours, r->w, r->h, dst + 5, cap - 5);
    }
    return n < 0 ? -1 : 5 + n;
}

int codec2_encode_form(Codec2Enc *e, uint8_t form, const uint8_t *tile, const uint8_t *delta, uint8_t *dst,
                       size_t dst_cap) {
    if (dst_cap < 8) return -1;
    switch (form) {
    case TILE_FORM_LZ4_DELTA:
        return dst_cap < codec_bound(TILE) ? -1 : codec_compress(delta, TILE, dst, dst_cap);
    case TILE_FORM_RAW:
        if (dst_cap < TILE) return -1;
        memcpy(dst, tile, TILE);
        return TILE;
    case TILE_FORM_ZDELTA: return codec2_pack_zdelta(e, delta, dst, dst_cap);
    case TILE_FORM_GRADIENT: return codec2_pack_gradient(e, tile, 64, 64, dst, dst_cap);
    case TILE_FORM_PALETTE: {
        uint8_t block[PALETTE_BLOCK_MAX];
        int n = codec2_palette_pack(tile, 64, 64, block);
        return n < 0 ? -1 : codec2_pack_palette(e, block, n, 64, 64, dst, dst_cap);
    }
    case TILE_FORM_CROP: {   // palette when it applies, else gradient
        Codec2Rect r;
        if (!codec2_changed_rect(delta, &r)) r = {0, 0, 1, 1};
        int n = codec2_pack_crop(e, tile, &r, TILE_FORM_PALETTE, dst, dst_cap);
        return n >= 0 ? n : codec2_pack_crop(e, tile, &r, TILE_FORM_GRADIENT, dst, dst_cap);
    }
    default: return -1;
    }
}

static int codec2_sparse(const uint8_t *delta) {
    int nonzero = 0;
    for (int k = 0; k < TILE; k += 8) {
        uint64_t w;
        memcpy(&w, delta + k, 8);
        nonzero += w != 0;
    }
    return nonzero <= SPARSE_WORDS;
}

// Keeps a candidate in dst when it beats the best so far (the candidate was written to e->out).
static void codec2_keep(Codec2Enc *e, int n, uint8_t form, uint8_t *dst, int *best, uint8_t *best_form) {
    if (n < 1 || n >= *best) return;
    memcpy(dst, e->out, (size_t)n);
    *best = n;
    *best_form = form;
}

// A change that covers at most half the tile: the changed rectangle alone (palette, else
// gradient), and the zstd delta.
static void codec2_choose_small(Codec2Enc *e, const uint8_t *tile, const uint8_t *delta, const Codec2Rect *r,
                                uint8_t *dst, int *best, uint8_t *best_form) {
    int n = codec2_pack_crop(e, tile, r, TILE_FORM_PALETTE, e->out, sizeof e->out);
    if (n < 0) n = codec2_pack_crop(e, tile, r, TILE_FORM_GRADIENT, e->out, sizeof e->out);
    codec2_keep(e, n, TILE_FORM_CROP, dst, best, best_form);
    codec2_keep(e, codec2_pack_zdelta(e, delta, e->out, sizeof e->out), TILE_FORM_ZDELTA, dst, best, best_form);
}

// A tile of 17 to 256 colours whose palette form came out under this many bytes keeps it without
// the gradient form's zstd call, the dearest of the chooser's: on a full change that call made the
// second codec twice as slow as version-1 tiles for 0.5 % fewer bytes.
#define CODEC2_GRADIENT_SKIP 4096

int codec2_encode_tile(Codec2Enc *e, const uint8_t *tile, const uint8_t *delta, uint8_t *dst, uint8_t *form) {
    uint8_t block[PALETTE_BLOCK_MAX];
    int best = TILE;
    uint8_t best_form = TILE_FORM_RAW;
    e->tries = 0;
    Codec2Rect r;
    int area = codec2_changed_rect(delta, &r);
    if (area > 0 && area <= PIXELS / 2) {
        codec2_choose_small(e, tile, delta, &r, dst, &best, &best_form);
    } else {
        int sparse = codec2_sparse(delta);
        int n = codec2_palette_pack(tile, 64, 64, block);   // -1 for a tile of many colours (photos)
        if (n > 0)
            codec2_keep(e, codec2_pack_palette(e, block, n, 64, 64, e->out, sizeof e->out), TILE_FORM_PALETTE, dst,
                        &best, &best_form);
        if (sparse && (n < 0 || n > 16 || e->tries < 2))
            codec2_keep(e, codec2_pack_zdelta(e, delta, e->out, sizeof e->out), TILE_FORM_ZDELTA, dst, &best,
                        &best_form);
        if (n < 0 || (n > 16 && !sparse && best > CODEC2_GRADIENT_SKIP))
            codec2_keep(e, codec2_pack_gradient(e, tile, 64, 64, e->out, sizeof e->out), TILE_FORM_GRADIENT, dst,
                        &best, &best_form);
    }
    if (best_form == TILE_FORM_RAW) memcpy(dst, tile, TILE);
    *form = best_form;
    return best;
}

// ---- decoding ----

// Decompresses a zstd frame into d->planes; 1 when it gives exactly `expect` bytes. Inside a
// stream piece the bytes stand there as they are.
static int codec2_unzstd(Codec2Dec *d, const uint8_t *src, size_t n, size_t expect) {
    if (d->unpacked) {
        if (n != expect || n > sizeof d->planes) return 0;
        memcpy(d->planes, src, n);
        return 1;
    }
    if (!codec2_dec_ready(d)) return 0;
    size_t r = ZSTD_decompressDCtx(d->dctx, d->planes, expect, src, n);
    return !ZSTD_isError(r) && r == expect;
}

// Forms 2 and 3 over w x h pixels (form 2 only for the whole tile) into px.
static int codec2_unpack_planes(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, int w, int h, uint8_t *px) {
    if (n < 1 || (data[0] & ~FLAG_NO_FOURTH)) return 0;
    int planes = (data[0] & FLAG_NO_FOURTH) ? 3 : 4, pixels = w * h;
    size_t head = 1;
    uint8_t fourth = 0;
    if (form == TILE_FORM_GRADIENT && planes == 3) {
        if (n < 2) return 0;
        fourth = data[1];
        head = 2;
    }
    if (!codec2_unzstd(d, data + head, n - head, (size_t)planes * pixels)) return 0;
    if (form == TILE_FORM_GRADIENT) {
        uint8_t plane[PIXELS];
        for (int c = 0; c < planes; c++) {
            codec2_gradient_inverse(d->planes + c * pixels, w, h, plane);
            memcpy(d->planes + c * pixels, plane, (size_t)pixels);
        }
    }
    codec2_join_planes(d->planes, pixels, planes, fourth, px);
    return 1;
}

static int codec2_unpack_palette(Codec2Dec *d, const uint8_t *data, size_t n, int w, int h, uint8_t *px) {
    if (n < 1) return 0;
    int colours = data[0] + 1;
    return codec2_unzstd(d, data + 1, n - 1, codec2_palette_block_bytes(colours, w, h)) &&
           codec2_palette_unpack(d->planes, colours, w, h, px);
}

// Form 5: the rectangle's pixels decoded into d->out (rows of w), for codec2_apply_tile to place.
static int codec2_unpack_crop(Codec2Dec *d, const uint8_t *data, size_t n, Codec2Rect *r) {
    if (n < 5) return 0;
    *r = {data[0], data[1], data[2] + 1, data[3] + 1};
    if (r->x + r->w > 64 || r->y + r->h > 64) return 0;
    if (data[4] == TILE_FORM_GRADIENT) return codec2_unpack_planes(d, data[4], data + 5, n - 5, r->w, r->h, d->out);
    if (data[4] == TILE_FORM_PALETTE) return codec2_unpack_palette(d, data + 5, n - 5, r->w, r->h, d->out);
    return 0;
}

int codec2_decode_tile(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, uint8_t *out, int *is_delta) {
    *is_delta = form == TILE_FORM_LZ4_DELTA || form == TILE_FORM_ZDELTA;
    switch (form) {
    case TILE_FORM_LZ4_DELTA: return codec_decompress(data, n, out, TILE) == TILE;
    case TILE_FORM_RAW:
        if (n < TILE) return 0;
        memcpy(out, data, TILE);
        return 1;
    case TILE_FORM_ZDELTA:
    case TILE_FORM_GRADIENT: return codec2_unpack_planes(d, form, data, n, 64, 64, out);
    case TILE_FORM_PALETTE: return codec2_unpack_palette(d, data, n, 64, 64, out);
    default: return 0;
    }
}

int codec2_frame_layout(uint8_t form, const uint8_t *data, size_t n, int w, int h, size_t *head, size_t *expect) {
    if (n < 1) return 0;
    int planes = (data[0] & FLAG_NO_FOURTH) ? 3 : 4;
    switch (form) {
    case TILE_FORM_ZDELTA:
        if (data[0] & ~FLAG_NO_FOURTH) return 0;
        *head = 1;
        *expect = (size_t)planes * PIXELS;
        return 1;
    case TILE_FORM_GRADIENT:
        if (data[0] & ~FLAG_NO_FOURTH) return 0;
        *head = planes == 3 ? 2 : 1;
        *expect = (size_t)planes * (size_t)(w * h);
        return n >= *head;
    case TILE_FORM_PALETTE:
        *head = 1;
        *expect = codec2_palette_block_bytes(data[0] + 1, w, h);
        return 1;
    case TILE_FORM_CROP: {
        if (n < 5 || data[0] + data[2] + 1 > 64 || data[1] + data[3] + 1 > 64) return 0;
        if (data[4] != TILE_FORM_GRADIENT && data[4] != TILE_FORM_PALETTE) return 0;
        if (!codec2_frame_layout(data[4], data + 5, n - 5, data[2] + 1, data[3] + 1, head, expect)) return 0;
        *head += 5;
        return 1;
    }
    default: return 0;
    }
}

int codec2_apply_tile(Codec2Dec *d, uint8_t form, const uint8_t *data, size_t n, uint8_t *tile) {
    if (form == TILE_FORM_STREAM) return !d->unpacked && codec2_stream_apply(d, data, n, tile);
    if (form == TILE_FORM_CROP) {
        Codec2Rect r;
        if (!codec2_unpack_crop(d, data, n, &r)) return 0;
        for (int y = 0; y < r.h; y++)
            memcpy(tile + ((r.y + y) * 64 + r.x) * 4, d->out + y * r.w * 4, (size_t)r.w * 4);
        return 1;
    }
    int is_delta = 0;
    if (!codec2_decode_tile(d, form, data, n, d->out, &is_delta)) return 0;
    if (!is_delta) {
        memcpy(tile, d->out, TILE);
        return 1;
    }
    for (int k = 0; k < TILE; k += 8) {
        uint64_t a, b;
        memcpy(&a, tile + k, 8);
        memcpy(&b, d->out + k, 8);
        a ^= b;
        memcpy(tile + k, &a, 8);
    }
    return 1;
}
