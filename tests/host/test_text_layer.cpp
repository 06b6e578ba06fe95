// Text layer: row records of changed rows only, full resend on size or position change, the off
// message, covered tiles, and the native console stand-in driving text_layer_pass.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "host/text_layer.h"
#include "protocol/codec.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

namespace {

struct Decoded {
    int32_t left, top, width, height;
    int cols, rows, records;
    uint32_t size;
    std::vector<uint8_t> body;   // decompressed row records
};

// Splits s_out into messages; returns how many there were and decodes the text-layer ones.
int parse_out(std::vector<Decoded> *layers, std::vector<uint32_t> *lengths) {
    size_t pos = 0;
    int n = 0;
    while (pos + HEADER_BYTES <= s_out.len) {
        MessageHeader h = header_get(s_out.data + pos);
        const uint8_t *p = s_out.data + pos + HEADER_BYTES;
        EXPECT_LE(pos + HEADER_BYTES + h.length, s_out.len);
        EXPECT_EQ(h.type, MSG_TEXT_LAYER);
        lengths->push_back(h.length);
        Decoded d;
        d.left = get_i32(p), d.top = get_i32(p + 4), d.width = get_i32(p + 8), d.height = get_i32(p + 12);
        d.cols = get_u16(p + 16), d.rows = get_u16(p + 18), d.records = get_u16(p + 20);
        d.size = get_u32(p + 22);
        d.body.resize(d.size + 1);
        int m = codec_decompress(p + 26, h.length - 26, d.body.data(), d.body.size());
        EXPECT_EQ(m, (int)d.size);
        d.body.resize(d.size);
        layers->push_back(d);
        pos += HEADER_BYTES + h.length;
        n++;
    }
    EXPECT_EQ(pos, s_out.len);
    return n;
}

std::vector<text_cell> console(int cols, int rows, uint16_t seed) {
    std::vector<text_cell> c((size_t)cols * rows);
    for (size_t i = 0; i < c.size(); i++) c[i] = {(uint16_t)('a' + (i + seed) % 26), (uint16_t)(0x0107 + i % 3)};
    return c;
}

class TextLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        text_layer_session_reset();
        writer_reset(&s_out);
    }
    void TearDown() override { writer_reset(&s_out); }
};

}  // namespace

TEST_F(TextLayer, FirstPassSendsEveryRowThenOnlyChangedRows) {
    std::vector<text_cell> c = console(120, 30, 0);
    text_rect_t rect = {100, 50, 100 + 960, 50 + 480};
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 120, 30, &rect), 1);
    std::vector<Decoded> d;
    std::vector<uint32_t> len;
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].left, 100);
    EXPECT_EQ(d[0].top, 50);
    EXPECT_EQ(d[0].width, 960);
    EXPECT_EQ(d[0].height, 480);
    EXPECT_EQ(d[0].cols, 120);
    EXPECT_EQ(d[0].rows, 30);
    EXPECT_EQ(d[0].records, 30);
    EXPECT_EQ(d[0].size, 10860u);
    ASSERT_EQ(d[0].body.size(), 10860u);
    // Row 7, cell 5: row index, UTF-16 unit, low byte of the attribute word.
    const uint8_t *r7 = d[0].body.data() + 7 * 362;
    EXPECT_EQ(get_u16(r7), 7);
    EXPECT_EQ(get_u16(r7 + 2 + 5 * 3), c[7 * 120 + 5].ch);
    EXPECT_EQ(r7[2 + 5 * 3 + 2], (uint8_t)c[7 * 120 + 5].attr);
    EXPECT_TRUE(text_layer_covers_tile(2, 1));

    // Unchanged console: nothing at all.
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 120, 30, &rect), 1);
    EXPECT_EQ(s_out.len, 0u);

    // One typed character: one record for that row.
    c[12 * 120 + 40].ch = 'Z';
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 120, 30, &rect), 1);
    d.clear();
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 1);
    EXPECT_EQ(d[0].size, 362u);
    EXPECT_EQ(get_u16(d[0].body.data()), 12);
    EXPECT_EQ(get_u16(d[0].body.data() + 2 + 40 * 3), 'Z');

    // Two rows far apart change: both, in increasing order.
    c[29 * 120].attr = 0x4F;
    c[3 * 120 + 119].ch = '!';
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 120, 30, &rect), 1);
    d.clear();
    ASSERT_EQ(parse_out(&d, &len), 1);
    ASSERT_EQ(d[0].records, 2);
    EXPECT_EQ(get_u16(d[0].body.data()), 3);
    EXPECT_EQ(get_u16(d[0].body.data() + 362), 29);
    EXPECT_EQ(d[0].body[362 + 4], 0x4F);
}

TEST_F(TextLayer, MovedOrResizedConsoleResendsAllRows) {
    std::vector<text_cell> c = console(80, 25, 3);
    text_rect_t rect = {0, 0, 640, 400};
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 80, 25, &rect), 1);
    rect.left += 1;
    rect.right += 1;
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 80, 25, &rect), 1);
    std::vector<Decoded> d;
    std::vector<uint32_t> len;
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 25);
    EXPECT_EQ(d[0].left, 1);

    // Same cells, one row fewer: a different size, so every row again.
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 80, 24, &rect), 1);
    d.clear();
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 24);
    EXPECT_EQ(d[0].size, 24u * (80 * 3 + 2));

    // A new session shows nothing yet: the whole console goes again.
    text_layer_session_reset();
    writer_reset(&s_out);
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 80, 24, &rect), 1);
    d.clear();
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 24);
}

TEST_F(TextLayer, OffMessageOnceThenNothing) {
    text_layer_off(&s_out);   // never active: nothing
    EXPECT_EQ(s_out.len, 0u);
    std::vector<text_cell> c = console(10, 2, 0);
    text_rect_t rect = {0, 0, 80, 32};
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 10, 2, &rect), 1);
    writer_reset(&s_out);
    text_layer_off(&s_out);
    ASSERT_EQ(s_out.len, (size_t)HEADER_BYTES + 26);
    EXPECT_EQ(s_out.data[0], MSG_TEXT_LAYER);
    EXPECT_EQ(get_u32(s_out.data + 4), 26u);
    for (int i = 0; i < 26; i++) EXPECT_EQ(s_out.data[HEADER_BYTES + i], 0) << i;
    EXPECT_FALSE(text_layer_covers_tile(0, 0));
    writer_reset(&s_out);
    text_layer_off(&s_out);
    EXPECT_EQ(s_out.len, 0u);
}

TEST_F(TextLayer, SizeLimitsAreRejected) {
    std::vector<text_cell> c = console(513, 257, 0);
    text_rect_t rect = {0, 0, 100, 100};
    EXPECT_EQ(text_layer_apply(&s_out, c.data(), 0, 10, &rect), 0);
    EXPECT_EQ(text_layer_apply(&s_out, c.data(), 513, 10, &rect), 0);
    EXPECT_EQ(text_layer_apply(&s_out, c.data(), 10, 257, &rect), 0);
    EXPECT_EQ(text_layer_apply(&s_out, nullptr, 10, 10, &rect), 0);
    EXPECT_EQ(s_out.len, 0u);
    // The largest console: 256 rows of 512 cells.
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 512, 256, &rect), 1);
    std::vector<Decoded> d;
    std::vector<uint32_t> len;
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 256);
    EXPECT_EQ(d[0].size, 256u * (512 * 3 + 2));
}

TEST_F(TextLayer, CoveredTilesAreThoseWhollyInside) {
    std::vector<text_cell> c = console(4, 4, 0);
    text_rect_t rect = {64, 64, 64 * 4, 64 * 3 + 10};   // tiles x 1..3, y 1..2 wholly inside
    EXPECT_FALSE(text_layer_covers_tile(1, 1));          // inactive
    ASSERT_EQ(text_layer_apply(&s_out, c.data(), 4, 4, &rect), 1);
    EXPECT_TRUE(text_layer_covers_tile(1, 1));
    EXPECT_TRUE(text_layer_covers_tile(3, 2));
    EXPECT_FALSE(text_layer_covers_tile(0, 1));   // left of the area
    EXPECT_FALSE(text_layer_covers_tile(4, 1));   // x 256..319 reaches past right = 256
    EXPECT_FALSE(text_layer_covers_tile(1, 3));   // y 192..255, bottom is 202: partly covered
    EXPECT_FALSE(text_layer_covers_tile(1, 0));
}

#ifndef _WIN32
TEST_F(TextLayer, PassReadsTheFedConsoleAndSwitchesOffWhenItLeaves) {
    std::vector<text_cell> c = console(120, 30, 1);
    text_rect_t rect = {8, 8, 968, 488};
    text_layer_pass(&s_out);   // no console: nothing
    EXPECT_EQ(s_out.len, 0u);
    text_console_feed(c.data(), 120, 30, &rect);
    text_layer_pass(&s_out);
    std::vector<Decoded> d;
    std::vector<uint32_t> len;
    ASSERT_EQ(parse_out(&d, &len), 1);
    EXPECT_EQ(d[0].records, 30);
    writer_reset(&s_out);
    text_layer_pass(&s_out);
    EXPECT_EQ(s_out.len, 0u);
    // An oversized console counts as no console: the layer goes off.
    std::vector<text_cell> big = console(600, 10, 0);
    text_console_feed(big.data(), 600, 10, &rect);
    text_layer_pass(&s_out);
    EXPECT_EQ(s_out.len, (size_t)HEADER_BYTES + 26);
    writer_reset(&s_out);
    text_console_feed(nullptr, 0, 0, nullptr);
    text_layer_pass(&s_out);
    EXPECT_EQ(s_out.len, 0u);
}
#endif

#ifdef _WIN32
// This process has a console of its own (or none in front), so attaching fails: no layer.
TEST_F(TextLayer, NoReadableConsoleSendsNothing) {
    text_layer_pass(&s_out);
    EXPECT_EQ(s_out.len, 0u);
    EXPECT_EQ(g_text_layer.text_active, 0);
}
#endif
