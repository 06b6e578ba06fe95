// Picture and capture: grid geometry, rectangle copies and dirty marking, the duplication copy rules
// (moves, dirty rectangles, partial or full), recovery and size changes, and the synthetic screen's
// promise that its rectangles describe every pixel it changed.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "host/capture.h"
#include "host/log.h"
#include "host/picture.h"
#include "host/synth.h"

static const int picture_ready = (picture_init(), 1);   // the lock exists whichever test runs first

static int dirty_count(void) {
    int n = 0;
    for (int i = 0; i < g_picture.cols * g_picture.rows; i++) n += g_picture.dirty[i];
    return n;
}

static std::vector<uint8_t> screen_image(int w, int h, uint8_t seed) {
    std::vector<uint8_t> img((size_t)w * h * 4);
    for (size_t i = 0; i < img.size(); i++) img[i] = (uint8_t)(i * 31 + seed) | 1;
    return img;
}

TEST(Picture, GridAndMarginOf1366x768) {
    picture_init();
    ASSERT_TRUE(picture_resize(1366, 768));
    EXPECT_EQ(g_picture.cols, 22);
    EXPECT_EQ(g_picture.rows, 12);
    EXPECT_EQ(g_picture.pad_width, 1408);
    EXPECT_EQ(g_picture.pad_height, 768);
    EXPECT_EQ(g_picture.full_refresh, 1);
    EXPECT_EQ(dirty_count(), 0);
    std::vector<uint8_t> img = screen_image(1366, 768, 3);
    picture_copy_rect(img.data(), 1366 * 4, 0, 0, 1366, 768);
    EXPECT_EQ(dirty_count(), 22 * 12);
    for (int y = 0; y < 768; y++) {
        const uint8_t *row = g_picture.current + (size_t)y * 1408 * 4;
        ASSERT_EQ(memcmp(row, img.data() + (size_t)y * 1366 * 4, 1366 * 4), 0);
        for (int x = 1366 * 4; x < 1408 * 4; x++) ASSERT_EQ(row[x], 0) << "margin written at row " << y;
    }
    EXPECT_FALSE(picture_resize(0, 10));
    EXPECT_EQ(g_picture.current, nullptr);
}

TEST(Picture, CopyRectClampsAndMarksTouchedTiles) {
    ASSERT_TRUE(picture_resize(300, 200));
    std::vector<uint8_t> img = screen_image(300, 200, 9);
    picture_copy_rect(img.data(), 300 * 4, 60, 70, 70, 130);   // columns 0-1, rows 1-2
    EXPECT_EQ(dirty_count(), 4);
    EXPECT_TRUE(g_picture.dirty[0 + 1 * 5] && g_picture.dirty[1 + 1 * 5] && g_picture.dirty[0 + 2 * 5]);
    memset(g_picture.dirty, 0, 5 * 4);
    picture_copy_rect(img.data(), 300 * 4, 250, 150, 9999, 9999);   // clipped to the screen
    EXPECT_EQ(dirty_count(), 4);
    EXPECT_EQ(g_picture.current[((size_t)199 * 320 + 299) * 4], img[((size_t)199 * 300 + 299) * 4]);
    memset(g_picture.dirty, 0, 5 * 4);
    picture_copy_rect(img.data(), 300 * 4, -50, -50, 0, 100);   // empty after clamping
    picture_copy_rect(img.data(), 300 * 4, 400, 0, 500, 10);
    EXPECT_EQ(dirty_count(), 0);
}

TEST(Picture, ResetAndForgetting) {
    ASSERT_TRUE(picture_resize(200, 130));
    memset(g_picture.sent, 7, (size_t)g_picture.pad_width * g_picture.pad_height * 4);
    MoveRect m = {0, 0, 10, 10, 5, 5};
    picture_add_move(&m);
    picture_reset();
    EXPECT_EQ(g_picture.move_count, 0);
    EXPECT_EQ(dirty_count(), 4 * 3);
    EXPECT_EQ(g_picture.sent[12345], 0);
    EXPECT_EQ(g_picture.force_raw[5], 0);   // a new viewer really starts black

    memset(g_picture.sent, 7, (size_t)g_picture.pad_width * g_picture.pad_height * 4);
    memset(g_picture.dirty, 0, 12);
    picture_forget_tile(2, 1);
    picture_forget_tile(4, 0);   // outside the grid: nothing
    picture_forget_tile(0, 3);
    EXPECT_EQ(dirty_count(), 1);
    EXPECT_EQ(g_picture.force_raw[2 + 4], 1);
    size_t stride = (size_t)g_picture.pad_width * 4;
    EXPECT_EQ(g_picture.sent[64 * stride + 128 * 4], 0);
    EXPECT_EQ(g_picture.sent[127 * stride + 191 * 4 + 3], 0);
    EXPECT_EQ(g_picture.sent[127 * stride + 192 * 4], 7);   // the neighbour keeps its copy

    picture_forget_all();
    for (int i = 0; i < 12; i++) EXPECT_EQ(g_picture.force_raw[i], 1);
}

TEST(Capture, MovesAreCheckedListedAndCopied) {
    ASSERT_TRUE(picture_resize(640, 480));
    g_picture.full_refresh = 1;
    std::vector<uint8_t> img = screen_image(640, 480, 1);
    CaptureMove moves[3] = {
        {0, 100, 0, 50, 640, 250},     // a scroll: accepted
        {0, 0, 600, 0, 700, 10},       // destination past the right edge: dropped
        {-1, 0, 0, 0, 10, 10},         // negative source: dropped
    };
    CaptureRect dirty[1] = {{600, 470, 700, 500}};   // clipped
    capture_apply_partial(img.data(), 640 * 4, moves, 3, dirty, 1);
    ASSERT_EQ(g_picture.move_count, 1);
    EXPECT_EQ(g_picture.moves[0].src_y, 100);
    EXPECT_EQ(g_picture.moves[0].dst_y, 50);
    EXPECT_EQ(g_picture.moves[0].height, 200);
    EXPECT_EQ(g_picture.full_refresh, 0);
    EXPECT_EQ(g_picture.dirty[0], 1);              // tile row 0 holds y 50..63
    EXPECT_EQ(g_picture.dirty[9 + 7 * 10], 1);     // the clipped dirty rectangle
    EXPECT_EQ(g_picture.current[((size_t)5 * 640 + 650) * 4], 0);   // the dropped move copied nothing
    EXPECT_EQ(dirty_count(), 10 * 4 + 1);   // rows 50..249: tile rows 0..3
}

TEST(Capture, The257thMoveIsCopiedButNotListed) {
    ASSERT_TRUE(picture_resize(640, 480));
    std::vector<uint8_t> img = screen_image(640, 480, 2);
    std::vector<CaptureMove> moves(257);
    for (int i = 0; i < 257; i++) moves[i] = {0, 0, 0, 0, 1, 1};
    moves[256] = {0, 0, 600, 400, 610, 410};
    capture_apply_partial(img.data(), 640 * 4, moves.data(), 257, nullptr, 0);
    EXPECT_EQ(g_picture.move_count, 256);
    EXPECT_EQ(g_picture.dirty[9 + 6 * 10], 1);
    EXPECT_EQ(g_picture.current[((size_t)405 * 640 + 605) * 4], img[((size_t)405 * 640 + 605) * 4]);
}

TEST(Capture, PartialOrFullCopy) {
    CaptureFrameInfo f = {5, 1, 40};
    EXPECT_TRUE(capture_choose_partial(0, &f));
    EXPECT_FALSE(capture_choose_partial(1, &f));   // refresh pending
    f.accumulated_frames = 2;
    EXPECT_FALSE(capture_choose_partial(0, &f));
    f = {5, 1, 0};
    EXPECT_FALSE(capture_choose_partial(0, &f));   // no metadata came
    f = {0, 0, 40};
    EXPECT_FALSE(capture_choose_partial(0, &f));   // pointer only

    ASSERT_TRUE(picture_resize(200, 100));
    MoveRect m = {0, 0, 64, 0, 10, 10};
    picture_add_move(&m);
    std::vector<uint8_t> img = screen_image(200, 100, 4);
    capture_apply_full(img.data(), 200 * 4);
    EXPECT_EQ(g_picture.move_count, 0);
    EXPECT_EQ(g_picture.full_refresh, 0);
    EXPECT_EQ(dirty_count(), 4 * 2);
}

// The synthetic duplication: a pointer-only frame copies nothing unless a refresh is pending.
TEST(Capture, SyntheticDuplicationPasses) {
    ASSERT_TRUE(synth_open(320, 200));
    g_synth.wait_ms = 0;
    ASSERT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    EXPECT_EQ(capture_uses_dxgi(), 1);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NEW);   // refresh pending: the whole screen
    EXPECT_EQ(dirty_count(), 5 * 4);
    EXPECT_EQ(memcmp(g_picture.current, g_synth.pixels, 320 * 4), 0);
    memset(g_picture.dirty, 0, 20);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NOTHING);   // idle
    EXPECT_EQ(dirty_count(), 0);
    synth_set_workload(SYNTH_TYPING);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NEW);
    EXPECT_GE(dirty_count(), 1);
    EXPECT_LE(dirty_count(), 2);
    synth_close();
}

// Recovery re-opens the capture through the source that lost it: here the synthetic screen.
TEST(Capture, RecoveryForgetsTheViewerAndFallsBackToGdiForGood) {
    ASSERT_TRUE(synth_open(256, 128));
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    ASSERT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    capture_pass(CAPTURE_SYNTHETIC);
    int before = capture_recoveries();
    g_synth.fail_next = 1;
    host_log_capture_start();
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_RECOVERED);
    EXPECT_EQ(capture_recoveries(), before + 1);
    EXPECT_EQ(capture_uses_dxgi(), 1);
    EXPECT_EQ(dirty_count(), 4 * 2);
    EXPECT_EQ(g_picture.force_raw[3], 1);
    EXPECT_EQ(g_picture.full_refresh, 1);

    g_synth.fail_next = 1;
    g_synth.dxgi_unavailable = 1;   // the duplication cannot be re-opened
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_RECOVERED);
    EXPECT_EQ(capture_uses_dxgi(), 0);
    g_synth.dxgi_unavailable = 0;
    g_synth.fail_next = 1;   // GDI never fails
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NEW);
    EXPECT_EQ(capture_uses_dxgi(), 0);
    host_log_capture_stop();
    EXPECT_EQ(capture_recoveries(), before + 2);   // the lost frame in GDI mode recovered nothing
    EXPECT_EQ(host_log_count("DXGI"), 0);          // the stand-in says nothing of Windows
    EXPECT_EQ(host_log_count("GDI"), 0);
    EXPECT_EQ(host_log_count("AcquireNextFrame"), 0);
    synth_close();
}

TEST(Capture, ScreenSizeChangeEndsTheSessionInBothModes) {
    ASSERT_TRUE(synth_open(256, 128));
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    ASSERT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    capture_pass(CAPTURE_SYNTHETIC);
    synth_resize(320, 128);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_RESIZED);
    EXPECT_EQ(g_picture.width, 320);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NEW);
    capture_init_gdi(CAPTURE_SYNTHETIC);
    synth_resize(128, 64);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_RESIZED);
    EXPECT_EQ(g_picture.cols, 2);
    EXPECT_EQ(capture_pass(CAPTURE_SYNTHETIC), CAPTURE_NEW);
    synth_close();
}

// Replaying a frame's moves and dirty rectangles on the previous screen must give the new screen.
static void replay(std::vector<uint8_t> &prev, int w) {
    for (int i = 0; i < g_synth.move_count; i++) {
        const CaptureMove &m = g_synth.moves[i];
        int mw = m.right - m.left, mh = m.bottom - m.top;
        std::vector<uint8_t> area((size_t)mw * mh * 4);
        for (int r = 0; r < mh; r++)
            memcpy(&area[(size_t)r * mw * 4], &prev[((size_t)(m.src_y + r) * w + m.src_x) * 4], (size_t)mw * 4);
        for (int r = 0; r < mh; r++)
            memcpy(&prev[((size_t)(m.top + r) * w + m.left) * 4], &area[(size_t)r * mw * 4], (size_t)mw * 4);
    }
    for (int i = 0; i < g_synth.dirty_count; i++) {
        const CaptureRect &d = g_synth.dirty[i];
        for (int y = d.top; y < d.bottom; y++)
            memcpy(&prev[((size_t)y * w + d.left) * 4], &g_synth.pixels[((size_t)y * w + d.left) * 4],
                   (size_t)(d.right - d.left) * 4);
    }
}

TEST(Synth, RectanglesDescribeEveryChangeOfEveryWorkload) {
    const int sizes[3][2] = {{700, 450}, {333, 211}, {40, 30}};
    for (auto &sz : sizes)
        for (int moves = 0; moves <= 1; moves++)
            for (int wl = 0; wl < SYNTH_WORKLOADS; wl++) {
                ASSERT_TRUE(synth_open(sz[0], sz[1]));
                g_synth.moves_enabled = moves;
                synth_set_workload(wl);
                std::vector<uint8_t> prev(g_synth.pixels, g_synth.pixels + (size_t)sz[0] * sz[1] * 4);
                for (int step = 0; step < 40; step++) {
                    synth_step();
                    if (!moves) {
                        ASSERT_EQ(g_synth.move_count, 0);
                    }
                    EXPECT_EQ(g_synth.presented, g_synth.move_count + g_synth.dirty_count > 0);
                    replay(prev, sz[0]);
                    ASSERT_EQ(memcmp(prev.data(), g_synth.pixels, prev.size()), 0)
                        << synth_workload_name(wl) << " step " << step << " size " << sz[0];
                }
            }
    ASSERT_TRUE(synth_open(640, 480));
    synth_set_workload(SYNTH_SCROLL);
    synth_step();
    EXPECT_EQ(g_synth.move_count, 1);
    synth_close();
}
