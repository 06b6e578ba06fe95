// relay_accept: a connection from accept to its room: socket options, the join read in whatever
// pieces it comes, a waiting viewer's early bytes, and which handler an epoll event goes to.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include "relay/relay_internal.h"

static void conn_new(int fd, const sockaddr_in *sa, int ws) {
    relay_conn *c = (relay_conn *)calloc(1, sizeof *c);
    if (c && ws && !relay_ws_new(c)) {  // WebSocket front: HTTP first, then frames
        free(c);
        c = nullptr;
    }
    if (!c) {
        relay_addr_release(ntohl(sa->sin_addr.s_addr));
        close(fd);
        return;
    }
    c->fd = fd;
    c->ip = ntohl(sa->sin_addr.s_addr);
    c->port = ntohs(sa->sin_port);
    c->since = relay_now_ms();
    c->state = RELAY_CLOSED;
    relay_conn_state(c, RELAY_JOINING);
    g_relay.n_conns++;
    g_relay.fds_open++;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (g_relay.cfg.keepalive_s) {
        int idle = (int)g_relay.cfg.keepalive_s, intvl = 10, cnt = 6;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
    }
    relay_timer_set(c, RELAY_TIMER_JOIN, c->since + g_relay.cfg.join_timeout_ms);
    epoll_event ev;
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = c;
    if (epoll_ctl(g_relay.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) relay_conn_close(c);
}

// Accept failed for lack of descriptors: give up the spare one to accept and drop the newcomer,
// so the listener does not stay ready for ever.
static void shed_one(int listen_fd) {
    if (g_relay.spare_fd < 0) return;
    close(g_relay.spare_fd);
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    g_relay.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    relay_log("refused a connection: out of file descriptors");
    g_relay.n_refused++;
}

void relay_accept_all(int listen_fd, int ws) {
    for (int i = 0; i < 256; i++) {
        sockaddr_in sa;
        socklen_t len = sizeof sa;
        int fd = accept4(listen_fd, (sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) shed_one(listen_fd);
            return;
        }
        if (g_relay.n_conns >= g_relay.cfg.max_conns ||
            g_relay.fds_open + RELAY_FD_RESERVE / 2 >= g_relay.fd_limit) {
            relay_conn tmp;
            memset(&tmp, 0, sizeof tmp);
            tmp.ip = ntohl(sa.sin_addr.s_addr);
            tmp.port = ntohs(sa.sin_port);
            char addr[32];
            relay_conn_text(&tmp, addr, sizeof addr);
            relay_log("refused %s: connection limit (%d) reached", addr, g_relay.cfg.max_conns);
            g_relay.n_refused++;
            close(fd);
            continue;
        }
        // One address at its own limit is turned away; every other address is still served.
        if (!relay_addr_admit(ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port))) {
            g_relay.n_refused++;
            close(fd);
            continue;
        }
        conn_new(fd, &sa, ws);
    }
}

static int would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

static void conn_left(relay_conn *c, const char *who) {
    char room[RELAY_FIELD_TEXT_MAX], addr[32];
    relay_room_text(c, room, sizeof room);
    relay_conn_text(c, addr, sizeof addr);
    relay_log("%s left while waiting: room '%s', from %s", who, room, addr);
    relay_conn_close(c);
}

void relay_viewer_read(relay_conn *c) {
    uint32_t limit = g_relay.cfg.viewer_queue_bytes;
    for (;;) {
        if (c->queue_len == c->queue_cap && c->queue_cap < limit) {
            uint32_t cap = c->queue_cap ? c->queue_cap * 2 : 256;
            if (cap > limit) cap = limit;
            uint8_t *q = (uint8_t *)realloc(c->queue, cap);
            if (!q) {
                relay_refuse(c, "out of memory");
                return;
            }
            c->queue = q;
            c->queue_cap = cap;
        }
        uint8_t probe;
        int full = c->queue_len == c->queue_cap;
        ssize_t n = full && !c->ws ? recv(c->fd, &probe, 1, MSG_PEEK)
                  : full ? relay_conn_recv(c, &probe, 1)
                  : relay_conn_recv(c, c->queue + c->queue_len, c->queue_cap - c->queue_len);
        if (n > 0 && full) {
            char room[RELAY_FIELD_TEXT_MAX];
            relay_room_text(c, room, sizeof room);
            relay_refuse(c, "viewer for room '%s' sent more than %u bytes before its host came", room, limit);
            return;
        }
        if (n > 0) {
            c->queue_len += (uint32_t)n;
        } else if (n == 0 || !would_block()) {
            conn_left(c, "viewer");
            return;
        } else {
            return;
        }
    }
}

static void join_read(relay_conn *c, uint32_t ev) {
    if (c->ws && !relay_ws_http(c)) return;  // WebSocket front: request head, file or upgrade first
    while (c->join_len < RELAY_JOIN_BYTES) {
        ssize_t n = relay_conn_recv(c, c->join + c->join_len, RELAY_JOIN_BYTES - c->join_len);
        if (n < 0 && would_block()) return;
        if (n <= 0) {
            char addr[32];
            relay_conn_text(c, addr, sizeof addr);
            relay_log("closed %s: it left before its join was complete (%u of %d bytes)", addr, c->join_len,
                      RELAY_JOIN_BYTES);
            relay_conn_close(c);
            return;
        }
        c->join_len = (uint8_t)(c->join_len + n);
        int r = relay_parse_join(c->join, c->join_len, nullptr);
        if (r < 0) {
            relay_refuse(c, "malformed join (%s)", relay_join_error(r));
            return;
        }
    }
    relay_timer_clear(c);
    relay_room_enter(c);
    if (c->state == RELAY_PAIRED) relay_pair_pump(c->pair);
    else if (c->state == RELAY_WAITING && c->role == RELAY_ROLE_VIEWER) relay_viewer_read(c);
    else if (c->state == RELAY_WAITING && (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) conn_left(c, "host");
}

void relay_conn_event(relay_conn *c, uint32_t ev) {
    switch (c->state) {
    case RELAY_JOINING:
        join_read(c, ev);
        break;
    case RELAY_WAITING:
        // A waiting host's bytes stay in its socket until it is paired; only its leaving matters.
        if (c->role == RELAY_ROLE_VIEWER) relay_viewer_read(c);
        else if (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) conn_left(c, "host");
        break;
    case RELAY_PAIRED:
        relay_pair_pump(c->pair);
        break;
    default:
        break;
    }
}
