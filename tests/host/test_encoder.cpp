// Encoder: every frame is decoded here by an independent viewer model (moves, tiles through
// codec_decompress, a tile cache) and must rebuild the host's copy of the viewer's picture exactly;
// plus message order, budget, references, text cover, scrolls, empty passes, cache misses,
// recovery and the record size limit.
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <string.h>
#include <vector>
#include "host/capture.h"
#include "host/cursor.h"
#include "host/encoder.h"
#include "host/receive.h"
#include "host/flow.h"
#include "host/identity.h"
#include "host/log.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/synth.h"
#include "host/text_layer.h"
#include "host/window_list.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/codec.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

struct SentTile {
    int tx, ty, type, raw;
};

// The viewer model: a padded framebuffer, a tile cache, and what the last frame carried.
struct TestViewer {
    int w, h, pw, ph;
    std::vector<uint8_t> fb;
    bool cache_on;
    std::map<uint64_t, std::vector<uint8_t>> cache;
    std::vector<SentTile> tiles;                   // tiles and references of the last frame, in order
    std::vector<std::vector<uint8_t>> misses;      // MSG_CACHE_MISS payloads it would send
    int moves_msgs, frame_ends, cursors, texts, windows;
    std::vector<int> types;                        // message types of the last frame, in order
    uint32_t last_frame;
    bool acks_late;                                // pass() leaves the acknowledgements to the test
};
static TestViewer V;

static void viewer_start(bool cache_on) {
    V = TestViewer();
    V.w = g_picture.width;
    V.h = g_picture.height;
    V.pw = g_picture.pad_width;
    V.ph = g_picture.pad_height;
    V.fb.assign((size_t)V.pw * V.ph * 4, 0);
    V.cache_on = cache_on;
}

static uint8_t *vtile(int tx, int ty, int r) { return &V.fb[((size_t)(ty * 64 + r) * V.pw + tx * 64) * 4]; }

static void viewer_move(const uint8_t *p) {
    int sx = get_i32(p), sy = get_i32(p + 4), dx = get_i32(p + 8), dy = get_i32(p + 12);
    int w = get_i32(p + 16), h = get_i32(p + 20);
    ASSERT_TRUE(w > 0 && h > 0 && sx >= 0 && sy >= 0 && dx >= 0 && dy >= 0);
    ASSERT_TRUE(sx + w <= V.w && dx + w <= V.w && sy + h <= V.h && dy + h <= V.h);
    std::vector<uint8_t> area((size_t)w * h * 4);
    for (int r = 0; r < h; r++) memcpy(&area[(size_t)r * w * 4], &V.fb[((size_t)(sy + r) * V.pw + sx) * 4], w * 4);
    for (int r = 0; r < h; r++) memcpy(&V.fb[((size_t)(dy + r) * V.pw + dx) * 4], &area[(size_t)r * w * 4], w * 4);
}

static void viewer_tile(const uint8_t *p, uint32_t len) {
    int tx = get_u16(p), ty = get_u16(p + 2), raw = p[4];
    uint64_t hash = get_u64(p + 5);
    uint8_t t[TILE_BYTES];
    if (raw) {
        ASSERT_EQ(len, (uint32_t)(13 + TILE_BYTES));
        memcpy(t, p + 13, TILE_BYTES);
    } else {
        ASSERT_GE(len, 14u);
        ASSERT_LT(len, (uint32_t)(13 + TILE_BYTES));
        uint8_t d[TILE_BYTES];
        ASSERT_EQ(codec_decompress(p + 13, len - 13, d, TILE_BYTES), TILE_BYTES);
        for (int r = 0; r < 64; r++)
            for (int j = 0; j < 256; j++) t[r * 256 + j] = (uint8_t)(vtile(tx, ty, r)[j] ^ d[r * 256 + j]);
    }
    ASSERT_EQ(tile_hash(t), hash) << "tile " << tx << "," << ty;
    for (int r = 0; r < 64; r++) memcpy(vtile(tx, ty, r), t + r * 256, 256);
    if (V.cache_on) V.cache[hash] = std::vector<uint8_t>(t, t + TILE_BYTES);
    V.tiles.push_back({tx, ty, MSG_TILE, raw});
}

static void viewer_ref(const uint8_t *p) {
    int tx = get_u16(p), ty = get_u16(p + 2);
    uint64_t hash = get_u64(p + 4);
    V.tiles.push_back({tx, ty, MSG_CACHE_REF, 0});
    auto it = V.cache.find(hash);
    if (!V.cache_on || it == V.cache.end()) {   // keeps its old tile and reports the miss
        V.misses.push_back(std::vector<uint8_t>(p, p + 12));
        return;
    }
    for (int r = 0; r < 64; r++) memcpy(vtile(tx, ty, r), &it->second[r * 256], 256);
}

// Message order of a frame: moves, text, windows, tiles in scan order, cursor, frame end last.
static int order_rank(int type) {
    switch (type) {
    case MSG_MOVE_RECTS: return 0;
    case MSG_TEXT_LAYER: return 1;
    case MSG_WINDOW_LIST: return 2;
    case MSG_TILE: case MSG_CACHE_REF: return 3;
    case MSG_CURSOR: return 4;
    default: return 5;
    }
}

// Applies one flushed frame (the whole output buffer) and checks its order.
static void viewer_apply(const uint8_t *data, size_t len) {
    V.tiles.clear();
    V.types.clear();
    int rank = 0, last_index = -1, moves_here = 0;
    size_t pos = 0;
    while (pos < len) {
        ASSERT_LE(pos + 8, len);
        MessageHeader hd = header_get(data + pos);
        const uint8_t *p = data + pos + 8;
        ASSERT_LE(pos + 8 + hd.length, len);
        int r = order_rank(hd.type);
        ASSERT_GE(r, rank) << "message " << (int)hd.type << " out of order";
        rank = r;
        V.types.push_back(hd.type);
        if (hd.type == MSG_TEXT_LAYER) V.texts++;
        if (hd.type == MSG_WINDOW_LIST) V.windows++;
        if (hd.type == MSG_MOVE_RECTS) {
            V.moves_msgs++;
            ASSERT_EQ(++moves_here, 1) << "more than one move message in a frame";
            for (uint32_t i = 0; i + 24 <= hd.length; i += 24) viewer_move(p + i);
        } else if (hd.type == MSG_TILE || hd.type == MSG_CACHE_REF) {
            int index = get_u16(p) + get_u16(p + 2) * g_picture.cols;
            ASSERT_GT(index, last_index) << "tiles out of scan order";
            last_index = index;
            if (hd.type == MSG_TILE) viewer_tile(p, hd.length);
            else viewer_ref(p);
        } else if (hd.type == MSG_CURSOR) {
            V.cursors++;
        } else if (hd.type == MSG_FRAME_END) {
            ASSERT_EQ(pos + 8 + hd.length, len) << "frame end is not last";
            V.last_frame = get_u32(p);
            V.frame_ends++;
        }
        pos += 8 + hd.length;
    }
}

static int tile_equal(const uint8_t *a, const uint8_t *b, int tx, int ty) {
    size_t stride = (size_t)g_picture.pad_width * 4, off = (size_t)ty * 64 * stride + (size_t)tx * 256;
    for (int r = 0; r < 64; r++)
        if (memcmp(a + off + r * stride, b + off + r * stride, 256)) return 0;
    return 1;
}

// The viewer's MSG_FRAME_ACK for frame f reaches the host (the budget stays what the test set).
static void acknowledge(uint32_t f) {
    uint8_t ack[FRAME_ACK_BYTES];
    put_u32(ack, f);
    put_u32(ack + 4, 0);
    int32_t budget = flow.budget.load();
    flow_on_ack(ack, sizeof ack, 0);
    flow.budget.store(budget);
}

// One pass of the session loop without pacing: capture, encode, close, and the viewer applies it.
// Returns the capture result; *closed tells whether a frame went out.
static int pass(int *closed = nullptr, bool check = true) {
    int r = capture_pass(CAPTURE_SYNTHETIC);
    if (r != CAPTURE_RECOVERED) {
        picture_lock();
        encoder_frame(&s_out);
        picture_unlock();
    }
    uint32_t before = frame_counter.load();
    int c = r != CAPTURE_RECOVERED && encoder_pass_close(&s_out);
    if (closed) *closed = c;
    if (c) {
        EXPECT_EQ(frame_counter.load(), before + 1);
        viewer_apply(s_out.data, s_out.len);
        EXPECT_EQ(V.last_frame, before + 1);
        if (V.misses.empty() && !V.acks_late) acknowledge(V.last_frame);   // misses go first: the test sends them
    } else {
        EXPECT_EQ(s_out.len, 0u) << "a pass without a frame end left bytes behind";
        EXPECT_EQ(frame_counter.load(), before);
    }
    writer_reset(&s_out);
    if (!check) return r;
    EXPECT_EQ(memcmp(V.fb.data(), g_picture.sent, V.fb.size()), 0) << "viewer and sent disagree";
    for (auto &t : V.tiles) EXPECT_TRUE(tile_equal(g_picture.current, g_picture.sent, t.tx, t.ty));
    return r;
}

// Synthetic screen in duplication mode, a fresh session, and a viewer that starts black.
static void session_start(int w, int h, bool cache, int workload = SYNTH_IDLE) {
    ASSERT_TRUE(synth_open(w, h));
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_init();
    ASSERT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    picture_lock();
    picture_reset();
    ASSERT_TRUE(mirror_clear());
    picture_unlock();
    flow_reset(0);
    encoder_session_reset(cache ? 1 : 0);
    viewer_start(cache);
    writer_reset(&s_out);
    synth_set_workload(workload);
}

static void expect_converged(void) {
    for (int i = 0; i < 3; i++) pass();
    EXPECT_EQ(memcmp(g_picture.current, g_picture.sent, V.fb.size()), 0);
    EXPECT_EQ(memcmp(V.fb.data(), g_picture.current, V.fb.size()), 0);
}

TEST(Encoder, EveryWorkloadRebuildsThePictureFrameByFrame) {
    for (int cache = 0; cache <= 1; cache++)
        for (int gdi = 0; gdi <= 1; gdi++) {
            session_start(700, 420, cache);
            if (gdi) capture_init_gdi(CAPTURE_SYNTHETIC);
            for (int wl = 0; wl < SYNTH_WORKLOADS; wl++) {
                synth_set_workload(wl);
                for (int step = 0; step < 8; step++) pass();
                EXPECT_TRUE(V.misses.empty());
            }
            flow.budget.store(FLOW_BUDGET_MIN);   // a small budget only delays, never corrupts
            synth_set_workload(SYNTH_DRAG);
            for (int step = 0; step < 10; step++) pass();
            flow.budget.store(FLOW_BUDGET_MAX);
            synth_set_workload(SYNTH_IDLE);
            expect_converged();
            EXPECT_GT(g_encoder.session_tiles, 0u);
            if (!cache) {
                EXPECT_EQ(g_encoder.session_refs, 0u);
            }
        }
    synth_close();
}

// Fill tile (tx, ty) of current with a pattern (0 = black) and mark it dirty, as capture would.
static void paint(int tx, int ty, uint32_t seed) {
    size_t stride = (size_t)g_picture.pad_width * 4;
    uint8_t *p = g_picture.current + (size_t)ty * 64 * stride + (size_t)tx * 256;
    for (int r = 0; r < 64; r++)
        for (int j = 0; j < 256; j++) p[r * stride + j] = seed ? (uint8_t)((r * 7 + j / 4 * 3) ^ seed) : 0;
    g_picture.dirty[tx + ty * g_picture.cols] = 1;
}

static uint64_t tile_hash_at(int tx, int ty) {
    uint8_t t[TILE_BYTES];
    size_t stride = (size_t)g_picture.pad_width * 4;
    for (int r = 0; r < 64; r++)
        memcpy(t + r * 256, g_picture.current + (size_t)(ty * 64 + r) * stride + tx * 256, 256);
    return tile_hash(t);
}

TEST(Encoder, BudgetServesTilesInScanOrderAcrossPasses) {
    session_start(640, 400, false);
    expect_converged();
    for (int i = 3; i < 23; i++) paint(i % 10, i / 10, 0x40 + i);
    flow.budget.store(8);
    int expected = 3;
    for (int n : {8, 8, 4}) {
        pass();
        ASSERT_EQ((int)V.tiles.size(), n);
        for (auto &t : V.tiles) EXPECT_EQ(t.tx + t.ty * 10, expected++);
        EXPECT_EQ(g_encoder.tiles_this_frame, n);
    }
    int closed = 1;
    pass(&closed);
    EXPECT_EQ(closed, 0);
    flow.budget.store(FLOW_BUDGET_MAX);
    synth_close();
}

// A byte budget cuts a change into frames, but not to leave a tail of under a quarter of the
// budget for a frame of its own.
TEST(Encoder, ByteBudgetLeavesNoSmallTail) {
    session_start(640, 400, false);
    expect_converged();
    flow.rtt_floor.store(25);   // a frame carries 25 ms at the rate
    size_t whole = 0;
    for (int round = 0; round < 4; round++) {   // each round's deltas about the size of the last's
        for (int i = 0; i < 20; i++) {   // noise: tiles of several KB, above the smallest frame budget
            paint(i % 10, i / 10, 1);
            uint8_t *p = g_picture.current + (size_t)(i / 10) * 64 * g_picture.pad_width * 4 + (size_t)(i % 10) * 256;
            for (int r = 0; r < 64; r++)
                for (int j = 0; j < 256; j += 7) p[(size_t)r * g_picture.pad_width * 4 + j] = (uint8_t)(r * j * 37 + round * 11 + i);
        }
        flow.rate.store(round < 2 ? 0 : (int32_t)(whole * (round == 2 ? 9 : 5) / 10 / 25));
        pass();
        if (round == 1) whole = g_encoder.encoded_bytes;
        if (round < 3) EXPECT_EQ((int)V.tiles.size(), 20) << "round " << round;   // 9/10 of it: no cut
        else EXPECT_LT((int)V.tiles.size(), 12);
        expect_converged();
    }
    flow.rate.store(0);
    synth_close();
}

TEST(Encoder, UnchangedDirtyTilesAndEmptyPassesSendNothing) {
    session_start(640, 400, true);
    expect_converged();
    uint32_t frames = frame_counter.load();
    memset(g_picture.dirty, 1, (size_t)g_picture.cols * g_picture.rows);   // as every GDI pass does
    int closed = 1;
    pass(&closed);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(g_encoder.tiles_this_frame, 0);
    pass(&closed);   // nothing captured, nothing dirty
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(frame_counter.load(), frames);
    // A changed tile among 69 unchanged dirty ones costs exactly one tile of the budget.
    memset(g_picture.dirty, 1, (size_t)g_picture.cols * g_picture.rows);
    paint(9, 6, 0x11);
    flow.budget.store(1);
    pass(&closed);
    EXPECT_EQ(closed, 1);
    ASSERT_EQ(V.tiles.size(), 1u);
    EXPECT_EQ(V.tiles[0].tx, 9);
    flow.budget.store(FLOW_BUDGET_MAX);
    synth_close();
}

TEST(Encoder, ReferencesOnlyWithTheCacheInUse) {
    for (int cache = 0; cache <= 1; cache++) {
        session_start(640, 400, cache);
        expect_converged();
        paint(0, 0, 0x21);
        paint(5, 2, 0x21);   // same content twice in one frame
        paint(7, 3, 0x33);
        picture_lock();
        mirror_insert(tile_hash_at(7, 3));   // as advertised by the viewer
        picture_unlock();
        uint32_t count = mirror_count;
        // The viewer's cache holds the advertised content.
        std::vector<uint8_t> t(TILE_BYTES);
        for (int r = 0; r < 64; r++)
            memcpy(&t[r * 256], g_picture.current + (size_t)(3 * 64 + r) * g_picture.pad_width * 4 + 7 * 256, 256);
        V.cache[tile_hash_at(7, 3)] = t;
        pass();
        ASSERT_EQ(V.tiles.size(), 3u);
        if (!cache) {
            for (auto &s : V.tiles) EXPECT_EQ(s.type, MSG_TILE);
            EXPECT_EQ(mirror_count, count) << "the mirror was touched without a cache";
            EXPECT_EQ(g_encoder.refs_this_frame, 0);
        } else {
            EXPECT_EQ(V.tiles[0].type, MSG_TILE);
            EXPECT_EQ(V.tiles[1].type, MSG_CACHE_REF);
            EXPECT_EQ(V.tiles[2].type, MSG_CACHE_REF);
            EXPECT_EQ(g_encoder.refs_this_frame, 2);
            EXPECT_EQ(g_encoder.tiles_this_frame, 3);
            EXPECT_TRUE(V.misses.empty());
        }
    }
    synth_close();
}

TEST(Encoder, TilesWhollyUnderTheTextLayerWait) {
    session_start(640, 400, false);
    expect_converged();
    for (int ty = 1; ty <= 3; ty++)
        for (int tx = 1; tx <= 4; tx++) paint(tx, ty, 0x50 + tx + ty);
    g_encoder.text_cover = 1;
    g_encoder.cover.left = 64;
    g_encoder.cover.top = 64;
    g_encoder.cover.right = 266;    // tiles 1..3 wholly, tile 4 in part
    g_encoder.cover.bottom = 192;   // rows 1..2 wholly
    pass();
    EXPECT_EQ(V.tiles.size(), 12u - 6u);
    for (auto &t : V.tiles) EXPECT_TRUE(t.tx == 4 || t.ty == 3);
    pass();
    EXPECT_EQ(g_picture.dirty[1 + 1 * 10], 1);
    g_encoder.text_cover = 0;
    pass();
    EXPECT_EQ(V.tiles.size(), 6u);
    expect_converged();
    synth_close();
}

// Tiles whose pixels a frame's dirty rectangles touch.
static std::vector<int> touched_tiles(void) {
    std::vector<int> set;
    for (int i = 0; i < g_synth.dirty_count; i++) {
        const CaptureRect &d = g_synth.dirty[i];
        for (int ty = d.top / 64; ty <= (d.bottom - 1) / 64; ty++)
            for (int tx = d.left / 64; tx <= (d.right - 1) / 64; tx++) set.push_back(tx + ty * g_picture.cols);
    }
    return set;
}

TEST(Encoder, ScrollSendsOneMoveAndOnlyTheNewStrip) {
    size_t bytes[2] = {0, 0};
    for (int moves = 1; moves >= 0; moves--) {
        session_start(1280, 720, false);
        g_synth.moves_enabled = moves;
        expect_converged();
        synth_set_workload(SYNTH_SCROLL);
        for (int step = 0; step < 10; step++) {
            int before = V.moves_msgs;
            capture_pass(CAPTURE_SYNTHETIC);
            std::vector<int> allowed = touched_tiles();
            picture_lock();
            encoder_frame(&s_out);
            picture_unlock();
            ASSERT_TRUE(encoder_pass_close(&s_out));
            bytes[moves] += s_out.len;
            viewer_apply(s_out.data, s_out.len);
            writer_reset(&s_out);
            ASSERT_EQ(memcmp(V.fb.data(), g_picture.sent, V.fb.size()), 0);
            if (!moves) continue;
            EXPECT_EQ(V.moves_msgs, before + 1);
            for (auto &t : V.tiles) {
                int idx = t.tx + t.ty * g_picture.cols;
                EXPECT_NE(std::find(allowed.begin(), allowed.end(), idx), allowed.end()) << "tile " << idx;
            }
        }
        expect_converged();
    }
    EXPECT_LT(bytes[1] * 4, bytes[0]) << bytes[1] << " with moves, " << bytes[0] << " without";
    synth_close();
}

// A reference the viewer cannot serve: it keeps its old tile, reports the miss, and the host must
// land the resend on that old content (whole tile), also when the new content is black.
TEST(Encoder, CacheMissResendLandsOnTheViewersOldTile) {
    for (uint32_t content : {0x3Cu, 0u}) {
        session_start(256, 128, true);
        paint(1, 0, 0x77);
        pass();
        expect_converged();
        paint(1, 0, content);
        picture_lock();
        mirror_insert(tile_hash_at(1, 0));   // advertised, but gone from the viewer's cache
        picture_unlock();
        pass(nullptr, false);
        ASSERT_EQ(V.misses.size(), 1u);
        EXPECT_EQ(V.tiles[0].type, MSG_CACHE_REF);
        host_receive_dispatch(MSG_CACHE_MISS, (const uint8_t *)V.misses[0].data(), (uint32_t)V.misses[0].size());
        EXPECT_FALSE(mirror_lookup(tile_hash_at(1, 0)));
        int closed = 0;
        pass(&closed);
        ASSERT_EQ(closed, 1) << "content " << content;
        ASSERT_EQ(V.tiles.size(), 1u);
        EXPECT_EQ(V.tiles[0].raw, 1);
        expect_converged();
        uint8_t short_miss[11] = {0};
        host_receive_dispatch(MSG_CACHE_MISS, short_miss, sizeof short_miss);   // ignored
        uint8_t outside[12] = {9, 0, 9, 0};
        host_receive_dispatch(MSG_CACHE_MISS, outside, sizeof outside);       // outside the grid: hash only
        int c2 = 1;
        pass(&c2);
        EXPECT_EQ(c2, 0);
    }
    synth_close();
}

// A tile never sent holds black in sent, and its delta is made without reading sent; a move that
// carries a sent tile onto it ends that, so a later change goes as a delta against the moved pixels.
TEST(Encoder, MoveOntoATileNeverSentEndsItsBlackShortcut) {
    session_start(320, 192, false);   // 5 x 3 tiles
    paint(0, 0, 0x21);
    flow.budget.store(1);   // only tile (0,0) goes: the others stay black in sent
    pass();
    size_t stride = (size_t)g_picture.pad_width * 4;
    for (int r = 0; r < 64; r++)   // the screen moves tile (0,0) to (4,2)
        memcpy(g_picture.current + (size_t)(128 + r) * stride + 4 * 256, g_picture.current + (size_t)r * stride, 256);
    MoveRect m = {0, 0, 256, 128, 64, 64};
    picture_add_move(&m);
    pass();
    for (int r = 0; r < 64; r += 9) g_picture.current[(size_t)(128 + r) * stride + 4 * 256 + r] ^= 0x5a;
    g_picture.dirty[4 + 2 * g_picture.cols] = 1;
    flow.budget.store(FLOW_BUDGET_MAX);
    expect_converged();
    synth_close();
}

// A reference the viewer cannot serve comes back as a miss only a round trip later. Until the frame
// is really acknowledged, a change to that tile is held back (never a delta), and the tile a move
// copies it into is just as unsure; the miss then has both sent again whole.
TEST(Encoder, NoDeltaAgainstAReferenceWhoseMissMayBeOnTheWay) {
    session_start(320, 192, true);   // 5 x 3 tiles
    paint(1, 0, 0x11);
    paint(3, 0, 0x22);
    expect_converged();
    paint(1, 0, 0x33);
    paint(3, 0, 0x44);
    picture_lock();
    mirror_insert(tile_hash_at(1, 0));   // advertised, but gone from the viewer's cache
    mirror_insert(tile_hash_at(3, 0));
    picture_unlock();
    pass(nullptr, false);
    ASSERT_EQ(V.misses.size(), 2u);   // still on their way to the host
    // The 250 ms release lets frames go without acknowledgements; it confirms nothing.
    flow.last_pass_tick.store(0);
    ASSERT_EQ(flow_may_send(1000), 1);
    paint(1, 0, 0x55);
    size_t stride = (size_t)g_picture.pad_width * 4;
    for (int r = 0; r < 64; r++)   // the screen moves tile (3,0) down one tile row
        memcpy(g_picture.current + (size_t)(64 + r) * stride + 3 * 256, g_picture.current + (size_t)r * stride + 3 * 256, 256);
    MoveRect m = {192, 0, 192, 64, 64, 64};
    picture_add_move(&m);
    pass(nullptr, false);
    for (auto &t : V.tiles) EXPECT_FALSE(t.tx == 1 && t.ty == 0) << "held back";
    EXPECT_EQ(g_picture.dirty[1], 1);
    // The moved copy rests on the pending reference as well; its neighbours do not.
    EXPECT_TRUE(picture_tile_unsure(3 + 1 * (size_t)g_picture.cols, flow.confirmed_frame.load()));
    EXPECT_FALSE(picture_tile_unsure(2 + 1 * (size_t)g_picture.cols, flow.confirmed_frame.load()));
    // The misses arrive, then the acknowledgement; both tiles go whole and everything ends up right.
    for (auto &miss : V.misses) host_receive_dispatch(MSG_CACHE_MISS, miss.data(), (uint32_t)miss.size());
    V.misses.clear();
    acknowledge(frame_counter.load());
    EXPECT_EQ(flow.confirmed_frame.load(), frame_counter.load());
    pass(nullptr, false);
    int whole = 0;
    for (auto &t : V.tiles) whole += ((t.tx == 1 && t.ty == 0) || (t.tx == 3 && t.ty == 1)) && (t.raw || t.type == MSG_CACHE_REF);
    EXPECT_EQ(whole, 2);
    for (auto &miss : V.misses) host_receive_dispatch(MSG_CACHE_MISS, miss.data(), (uint32_t)miss.size());
    expect_converged();
    synth_close();
}

// A tile changed while its reference is unacknowledged waits, costing neither a frame nor budget:
// it goes as a delta once the acknowledgement comes, or raw once its reference's frame is older
// than the hold bound.
TEST(Encoder, HeldTileGoesAsDeltaAfterTheAcknowledgementAndRawAfterTheBound) {
    for (int late = 0; late <= 1; late++) {
        session_start(256, 128, true);
        expect_converged();
        paint(2, 1, 0x11);
        pass();
        V.acks_late = true;
        paint(0, 0, 0x11);   // the same content: a reference the viewer can serve
        pass(nullptr, false);
        ASSERT_EQ(V.tiles.size(), 1u);
        ASSERT_EQ(V.tiles[0].type, MSG_CACHE_REF);
        uint32_t ref_frame = frame_counter.load();
        for (int step = 0; step < 2; step++) {   // changed twice while the acknowledgement is away
            paint(0, 0, 0x12 + step);
            int closed = 1;
            pass(&closed, false);
            EXPECT_EQ(closed, 0) << "a pass of held tiles only sends nothing";
            EXPECT_EQ(g_encoder.held_this_frame, 1);
            EXPECT_EQ(g_picture.dirty[0], 1);
        }
        if (!late) acknowledge(ref_frame);
        picture_lock();
        encoder_tiles_at(&s_out, FLOW_BUDGET_MAX, clock_tick() + (late ? ENCODER_HOLD_MS + 10 : 0));
        picture_unlock();
        ASSERT_EQ(encoder_pass_close(&s_out), 1);
        viewer_apply(s_out.data, s_out.len);
        writer_reset(&s_out);
        ASSERT_EQ(V.tiles.size(), 1u);
        EXPECT_EQ(V.tiles[0].type, MSG_TILE);
        EXPECT_EQ(V.tiles[0].raw, late);
        V.acks_late = false;
        acknowledge(frame_counter.load());
        expect_converged();
    }
    synth_close();
}

// Recovery re-opens the capture through the real backend, which is the synthetic screen only here.
#ifndef _WIN32
TEST(Encoder, AfterRecoveryEveryTileIsReplacedWhole) {
    session_start(640, 400, false, SYNTH_TYPING);
    for (int i = 0; i < 5; i++) pass();
    expect_converged();
    g_synth.fail_next = 1;
    synth_set_workload(SYNTH_TYPING);
    EXPECT_EQ(pass(nullptr, false), CAPTURE_RECOVERED);
    pass();
    EXPECT_EQ((int)V.tiles.size(), g_picture.cols * g_picture.rows);
    for (auto &t : V.tiles) EXPECT_EQ(t.raw, 1);
    for (int i = 0; i < 5; i++) pass();
    for (auto &t : V.tiles) EXPECT_EQ(t.raw, 0);   // typing again travels as deltas
    expect_converged();
    synth_close();
}

#endif

TEST(Encoder, FramesStayWithinOneRecord) {
    picture_init();
    ASSERT_TRUE(picture_resize(4096, 2176));
    picture_reset();
    encoder_session_reset(0);
    viewer_start(false);
    uint32_t x = 12345;
    for (size_t i = 0; i < (size_t)4096 * 2176 * 4; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        g_picture.current[i] = (uint8_t)x;
    }
    int frames = 0;
    for (;;) {
        picture_lock();
        encoder_frame(&s_out);
        picture_unlock();
        if (!encoder_pass_close(&s_out)) break;
        EXPECT_LE(s_out.len, (size_t)CHANNEL_MAX_RECORD);
        viewer_apply(s_out.data, s_out.len);
        writer_reset(&s_out);
        frames++;
    }
    EXPECT_GE(frames, 3);
    EXPECT_EQ(memcmp(V.fb.data(), g_picture.current, V.fb.size()), 0);
    picture_resize(64, 64);
}

TEST(Encoder, FrameLogLineAndCursor) {
    session_start(256, 128, false);
    expect_converged();
    host_log_capture_start();
    frame_counter.store(200);
    paint(0, 0, 0x12);
    pass();
    paint(0, 0, 0x13);
    pass();
    host_log_capture_stop();
    EXPECT_EQ(host_log_count("frame 201: 1 tiles (0 as refs), "), 1);
    EXPECT_EQ(host_log_count("frame 202"), 0);

    encoder_cursor(&s_out, 5, 6, 1);
    encoder_cursor(&s_out, 5, 6, 1);
    EXPECT_EQ(s_out.len, (size_t)(8 + CURSOR_BYTES));
    encoder_cursor(&s_out, 5, 6, 0);
    EXPECT_EQ(s_out.len, (size_t)(2 * (8 + CURSOR_BYTES)));
    EXPECT_EQ(s_out.data[0], MSG_CURSOR);
    EXPECT_EQ(get_i32(s_out.data + 8), 5);
    writer_reset(&s_out);

    g_encoder.session_tiles = 8;
    g_encoder.session_refs = 2;
    host_log_capture_start();
    encoder_log_session_stats();
    host_log_capture_stop();
    EXPECT_EQ(host_log_count("session stats: 8 tiles sent, 2 as cache refs (25%)"), 1);
    synth_close();
}

// The receive thread reports misses while the session loop captures and encodes; once the misses
// stop, every forgotten tile has been resent whole and the viewer matches the screen.
static unsigned miss_thread(void *arg) {
    int *stop = (int *)arg;
    uint32_t x = 777;
    for (int i = 0; i < 300 && !__atomic_load_n(stop, __ATOMIC_ACQUIRE); i++) {
        x = x * 1103515245u + 12345u;
        uint8_t miss[12] = {0};
        put_u16(miss, (uint16_t)(x >> 8) % 11);   // some columns outside the grid
        put_u16(miss + 2, (uint16_t)(x >> 20) % 7);
        put_u64(miss + 4, x);
        host_receive_dispatch(MSG_CACHE_MISS, miss, sizeof miss);
        clock_sleep(1);
    }
    return 0;
}

TEST(Encoder, MissesFromAnotherThreadWhileEncoding) {
    session_start(640, 400, true, SYNTH_TYPING);
    int stop = 0;
    thread_handle t = thread_create(miss_thread, &stop);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 150; i++) pass(nullptr, false);
    __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    synth_set_workload(SYNTH_IDLE);
    expect_converged();
    synth_close();
}

// A tile the host forgot (after a miss) scrolls up before it is resent: wherever its unknown content
// lands, the resend must replace the viewer's tile whole.
TEST(Encoder, ForgottenTileThatScrollsAwayIsStillRepaired) {
    session_start(640, 400, false);   // no references: they would replace the tiles whole anyway
    expect_converged();
    picture_lock();
    picture_forget_tile(5, 2);   // inside the page; the viewer keeps showing the old pixels
    picture_forget_tile(6, 3);
    picture_unlock();
    flow.budget.store(FLOW_BUDGET_MIN);   // the forgotten tiles wait while the page moves
    g_encoder.text_cover = 1;             // hold back everything in the page for a few frames
    g_encoder.cover.left = 0;
    g_encoder.cover.top = 0;
    g_encoder.cover.right = 640;
    g_encoder.cover.bottom = 400;
    synth_set_workload(SYNTH_SCROLL);
    for (int i = 0; i < 3; i++) pass(nullptr, false);
    g_encoder.text_cover = 0;
    flow.budget.store(FLOW_BUDGET_MAX);
    for (int i = 0; i < 3; i++) pass(nullptr, false);
    synth_set_workload(SYNTH_IDLE);
    for (int i = 0; i < 3; i++) pass(nullptr, false);
    EXPECT_EQ(memcmp(V.fb.data(), g_picture.current, V.fb.size()), 0);
    EXPECT_EQ(memcmp(V.fb.data(), g_picture.sent, V.fb.size()), 0);
    synth_close();
}

// The native stand-ins of the text layer, the window list and the pointer, fed by the test.
#ifndef _WIN32
TEST(Encoder, OverlaysAndPointerTakeTheirPlacesInTheFrame) {
    session_start(640, 400, false, SYNTH_SCROLL);
    encoder_viewer_caps(1);   // text layer wanted, no tile cache
    text_layer_session_reset();
    window_list_session_reset();
    g_encoder.text_layer_on = 1;
    g_encoder.window_list_on = 1;
    std::vector<text_cell> cells(40 * 10, text_cell{'a', 7});
    text_rect_t rect = {0, 0, 300, 200};   // covers tiles 0..3 x 0..2 wholly
    text_console_feed(cells.data(), 40, 10, &rect);
    WindowInfo win = {0x1234, 1, 0, 10, 20, 310, 220, 1, 0, "Console", 7};
    window_list_feed(&win, 1);
    cursor_feed(1, 50, 60, 1);
    pass();
    pass();   // the scroll brings a move; the pointer, text and windows are unchanged
    EXPECT_EQ(V.types.front(), MSG_MOVE_RECTS);
    EXPECT_EQ(V.types.back(), MSG_FRAME_END);
    EXPECT_EQ(V.texts, 1);
    EXPECT_EQ(V.windows, 1);
    EXPECT_EQ(V.cursors, 1);
    for (auto &t : V.tiles) EXPECT_FALSE(t.tx <= 3 && t.ty <= 2) << "tile under the text layer";
    cursor_feed(1, 51, 60, 1);
    text_console_feed(nullptr, 0, 0, nullptr);   // the console leaves the foreground
    synth_set_workload(SYNTH_IDLE);
    pass();
    ASSERT_EQ(V.types.size(), 15u);   // layer off, the 12 tiles it held back, pointer, frame end
    EXPECT_EQ(V.types[0], MSG_TEXT_LAYER);
    EXPECT_EQ(V.tiles.size(), 12u);
    EXPECT_EQ(V.types[13], MSG_CURSOR);
    EXPECT_EQ(g_encoder.text_cover, 0);
    cursor_feed(0, 0, 0, 0);
    g_encoder.text_layer_on = g_encoder.window_list_on = 0;
    window_list_feed(nullptr, 0);
    expect_converged();
    synth_close();
}
#endif
