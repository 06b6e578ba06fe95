// test_tile_batch: MSG_TILE_BATCH on the viewer: tiles drawn, held in the cache until a check keeps
// or removes them, references served from the cache or from the same batch, misses and the
// acknowledgement replied in that order, moves applied ahead of the entries, and a malformed batch
// ends the session.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "channel_pair.h"
#include "protocol/codec.h"
#include "protocol/codec2_batch.h"
#include "tests/protocol/codec2_batch_util.h"
#include "viewer/cache.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

struct TileBatchTest : ::testing::Test {
    Codec2Enc enc = {};
    Codec2Stream stream = {};
    Codec2Batch batch = {};
    std::vector<uint8_t> msg;
    void SetUp() override {
        ASSERT_EQ(viewer_begin(1000, 700), 1);   // 16 x 11 tiles
        g_viewer.ch = nullptr;
        g_viewer.codec2 = 1;
        std::string dir = test_temp_dir("batch");
        ASSERT_EQ(cache_open(&g_viewer.cache, dir.c_str()), 1);
        codec2_stream_reset(&stream);
        codec2_batch_reset(&batch);
    }
    void TearDown() override {
        cache_close(&g_viewer.cache);
        viewer_end();
        codec2_enc_free(&enc);
        codec2_stream_free(&stream);
        codec2_batch_free(&batch);
    }
    // Applies the packed batch as the receive thread would (replies left in the batch record).
    int apply(int closes, uint32_t frame, uint32_t tick) {
        msg.resize(codec2_batch_bound(&batch));
        long n = codec2_batch_pack(&batch, &stream, closes, frame, tick, msg.data());
        EXPECT_GT(n, HEADER_BYTES);
        return viewer_apply(MSG_TILE_BATCH, msg.data() + HEADER_BYTES, (uint32_t)(n - HEADER_BYTES));
    }
};

// The viewer's tile (tx, ty) as 16384 contiguous bytes.
static void fb_tile(int tx, int ty, uint8_t *t) {
    for (int r = 0; r < 64; r++)
        memcpy(t + r * 256, g_viewer.fb + (size_t)(ty * 64 + r) * g_viewer.stride + (size_t)tx * 256, 256);
}

// Every tile of the viewer starts as the tiles the change helper starts from.
static void fill_before(void) {
    for (int y = 0; y < g_viewer.pad_height; y++)
        for (int x = 0; x < g_viewer.pad_width * 4; x++)
            g_viewer.fb[(size_t)y * g_viewer.stride + x] = (uint8_t)(((y % 64) * 256 + x % 256) * 31);
}

TEST_F(TileBatchTest, CheckedTilesAreCachedReferencesServedAndRepliesOrdered) {
    static uint8_t after[TILE_BYTES], data[CODEC2_DATA_CAP], got[TILE_BYTES];
    int n;
    fill_before();
    ASSERT_EQ(c2b_change(&enc, 10, 20, 8, 16, 0xA5A5, after, data, &n), TILE_FORM_CROP);
    uint64_t h = tile_hash(after);
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 17, TILE_FORM_CROP, data, (size_t)n, h), 1);   // tile (1, 1)
    ASSERT_EQ(codec2_batch_ref(&batch, 40, h), 1);      // (8, 2): the tile just built
    ASSERT_EQ(codec2_batch_ref(&batch, 175, 99), 1);    // (15, 10): nobody holds 99
    ASSERT_EQ(apply(1, 12, 3456), 1);
    fb_tile(1, 1, got);
    EXPECT_EQ(memcmp(got, after, TILE_BYTES), 0);
    fb_tile(8, 2, got);
    EXPECT_EQ(memcmp(got, after, TILE_BYTES), 0);
    EXPECT_NE(cache_lookup(&g_viewer.cache, h), nullptr);   // held there until a check
    EXPECT_EQ(g_viewer.tile_batch.pending, 1u);
    EXPECT_EQ(g_viewer.cache_hits.load(), 1u);
    EXPECT_EQ(g_viewer.frames.load(), 1u);
    // Replies: the miss (15, 10, 99), then the acknowledgement of frame 12, tick 3456.
    const viewer_batch *b = &g_viewer.tile_batch;
    ASSERT_EQ(b->reply_len, (uint32_t)(2 * HEADER_BYTES + CACHE_MISS_BYTES + FRAME_ACK_BYTES));
    EXPECT_EQ(b->reply[0], MSG_CACHE_MISS);
    EXPECT_EQ(get_u16(b->reply + 8), 15);
    EXPECT_EQ(get_u16(b->reply + 10), 10);
    EXPECT_EQ(get_u64(b->reply + 12), 99u);
    const uint8_t *ack = b->reply + HEADER_BYTES + CACHE_MISS_BYTES;
    EXPECT_EQ(ack[0], MSG_FRAME_ACK);
    EXPECT_EQ(get_u32(ack + 8), 12u);
    EXPECT_EQ(get_u32(ack + 12), 3456u);

    // A plain frame end in between: the next batch's frame end counts from it.
    uint8_t end[8];
    put_u32(end, 20);
    put_u32(end + 4, 4000);
    EXPECT_EQ(viewer_apply(MSG_FRAME_END, end, 8), 1);
    codec2_batch_note_end(&batch, 20, 4000);   // as the host does when it sends one
    // A tampered check: the tile is drawn, but it and the earlier unchecked one leave the cache and
    // both are counted.
    fill_before();
    ASSERT_EQ(c2b_change(&enc, 0, 0, 30, 9, 0x0F0F, after, data, &n), TILE_FORM_CROP);
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 3, TILE_FORM_CROP, data, (size_t)n, tile_hash(after)), 1);
    batch.check ^= 1;
    batch.unchecked = BATCH_CHECK_BATCHES;
    // The frame's moves ride ahead of the entries: one 64 x 64 copy from (0, 10) to (320, 320), and
    // one past the picture's edge that is skipped.
    const MoveRect mv[2] = {{0, 10, 320, 320, 64, 64}, {0, 0, 990, 0, 64, 64}};
    ASSERT_EQ(codec2_batch_move(&batch, &mv[0]), 1);
    ASSERT_EQ(codec2_batch_move(&batch, &mv[1]), 1);
    ASSERT_EQ(apply(1, 21, 4016), 1);
    EXPECT_EQ(memcmp(g_viewer.fb + 320 * g_viewer.stride + 320 * 4, g_viewer.fb + 10 * g_viewer.stride, 256), 0);
    EXPECT_EQ(g_viewer.fb[990 * 4], (uint8_t)((990 * 4 % 256) * 31));   // the skipped one left it
    fb_tile(3, 0, got);
    EXPECT_EQ(memcmp(got, after, TILE_BYTES), 0);
    EXPECT_EQ(cache_lookup(&g_viewer.cache, tile_hash(after)), nullptr);
    EXPECT_EQ(cache_lookup(&g_viewer.cache, h), nullptr);
    EXPECT_EQ(g_viewer.cache_rejects.load(), 2u);
    EXPECT_EQ(g_viewer.tile_batch.pending, 0u);
    ack = g_viewer.tile_batch.reply;
    EXPECT_EQ(get_u32(ack + 8), 21u);
    EXPECT_EQ(get_u32(ack + 12), 4016u);
    EXPECT_EQ(g_viewer.stream_failed, 0);

    // More unchecked tiles than the viewer holds without a check: malformed.
    g_viewer.tile_batch.pending = BATCH_PENDING_MAX;
    ASSERT_EQ(codec2_batch_tile(&batch, &stream, 3, TILE_FORM_CROP, data, (size_t)n, tile_hash(after)), 1);
    EXPECT_EQ(apply(1, 22, 4032), 0);
    EXPECT_EQ(g_viewer.stream_failed, 1);
    g_viewer.stream_failed = 0;
    g_viewer.tile_batch.pending = 0;

    // An index past the picture's 176 tiles: the batch is malformed and the session must end.
    ASSERT_EQ(codec2_batch_ref(&batch, 176, h), 1);
    EXPECT_EQ(apply(1, 23, 4048), 0);
    EXPECT_EQ(g_viewer.stream_failed, 1);
    EXPECT_EQ(g_viewer.tile_batch.reply_len, 0u);
}
