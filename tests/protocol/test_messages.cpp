// test_messages: every pack function gives the bytes the wire carries (written out by hand here),
// every unpack reads them back and refuses a payload that is too short, and the move check.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "protocol/messages.h"

typedef std::vector<uint8_t> bytes;

static bytes packed(const uint8_t *p, size_t n) { return bytes(p, p + n); }

TEST(Messages, FixedLayoutsAreTheWireBytes) {
    uint8_t b[HEADER_BYTES + HOST_HELLO_BYTES];
    HostHello hh;
    memset(&hh, 0, sizeof hh);
    hh.width = 1920;
    hh.height = 1080;
    hh.tile_edge = 64;
    hh.caps = 0x0B;
    memcpy(hh.name, "PC", 2);
    bytes want = {1, 0, 0, 0, 44, 0, 0, 0, 0x80, 7, 0, 0, 0x38, 4, 0, 0, 64, 0, 0x0B, 0, 'P', 'C'};
    want.resize(HEADER_BYTES + HOST_HELLO_BYTES);
    EXPECT_EQ(packed(b, msg_pack_host_hello(b, &hh)), want);

    ClientHello ch;
    memset(&ch, 0, sizeof ch);
    ch.caps = 11;
    memcpy(ch.name, "V", 1);
    want = {0x80, 0, 0, 0, 34, 0, 0, 0, 11, 0, 'V'};
    want.resize(HEADER_BYTES + CLIENT_HELLO_BYTES);
    EXPECT_EQ(packed(b, msg_pack_client_hello(b, &ch)), want);

    TileHeader th = {0x0102, 0x0304, 1, 0x1122334455667788ull};
    EXPECT_EQ(packed(b, msg_pack_tile(b, &th, 100)),
              (bytes{3, 0, 0, 0, 113, 0, 0, 0, 2, 1, 4, 3, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));

    TextLayerHeader tl = {-1, 2, 3, 4, 80, 25, 7, 0x01020304};
    EXPECT_EQ(packed(b, msg_pack_text_layer(b, &tl, 5)),
              (bytes{4, 0, 0, 0, 31, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0,
                     80, 0, 25, 0, 7, 0, 4, 3, 2, 1}));

    CursorMsg cu = {-2, 5, 1};
    EXPECT_EQ(packed(b, msg_pack_cursor(b, &cu)),
              (bytes{5, 0, 0, 0, 9, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0, 1}));

    FrameEnd fe = {9, 0x04030201};
    EXPECT_EQ(packed(b, msg_pack_frame_end(b, &fe)), (bytes{7, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(packed(b, msg_pack_frame_ack(b, &fe)), (bytes{0x81, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0, 1, 2, 3, 4}));

    CacheRef cr = {3, 4, 5};
    bytes ref = {8, 0, 0, 0, 12, 0, 0, 0, 3, 0, 4, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(packed(b, msg_pack_cache_ref(b, &cr)), ref);
    ref[0] = 0x86;
    EXPECT_EQ(packed(b, msg_pack_cache_miss(b, &cr)), ref);

    MouseMsg mo = {10, -1, 2, 1, -120};
    EXPECT_EQ(packed(b, msg_pack_mouse(b, &mo)),
              (bytes{0x82, 0, 0, 0, 12, 0, 0, 0, 10, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 1, 0x88, 0xFF}));
    KeyMsg k = {0x41, 1};
    EXPECT_EQ(packed(b, msg_pack_key(b, &k)), (bytes{0x83, 0, 0, 0, 4, 0, 0, 0, 0x41, 0, 1, 0}));
    EXPECT_EQ(packed(b, msg_pack_char(b, 0x20AC)), (bytes{0x84, 0, 0, 0, 2, 0, 0, 0, 0xAC, 0x20}));
}

TEST(Messages, ListItemsAndUnpackingBack) {
    uint8_t r[MOVE_RECT_BYTES];
    MoveRect m = {1, 2, 3, 4, -5, 6}, back;
    msg_pack_move_rect(r, &m);
    EXPECT_EQ(packed(r, sizeof r), (bytes{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF, 6, 0, 0, 0}));
    msg_unpack_move_rect(r, &back);
    EXPECT_EQ(memcmp(&m, &back, sizeof m), 0);
    EXPECT_EQ(msg_move_rect_count(MOVE_RECT_BYTES * 3 + 5), 3u);
    EXPECT_EQ(msg_move_rect_count(MOVE_RECT_BYTES * 1000), (uint32_t)MAX_MOVE_RECTS);

    uint8_t w[WINDOW_RECORD_BYTES + 2];
    WindowEntry we = {0x1234, -8, 9, 100, 50, WINDOW_FLAG_FOREGROUND, 2}, wb;
    msg_pack_window_entry(w, &we);
    w[WINDOW_RECORD_BYTES] = 'h';
    w[WINDOW_RECORD_BYTES + 1] = 'i';
    EXPECT_EQ(w[20], 1);
    EXPECT_EQ(w[21], 2);
    ASSERT_EQ(msg_unpack_window_entry(w, sizeof w, &wb), 1);
    EXPECT_EQ(wb.handle, 0x1234u);
    EXPECT_EQ(wb.left, -8);
    EXPECT_EQ(wb.height, 50);
    EXPECT_EQ(msg_unpack_window_entry(w, sizeof w - 1, &wb), 0);   // the title does not fit
    uint8_t head[HEADER_BYTES + 2];
    EXPECT_EQ(packed(head, msg_pack_window_list(head, 3, 70)), (bytes{6, 0, 0, 0, 72, 0, 0, 0, 3, 0}));

    uint8_t b[HEADER_BYTES + HOST_HELLO_BYTES];
    TileHeader th = {7, 8, 3, 99}, tb;
    msg_pack_tile(b, &th, 0);
    ASSERT_EQ(msg_unpack_tile(b + HEADER_BYTES, TILE_HEADER_BYTES, &tb), 1);
    EXPECT_EQ(tb.tx, 7);
    EXPECT_EQ(tb.ty, 8);
    EXPECT_EQ(tb.form, 3);
    EXPECT_EQ(tb.hash, 99u);
    EXPECT_EQ(msg_unpack_tile(b + HEADER_BYTES, TILE_HEADER_BYTES - 1, &tb), 0);

    MouseMsg mo = {-3, 4, 1, 2, 120}, mb;
    msg_pack_mouse(b, &mo);
    ASSERT_EQ(msg_unpack_mouse(b + HEADER_BYTES, MOUSE_BYTES, &mb), 1);
    EXPECT_EQ(mb.x, -3);
    EXPECT_EQ(mb.wheel, 120);
    EXPECT_EQ(msg_unpack_mouse(b + HEADER_BYTES, MOUSE_BYTES - 1, &mb), 0);

    // A short frame end reads zero-padded (the echo carries it so), and is not whole.
    const uint8_t three[3] = {5, 0, 1};
    FrameEnd fe;
    EXPECT_EQ(msg_unpack_frame_end(three, 3, &fe), 0);
    EXPECT_EQ(fe.frame, 0x010005u);
    EXPECT_EQ(fe.tick, 0u);
    EXPECT_EQ(msg_unpack_frame_ack(three, 3, &fe), 0);

    uint8_t adv[16];
    msg_pack_advert_hash(adv, 1, 0xABCDull);
    EXPECT_EQ(msg_unpack_advert_hash(adv, 1), 0xABCDull);
    EXPECT_EQ(msg_advert_count(15), 1u);
}

TEST(Messages, MoveCheckKeepsBothAreasInsideThePicture) {
    MoveRect ok = {0, 0, 10, 10, 90, 40};
    EXPECT_EQ(msg_move_rect_valid(&ok, 100, 50), 1);
    MoveRect bad[] = {{0, 0, 11, 10, 90, 40}, {0, 0, 10, 11, 90, 40}, {-1, 0, 0, 0, 1, 1}, {0, 0, 0, 0, 0, 1},
                      {0, 0, 0, 0, 1, -1}, {1, 0, 0, 0, INT32_MAX, 1}};
    for (const MoveRect &m : bad) EXPECT_EQ(msg_move_rect_valid(&m, 100, 50), 0);
}
