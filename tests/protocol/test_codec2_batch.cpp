// test_codec2_batch: MSG_TILE_BATCH content from the host's builder through the session stream
// to the viewer's reader: entries, tiles, check and frame end come back; malformed content is
// rejected.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "codec2_batch_util.h"
#include "protocol/codec.h"
#include "protocol/codec2_batch.h"

struct BatchTest : ::testing::Test {
    Codec2Enc enc = {};
    Codec2Dec dec = {};
    Codec2Stream stream = {};
    Codec2Batch batch = {};
    Codec2BatchDec reader = {};
    std::vector<uint8_t> msg;
    void SetUp() override {
        codec2_stream_reset(&stream);
        codec2_dec_stream_reset(&dec);
        codec2_batch_reset(&batch);
        codec2_batch_dec_reset(&reader);
    }
    void TearDown() override {
        codec2_enc_free(&enc);
        codec2_dec_free(&dec);
        codec2_stream_free(&stream);
        codec2_batch_free(&batch);
        codec2_batch_dec_free(&reader);
    }
    // Packs the batch; the payload (after the 8-byte header) stays in msg.
    void pack(int closes, uint32_t frame, uint32_t tick) {
        msg.resize(codec2_batch_bound(&batch));
        long n = codec2_batch_pack(&batch, &stream, closes, frame, tick, msg.data());
        ASSERT_GT(n, HEADER_BYTES);
        EXPECT_EQ(msg[0], MSG_TILE_BATCH);
        EXPECT_EQ(get_u32(msg.data() + 4), (uint32_t)(n - HEADER_BYTES));
        msg.erase(msg.begin(), msg.begin() + HEADER_BYTES);
        msg.resize((size_t)n - HEADER_BYTES);
    }
    // A content of the caller's through a fresh stream, as the payload.
    void raw_content(const std::vector<uint8_t> &content) {
        codec2_stream_reset(&stream);
        codec2_dec_stream_reset(&dec);
        const uint8_t *parts[1] = {content.data()};
        size_t lens[1] = {content.size()};
        msg.resize(content.size() + 256);
        long n = codec2_stream_put(&stream, parts, lens, 1, msg.data(), msg.size());
        ASSERT_GT(n, 0);
        msg.resize((size_t)n);
    }
    int read_all(uint32_t grid) {
        if (!codec2_batch_open(&reader, &dec, msg.data(), msg.size(), grid)) return 0;
        Codec2BatchEntry e;
        int r;
        while ((r = codec2_batch_next(&reader, &e)) == 1) {
        }
        return r == 0;
    }
};

TEST_F(BatchTest, TilesReferencesCheckAndFrameEndComeBack) {
    static uint8_t after[2][TILE_BYTES], data[2][CODEC2_DATA_CAP], tile[TILE_BYTES];
    int n[2];
    ASSERT_EQ(c2b_change(&enc, 3, 5, 9, 14, 0x1234, after[0], data[0], &n[0]), TILE_FORM_CROP);
    ASSERT_EQ(c2b_change(&enc, 20, 40, 12, 10, 0xBEEF, after[1], data[1], &n[1]), TILE_FORM_CROP);
    uint64_t h0 = tile_hash(after[0]), h1 = tile_hash(after[1]);
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 7, TILE_FORM_CROP, data[0], (size_t)n[0], h0), 1);
    ASSERT_EQ(codec2_batch_ref(&batch, 300, 0x1122334455667788ull), 1);
    EXPECT_EQ(codec2_batch_ref(&batch, 300, 1), 0);   // indexes only go up
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 1000, TILE_FORM_CROP, data[1], (size_t)n[1], h1), 1);
    pack(1, 77, 5000);

    ASSERT_EQ(codec2_batch_open(&reader, &dec, msg.data(), msg.size(), 1001), 1);
    Codec2BatchEntry e;
    const uint32_t index[3] = {7, 300, 1000};
    for (int k = 0; k < 3; k++) {
        ASSERT_EQ(codec2_batch_next(&reader, &e), 1);
        EXPECT_EQ(e.index, index[k]);
        if (k == 1) {
            EXPECT_EQ(e.kind, BATCH_KIND_REF);
            EXPECT_EQ(e.hash, 0x1122334455667788ull);
            continue;
        }
        for (int b = 0; b < TILE_BYTES; b++) tile[b] = (uint8_t)(b * 31);
        ASSERT_EQ(codec2_batch_apply(&dec, &e, tile), 1);
        EXPECT_EQ(memcmp(tile, after[k / 2], TILE_BYTES), 0);
    }
    ASSERT_EQ(codec2_batch_next(&reader, &e), 0);
    EXPECT_EQ(reader.flags, BATCH_CLOSES_FRAME);   // two tiles wait: no check yet
    EXPECT_EQ(reader.frame, 77u);
    EXPECT_EQ(reader.tick, 5000u);

    // The next frame end counts from the last one; the same glyph again costs few bytes.
    size_t first = msg.size();
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 7, TILE_FORM_CROP, data[0], (size_t)n[0], h0), 1);
    pack(1, 78, 5016);
    EXPECT_LT(msg.size(), first / 2);
    ASSERT_EQ(read_all(1001), 1);
    EXPECT_EQ(reader.frame, 78u);
    EXPECT_EQ(reader.tick, 5016u);
    // Moves go ahead of the entries, deltas either way.
    const MoveRect mv[2] = {{0, 64, 0, 0, 1000, 900}, {70, 3, 900, 40000, 5, 6}};
    ASSERT_EQ(codec2_batch_move(&batch, &mv[0]), 1);
    ASSERT_EQ(codec2_batch_move(&batch, &mv[1]), 1);
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 7, TILE_FORM_CROP, data[0], (size_t)n[0], h0), 1);
    pack(1, 79, 5017);
    ASSERT_EQ(read_all(1001), 1);
    ASSERT_EQ(reader.moves_n, 2u);
    EXPECT_EQ(reader.flags & BATCH_HAS_MOVES, BATCH_HAS_MOVES);
    for (int k = 0; k < 2; k++) EXPECT_EQ(memcmp(&reader.moves[k], &mv[k], sizeof mv[k]), 0);
    // A batch that does not close the frame carries no frame end; with enough batches gone the
    // check comes, over every tile since the session began.
    batch.unchecked = BATCH_CHECK_BATCHES - 1;
    ASSERT_EQ(codec2_batch_ref(&batch, 0, 9), 1);
    pack(0, 0, 0);
    ASSERT_EQ(read_all(1001), 1);
    EXPECT_EQ(reader.flags, BATCH_HAS_CHECK);
    uint64_t c = CODEC2_CHECK_SEED;
    for (uint64_t h : {h0, tile_hash(after[1]), h0, h0}) c = codec2_check_step(c, h);
    EXPECT_EQ(reader.check, c);
    // The next check starts from the seed; BATCH_CHECK_TILES tiles bring it at once.
    for (uint32_t k = 0; k < BATCH_CHECK_TILES; k++)
        ASSERT_EQ(codec2_batch_tile(&batch, &stream, k, TILE_FORM_CROP, data[0], (size_t)n[0], h0), 1);
    pack(1, 80, 5032);
    ASSERT_EQ(read_all(1001), 1);
    c = CODEC2_CHECK_SEED;
    for (uint32_t k = 0; k < BATCH_CHECK_TILES; k++) c = codec2_check_step(c, h0);
    EXPECT_EQ(reader.flags, BATCH_CLOSES_FRAME | BATCH_HAS_CHECK);
    EXPECT_EQ(reader.check, c);
}

TEST_F(BatchTest, MalformedContentIsRejected) {
    // flags 3, one reference entry to tile 4, frame end +1, +2; the check is all 0xAB.
    const std::vector<uint8_t> good = {3, 1, 5, BATCH_KIND_REF, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2,
                                       0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
    raw_content(good);
    ASSERT_EQ(read_all(5), 1);
    EXPECT_EQ(reader.frame, 1u);
    raw_content(good);
    EXPECT_EQ(read_all(4), 0);   // tile 4 is past a grid of 4 tiles
    std::vector<uint8_t> c = good;
    c[0] = 7;   // an unknown flag
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c[0] = 1;   // no check, yet 8 bytes follow the frame end
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c.resize(c.size() - 8);
    raw_content(c);
    EXPECT_EQ(read_all(5), 1);
    c = good;
    c[0] = 7;   // moves, but a count of none
    c.insert(c.begin() + 2, 0);
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c[2] = 1;   // one move of six varints: src (1, 2), deltas -1 and +1, 3 x 4
    c.insert(c.begin() + 3, {1, 2, 1, 2, 3, 4});
    raw_content(c);
    ASSERT_EQ(read_all(5), 1);
    EXPECT_EQ(reader.moves[0].dst_x, 0);
    EXPECT_EQ(reader.moves[0].dst_y, 3);
    c = good;
    c[2] = 0;   // a step of 0 does not move on
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = good;
    c[3] = TILE_FORM_RAW;   // kinds are 2..5 and 16
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = good;
    c.push_back(0);   // a byte after the frame end
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = good;
    c.pop_back();   // the check cut short
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = good;
    c[1] = 2;   // more entries named than there are
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = {0, 0x81, 0x80, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};   // count 16385: more than a batch holds
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    c = {0, 1, 1, TILE_FORM_PALETTE, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0};   // a length past the end
    raw_content(c);
    EXPECT_EQ(read_all(5), 0);
    raw_content(good);
    msg.pop_back();   // a truncated piece
    EXPECT_EQ(read_all(5), 0);
}

static std::vector<uint8_t> unhex(const char *s) {
    std::vector<uint8_t> b;
    for (size_t i = 0; s[i] && s[i + 1] && s[0] != '-'; i += 2) {
        unsigned v;
        sscanf(s + i, "%2x", &v);
        b.push_back((uint8_t)v);
    }
    return b;
}

// The batch lines of the vectors: each payload through one stream, its entries, check and ack.
TEST_F(BatchTest, VectorsReadAsWritten) {
    FILE *f = fopen(VO_VECTORS_DIR "/codec2_vectors.txt", "r");
    ASSERT_NE(f, nullptr);
    static char line[1 << 17], a[1 << 16], b[1 << 16];
    static uint8_t tile[TILE_BYTES], want[TILE_BYTES];
    char name[64];
    unsigned index, frame, tick;
    int batches = 0, tiles = 0, checks = 0;
    uint32_t moves = 0;
    uint64_t c = CODEC2_CHECK_SEED;
    std::string session;
    Codec2BatchEntry e;
    while (fgets(line, sizeof line, f)) {
        if (!strncmp(line, "batch ", 6) && sscanf(line, "batch %63s %65535s", name, a) == 2) {
            msg = unhex(a);
            ASSERT_EQ(codec2_batch_open(&reader, &dec, msg.data(), msg.size(), 30 * 17), 1);
            if (session != name) c = CODEC2_CHECK_SEED;   // the check chains through a session
            session = name;
            batches++;
            moves = 0;
        } else if (sscanf(line, "batch-tile %63s %u %65535s", name, &index, a) == 3) {
            ASSERT_EQ(codec2_batch_next(&reader, &e), 1);
            EXPECT_EQ(e.index, index);
            std::vector<uint8_t> after = unhex(a);
            ASSERT_EQ(codec_decompress(after.data(), after.size(), want, TILE_BYTES), TILE_BYTES);
            for (int k = 0; k < TILE_BYTES; k++) tile[k] = (uint8_t)(k * 31);
            ASSERT_EQ(codec2_batch_apply(&dec, &e, tile), 1);
            EXPECT_EQ(memcmp(tile, want, TILE_BYTES), 0);
            c = codec2_check_step(c, tile_hash(tile));
            tiles++;
        } else if (!strncmp(line, "batch-move ", 11)) {
            MoveRect m;
            ASSERT_EQ(sscanf(line, "batch-move %63s %d %d %d %d %d %d", name, &m.src_x, &m.src_y, &m.dst_x, &m.dst_y,
                             &m.width, &m.height), 7);
            ASSERT_LT(moves, reader.moves_n);
            EXPECT_EQ(memcmp(&reader.moves[moves++], &m, sizeof m), 0);
        } else if (sscanf(line, "batch-ref %63s %u %65535s", name, &index, a) == 3) {
            ASSERT_EQ(codec2_batch_next(&reader, &e), 1);
            EXPECT_EQ(e.kind, BATCH_KIND_REF);
            EXPECT_EQ(e.hash, strtoull(a, nullptr, 16));
        } else if (sscanf(line, "batch-end %63s %65535s %65535s", name, a, b) == 3) {
            ASSERT_EQ(codec2_batch_next(&reader, &e), 0);
            EXPECT_EQ(moves, reader.moves_n);
            EXPECT_EQ((reader.flags & BATCH_HAS_CHECK) != 0, strcmp(a, "-") != 0);
            if (reader.flags & BATCH_HAS_CHECK) {
                EXPECT_EQ(c == reader.check, !strcmp(a, "ok"));
                c = CODEC2_CHECK_SEED;
                checks += !strcmp(a, "ok") + 2 * !strcmp(a, "bad");
            }
            std::vector<uint8_t> ack = unhex(b);
            if (ack.size() == 8) {
                EXPECT_EQ(reader.frame, get_u32(ack.data()));
                EXPECT_EQ(reader.tick, get_u32(ack.data() + 4));
            }
        } else if (sscanf(line, "frame-end %63s %u %u", name, &frame, &tick) == 3) {
            codec2_batch_dec_note_end(&reader, frame, tick);
        }
    }
    fclose(f);
    EXPECT_GE(batches, 4);
    EXPECT_GE(tiles, 4);
    EXPECT_EQ(checks, 3);   // one good check and one spoilt
}
