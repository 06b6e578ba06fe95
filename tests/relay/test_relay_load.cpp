// vo_relay under load: 1,000 pairs at once, each sending 1 MiB of pseudo-random bytes each way
// (2 MiB per pair) and half-closing; every stream is checked end to end by length and hash.
// One client thread drives all 2,000 sockets through epoll.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include "tests/relay/relay_test_net.h"

#define LOAD_PAIRS 1000
#define LOAD_BYTES (1u << 20)

// One end of one pair, as the test client sees it.
struct load_end {
    int fd;
    uint64_t stream;      // seed of the bytes this end sends
    uint64_t sent;        // bytes sent so far
    uint64_t sent_hash;   // hash of what was sent
    uint64_t got;         // bytes received so far
    uint64_t got_hash;    // hash of what was received
    int eof;              // the peer's FIN arrived
    int shut;             // our FIN went out
};

static uint64_t mix64(uint64_t x) {
    x ^= x >> 31;
    x *= 0x7fb5d329728ea185ull;
    x ^= x >> 27;
    x *= 0x81dadef4bc2dd44dull;
    return x ^ (x >> 33);
}

// Bytes [pos, pos + n) of stream s.
static void stream_bytes(uint64_t s, uint64_t pos, uint8_t *out, size_t n) {
    for (size_t i = 0; i < n;) {
        uint64_t p = pos + i;
        uint64_t w = mix64(s * 0x9e3779b97f4a7c15ull + (p >> 3));
        for (unsigned k = (unsigned)(p & 7); k < 8 && i < n; k++, i++) out[i] = (uint8_t)(w >> (k * 8));
    }
}

static uint64_t hash_bytes(uint64_t h, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

static int end_send(load_end *e, uint8_t *scratch, size_t cap) {
    while (e->sent < LOAD_BYTES) {
        size_t n = (size_t)(LOAD_BYTES - e->sent) < cap ? (size_t)(LOAD_BYTES - e->sent) : cap;
        stream_bytes(e->stream, e->sent, scratch, n);
        ssize_t k = send(e->fd, scratch, n, MSG_NOSIGNAL);
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
        if (k <= 0) return 0;
        e->sent_hash = hash_bytes(e->sent_hash, scratch, (size_t)k);
        e->sent += (uint64_t)k;
    }
    if (!e->shut) shutdown(e->fd, SHUT_WR);
    e->shut = 1;
    return 1;
}

static int end_recv(load_end *e, uint8_t *scratch, size_t cap) {
    while (!e->eof) {
        ssize_t k = recv(e->fd, scratch, cap, 0);
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
        if (k < 0) return 0;
        if (k == 0) e->eof = 1;
        e->got_hash = hash_bytes(e->got_hash, scratch, (size_t)k);
        e->got += (uint64_t)k;
    }
    return 1;
}

TEST(RelayLoad, ThousandPairsForwardTwoMebibytesEachIntact) {
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.join_timeout_ms = 60000;
    cfg.max_per_address = 0;   // every client here comes from 127.0.0.1
    int port = relay_server_start(&cfg);
    ASSERT_GT(port, 0);
    load_end *ends = (load_end *)calloc(2 * LOAD_PAIRS, sizeof(load_end));
    char room[16];
    for (int i = 0; i < 2 * LOAD_PAIRS; i++) {
        snprintf(room, sizeof room, "%09d", i % LOAD_PAIRS);
        // Small client buffers keep the bytes in flight (and the kernel's TCP memory) modest: 2,000
        // sockets each buffering megabytes push the kernel into memory pressure, where it drops
        // segments and stalls connections for whole retransmission time-outs.
        ends[i].fd = rt_join(port, i < LOAD_PAIRS ? 'H' : 'V', room, nullptr, 65536);
        ASSERT_GE(ends[i].fd, 0) << i;
        ends[i].stream = (uint64_t)i + 1;
        ends[i].sent_hash = ends[i].got_hash = 1469598103934665603ull;
    }
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.pairs == LOAD_PAIRS; }, 30000));
    int ep = epoll_create1(0);
    for (int i = 0; i < 2 * LOAD_PAIRS; i++) {
        fcntl(ends[i].fd, F_SETFL, fcntl(ends[i].fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev;
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u32 = (uint32_t)i;
        ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, ends[i].fd, &ev), 0);
    }
    static uint8_t scratch[65536];
    int finished = 0;
    uint64_t deadline = rt_now_ms() + 120000;
    epoll_event evs[256];
    while (finished < 2 * LOAD_PAIRS && rt_now_ms() < deadline) {
        int n = epoll_wait(ep, evs, 256, 1000);
        for (int k = 0; k < n; k++) {
            load_end *e = &ends[evs[k].data.u32];
            int was_done = e->eof && e->shut;
            ASSERT_TRUE(end_send(e, scratch, sizeof scratch));
            ASSERT_TRUE(end_recv(e, scratch, sizeof scratch));
            if (!was_done && e->eof && e->shut) finished++;
        }
    }
    uint64_t sent = 0, got = 0;
    for (int i = 0; i < 2 * LOAD_PAIRS; i++) sent += ends[i].sent, got += ends[i].got;
    ASSERT_EQ(finished, 2 * LOAD_PAIRS) << "pairs did not finish in time: " << sent << " bytes sent, " << got
                                        << " received";
    for (int i = 0; i < LOAD_PAIRS; i++) {
        load_end *h = &ends[i], *v = &ends[i + LOAD_PAIRS];
        EXPECT_EQ(h->got, (uint64_t)LOAD_BYTES) << i;
        EXPECT_EQ(v->got, (uint64_t)LOAD_BYTES) << i;
        EXPECT_EQ(h->got_hash, v->sent_hash) << i;
        EXPECT_EQ(v->got_hash, h->sent_hash) << i;
    }
    for (int i = 0; i < 2 * LOAD_PAIRS; i++) close(ends[i].fd);
    close(ep);
    EXPECT_TRUE(rt_wait_stats([](const relay_stats &s) { return s.conns == 0 && s.pairs == 0; }, 10000));
    relay_server_stop();
    relay_server_join();
    free(ends);
}
