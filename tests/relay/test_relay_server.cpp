// vo_relay over loopback: pairing by room, no join passed on, early viewer bytes, half-close both
// ways, and the operator choices (host replaced, second viewer refused, time-outs, bounds, limits).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include "platform/thread.h"
#include "tests/relay/relay_test_net.h"

static int start_relay(relay_config *cfg) {
    relay_server_stop();  // a failed test may have left its relay running
    relay_server_join();
    int port = relay_server_start(cfg);
    EXPECT_GT(port, 0);
    return port;
}

static void stop_relay(void) {
    relay_server_stop();
    relay_server_join();
}

static void fill(std::string *s, size_t n, unsigned seed) {
    s->resize(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        (*s)[i] = (char)(seed >> 16);
    }
}

// Pairs a host and a viewer on room and checks a few bytes go each way (so the join was not passed).
static void expect_pair_talks(int h, int v) {
    char got[5];
    ASSERT_TRUE(rt_send(v, "vkey!", 5));
    ASSERT_TRUE(rt_recv(h, got, 5));
    EXPECT_EQ(memcmp(got, "vkey!", 5), 0);
    ASSERT_TRUE(rt_send(h, "hkey!", 5));
    ASSERT_TRUE(rt_recv(v, got, 5));
    EXPECT_EQ(memcmp(got, "hkey!", 5), 0);
}

TEST(RelayServer, PairsOnAllEighteenRoomBytesAndNeverPassesTheJoin) {
    relay_config cfg;
    rt_fast_config(&cfg);
    int port = start_relay(&cfg);
    uint8_t room_a[18] = {'a', 'b', 'c'};
    uint8_t room_b[18] = {'a', 'b', 'c'};
    room_b[17] = 'x';  // same text up to the first NUL, different room
    int h = rt_join(port, 'H', nullptr, room_a);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1; }));
    int other = rt_join(port, 'V', nullptr, room_b);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_viewers == 1; }));
    EXPECT_TRUE(rt_silent(h, 50));
    // An 18-character room fills the field with no terminator and still matches.
    int h18 = rt_join(port, 'H', "123456789012345678");
    int v18 = rt_join(port, 'V', "123456789012345678");
    expect_pair_talks(h18, v18);
    int v = rt_join(port, 'V', nullptr, room_a);
    expect_pair_talks(h, v);
    relay_stats st;
    relay_server_stats(&st);
    EXPECT_EQ(st.pairs, 2);
    EXPECT_EQ(st.waiting_viewers, 1);
    for (int s : {h, v, other, h18, v18}) close(s);
    stop_relay();
}

TEST(RelayServer, ViewerBytesSentBeforeTheHostArriveFirstAndInOrder) {
    relay_config cfg;
    rt_fast_config(&cfg);
    int port = start_relay(&cfg);
    std::string early, later;
    fill(&early, 20000, 1);
    fill(&later, 300000, 2);
    // Join and first bytes in one write, then more in pieces while nobody is there.
    int v = rt_connect(port);
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, 'V', "555000111", "viewer");
    std::string first((const char *)j, sizeof j);
    first += early.substr(0, 32);
    ASSERT_TRUE(rt_send(v, first.data(), first.size()));
    for (size_t off = 32; off < early.size(); off += 4000)
        ASSERT_TRUE(rt_send(v, early.data() + off, std::min<size_t>(4000, early.size() - off)));
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_viewers == 1; }));
    usleep(50000);
    int h = rt_join(port, 'H', "555000111");
    // More than the viewer queue may only follow once the pair exists.
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.pairs == 1; }));
    ASSERT_TRUE(rt_send(v, later.data(), later.size()));
    std::string got(early.size() + later.size(), 0);
    ASSERT_TRUE(rt_recv(h, &got[0], got.size()));
    EXPECT_TRUE(got == early + later);
    close(h);
    EXPECT_TRUE(rt_closed(v));
    close(v);
    stop_relay();
}

TEST(RelayServer, JoinsWrittenOneByteAtATimeStillPair) {
    relay_config cfg;
    rt_fast_config(&cfg);
    int port = start_relay(&cfg);
    int h = rt_connect(port), v = rt_connect(port);
    uint8_t jh[RELAY_JOIN_BYTES], jv[RELAY_JOIN_BYTES];
    relay_build_join(jh, 'H', "987654321", "h");
    relay_build_join(jv, 'V', "987654321", "v");
    for (int i = 0; i < RELAY_JOIN_BYTES; i++) {
        ASSERT_TRUE(rt_send(h, jh + i, 1));
        ASSERT_TRUE(rt_send(v, jv + i, 1));
        usleep(1000);
    }
    expect_pair_talks(h, v);
    close(h);
    close(v);
    stop_relay();
}

TEST(RelayServer, MalformedAndSlowJoinsAreClosed) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.join_timeout_ms = 300;
    int port = start_relay(&cfg);
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, 'H', "1", "x");
    uint8_t bad_magic[RELAY_JOIN_BYTES], bad_version[RELAY_JOIN_BYTES], bad_role[RELAY_JOIN_BYTES];
    memcpy(bad_magic, j, sizeof j);
    bad_magic[3] = 'X';
    memcpy(bad_version, j, sizeof j);
    bad_version[4] = 1;
    memcpy(bad_role, j, sizeof j);
    bad_role[5] = 'h';
    for (const uint8_t *bad : {bad_magic, bad_version, bad_role}) {
        int s = rt_connect(port);
        ASSERT_TRUE(rt_send(s, bad, RELAY_JOIN_BYTES));
        EXPECT_TRUE(rt_closed(s, 2000));
        close(s);
    }
    // A wrong byte closes the connection as soon as it arrives, without waiting for the rest.
    int early = rt_connect(port);
    ASSERT_TRUE(rt_send(early, "GET ", 4));
    uint64_t t0 = rt_now_ms();
    EXPECT_TRUE(rt_closed(early, 2000));
    EXPECT_LT(rt_now_ms() - t0, 250u);
    // Half a join, or nothing at all, is closed once the join time-out has passed.
    int slow = rt_connect(port), mute = rt_connect(port);
    ASSERT_TRUE(rt_send(slow, j, 20));
    EXPECT_TRUE(rt_silent(slow, 150));
    EXPECT_TRUE(rt_closed(slow, 2000));
    EXPECT_TRUE(rt_closed(mute, 2000));
    EXPECT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 0; }));
    relay_stats st;
    relay_server_stats(&st);
    EXPECT_EQ(st.refused, 6u);
    for (int s : {early, slow, mute}) close(s);
    stop_relay();
}

TEST(RelayServer, NewHostReplacesTheWaitingOneAndAWaitingHostIsKept) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.join_timeout_ms = 200;
    int port = start_relay(&cfg);
    int h1 = rt_join(port, 'H', "42");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1; }));
    // Time-outs do not touch a waiting host.
    EXPECT_TRUE(rt_silent(h1, 600));
    int h2 = rt_join(port, 'H', "42");
    EXPECT_TRUE(rt_closed(h1));
    // From another address a host cannot take the room of one that is still there.
    int stranger = rt_join(port, 'H', "42", nullptr, 0, "127.0.0.2");
    EXPECT_TRUE(rt_closed(stranger));
    EXPECT_TRUE(rt_silent(h2, 50));
    int v = rt_join(port, 'V', "42");
    expect_pair_talks(h2, v);
    // A waiting host that leaves is dropped, so the next viewer waits instead of pairing with it,
    // and a host from anywhere may take the room again.
    int h3 = rt_join(port, 'H', "43");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1; }));
    close(h3);
    int h4 = rt_join(port, 'H', "43", nullptr, 0, "127.0.0.2");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1 && s.joining == 0; }));
    int v3 = rt_join(port, 'V', "43");
    expect_pair_talks(h4, v3);
    for (int s : {h1, h2, stranger, v, h4, v3}) close(s);
    stop_relay();
}

TEST(RelayServer, SecondViewerIsRefusedWhileOneWaitsOrIsPaired) {
    relay_config cfg;
    rt_fast_config(&cfg);
    int port = start_relay(&cfg);
    int v1 = rt_join(port, 'V', "77");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_viewers == 1; }));
    int v2 = rt_join(port, 'V', "77");
    EXPECT_TRUE(rt_closed(v2));
    int h = rt_join(port, 'H', "77");
    expect_pair_talks(h, v1);
    int v3 = rt_join(port, 'V', "77");
    EXPECT_TRUE(rt_closed(v3));
    expect_pair_talks(h, v1);  // the refusal left the pair alone
    // Once the pair is over, the room takes a viewer again.
    close(h);
    EXPECT_TRUE(rt_closed(v1));
    close(v1);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.pairs == 0; }));
    int v4 = rt_join(port, 'V', "77");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_viewers == 1; }));
    for (int s : {v2, v3, v4}) close(s);
    stop_relay();
}

TEST(RelayServer, SilentViewerOrHalfClosedPairDoesNotHoldTheRoom) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.join_timeout_ms = 300;
    int port = start_relay(&cfg);
    int h = rt_join(port, 'H', "88");
    int quiet = rt_join(port, 'V', "88");   // pairs, then never speaks
    EXPECT_TRUE(rt_closed(h, 3000));
    EXPECT_TRUE(rt_closed(quiet, 3000));
    // A viewer that spoke, then kept its end open after the host left.
    int h2 = rt_join(port, 'H', "88");
    int v = rt_join(port, 'V', "88");
    expect_pair_talks(h2, v);
    close(h2);
    EXPECT_TRUE(rt_closed(v, 3000));   // the FIN first, then the pair ends
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.pairs == 0; }));
    int h3 = rt_join(port, 'H', "88");
    int v3 = rt_join(port, 'V', "88");
    expect_pair_talks(h3, v3);
    for (int s : {h, quiet, v, h3, v3}) close(s);
    stop_relay();
}

TEST(RelayServer, ViewerWaitAndQueueAreBounded) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.viewer_wait_ms = 300;
    int port = start_relay(&cfg);
    int lonely = rt_join(port, 'V', "no-host");
    EXPECT_TRUE(rt_silent(lonely, 150));
    EXPECT_TRUE(rt_closed(lonely, 2000));
    close(lonely);
    stop_relay();
    // Exactly the bound is held and delivered; one byte more closes the viewer.
    rt_fast_config(&cfg);
    cfg.viewer_queue_bytes = 1000;
    port = start_relay(&cfg);
    std::string q;
    fill(&q, 1000, 3);
    int full = rt_join(port, 'V', "full");
    ASSERT_TRUE(rt_send(full, q.data(), q.size()));
    int over = rt_join(port, 'V', "over");
    ASSERT_TRUE(rt_send(over, q.data(), q.size()));
    ASSERT_TRUE(rt_send(over, "!", 1));
    EXPECT_TRUE(rt_closed(over, 2000));
    int h = rt_join(port, 'H', "full");
    std::string got(1000, 0);
    ASSERT_TRUE(rt_recv(h, &got[0], got.size()));
    EXPECT_TRUE(got == q);
    for (int s : {full, over, h}) close(s);
    stop_relay();
}

struct send_job {
    int s;                   // socket to write to
    const std::string *data; // what to write
    int half_close;          // shutdown(SHUT_WR) after it
    int ok;                  // 1 when everything went out
};

static unsigned send_thread(void *arg) {
    send_job *j = (send_job *)arg;
    j->ok = rt_send(j->s, j->data->data(), j->data->size());
    if (j->half_close) shutdown(j->s, SHUT_WR);
    return 0;
}

// One side sends a few MiB and half-closes at once; everything arrives before the FIN, and the
// other direction keeps working until that side closes too.
static void half_close_case(int port, int host_first) {
    int h = rt_join(port, 'H', "half");
    int v = rt_join(port, 'V', "half");
    int a = host_first ? h : v, b = host_first ? v : h;
    std::string big, back;
    fill(&big, 3 << 20, 4);
    fill(&back, 1 << 20, 5);
    // Written from a thread so neither side needs the other's buffers to be big enough.
    send_job job = {a, &big, 1, 0};
    thread_handle t = thread_create(send_thread, &job);
    ASSERT_NE(t, nullptr);
    std::string got(big.size(), 0);
    int got_all = rt_recv(b, &got[0], got.size(), 10000);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    ASSERT_TRUE(got_all && job.ok);
    EXPECT_TRUE(got == big);
    EXPECT_TRUE(rt_closed(b));  // the FIN came through after the data
    ASSERT_TRUE(rt_send(b, back.data(), back.size()));
    std::string got_back(back.size(), 0);
    ASSERT_TRUE(rt_recv(a, &got_back[0], got_back.size(), 10000));
    EXPECT_TRUE(got_back == back);
    close(b);
    EXPECT_TRUE(rt_closed(a));
    close(a);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 0 && s.pairs == 0; }));
}

TEST(RelayServer, HalfCloseIsPassedOnBothWaysWithoutLosingData) {
    for (int buffers = 0; buffers < 2; buffers++) {
        relay_config cfg;
        rt_fast_config(&cfg);
        cfg.buffers_only = buffers;
        int port = start_relay(&cfg);
        half_close_case(port, 1);
        half_close_case(port, 0);
        stop_relay();
    }
}

TEST(RelayServer, ClosingOneSideClosesTheOtherInEitherMode) {
    for (int buffers = 0; buffers < 2; buffers++) {
        relay_config cfg;
        rt_fast_config(&cfg);
        cfg.buffers_only = buffers;
        int port = start_relay(&cfg);
        int h = rt_join(port, 'H', "gone");
        int v = rt_join(port, 'V', "gone");
        expect_pair_talks(h, v);
        relay_stats st;
        relay_server_stats(&st);
        EXPECT_EQ(st.pipe_pairs, buffers ? 0 : 1);
        close(v);
        EXPECT_TRUE(rt_closed(h));
        close(h);
        // A side that vanishes with a reset ends the pair as well.
        h = rt_join(port, 'H', "reset");
        v = rt_join(port, 'V', "reset");
        expect_pair_talks(h, v);
        struct linger lg = {1, 0};
        setsockopt(h, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(h);
        EXPECT_TRUE(rt_closed(v));
        close(v);
        ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 0; }));
        stop_relay();
    }
}

TEST(RelayServer, ConnectionLimitRefusesNewcomersOnly) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.max_conns = 3;
    int port = start_relay(&cfg);
    int h = rt_join(port, 'H', "lim");
    int v = rt_join(port, 'V', "lim");
    int w = rt_join(port, 'H', "other");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 3; }));
    int x = rt_join(port, 'H', "more");
    EXPECT_TRUE(rt_closed(x));
    expect_pair_talks(h, v);
    close(w);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 2; }));
    int y = rt_join(port, 'H', "more");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1; }));
    for (int s : {h, v, x, y}) close(s);
    stop_relay();
}

// One address at its limit is turned away at once (its refusals logged at most once a second)
// while another address is still served; a freed place can be taken again.
TEST(RelayServer, PerAddressLimitTurnsAwayOnlyThatAddress) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.max_per_address = 3;
    cfg.join_timeout_ms = 60000;   // a refusal here can only be the limit's
    cfg.log = tmpfile();
    ASSERT_NE(cfg.log, nullptr);
    int port = start_relay(&cfg);
    int held[3];
    for (int &s : held) s = rt_connect(port);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 3; }));
    uint64_t t0 = rt_now_ms();
    for (int i = 0; i < 20; i++) {
        int extra = rt_join(port, 'H', "full");
        EXPECT_TRUE(rt_closed(extra, 2000)) << i;
        close(extra);
    }
    uint64_t burst_ms = rt_now_ms() - t0;
    int h = rt_join(port, 'H', "other", nullptr, 0, "127.0.0.2");
    int v = rt_join(port, 'V', "other", nullptr, 0, "127.0.0.2");
    expect_pair_talks(h, v);
    close(held[0]);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 4; }));
    int again = rt_join(port, 'H', "back");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.waiting_hosts == 1; }));
    relay_stats st;
    relay_server_stats(&st);
    EXPECT_EQ(st.refused, 20u);
    for (int s : {held[1], held[2], h, v, again}) close(s);
    stop_relay();
    rewind(cfg.log);
    char line[1024];
    unsigned limit_lines = 0;
    while (fgets(line, sizeof line, cfg.log))
        if (strstr(line, "refused 127.0.0.1:") && strstr(line, "the per-address limit")) limit_lines++;
    fclose(cfg.log);
    EXPECT_GE(limit_lines, 1u);
    EXPECT_LE(limit_lines, 1 + burst_ms / 1000);   // at most one a second
}

TEST(RelayServer, LogLinesNameEventsAndEscapeRoomBytes) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.log = tmpfile();
    ASSERT_NE(cfg.log, nullptr);
    int port = start_relay(&cfg);
    uint8_t room[18] = {'a', '\n', 'b', 0, 'c', '\\', '\''};
    int h = rt_join(port, 'H', nullptr, room);
    int v = rt_join(port, 'V', nullptr, room);
    expect_pair_talks(h, v);
    ASSERT_TRUE(rt_send(v, "12345", 5));
    char got[5];
    ASSERT_TRUE(rt_recv(h, got, 5));
    close(v);
    EXPECT_TRUE(rt_closed(h));
    close(h);
    int bad = rt_connect(port);
    rt_send(bad, "VORL\x03", 5);
    EXPECT_TRUE(rt_closed(bad));
    close(bad);
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 0; }));
    stop_relay();
    std::string text;
    rewind(cfg.log);
    char line[1024];
    int lines = 0;
    while (fgets(line, sizeof line, cfg.log)) {
        text += line;
        lines++;
        EXPECT_TRUE(line[0] == '2' && strchr(line, 'T') && strchr(line, 'Z')) << line;
    }
    fclose(cfg.log);
    EXPECT_NE(text.find("listening on 127.0.0.1:"), std::string::npos) << text;
    EXPECT_NE(text.find("paired: room 'a\\x0ab\\x00c\\x5c\\x27'"), std::string::npos) << text;
    EXPECT_NE(text.find("host->viewer 5 bytes, viewer->host 10 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("malformed join (bad version)"), std::string::npos) << text;
    EXPECT_EQ(lines, 6) << text;  // listening, host waiting, paired, unpaired, refused, stopped
}
