// The host session loop over loopback with a bare test viewer: authentication failures, the first
// message rule, the viewer payload limit, session resets between viewers, relay mode, the
// handshake deadline, accept failures, a screen that changed size between sessions, and host_stop.
#include "session_util.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>
#include "relay/relay_server.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "protocol/relay.h"

TEST(HostSession, WrongPasswordIsLoggedAndTheNextViewerIsServed) {
    host_log_capture_start();
    test_host h;
    host_start_direct(&h);
    test_viewer bad;
    EXPECT_EQ(tv_connect(&bad, h.port, "nope"), 0);
    tv_close(&bad);
    EXPECT_TRUE(session_wait([] { return host_log_count("auth failed (wrong password or not an vo client)") == 1; }, 5000));
    clock_sleep(300);
    test_viewer good;
    ASSERT_EQ(tv_connect(&good, h.port, "pw"), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    ASSERT_EQ(tv_hello(&good, 3, hello), 1);
    EXPECT_EQ(get_i32(hello), g_synth.width);
    EXPECT_EQ(get_i32(hello + 4), g_synth.height);
    EXPECT_EQ(get_u16(hello + 8), 64);
    EXPECT_EQ(get_u16(hello + 10), 3);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_VIEWER_CONNECTED; }, 5000));
    EXPECT_EQ(host_log_count("client connected: TEST-VIEWER, caps=3 (text=1 cache=1)"), 1);
    tv_close(&good);
    EXPECT_TRUE(session_wait([] { return host_log_count("client disconnected") == 1; }, 5000));
    EXPECT_EQ(host_log_count("session stats: "), 1);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    host_finish(&h);
    host_log_capture_stop();
}

TEST(HostSession, WithoutAPasswordNobodyIsAdmittedUntilOneIsMade) {
    host_log_capture_start();
    test_host h;
    host_start_direct(&h, 0, nullptr);
    test_viewer v;
    EXPECT_EQ(tv_connect(&v, h.port, ""), 0);
    tv_close(&v);
    EXPECT_TRUE(session_wait([] { return host_log_count("no password: connection refused") == 1; }, 5000));
    sysrand_fail_next(0);   // the next connection makes a password, and only it gets in
    clock_sleep(300);
    EXPECT_EQ(tv_connect(&v, h.port, ""), 0);
    tv_close(&v);
    char pw[PASSWORD_MAX + 1];
    host_copy_password(pw, sizeof pw);
    EXPECT_EQ(strlen(pw), (size_t)TEMP_PASSWORD_LEN);
    clock_sleep(300);
    ASSERT_EQ(tv_connect(&v, h.port, pw), 1);
    tv_close(&v);
    host_finish(&h);
    host_log_capture_stop();
}

TEST(HostSession, AnotherFirstMessageIsClosedSilently) {
    host_log_capture_start();
    test_host h;
    host_start_direct(&h);
    test_viewer v;
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    uint8_t ack[FRAME_ACK_BYTES] = {0};
    ASSERT_EQ(tv_send(&v, MSG_FRAME_ACK, ack, sizeof ack), 1);
    uint8_t byte;
    EXPECT_EQ(channel_recv(&v.ch, &byte, 1), 0);   // the host hung up
    tv_close(&v);
    // A hello of the wrong length is just as bad.
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    uint8_t hello[CLIENT_HELLO_BYTES + 1] = {3};
    ASSERT_EQ(tv_send(&v, MSG_CLIENT_HELLO, hello, sizeof hello), 1);
    EXPECT_EQ(channel_recv(&v.ch, &byte, 1), 0);
    tv_close(&v);
    EXPECT_EQ(host_get_state(), HOST_WAITING);
    char log[4096];
    host_log_captured(log, sizeof log);
    EXPECT_EQ(host_log_count("auth failed"), 0) << log;
    EXPECT_EQ(host_log_count("client connected"), 0) << log;
    host_finish(&h);
    host_log_capture_stop();
}

TEST(HostSession, ViewerPayloadOf65536IsReadAnd65537EndsTheSession) {
    host_log_capture_start();
    test_host h;
    host_start_direct(&h);
    test_viewer v;
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    std::string big(65536, 'x');
    ASSERT_EQ(tv_send(&v, 0x99, big.data(), (uint32_t)big.size()), 1);
    uint8_t key[KEY_BYTES] = {0x41, 0, 1, 0};
    ASSERT_EQ(tv_send(&v, MSG_KEY, key, sizeof key), 1);
    clock_sleep(300);
    EXPECT_EQ(host_log_count("client disconnected"), 0);
    EXPECT_EQ(host_get_state(), HOST_VIEWER_CONNECTED);
    uint8_t head[HEADER_BYTES];
    header_put(head, 0x99, 65537);
    ASSERT_EQ(channel_send(&v.ch, head, sizeof head), 1);
    EXPECT_TRUE(session_wait([] { return host_log_count("client disconnected") == 1; }, 5000));
    tv_close(&v);
    host_finish(&h);
    host_log_capture_stop();
}

TEST(HostSession, NextSessionStartsFreshButFrameNumbersGoOn) {
    test_host h;
    host_start_direct(&h);
    uint32_t f1 = 0, f2 = 0;
    int tiles1, refs1, tiles2, refs2;
    test_viewer v;
    uint8_t hello[HOST_HELLO_BYTES];
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    ASSERT_EQ(tv_read_frame(&v, &f1, &tiles1, &refs1), 1);
    EXPECT_GT(tiles1 + refs1, 0);
    tv_close(&v);
    ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    ASSERT_EQ(tv_read_frame(&v, &f2, &tiles2, &refs2), 1);
    EXPECT_GT(f2, f1);
    // Every tile went again, and none as a reference to the previous viewer's tiles.
    EXPECT_EQ(tiles2, tiles1);
    EXPECT_EQ(refs2, refs1);
    tv_close(&v);
    host_finish(&h);
}

TEST(HostSession, RelayModeJoinsAsHostWithTheIdAsRoom) {
    host_log_capture_start();
    net_init();
    net_sock relay = net_listen("127.0.0.1", 0, 4);
    ASSERT_NE(relay, NET_INVALID);
    HostSettings set = test_settings();
    snprintf(set.relay_host, sizeof set.relay_host, "127.0.0.1");
    set.relay_port = net_local_port(relay);
    test_host h;
    host_start_direct(&h, 1, "pw", &set);
    net_sock s = net_accept(relay);
    ASSERT_NE(s, NET_INVALID);
    uint8_t join[RELAY_JOIN_BYTES];
    ASSERT_EQ(net_recv_all(s, join, sizeof join), 1);
    EXPECT_EQ(memcmp(join, "VORL\x02H", 6), 0);
    char room[RELAY_ROOM_BYTES + 1] = {0};
    memcpy(room, join + 6, RELAY_ROOM_BYTES);
    char id[HOST_ID_BYTES], computer[HOST_NAME_BYTES];
    host_copy_id(id, sizeof id);
    host_copy_computer_name(computer, sizeof computer);
    EXPECT_STREQ(room, id);
    char name[33] = {0};
    memcpy(name, join + 24, 32);
    EXPECT_STREQ(name, computer);
    std::string line = "relay: connected to 127.0.0.1:" + std::to_string(set.relay_port) + ", room '" + room + "', waiting for a viewer";
    EXPECT_TRUE(session_wait([&] { return host_log_count(line.c_str()) == 1; }, 5000));
    net_close(s);   // the relay drops the waiting host: a failed handshake, then a new join
    EXPECT_TRUE(session_wait([] { return host_log_count("auth failed") == 1; }, 5000));
    s = net_accept(relay);
    EXPECT_NE(s, NET_INVALID);
    host_finish(&h);
    net_close(s);
    net_close(relay);
    host_log_capture_stop();
}

TEST(HostSession, UnreachableRelayIsRetriedEveryThreeSeconds) {
    host_log_capture_start();
    HostSettings set = test_settings();
    snprintf(set.relay_host, sizeof set.relay_host, "127.0.0.1");
    set.relay_port = session_free_port();
    test_host h;
    host_start_direct(&h, 1, "pw", &set);
    std::string line = "relay: connect 127.0.0.1:" + std::to_string(set.relay_port) + " failed (";
    ASSERT_TRUE(session_wait([&] { return host_log_count(line.c_str()) >= 1; }, 5000));
    uint32_t t0 = clock_tick();
    ASSERT_TRUE(session_wait([&] { return host_log_count(line.c_str()) >= 2; }, 6000));
    uint32_t gap = clock_tick() - t0;
    EXPECT_GE(gap, 2500u);
    host_finish(&h);
    host_log_capture_stop();
}

TEST(HostSession, PasswordChangedWhileWaitingInTheRelayIsTheOneUsed) {
    net_init();
    net_sock relay = net_listen("127.0.0.1", 0, 4);
    ASSERT_NE(relay, NET_INVALID);
    HostSettings set = test_settings();
    snprintf(set.relay_host, sizeof set.relay_host, "127.0.0.1");
    set.relay_port = net_local_port(relay);
    test_host h;
    host_start_direct(&h, 1, "pw", &set);
    net_sock s = net_accept(relay);
    ASSERT_NE(s, NET_INVALID);
    uint8_t join[RELAY_JOIN_BYTES];
    ASSERT_EQ(net_recv_all(s, join, sizeof join), 1);
    ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    clock_sleep(100);   // the host now waits in the room for the viewer's first bytes
    host_set_password("changed");
    // The relay pairs a viewer: this socket now plays the viewer's side.
    test_viewer v;
    v.sock = s;
    channel_init(&v.ch, s, 1);
    EXPECT_EQ(channel_handshake_viewer(&v.ch, "changed"), 1);
    tv_close(&v);
    host_finish(&h);
    net_close(relay);
}

// Bounds this thread's socket calls for the rest of a test, so a host that never answers fails the
// test instead of hanging it.
struct test_deadline {
    net_watch w;
    explicit test_deadline(uint32_t ms) : w{1, clock_tick() + ms, 0, nullptr} { net_watch_set(&w); }
    ~test_deadline() { net_watch_set(nullptr); }
};

// A connection that never speaks, then a real viewer waiting behind it in the backlog of 1: the
// host gives up on the first at its deadline, says so once, and serves the second.
TEST(HostSession, SilentConnectionIsDroppedAtTheDeadlineAndTheNextViewerServed) {
    host_log_capture_start();
    test_deadline guard(30000);
    HostSettings set = test_settings();
    set.hello_deadline_ms = 1000;
    test_host h;
    host_start_direct(&h, 0, "pw", &set);
    net_sock silent = net_connect("127.0.0.1", h.port);
    ASSERT_NE(silent, NET_INVALID);
    test_viewer v;
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    EXPECT_EQ(host_log_count("handshake timed out after 1000 ms"), 1);
    EXPECT_EQ(host_log_count("auth failed"), 0);
    tv_close(&v);
    net_close(silent);
    host_finish(&h);
    host_log_capture_stop();
}

// Relay mode: the clock starts at the viewer's first byte, and a viewer that stops after it
// frees the room for the next one.
TEST(HostSession, ThroughTheRelayAViewerThatStopsMidHandshakeFreesTheRoom) {
    host_log_capture_start();
    test_deadline guard(30000);
    HostSettings set = test_settings();
    set.hello_deadline_ms = 1000;
    relay_config cfg;
    relay_config_defaults(&cfg);
    snprintf(cfg.bind_ip, sizeof cfg.bind_ip, "127.0.0.1");
    cfg.port = 0;
    cfg.log = nullptr;
    int port = relay_server_start(&cfg);
    ASSERT_GT(port, 0);
    snprintf(set.relay_host, sizeof set.relay_host, "127.0.0.1");
    set.relay_port = port;
    test_host h;
    host_start_direct(&h, 1, "pw", &set);
    ASSERT_TRUE(session_wait([] { return host_log_count("waiting for a viewer") == 1; }, 10000));
    clock_sleep(1500);   // waiting in the room before any viewer byte costs nothing
    uint8_t join[RELAY_JOIN_BYTES];
    char id[HOST_ID_BYTES];
    host_copy_id(id, sizeof id);
    relay_build_join(join, RELAY_ROLE_VIEWER, id, "SILENT");
    net_sock silent = net_connect("127.0.0.1", port);
    ASSERT_EQ(net_send_all(silent, join, sizeof join), 1);
    ASSERT_EQ(net_send_all(silent, "k", 1), 1);   // one byte of its key, then nothing
    ASSERT_TRUE(session_wait([] { return host_log_count("handshake timed out after 1000 ms") == 1; }, 10000));
    net_close(silent);   // (the relay keeps a half-closed pair until both sides have ended)
    ASSERT_TRUE(session_wait([] { return host_log_count("waiting for a viewer") == 2; }, 10000));
    test_viewer v;
    v.sock = net_connect("127.0.0.1", port);
    relay_build_join(join, RELAY_ROLE_VIEWER, id, "REAL");
    ASSERT_EQ(net_send_all(v.sock, join, sizeof join), 1);
    channel_init(&v.ch, v.sock, 1);
    ASSERT_EQ(channel_handshake_viewer(&v.ch, "pw"), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    EXPECT_EQ(tv_hello(&v, 3, hello), 1);
    tv_close(&v);
    host_finish(&h);
    relay_server_stop();
    relay_server_join();
    host_log_capture_stop();
}

// Out of descriptors while a viewer waits in the backlog: the host logs it once, pauses and tries
// again, and serves that viewer once descriptors are back. A silent connection keeps the host
// busy meanwhile; the descriptor limit is lowered to that connection's number, so when the host
// lets it go no new descriptor can be had.
TEST(HostSession, AcceptFailureIsLoggedOnceAndTheHostGoesOn) {
    host_log_capture_start();
    test_deadline guard(30000);
    HostSettings set = test_settings();
    set.hello_deadline_ms = 1000;
    test_host h;
    host_start_direct(&h, 0, "pw", &set);
    net_sock silent = net_connect("127.0.0.1", h.port);
    ASSERT_TRUE(session_wait([] { return host_connection_sock() != NET_INVALID; }, 5000));
    net_sock busy = host_connection_sock();
    net_sock c = net_connect("127.0.0.1", h.port);   // waits in the backlog
    ASSERT_NE(c, NET_INVALID);
    rlimit old, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    low = old;
    low.rlim_cur = (rlim_t)busy;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    std::string line = "accept failed (" + std::to_string(EMFILE) + "), retrying";
    EXPECT_TRUE(session_wait([&] { return host_log_count(line.c_str()) >= 1; }, 20000));
    clock_sleep(600);   // a few more failed tries
    setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : held) close(fd);
    EXPECT_EQ(host_log_count(line.c_str()), 1);
    test_viewer v;
    v.sock = c;
    channel_init(&v.ch, c, 1);
    ASSERT_EQ(channel_handshake_viewer(&v.ch, "pw"), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    EXPECT_EQ(tv_hello(&v, 3, hello), 1);
    tv_close(&v);
    net_close(silent);
    host_finish(&h);
    host_log_capture_stop();
}

// The screen changed size while nobody was connected: the next hello carries the new size and the
// session goes on.
TEST(HostSession, ScreenSizeChangedBetweenSessionsIsInTheNextHello) {
    test_host h;
    host_start_direct(&h);
    test_viewer v;
    uint8_t hello[HOST_HELLO_BYTES];
    uint32_t frame;
    int tiles, refs;
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    ASSERT_EQ(tv_read_frame(&v, &frame, &tiles, &refs), 1);
    tv_close(&v);
    ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    int32_t w = g_synth.width, hgt = g_synth.height;
    ASSERT_EQ(synth_resize(640, 480), 1);
    host_set_password("pw");   // (its lock, taken by the host after its accept, hands it the new screen)
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 3, hello), 1);
    EXPECT_EQ(get_i32(hello), 640);
    EXPECT_EQ(get_i32(hello + 4), 480);
    EXPECT_EQ(tv_read_frame(&v, &frame, &tiles, &refs), 1);
    EXPECT_EQ(host_get_state(), HOST_VIEWER_CONNECTED);
    tv_close(&v);
    host_finish(&h);
    synth_resize(w, hgt);
}

// host_stop ends a blocking accept (the host waits for a viewer) and a blocking receive (a peer
// connected and said nothing): host_run returns at once, the connection closed by the session loop.
TEST(HostSession, StopEndsABlockingAcceptAndReceive) {
    test_host h;
    host_start_direct(&h);
    host_stop();
    EXPECT_EQ(thread_wait(h.thread, 3000), 1);
    thread_close(h.thread);
    EXPECT_EQ(host_stop_requested(), 1);

    host_start_direct(&h);
    net_sock peer = net_connect("127.0.0.1", h.port);
    ASSERT_NE(peer, NET_INVALID);
    ASSERT_TRUE(session_wait([] { return host_connection_sock() != NET_INVALID; }, 5000));
    clock_sleep(100);   // the host now waits in its receive
    host_stop();
    EXPECT_EQ(thread_wait(h.thread, 3000), 1);
    thread_close(h.thread);
    EXPECT_EQ(host_connection_sock(), NET_INVALID);
    net_close(peer);
}
