// test_receive: the viewer's reconstruction of the host picture from host messages (moves, tiles,
// cache references, text layer, frame ends), the dirty rectangle, the counters, and the receive
// thread over a real channel.
#include <gtest/gtest.h>
#include <string.h>
#include <filesystem>
#include <string>
#include <vector>
#include "channel_pair.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/layout.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

typedef std::vector<uint8_t> bytes;

static uint32_t px(int x, int y) {
    uint32_t v;
    memcpy(&v, g_viewer.fb + (size_t)y * g_viewer.stride + (size_t)x * 4, 4);
    return v;
}

// Every pixel of the padded framebuffer holds its own position.
static void fill_positions(void) {
    for (int y = 0; y < g_viewer.pad_height; y++)
        for (int x = 0; x < g_viewer.pad_width; x++) {
            uint32_t v = (uint32_t)(y * 65536 + x);
            memcpy(g_viewer.fb + (size_t)y * g_viewer.stride + (size_t)x * 4, &v, 4);
        }
}

// Appends b to a (resize and copy: g++ 12 misreads vector::insert at the end of a short vector).
static void append(bytes &a, const bytes &b) {
    size_t n = a.size();
    a.resize(n + b.size());
    if (!b.empty()) memcpy(a.data() + n, b.data(), b.size());
}

static bytes tile_msg(uint16_t tx, uint16_t ty, uint8_t raw, uint64_t hash, const bytes &data) {
    uint8_t whole[HEADER_BYTES + TILE_HEADER_BYTES];
    TileHeader th = {tx, ty, raw, hash};
    msg_pack_tile(whole, &th, (uint32_t)data.size());
    bytes m(whole + HEADER_BYTES, whole + sizeof whole);
    append(m, data);
    return m;
}

static bytes compressed(const bytes &src) {
    bytes out(codec_bound(src.size()));
    int n = codec_compress(src.data(), src.size(), out.data(), out.size());
    out.resize(n > 0 ? n : 0);
    return out;
}

static bytes ref_msg(uint16_t tx, uint16_t ty, uint64_t hash) {
    uint8_t whole[HEADER_BYTES + CACHE_REF_BYTES];
    CacheRef ref = {tx, ty, hash};
    msg_pack_cache_ref(whole, &ref);
    return bytes(whole + HEADER_BYTES, whole + sizeof whole);
}

static void dispatch(uint8_t type, const bytes &p) { viewer_dispatch(type, p.data(), (uint32_t)p.size()); }
// Finished tiles enter the cache together, at the latest at their frame's end.
static void frame_end(void) { dispatch(MSG_FRAME_END, bytes(8, 0)); }

static bool dirty_is(int32_t l, int32_t t, int32_t r, int32_t b) {
    int32_t L, T, R, B;
    if (!viewer_dirty_take(&L, &T, &R, &B)) return false;
    return L == l && T == t && R == r && B == b;
}

struct ReceiveTest : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(viewer_begin(1000, 700), 1);   // PW 1024, PH 704
        g_viewer.ch = nullptr;
        g_viewer.on_frame = nullptr;
        g_viewer.on_close = nullptr;
        g_viewer.cache.enabled = 0;
    }
    void TearDown() override { viewer_end(); }
};

static bytes move_rec(int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) {
    bytes r(MOVE_RECT_BYTES);
    MoveRect m = {sx, sy, dx, dy, w, h};
    msg_pack_move_rect(r.data(), &m);
    return r;
}

TEST_F(ReceiveTest, OverlappingMovesInBothDirections) {
    ASSERT_EQ(g_viewer.pad_width, 1024);
    ASSERT_EQ(g_viewer.pad_height, 704);
    fill_positions();
    // Down and to the right by 7 rows and 3 columns, overlapping itself.
    dispatch(MSG_MOVE_RECTS, move_rec(100, 200, 103, 207, 300, 100));
    for (int y = 0; y < 100; y += 9)
        for (int x = 0; x < 300; x += 13) ASSERT_EQ(px(103 + x, 207 + y), (uint32_t)((200 + y) * 65536 + 100 + x));
    EXPECT_EQ(px(102, 207), (uint32_t)(207 * 65536 + 102));   // outside the destination
    EXPECT_TRUE(dirty_is(103, 207, 403, 307));

    fill_positions();
    // Up and to the left.
    dispatch(MSG_MOVE_RECTS, move_rec(50, 60, 45, 10, 600, 500));
    for (int y = 0; y < 500; y += 7)
        for (int x = 0; x < 600; x += 11) ASSERT_EQ(px(45 + x, 10 + y), (uint32_t)((60 + y) * 65536 + 50 + x));
    EXPECT_TRUE(dirty_is(45, 10, 645, 510));
}

TEST_F(ReceiveTest, InvalidMoveRecordsAreSkippedAndTheRestApplied) {
    fill_positions();
    bytes m = move_rec(0, 0, 10, 0, 5, 5);                         // valid
    bytes bad[] = {move_rec(990, 0, 0, 0, 11, 1),                  // source past W
                   move_rec(0, 0, 0, 696, 1, 5),                   // destination past H
                   move_rec(0, -1, 0, 0, 1, 1),                    // negative
                   move_rec(0, 0, 1, 1, 0, 4),                     // empty
                   move_rec(0x7FFFFFF0, 0, 0, 0, 0x7FFFFFF0, 1)};  // sum overflows 32 bits
    for (auto &b : bad) append(m, b);
    bytes last = move_rec(0, 100, 0, 300, 2, 2);                   // valid, after the bad ones
    append(m, last);
    m.resize(m.size() + 23, 0xFF);                                 // a partial record is ignored
    dispatch(MSG_MOVE_RECTS, m);
    EXPECT_EQ(px(10, 0), 0u);
    EXPECT_EQ(px(14, 4), (uint32_t)(4 * 65536 + 4));
    EXPECT_EQ(px(1, 301), (uint32_t)(101 * 65536 + 1));
    EXPECT_EQ(px(0, 0), 0u);
    EXPECT_EQ(px(1, 1), (uint32_t)(65536 + 1));
    EXPECT_TRUE(dirty_is(0, 0, 15, 302));

    dispatch(MSG_MOVE_RECTS, bytes(23, 0));   // shorter than one record: nothing
    EXPECT_FALSE(dirty_is(0, 0, 0, 0));
}

// A host may send at most 256 rectangles in a frame; the rest of a longer message is ignored.
TEST_F(ReceiveTest, AtMost256MoveRectanglesPerMessage) {
    fill_positions();
    bytes m;
    for (int k = 0; k < 300; k++) append(m, move_rec(k, 0, k, 650, 1, 1));
    dispatch(MSG_MOVE_RECTS, m);
    EXPECT_EQ(px(255, 650), 255u);
    EXPECT_EQ(px(256, 650), (uint32_t)(650 * 65536 + 256));
    EXPECT_TRUE(dirty_is(0, 650, 256, 651));
}

TEST_F(ReceiveTest, TileInThePaddedMargin) {
    dispatch(MSG_TILE, tile_msg(15, 10, 1, 0, bytes(TILE_BYTES, 0xAB)));
    EXPECT_EQ(px(960, 640), 0xABABABABu);
    EXPECT_EQ(px(1023, 703), 0xABABABABu);   // into the margin, whole tile
    EXPECT_EQ(px(959, 640), 0u);
    EXPECT_TRUE(dirty_is(960, 640, 1000, 700));

    bytes before(g_viewer.fb, g_viewer.fb + g_viewer.stride * g_viewer.pad_height);
    dispatch(MSG_TILE, tile_msg(16, 0, 1, 0, bytes(TILE_BYTES, 0xCD)));
    dispatch(MSG_TILE, tile_msg(0, 11, 1, 0, bytes(TILE_BYTES, 0xCD)));
    dispatch(MSG_CACHE_REF, ref_msg(16, 0, 99));
    EXPECT_EQ(memcmp(before.data(), g_viewer.fb, before.size()), 0);
    EXPECT_FALSE(dirty_is(0, 0, 0, 0));
    EXPECT_EQ(g_viewer.reply_len, 0u);   // no miss for a position outside the grid
}

TEST_F(ReceiveTest, RawTileNeedsAllItsBytes) {
    bytes data(TILE_BYTES - 1, 0x11);
    dispatch(MSG_TILE, tile_msg(1, 1, 1, 0, data));   // 16396 bytes
    EXPECT_EQ(px(64, 64), 0u);
    EXPECT_FALSE(dirty_is(0, 0, 0, 0));
    data.push_back(0x22);
    dispatch(MSG_TILE, tile_msg(1, 1, 7, 0, data));   // 16397 bytes; any non-zero flag is raw
    EXPECT_EQ(px(64, 64), 0x11111111u);
    EXPECT_EQ(px(127, 127), 0x22111111u);
    dispatch(MSG_TILE, bytes(12, 0));
    EXPECT_TRUE(dirty_is(64, 64, 128, 128));
}

TEST_F(ReceiveTest, DeltaTilesXorIntoThePictureOnlyWhenWhole) {
    std::string dir = test_temp_dir("recv");
    ASSERT_EQ(cache_open(&g_viewer.cache, dir.c_str()), 1);
    bytes first(TILE_BYTES);
    for (size_t i = 0; i < first.size(); i++) first[i] = (uint8_t)(i * 7);
    dispatch(MSG_TILE, tile_msg(2, 3, 1, 0, first));

    bytes delta(TILE_BYTES, 0), expect(TILE_BYTES);
    for (size_t i = 0; i < delta.size(); i += 97) delta[i] = 0x5A;
    for (size_t i = 0; i < delta.size(); i++) expect[i] = first[i] ^ delta[i];
    const uint64_t h = tile_hash(expect.data());
    dispatch(MSG_TILE, tile_msg(2, 3, 0, h, compressed(delta)));
    for (int r = 0; r < 64; r++)
        for (int c = 0; c < 256; c++) {
            size_t i = (size_t)r * 256 + c;
            ASSERT_EQ(g_viewer.fb[(size_t)(192 + r) * g_viewer.stride + 128 * 4 + c], (uint8_t)(first[i] ^ delta[i]));
        }
    frame_end();
    const uint8_t *cached = cache_lookup(&g_viewer.cache, h);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached[97], (uint8_t)(first[97] ^ 0x5A));
    EXPECT_EQ(g_viewer.cache_rejects.load(), 0u);

    // A tile whose pixels do not have the hash the host named (a delta against a tile this viewer
    // does not show) is shown and cached on the host's word; the reference that first needs it
    // finds it out: a miss, counted, and the tile is gone. A raw tile under a hash held checked
    // leaves that tile be.
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 42, compressed(delta)));
    EXPECT_EQ(g_viewer.fb[(size_t)192 * g_viewer.stride + 128 * 4], first[0]);   // XORed back
    dispatch(MSG_TILE, tile_msg(3, 3, 1, h, first));
    frame_end();
    dispatch(MSG_CACHE_REF, ref_msg(0, 0, 42));
    EXPECT_EQ(g_viewer.reply_len, (uint32_t)(HEADER_BYTES + CACHE_MISS_BYTES));
    EXPECT_EQ(g_viewer.cache_rejects.load(), 1u);
    EXPECT_EQ(cache_lookup(&g_viewer.cache, 42), nullptr);
    EXPECT_EQ(memcmp(cache_lookup(&g_viewer.cache, h), expect.data(), TILE_BYTES), 0);
    // A wrong tile whose set is full takes the victim's slot, and never serves the bytes under the
    // name of the tile that slot held.
    bytes other_a(TILE_BYTES, 0x11), other_b(TILE_BYTES, 0x22);
    cache_insert(&g_viewer.cache, 42 + CACHE_SETS, other_a.data());
    cache_insert(&g_viewer.cache, 42 + 2 * (uint64_t)CACHE_SETS, other_b.data());
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 42, compressed(delta)));
    const uint8_t *a = cache_lookup(&g_viewer.cache, 42 + CACHE_SETS), *b = cache_lookup(&g_viewer.cache, 42 + 2 * (uint64_t)CACHE_SETS);
    EXPECT_TRUE(!a != !b);   // one of the two was the victim
    EXPECT_EQ(memcmp(a ? a : b, a ? other_a.data() : other_b.data(), TILE_BYTES), 0);
    EXPECT_EQ(cache_lookup(&g_viewer.cache, 42), nullptr);
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 0, compressed(delta)));   // XORed back, not cached

    // Decoding to 16383 bytes, a broken stream and an empty one: nothing changes, nothing is cached.
    bytes fb(g_viewer.fb, g_viewer.fb + g_viewer.stride * g_viewer.pad_height);
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 43, compressed(bytes(TILE_BYTES - 1, 1))));
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 44, compressed(bytes(TILE_BYTES + 1, 1))));
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 45, bytes{0xF0, 1, 2}));
    dispatch(MSG_TILE, tile_msg(2, 3, 0, 46, bytes()));
    frame_end();
    EXPECT_EQ(memcmp(fb.data(), g_viewer.fb, fb.size()), 0);
    for (uint64_t h = 43; h <= 46; h++) EXPECT_EQ(cache_lookup(&g_viewer.cache, h), nullptr);
    g_viewer.cache.path[0] = 0;
    cache_close(&g_viewer.cache);
    std::filesystem::remove_all(dir);
}

TEST_F(ReceiveTest, CacheReferencesHitOrAnswerWithAMiss) {
    std::string dir = test_temp_dir("recv");
    ASSERT_EQ(cache_open(&g_viewer.cache, dir.c_str()), 1);
    dispatch(MSG_TILE, tile_msg(0, 0, 1, 0, bytes(TILE_BYTES, 0x33)));   // hash 0: shown, not cached
    EXPECT_EQ(px(5, 5), 0x33333333u);
    frame_end();
    EXPECT_EQ(cache_resident(&g_viewer.cache), 0u);
    const uint64_t h44 = tile_hash(bytes(TILE_BYTES, 0x44).data());
    dispatch(MSG_TILE, tile_msg(1, 0, 1, h44, bytes(TILE_BYTES, 0x44)));
    g_viewer.dirty = 0;

    dispatch(MSG_CACHE_REF, ref_msg(4, 5, h44));   // the tile of the same frame is in the cache first
    EXPECT_EQ(cache_resident(&g_viewer.cache), 1u);
    EXPECT_EQ(px(256, 320), 0x44444444u);
    EXPECT_EQ(px(319, 383), 0x44444444u);
    EXPECT_EQ(g_viewer.cache_hits.load(), 1u);
    EXPECT_EQ(g_viewer.reply_len, 0u);
    EXPECT_TRUE(dirty_is(256, 320, 320, 384));

    const uint8_t miss[] = {0x86, 0, 0, 0, 12, 0, 0, 0, 4, 0, 5, 0, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB, 0xED, 0x0F};
    dispatch(MSG_CACHE_REF, ref_msg(4, 5, 0x0FEDCBA987654321ULL));
    ASSERT_EQ(g_viewer.reply_len, sizeof miss);
    EXPECT_EQ(memcmp(g_viewer.reply, miss, sizeof miss), 0);
    dispatch(MSG_CACHE_REF, ref_msg(4, 5, 0));   // hash 0 is never held
    EXPECT_EQ(g_viewer.reply_len, 20u);
    EXPECT_EQ(g_viewer.cache_misses.load(), 2u);
    EXPECT_FALSE(dirty_is(0, 0, 0, 0));

    g_viewer.cache.path[0] = 0;
    cache_close(&g_viewer.cache);   // without a cache every reference is a miss
    dispatch(MSG_CACHE_REF, ref_msg(4, 5, h44));
    EXPECT_EQ(g_viewer.reply_len, 20u);
    EXPECT_EQ(g_viewer.cache_misses.load(), 3u);
    EXPECT_EQ(g_viewer.cache_hits.load(), 1u);
    dispatch(MSG_CACHE_REF, bytes(11, 0));
    EXPECT_EQ(g_viewer.reply_len, 0u);
    std::filesystem::remove_all(dir);
}

// One text-layer message: header, then the row records compressed.
static bytes text_msg(int32_t l, int32_t t, int32_t w, int32_t h, uint16_t cols, uint16_t rows,
                      const std::vector<uint16_t> &row_ids, uint16_t unit, int corrupt_size = 0) {
    bytes recs;
    for (uint16_t r : row_ids) {
        bytes rec(VIEWER_TEXT_ROW_BYTES(cols));
        put_u16(&rec[0], r);
        for (int c = 0; c < cols; c++) {
            put_u16(&rec[2 + 3 * c], (uint16_t)(unit + c));
            rec[4 + 3 * c] = 0x1F;
        }
        append(recs, rec);
    }
    bytes m(TEXT_LAYER_HEADER_BYTES);
    int32_t v[4] = {l, t, w, h};
    for (int i = 0; i < 4; i++) put_i32(&m[4 * i], v[i]);
    put_u16(&m[16], cols);
    put_u16(&m[18], rows);
    put_u16(&m[20], (uint16_t)row_ids.size());
    put_u32(&m[22], (uint32_t)recs.size() + corrupt_size);
    bytes z = compressed(recs);
    append(m, z);
    return m;
}

static uint16_t cell(int row, int col) {
    viewer_text *t = &g_viewer.text;
    return get_u16(t->grid + ((size_t)row * t->cols + col) * 3);
}

TEST_F(ReceiveTest, TextLayerRowsStayUntilReplacedAndZeroBytesTurnItOff) {
    dispatch(MSG_TEXT_LAYER, text_msg(10, 20, 400, 300, 80, 25, {0, 1, 2, 3, 24}, 'A'));
    viewer_text *t = &g_viewer.text;
    ASSERT_EQ(t->active, 1);
    EXPECT_EQ(t->cols, 80);
    EXPECT_EQ(t->rows, 25);
    EXPECT_EQ(cell(0, 0), 'A');
    EXPECT_EQ(cell(24, 79), 'A' + 79);
    EXPECT_EQ(t->grid[2], 0x1F);
    EXPECT_EQ(cell(4, 0), 0);
    EXPECT_TRUE(dirty_is(10, 20, 410, 320));

    // Same grid, only row 3 and one out of range: the other rows keep their cells.
    dispatch(MSG_TEXT_LAYER, text_msg(12, 20, 400, 300, 80, 25, {3, 25}, 'a'));
    EXPECT_EQ(cell(3, 5), 'a' + 5);
    EXPECT_EQ(cell(2, 5), 'A' + 5);
    EXPECT_EQ(cell(24, 0), 'A');
    EXPECT_EQ(t->left, 12);
    EXPECT_TRUE(dirty_is(10, 20, 412, 320));   // old and new rectangles

    // A block that does not decompress to its announced size: the position still moves.
    dispatch(MSG_TEXT_LAYER, text_msg(0, 0, 400, 300, 80, 25, {2}, 'x', 1));
    EXPECT_EQ(cell(2, 0), 'A');
    EXPECT_EQ(t->left, 0);

    // Another grid size starts from blank cells.
    dispatch(MSG_TEXT_LAYER, text_msg(0, 0, 400, 300, 40, 25, {1}, 'q'));
    EXPECT_EQ(cell(1, 0), 'q');
    EXPECT_EQ(cell(3, 5), 0);
    g_viewer.dirty = 0;

    dispatch(MSG_TEXT_LAYER, bytes(26, 0));
    EXPECT_EQ(t->active, 0);
    EXPECT_TRUE(dirty_is(0, 0, 400, 300));   // the old text is painted away
    dispatch(MSG_TEXT_LAYER, bytes(25, 0));
    EXPECT_EQ(t->active, 0);

    // Larger than any console: refused outright, nothing is allocated for it.
    dispatch(MSG_TEXT_LAYER, text_msg(0, 0, 10, 10, 513, 2, {}, 'z'));
    dispatch(MSG_TEXT_LAYER, text_msg(0, 0, 10, 10, 2, 257, {}, 'z'));
    EXPECT_EQ(t->active, 0);
}

// The largest grid at the most extreme rectangle: kept within a screen's reach, so that the
// window's cell arithmetic (corner + 512 cells) stays far from overflowing.
TEST_F(ReceiveTest, TextLayerAtItsLimitsStaysWithinReach) {
    const int32_t big = 0x7FFFFFFF;
    dispatch(MSG_TEXT_LAYER, text_msg(big, big, big, big, 512, 256, {255}, 'a'));
    viewer_text *t = &g_viewer.text;
    ASSERT_EQ(t->active, 1);
    EXPECT_EQ(cell(255, 511), 'a' + 511);
    EXPECT_EQ(t->left, VIEWER_MAX_EDGE);
    EXPECT_EQ(t->width, VIEWER_MAX_EDGE);
    dispatch(MSG_TEXT_LAYER, text_msg(-big - 1, -big - 1, -5, big, 512, 256, {}, 'a'));
    EXPECT_EQ(t->left, -VIEWER_MAX_EDGE);
    EXPECT_EQ(t->width, 0);
    EXPECT_EQ(t->height, VIEWER_MAX_EDGE);
    for (int32_t v : {big, -big - 1}) {
        viewer_layout L;
        layout_compute(&L, 1000, 800, 1000, 700);   // scale 1, picture 50 pixels down
        int cw, ch, gx, gy;
        layout_text_cells(&L, v, v, big, big, 1, 1, &cw, &ch, &gx, &gy);
        EXPECT_LE(cw, LAYOUT_CELL_MAX);
        EXPECT_LE((long long)gy + 256LL * ch, 0x7FFFFFFFLL);
        EXPECT_GE((long long)gx - 512LL * cw, -0x7FFFFFFFLL);
    }
}

static int frame_hooks;
static void count_frame(void) { frame_hooks++; }

TEST_F(ReceiveTest, FrameEndsAreEchoedAndEveryMessageCounted) {
    g_viewer.on_frame = count_frame;
    frame_hooks = 0;
    const bytes fe = {1, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0x99};
    dispatch(MSG_FRAME_END, fe);
    const uint8_t ack[] = {0x81, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 0x10, 0x20, 0x30, 0x40};
    ASSERT_EQ(g_viewer.reply_len, 16u);
    EXPECT_EQ(memcmp(g_viewer.reply, ack, 16), 0);
    dispatch(MSG_FRAME_END, bytes{7, 8, 9});   // short: zero-padded
    const uint8_t padded[] = {0x81, 0, 0, 0, 8, 0, 0, 0, 7, 8, 9, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(g_viewer.reply, padded, 16), 0);
    EXPECT_EQ(g_viewer.frames.load(), 2u);
    EXPECT_EQ(frame_hooks, 2);

    uint32_t before = g_viewer.bytes_received.load();
    dispatch(0x99, bytes(10, 0xEE));
    dispatch(MSG_CURSOR, bytes());
    dispatch(MSG_WINDOW_LIST, bytes(2, 0));
    EXPECT_EQ(g_viewer.bytes_received.load() - before, 18u + 8u + 10u);
    EXPECT_EQ(g_viewer.reply_len, 0u);
    EXPECT_EQ(frame_hooks, 2);
}

// ---- the receive thread over a real channel ----

static int closes;
static void count_close(void) { closes++; }

static void host_send(channel *host, uint8_t type, const bytes &payload) {
    uint8_t h[HEADER_BYTES];
    header_put(h, type, (uint32_t)payload.size());
    bytes all(h, h + HEADER_BYTES);
    append(all, payload);
    ASSERT_EQ(channel_send(host, all.data(), all.size()), 1);
}

TEST_F(ReceiveTest, ThreadAppliesFramesAcknowledgesAndEndsOnAnOversizedLength) {
    channel_pair pair;
    ASSERT_EQ(pair_open(&pair), 1);
    g_viewer.ch = &pair.viewer;
    g_viewer.on_close = count_close;
    closes = 0;
    thread_handle t = thread_create(viewer_receive_thread, nullptr);
    ASSERT_NE(t, nullptr);

    // One frame in one record: a tile split from its header across records is still read whole.
    uint8_t h[HEADER_BYTES];
    bytes tile = tile_msg(3, 2, 1, 0, bytes(TILE_BYTES, 0x77));
    header_put(h, MSG_TILE, (uint32_t)tile.size());
    ASSERT_EQ(channel_send(&pair.host, h, sizeof h), 1);
    ASSERT_EQ(channel_send(&pair.host, tile.data(), 5), 1);
    ASSERT_EQ(channel_send(&pair.host, tile.data() + 5, tile.size() - 5), 1);
    host_send(&pair.host, MSG_CACHE_REF, ref_msg(1, 1, 5));
    host_send(&pair.host, MSG_FRAME_END, bytes{9, 0, 0, 0, 1, 2, 3, 4});

    uint8_t got[HEADER_BYTES + CACHE_MISS_BYTES];
    ASSERT_EQ(channel_recv(&pair.host, got, 20), 1);
    EXPECT_EQ(got[0], MSG_CACHE_MISS);
    EXPECT_EQ(get_u64(got + 12), 5u);
    ASSERT_EQ(channel_recv(&pair.host, got, 16), 1);
    EXPECT_EQ(got[0], MSG_FRAME_ACK);
    EXPECT_EQ(get_u32(got + 8), 9u);
    EXPECT_EQ(get_u32(got + 12), 0x04030201u);
    lock_enter(&g_viewer.lock);
    EXPECT_EQ(px(192, 128), 0x77777777u);
    lock_leave(&g_viewer.lock);

    // A length beyond 16 MiB ends the thread without waiting for the payload.
    header_put(h, 0x42, VIEWER_MAX_PAYLOAD + 1);
    ASSERT_EQ(channel_send(&pair.host, h, sizeof h), 1);
    EXPECT_EQ(thread_wait(t, 10000), 1);
    thread_close(t);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(g_viewer.frames.load(), 1u);
    g_viewer.ch = nullptr;
    pair_close(&pair);
}

// A malformed tile of another form is only ignored; a stream piece the viewer cannot apply leaves
// its stream behind the host's, and ends the session.
TEST_F(ReceiveTest, ThreadEndsOnAStreamPieceItCannotApply) {
    channel_pair pair;
    ASSERT_EQ(pair_open(&pair), 1);
    g_viewer.ch = &pair.viewer;
    g_viewer.on_close = count_close;
    g_viewer.codec2 = 1;
    closes = 0;
    thread_handle t = thread_create(viewer_receive_thread, nullptr);
    host_send(&pair.host, MSG_TILE, tile_msg(0, 0, TILE_FORM_PALETTE, 0, bytes{1, 2, 3}));
    host_send(&pair.host, MSG_FRAME_END, bytes{7, 0, 0, 0, 0, 0, 0, 0});
    uint8_t got[HEADER_BYTES + FRAME_ACK_BYTES];
    ASSERT_EQ(channel_recv(&pair.host, got, sizeof got), 1);
    EXPECT_EQ(got[0], MSG_FRAME_ACK);
    host_send(&pair.host, MSG_TILE, tile_msg(0, 0, TILE_FORM_STREAM, 0, bytes(40, 0x55)));
    EXPECT_EQ(thread_wait(t, 10000), 1);
    thread_close(t);
    EXPECT_EQ(closes, 1);
    g_viewer.ch = nullptr;
    pair_close(&pair);
}

TEST_F(ReceiveTest, ThreadEndsWhenTheHostCloses) {
    channel_pair pair;
    ASSERT_EQ(pair_open(&pair), 1);
    g_viewer.ch = &pair.viewer;
    g_viewer.on_close = count_close;
    closes = 0;
    thread_handle t = thread_create(viewer_receive_thread, nullptr);
    uint8_t h[HEADER_BYTES];
    header_put(h, MSG_TILE, 100);
    ASSERT_EQ(channel_send(&pair.host, h, sizeof h), 1);   // the payload never comes
    net_shutdown(pair.host.sock);
    EXPECT_EQ(thread_wait(t, 10000), 1);
    thread_close(t);
    EXPECT_EQ(closes, 1);
    g_viewer.ch = nullptr;
    pair_close(&pair);
}

TEST(ReceiveSetup, HelloSizesAreChecked) {
    EXPECT_EQ(viewer_begin(0, 10), 0);
    EXPECT_EQ(viewer_begin(10, -1), 0);
    EXPECT_EQ(viewer_begin(16385, 10), 0);
    EXPECT_EQ(g_viewer.fb, nullptr);
    ASSERT_EQ(viewer_begin(1, 65), 1);
    EXPECT_EQ(g_viewer.pad_width, 64);
    EXPECT_EQ(g_viewer.pad_height, 128);
    // Nothing before or after a session reaches a framebuffer that is not there.
    viewer_end();
    viewer_dispatch(MSG_TILE, tile_msg(0, 0, 1, 0, bytes(TILE_BYTES, 1)).data(), TILE_BYTES + TILE_HEADER_BYTES);
    viewer_dispatch(MSG_MOVE_RECTS, move_rec(0, 0, 0, 0, 1, 1).data(), MOVE_RECT_BYTES);
    EXPECT_EQ(g_viewer.fb, nullptr);
}
