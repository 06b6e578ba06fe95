// vo_codec2_vectors: writes tests/vectors/codec2_vectors.txt from the second tile codec's own
// encoder (run: vo_codec2_vectors > tests/vectors/codec2_vectors.txt). docs/codec2.md explains it.
#define ZSTD_STATIC_LINKING_ONLY
#include <stdio.h>
#include <string.h>
#include <zstd.h>
#include "protocol/codec.h"
#include "protocol/codec2.h"
#include "protocol/codec2_batch.h"
#include "protocol/messages.h"
#include "tests/protocol/codec2_tiles.h"

static Codec2Enc g_enc;
static Codec2Dec g_dec;
static Codec2Stream g_stream;
static Codec2Batch g_batch;
static Codec2BatchDec g_reader;

static void hex(const uint8_t *p, size_t n) {
    if (!n) fputs("-", stdout);
    for (size_t i = 0; i < n; i++) printf("%02x", p[i]);
}

// The viewer's tile before every good case: byte k is (k * 31) mod 256.
static void before(uint8_t *t) {
    for (int k = 0; k < TILE_BYTES; k++) t[k] = (uint8_t)(k * 31);
}

// One good case: the form's data (encoded from tile and its delta against `before`) and the tile
// it leaves (as a version-1 stream of 16384 bytes).
static void good(const char *name, int form, const uint8_t *tile) {
    static uint8_t data[CODEC2_DATA_CAP], out[TILE_BYTES], delta[TILE_BYTES], packed[16464];
    before(out);
    c2t_xor(tile, out, delta);
    uint8_t f = (uint8_t)form;
    int n = form < 0 ? codec2_encode_tile(&g_enc, tile, delta, data, &f)
                     : codec2_encode_form(&g_enc, f, tile, delta, data, sizeof data);
    if (n < 0 || !codec2_apply_tile(&g_dec, f, data, (size_t)n, out) || memcmp(out, tile, TILE_BYTES)) {
        fprintf(stderr, "case %s failed\n", name);
        return;
    }
    int p = codec_compress(out, TILE_BYTES, packed, sizeof packed);
    printf("tile %s %d ", name, f);
    hex(packed, (size_t)p);
    putchar(' ');
    hex(data, (size_t)n);
    putchar('\n');
}

// One piece of a stream session: the chooser's crop of `tile` against `before`, through the
// session stream (started anew when `first`); the decoder's stream follows in the same order.
static void stream_piece(const char *session, int first, const uint8_t *tile) {
    static uint8_t data[CODEC2_DATA_CAP], out[TILE_BYTES], delta[TILE_BYTES], packed[16464];
    if (first) {
        codec2_stream_reset(&g_stream);
        codec2_dec_stream_reset(&g_dec);
    }
    before(out);
    c2t_xor(tile, out, delta);
    uint8_t f;
    int n = codec2_encode_tile(&g_enc, tile, delta, data, &f);
    n = codec2_stream_tile(&g_stream, data, n, &f);
    if (f != TILE_FORM_STREAM || !codec2_apply_tile(&g_dec, f, data, (size_t)n, out) || memcmp(out, tile, TILE_BYTES)) {
        fprintf(stderr, "stream %s failed\n", session);
        return;
    }
    int p = codec_compress(out, TILE_BYTES, packed, sizeof packed);
    printf("stream %s ", session);
    hex(packed, (size_t)p);
    putchar(' ');
    hex(data, (size_t)n);
    putchar('\n');
}

// A stream's first piece whose content is `body` (a form byte and that form's unpacked data).
static size_t stream_of(const uint8_t *body, size_t n, uint8_t *dst, size_t cap) {
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, CODEC2_STREAM_WINDOW_LOG);
    ZSTD_inBuffer in = {body, n, 0};
    ZSTD_outBuffer out = {dst, cap, 0};
    ZSTD_compressStream2(c, &out, &in, ZSTD_e_flush);
    ZSTD_freeCCtx(c);
    return out.pos;
}

static void bad(const char *name, int form, const uint8_t *data, size_t n) {
    printf("bad %s %d ", name, form);
    hex(data, n);
    putchar('\n');
}

// A palette block of 3 colours whose last index is 3: a magicless zstd frame built by hand.
static size_t palette_out_of_range(uint8_t *dst, size_t cap) {
    static uint8_t block[12 + 1024];
    memset(block, 0, sizeof block);
    for (int i = 0; i < 12; i++) block[i] = (uint8_t)(0x10 * i);
    block[sizeof block - 1] = 0x03;
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    dst[0] = 2;
    size_t r = ZSTD_compress2(c, dst + 1, cap - 1, block, sizeof block);
    ZSTD_freeCCtx(c);
    return 1 + r;
}

static uint64_t g_chain;   // the viewer's fold over the session's tiles since the last check

// Packs the batch (closing frame `frame` at `tick` when `closes`; `check` makes it carry the check,
// `tamper` spoils it) and prints it with what it leaves, read back through the viewer's end.
static void batch_out(const char *session, int closes, uint32_t frame, uint32_t tick, int check, int tamper,
                      uint32_t grid) {
    static uint8_t msg[65536], tile[TILE_BYTES], packed[16464];
    if (tamper) g_batch.check ^= 0x8000000000000000ull;
    if (check) g_batch.unchecked = BATCH_CHECK_BATCHES;
    long n = codec2_batch_pack(&g_batch, &g_stream, closes, frame, tick, msg);
    if (n <= HEADER_BYTES || !codec2_batch_open(&g_reader, &g_dec, msg + HEADER_BYTES, (size_t)n - HEADER_BYTES, grid)) {
        fprintf(stderr, "batch %s failed\n", session);
        return;
    }
    printf("batch %s ", session);
    hex(msg + HEADER_BYTES, (size_t)n - HEADER_BYTES);
    putchar('\n');
    for (uint32_t k = 0; k < g_reader.moves_n; k++) {
        const MoveRect *m = &g_reader.moves[k];
        printf("batch-move %s %d %d %d %d %d %d\n", session, m->src_x, m->src_y, m->dst_x, m->dst_y, m->width, m->height);
    }
    Codec2BatchEntry e;
    while (codec2_batch_next(&g_reader, &e) == 1) {
        if (e.kind == BATCH_KIND_REF) {
            printf("batch-ref %s %u %016llx\n", session, e.index, (unsigned long long)e.hash);
            continue;
        }
        before(tile);
        if (!codec2_batch_apply(&g_dec, &e, tile)) fprintf(stderr, "batch %s: a tile failed\n", session);
        g_chain = codec2_check_step(g_chain, tile_hash(tile));
        printf("batch-tile %s %u ", session, e.index);
        hex(packed, (size_t)codec_compress(tile, TILE_BYTES, packed, sizeof packed));
        putchar('\n');
    }
    uint8_t ack[8];
    put_u32(ack, g_reader.frame);
    put_u32(ack + 4, g_reader.tick);
    const char *verdict = "-";
    if (g_reader.flags & BATCH_HAS_CHECK) {
        verdict = g_chain == g_reader.check ? "ok" : "bad";
        g_chain = CODEC2_CHECK_SEED;
    }
    if ((g_reader.flags & BATCH_HAS_CHECK) != (check ? BATCH_HAS_CHECK : 0)) fprintf(stderr, "batch %s: check?\n", session);
    printf("batch-end %s %s ", session, verdict);
    hex(ack, closes ? 8 : 0);
    putchar('\n');
}

// A short session of batches on a 1920 x 1080 picture (30 x 17 tiles): glyphs typed and a reference
// to one of them in a batch without a check, a plain frame end, a glyph again with the check over
// all three, two moves and a glyph in a batch without a check, then a batch of one reference that does not close
// its frame and carries a spoilt check (the glyph before it leaves the cache).
static void batch_session(uint8_t glyph[3][TILE_BYTES]) {
    static uint8_t d[TILE_BYTES], data[3][CODEC2_DATA_CAP];
    int n[3];
    uint8_t f;
    for (int i = 0; i < 3; i++) {
        before(d);
        c2t_xor(glyph[i], d, d);
        n[i] = codec2_encode_tile(&g_enc, glyph[i], d, data[i], &f);
    }
    codec2_stream_reset(&g_stream);
    codec2_dec_stream_reset(&g_dec);
    codec2_batch_reset(&g_batch);
    codec2_batch_dec_reset(&g_reader);
    g_chain = CODEC2_CHECK_SEED;
    const uint32_t grid = 30 * 17;
    codec2_batch_tile(&g_batch, &g_stream, 40, TILE_FORM_CROP, data[0], (size_t)n[0], tile_hash(glyph[0]));
    codec2_batch_tile(&g_batch, &g_stream, 41, TILE_FORM_CROP, data[1], (size_t)n[1], tile_hash(glyph[1]));
    codec2_batch_ref(&g_batch, 100, tile_hash(glyph[0]));
    batch_out("typing", 1, 1, 1000, 0, 0, grid);
    printf("frame-end typing 2 1016\n");
    codec2_batch_note_end(&g_batch, 2, 1016);
    codec2_batch_dec_note_end(&g_reader, 2, 1016);
    codec2_batch_tile(&g_batch, &g_stream, 42, TILE_FORM_CROP, data[2], (size_t)n[2], tile_hash(glyph[2]));
    batch_out("typing", 1, 3, 1033, 1, 0, grid);
    const MoveRect up = {0, 80, 0, 64, 1920, 1000}, back = {100, 200, 36, 300, 50, 40};
    codec2_batch_move(&g_batch, &up);
    codec2_batch_move(&g_batch, &back);
    codec2_batch_tile(&g_batch, &g_stream, 43, TILE_FORM_CROP, data[1], (size_t)n[1], tile_hash(glyph[1]));
    batch_out("typing", 1, 4, 1050, 0, 0, grid);
    codec2_batch_ref(&g_batch, 509, tile_hash(glyph[1]));
    batch_out("typing", 0, 0, 0, 1, 1, grid);
}

int main(void) {
    static uint8_t text[TILE_BYTES], text2[TILE_BYTES], photo[TILE_BYTES], fill[TILE_BYTES], odd[TILE_BYTES];
    static uint8_t d[TILE_BYTES], data[CODEC2_DATA_CAP];
    printf("# Second tile codec vectors (docs/codec2.md), written by vo_codec2_vectors with zstd %s.\n",
           ZSTD_versionString());
    printf("#   tile <name> <form> <after> <data>: <data> of <form> applied to the viewer's tile, whose byte k\n");
    printf("#     is (k * 31) mod 256, leaves <after>: 16384 bytes written as a version-1 (LZ4 block) stream\n");
    printf("#   stream <session> <after> <data>: a piece of form 6; the pieces of one session, in file order,\n");
    printf("#     go through one stream started anew at the session's first line, each applied to the\n");
    printf("#     tile (k * 31) mod 256 and leaving <after>\n");
    printf("#   bad <name> <form> <data>: a decoder rejects it and leaves the tile alone (form 6: its stream\n");
    printf("#     started anew)\n");
    printf("#   batch <session> <payload>: a MSG_TILE_BATCH payload on a 1920 x 1080 picture (30 x 17 tiles); the\n");
    printf("#     batches of a session share one stream (with any form-6 pieces), started anew at its first line.\n");
    printf("#     Then its entries in order: batch-tile <session> <index> <after> (applied to the tile\n");
    printf("#     (k * 31) mod 256 it leaves <after>) and batch-ref <session> <index> <hash>, after the moves it\n");
    printf("#     carries, batch-move <session> <src_x> <src_y> <dst_x> <dst_y> <width> <height>; and\n");
    printf("#     batch-end <session> <ok|bad|-> <ack>: whether the check over the session's tiles since the\n");
    printf("#     last check holds (they stay cached) or not (they leave the cache), - for a batch without\n");
    printf("#     one, and the 8 bytes of the MSG_FRAME_ACK it asks for (- when it does not close its frame)\n");
    printf("#   frame-end <session> <frame> <tick>: a MSG_FRAME_END between batches\n");
    c2t_text(text, 1);
    memcpy(text2, text, sizeof text);
    for (int y = 16; y < 32; y++)   // one more letter typed: cell (2, 1) takes another glyph
        for (int x = 16; x < 24; x++) c2t_put(text2, x, y, ((x + y) & 3) ? 0xFFFFFFFFu : 0xFF202020u);
    c2t_photo(photo, 7);
    c2t_fill(fill, 0xFF336699u);
    c2t_photo(odd, 9);
    for (int k = 0; k < 4096; k++) odd[4 * k + 3] = (uint8_t)k;
    good("text-chosen", -1, text);
    good("text-palette", TILE_FORM_PALETTE, text);
    good("text-gradient", TILE_FORM_GRADIENT, text);
    good("photo-chosen", -1, photo);
    good("photo-gradient", TILE_FORM_GRADIENT, photo);
    good("photo-zdelta", TILE_FORM_ZDELTA, photo);
    good("fill-palette", TILE_FORM_PALETTE, fill);
    good("fourth-gradient", TILE_FORM_GRADIENT, odd);
    good("fourth-zdelta", TILE_FORM_ZDELTA, odd);
    good("text-lz4", TILE_FORM_LZ4_DELTA, text);
    // Typing: the viewer shows `text` but for one 8 x 16 cell; small changes go cropped.
    before(d);
    for (int y = 16; y < 32; y++) memcpy(d + (y * 64 + 16) * 4, text + (y * 64 + 16) * 4, 32);
    static uint8_t typed[TILE_BYTES];
    memcpy(typed, d, sizeof typed);
    for (int y = 16; y < 32; y++)
        for (int x = 16; x < 24; x++) c2t_put(typed, x, y, ((x + y) & 3) ? 0xFFFFFFFFu : 0xFF202020u);
    good("cell-chosen", -1, typed);
    good("cell-crop-palette", TILE_FORM_CROP, typed);
    for (int y = 40; y < 50; y++) memcpy(typed + (y * 64 + 3) * 4, photo + (y * 64 + 3) * 4, 30 * 4);
    good("cell-crop-mixed", TILE_FORM_CROP, typed);   // the rectangle now holds photo pixels too
    c2t_xor(text2, text, d);
    int n = codec2_encode_form(&g_enc, TILE_FORM_ZDELTA, text2, d, data, sizeof data);
    bad("truncated-zdelta", TILE_FORM_ZDELTA, data, (size_t)n - 1);
    data[0] |= 2;
    bad("zdelta-flags", TILE_FORM_ZDELTA, data, (size_t)n);
    n = codec2_encode_form(&g_enc, TILE_FORM_PALETTE, text, text, data, sizeof data);
    data[0] = (uint8_t)(data[0] + 1);
    bad("palette-count", TILE_FORM_PALETTE, data, (size_t)n);
    bad("palette-index", TILE_FORM_PALETTE, data, palette_out_of_range(data, sizeof data));
    n = codec2_encode_form(&g_enc, TILE_FORM_GRADIENT, photo, photo, data, sizeof data);
    bad("gradient-no-fourth-value", TILE_FORM_GRADIENT, data, 1);
    bad("empty", TILE_FORM_PALETTE, data, 0);
    bad("unknown-form", 7, data, (size_t)n);
    bad("raw-short", TILE_FORM_RAW, photo, TILE_BYTES - 1);
    c2t_xor(text2, text, d);
    n = codec2_encode_form(&g_enc, TILE_FORM_CROP, text2, d, data, sizeof data);
    data[0] = 60;   // x 60 + width 8 passes the tile edge
    bad("crop-outside", TILE_FORM_CROP, data, (size_t)n);
    data[0] = 16;
    data[4] = TILE_FORM_ZDELTA;
    bad("crop-inner-form", TILE_FORM_CROP, data, (size_t)n);
    bad("crop-short", TILE_FORM_CROP, data, 4);
    // Typing through the stream: glyphs in cells of one line; a glyph seen before costs less.
    static uint8_t glyph[3][TILE_BYTES];
    const int cells[3][2] = {{8, 16}, {24, 16}, {40, 32}};
    const uint32_t seeds[3] = {5, 6, 5};
    for (int i = 0; i < 3; i++) {
        before(glyph[i]);
        for (int y = 0; y < 16; y++)
            for (int x = 0; x < 8; x++)
                c2t_put(glyph[i], cells[i][0] + x, cells[i][1] + y,
                        (y >= 3 && y < 13 && (c2t_hash(seeds[i], (uint32_t)y) >> x & 1)) ? 0xFFCCCCCCu : 0xFF0C0C0Cu);
        stream_piece("typing", i == 0, glyph[i]);
    }
    batch_session(glyph);
    stream_piece("again", 1, glyph[2]);   // a new session: its first piece starts a new stream
    before(d);
    c2t_xor(glyph[0], d, d);   // the first glyph's change, as the first piece of a new stream
    uint8_t f;
    n = codec2_encode_tile(&g_enc, glyph[0], d, data, &f);
    codec2_stream_reset(&g_stream);
    n = codec2_stream_tile(&g_stream, data, n, &f);
    bad("stream-truncated", TILE_FORM_STREAM, data, (size_t)n - 1);
    bad("stream-garbage", TILE_FORM_STREAM, photo, 64);
    static uint8_t body[1 + TILE_BYTES + 2];
    body[0] = TILE_FORM_RAW;   // a stream carries forms 2 to 5 only
    memcpy(body + 1, photo, TILE_BYTES);
    bad("stream-raw-inside", TILE_FORM_STREAM, data, stream_of(body, 1 + TILE_BYTES, data, sizeof data));
    body[0] = TILE_FORM_PALETTE;   // one colour, and one byte too many
    memcpy(body + 1, "\0\1\2\3\4\5", 6);
    bad("stream-long-content", TILE_FORM_STREAM, data, stream_of(body, 7, data, sizeof data));
    codec2_enc_free(&g_enc);
    codec2_dec_free(&g_dec);
    codec2_stream_free(&g_stream);
    codec2_batch_free(&g_batch);
    codec2_batch_dec_free(&g_reader);
    return 0;
}
