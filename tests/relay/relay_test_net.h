// Helpers for the relay tests: an in-process relay with short time-outs, and small blocking
// loopback clients with bounded waits so a broken relay fails a test instead of hanging it.
#pragma once
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include "protocol/relay.h"
#include "relay/relay_server.h"

static inline uint64_t rt_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static inline void rt_fast_config(relay_config *cfg) {
    relay_config_defaults(cfg);
    strcpy(cfg->bind_ip, "127.0.0.1");
    cfg->port = 0;
    cfg->join_timeout_ms = 2000;
    cfg->viewer_wait_ms = 3000;
    cfg->log = nullptr;
}

// bufsize > 0 caps the socket's send and receive buffers (set before connecting, so the window
// follows), which bounds the bytes a test keeps in flight. from: another loopback source
// address (127.0.0.0/8 all reaches this machine), e.g. "127.0.0.2".
static inline int rt_connect(int port, int bufsize = 0, const char *from = nullptr) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && bufsize > 0) {
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof bufsize);
    }
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    if (s >= 0 && from && (inet_pton(AF_INET, from, &sa.sin_addr) != 1 || bind(s, (sockaddr *)&sa, sizeof sa) != 0)) {
        close(s);
        return -1;
    }
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, (sockaddr *)&sa, sizeof sa) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

static inline int rt_send(int s, const void *p, size_t n) {
    const char *b = (const char *)p;
    while (n) {
        ssize_t k = send(s, b, n, MSG_NOSIGNAL);
        if (k <= 0) return 0;
        b += k;
        n -= (size_t)k;
    }
    return 1;
}

// Connects and sends a join; room given as its raw 18 bytes when raw_room is set.
static inline int rt_join(int port, char role, const char *room, const uint8_t *raw_room = nullptr,
                          int bufsize = 0, const char *from = nullptr) {
    int s = rt_connect(port, bufsize, from);
    if (s < 0) return -1;
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, role, room, role == 'H' ? "host-pc" : "viewer-pc");
    if (raw_room) memcpy(j + 6, raw_room, RELAY_ROOM_BYTES);
    rt_send(s, j, sizeof j);
    return s;
}

// Reads exactly n bytes within ms; 1 on success.
static inline int rt_recv(int s, void *p, size_t n, int ms = 5000) {
    char *b = (char *)p;
    uint64_t end = rt_now_ms() + (uint64_t)ms;
    while (n) {
        pollfd pf = {s, POLLIN, 0};
        int left = (int)(end - rt_now_ms());
        if (left <= 0 || poll(&pf, 1, left) <= 0) return 0;
        ssize_t k = recv(s, b, n, 0);
        if (k <= 0) return 0;
        b += k;
        n -= (size_t)k;
    }
    return 1;
}

// 1 when the peer closed (FIN or reset) within ms with no further data; 0 on data or time-out.
static inline int rt_closed(int s, int ms = 5000) {
    pollfd pf = {s, POLLIN, 0};
    if (poll(&pf, 1, ms) <= 0) return 0;
    char c;
    ssize_t k = recv(s, &c, 1, 0);
    return k == 0 || (k < 0 && errno == ECONNRESET);
}

// 1 when nothing at all arrives within ms (the connection stays open and silent).
static inline int rt_silent(int s, int ms) {
    pollfd pf = {s, POLLIN, 0};
    return poll(&pf, 1, ms) == 0;
}

// Waits until the relay's counters satisfy pred; 1 when they did within ms.
template <typename F> static inline int rt_wait_stats(F pred, int ms = 5000) {
    uint64_t end = rt_now_ms() + (uint64_t)ms;
    relay_stats st;
    for (;;) {
        relay_server_stats(&st);
        if (pred(st)) return 1;
        if (rt_now_ms() > end) return 0;
        usleep(2000);
    }
}
