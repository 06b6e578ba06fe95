// Host receive thread: framing over a real (unkeyed) channel on loopback, the 65536-byte limit,
// short and unknown messages, cache advertisements and misses, acknowledgements and input.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "host/flow.h"
#include "host/identity.h"
#include "host/input.h"
#include "host/log.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/receive.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/messages.h"

namespace {

std::vector<uint8_t> msg(uint8_t type, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> m(HEADER_BYTES + payload.size());
    header_put(m.data(), type, (uint32_t)payload.size());
    if (!payload.empty()) memcpy(m.data() + HEADER_BYTES, payload.data(), payload.size());
    return m;
}

std::vector<uint8_t> key_msg(uint16_t vk, int down) {
    std::vector<uint8_t> m(HEADER_BYTES + KEY_BYTES);
    KeyMsg k = {vk, (uint8_t)(down ? 1 : 0)};
    msg_pack_key(m.data(), &k);
    return m;
}

std::vector<uint8_t> mouse_payload(int32_t x, int32_t y, uint8_t action, uint8_t button, int16_t wheel) {
    uint8_t whole[HEADER_BYTES + MOUSE_BYTES];
    MouseMsg m = {x, y, action, button, wheel};
    msg_pack_mouse(whole, &m);
    return std::vector<uint8_t>(whole + HEADER_BYTES, whole + sizeof whole);
}

std::vector<uint8_t> hashes(uint32_t n, uint64_t first) {
    std::vector<uint8_t> p(8 * (size_t)n);
    for (uint32_t i = 0; i < n; i++) msg_pack_advert_hash(p.data(), i, first + i);
    return p;
}

// A receive thread on the accepted end of a loopback connection; the test plays the viewer.
class Receive : public ::testing::Test {
  protected:
    net_sock viewer = NET_INVALID, host = NET_INVALID;
    channel ch;
    thread_handle thread = nullptr;

    void SetUp() override {
        ASSERT_EQ(net_init(), 1);
        picture_init();
        ASSERT_EQ(picture_resize(1920, 1080), 1);
        picture_reset();
        ASSERT_EQ(mirror_clear(), 1);
        flow_reset(clock_tick());
        input_record_clear();
        host_log_capture_start();
        net_sock l = net_listen("127.0.0.1", 0, 1);
        ASSERT_NE(l, NET_INVALID);
        viewer = net_connect("127.0.0.1", net_local_port(l));
        host = net_accept(l);
        net_close(l);
        ASSERT_NE(viewer, NET_INVALID);
        ASSERT_NE(host, NET_INVALID);
        channel_init(&ch, host, 0);
        host_receive_start(&ch);
        EXPECT_FALSE(host_session_ended());
        thread = thread_create(host_receive_thread, &ch);
        ASSERT_NE(thread, nullptr);
    }
    void TearDown() override {
        if (viewer != NET_INVALID) net_close(viewer);
        if (thread) {
            thread_wait(thread, THREAD_INFINITE);
            thread_close(thread);
        }
        net_close(host);
        channel_free(&ch);
        host_log_capture_stop();
    }
    void send(const std::vector<uint8_t> &bytes) { ASSERT_EQ(net_send_all(viewer, bytes.data(), bytes.size()), 1); }
    // The viewer stops sending; the thread drains what was sent and ends.
    void finish() {
        net_shutdown_send(viewer);
        ASSERT_EQ(thread_wait(thread, 10000), 1);
        EXPECT_TRUE(host_session_ended());
    }
};

}  // namespace

TEST_F(Receive, ShortUnknownAndZeroLengthMessagesAreSkipped) {
    send(msg(MSG_MOUSE, std::vector<uint8_t>(11, 0)));        // one byte short: ignored
    send(msg(0x99, std::vector<uint8_t>(10, 0xEE)));          // unknown: payload read past
    send(msg(MSG_KEY, {}));                                   // zero length: ignored
    send(msg(MSG_FRAME_ACK, std::vector<uint8_t>(7, 1)));     // short acknowledgement: ignored
    send(msg(MSG_CLIENT_HELLO, std::vector<uint8_t>(34, 0))); // a second hello: ignored
    send(msg(MSG_TILE, std::vector<uint8_t>(20, 0)));         // host-to-viewer type: ignored
    send(key_msg(INPUT_VK_DELETE, 1));
    send(msg(MSG_CACHE_ADVERT, {}));                          // length 0 is fine
    std::vector<uint8_t> split = key_msg(INPUT_VK_DELETE, 0);  // header and payload apart
    send(std::vector<uint8_t>(split.begin(), split.begin() + 5));
    clock_sleep(20);
    send(std::vector<uint8_t>(split.begin() + 5, split.end()));
    finish();
    EXPECT_EQ(flow.ack_count.load(), 0u);
    EXPECT_EQ(host_log_count("cache: client advertised 0 tiles (mirror now 0)"), 1);
#ifndef _WIN32
    ASSERT_EQ(input_recorded_count(), 2);
    input_event ev;
    ASSERT_TRUE(input_recorded(0, &ev));
    EXPECT_EQ(ev.vk, INPUT_VK_DELETE);
    EXPECT_EQ(ev.flags, (uint32_t)INPUT_KEYEVENTF_EXTENDEDKEY);
    ASSERT_TRUE(input_recorded(1, &ev));
    EXPECT_EQ(ev.flags, (uint32_t)(INPUT_KEYEVENTF_EXTENDEDKEY | INPUT_KEYEVENTF_KEYUP));
#endif
}

TEST_F(Receive, PayloadOf65536IsHandledAnd65537EndsTheThread) {
    send(msg(MSG_CACHE_ADVERT, hashes(8192, 1000)));   // exactly 65536 bytes
    send(msg(MSG_CHAR, {'x', 0}));
    uint8_t head[HEADER_BYTES];
    header_put(head, MSG_CACHE_ADVERT, 65537);
    send(std::vector<uint8_t>(head, head + HEADER_BYTES));
    send(msg(MSG_CHAR, {'y', 0}));   // never read
    // The viewer keeps its side open: the thread ends on its own and shuts the socket down.
    ASSERT_EQ(thread_wait(thread, 10000), 1);
    EXPECT_TRUE(host_session_ended());
    EXPECT_EQ(host_log_count("cache: client advertised 8192 tiles (mirror now 8192)"), 1);
    uint8_t b;
    EXPECT_EQ(net_recv(viewer, &b, 1), 0);   // the host side was shut down
#ifndef _WIN32
    ASSERT_EQ(input_recorded_count(), 2);
    input_event ev;
    ASSERT_TRUE(input_recorded(0, &ev));
    EXPECT_EQ(ev.scan, 'x');
#endif
}

TEST_F(Receive, PayloadCutShortEndsWithoutActing) {
    std::vector<uint8_t> m = msg(MSG_MOUSE, mouse_payload(5, 5, 0, 0, 0));
    send(std::vector<uint8_t>(m.begin(), m.end() - 3));
    finish();
    EXPECT_EQ(input_recorded_count(), 0);
}

TEST_F(Receive, AcknowledgementsMouseAndCharactersReachFlowAndInput) {
    std::vector<uint8_t> ack(8);
    put_u32(ack.data(), 41);
    put_u32(ack.data() + 4, clock_tick());
    send(msg(MSG_FRAME_ACK, ack));
    send(msg(MSG_MOUSE, mouse_payload(1919, 540, 1, 3, 0)));   // button 3: only moves
    send(msg(MSG_CHAR, {0xAC, 0x20, 0xFF, 0xFF}));             // longer than needed: first 2 bytes
    finish();
    EXPECT_EQ(flow.ack_count.load(), 1u);
    EXPECT_EQ(flow.acked_frame.load(), 41u);
#ifndef _WIN32
    ASSERT_EQ(input_recorded_count(), 3);
    input_event ev;
    ASSERT_TRUE(input_recorded(0, &ev));
    EXPECT_EQ(ev.dx, 65535);
    EXPECT_EQ(ev.dy, 32797);
    EXPECT_EQ(ev.flags, 0x8001u);
    ASSERT_TRUE(input_recorded(1, &ev));
    EXPECT_EQ(ev.scan, 0x20AC);
#endif
}

// Cache messages straight through the dispatcher (the framing is covered above).
class ReceiveCache : public ::testing::Test {
  protected:
    void SetUp() override {
        picture_init();
        ASSERT_EQ(picture_resize(1366, 768), 1);   // 22 x 12 tiles
        ASSERT_EQ(mirror_clear(), 1);
        host_receive_start(nullptr);
        host_log_capture_start();
    }
    void TearDown() override { host_log_capture_stop(); }
    static uint8_t *sent_tile(int tx, int ty) {
        return g_picture.sent + ((size_t)ty * 64 * g_picture.pad_width + (size_t)tx * 64) * 4;
    }
};

TEST_F(ReceiveCache, AdvertInsertsWholeHashesOnce) {
    std::vector<uint8_t> p = hashes(3, 77);
    p.insert(p.end(), {1, 2, 3, 4});   // trailing partial hash ignored
    EXPECT_EQ(host_receive_dispatch(MSG_CACHE_ADVERT, p.data(), (uint32_t)p.size()), 1);
    EXPECT_EQ(host_receive_dispatch(MSG_CACHE_ADVERT, p.data(), 8), 1);   // same hash again
    EXPECT_EQ(mirror_count, 3u);
    EXPECT_EQ(host_log_count("cache: client advertised 3 tiles (mirror now 3)"), 1);
    // At most one line a second: what follows at once is counted and written when the second is up.
    for (int i = 0; i < 50; i++) host_receive_dispatch(MSG_CACHE_ADVERT, p.data(), 8);
    EXPECT_EQ(host_log_count("cache: client advertised"), 1);
    host_receive_log_held(clock_tick() + 500);
    EXPECT_EQ(host_log_count("cache: client advertised"), 1);
    host_receive_log_held(clock_tick() + 1000);
    EXPECT_EQ(host_log_count("cache: client advertised 51 tiles (mirror now 3)"), 1);
    host_receive_log_held(clock_tick() + 5000);   // nothing more held
    EXPECT_EQ(host_log_count("cache: client advertised"), 2);
}

TEST_F(ReceiveCache, MissRemovesHashAndForgetsTheTile) {
    const uint64_t h = 0x123456789ABCDEFull;
    picture_lock();
    mirror_insert(h);
    mirror_insert(h + 1);
    picture_unlock();
    int tx = 21, ty = 11;   // the last, partly off-screen tile
    memset(sent_tile(tx, ty), 0x5A, 256);
    g_picture.dirty[tx + ty * g_picture.cols] = 0;
    uint8_t p[12];
    put_u16(p, (uint16_t)tx);
    put_u16(p + 2, (uint16_t)ty);
    put_u64(p + 4, h);
    EXPECT_EQ(host_receive_dispatch(MSG_CACHE_MISS, p, 11), 0);   // short: nothing happens
    EXPECT_TRUE(mirror_lookup(h));
    EXPECT_EQ(host_receive_dispatch(MSG_CACHE_MISS, p, 12), 1);
    EXPECT_FALSE(mirror_lookup(h));
    EXPECT_TRUE(mirror_lookup(h + 1));
    EXPECT_EQ(sent_tile(tx, ty)[0], 0);
    EXPECT_EQ(sent_tile(tx, ty)[255], 0);
    EXPECT_EQ(g_picture.dirty[tx + ty * g_picture.cols], 1);
    EXPECT_EQ(g_picture.force_raw[tx + ty * g_picture.cols], 1);
    // Outside the grid: only the hash goes.
    put_u16(p, 22);
    put_u64(p + 4, h + 1);
    EXPECT_EQ(host_receive_dispatch(MSG_CACHE_MISS, p, 12), 1);
    EXPECT_FALSE(mirror_lookup(h + 1));
    EXPECT_EQ(host_log_count("cache:"), 0);
}
