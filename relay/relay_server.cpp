// relay_server: the listening socket, the epoll loop and its start and stop, closing connections.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include "platform/thread.h"
#include "relay/relay_internal.h"

relay_state g_relay;

static char g_listen_tag;  // epoll data of the listening socket
static char g_wake_tag;    // epoll data of the stop eventfd
static char g_ws_listen_tag;  // epoll data of the WebSocket front's listening socket

void relay_config_defaults(relay_config *cfg) {
    memset(cfg, 0, sizeof *cfg);
    strcpy(cfg->bind_ip, "0.0.0.0");
    cfg->port = RELAY_DEFAULT_PORT;
    cfg->join_timeout_ms = 10000;
    cfg->viewer_wait_ms = 30000;
    cfg->viewer_queue_bytes = 65536;
    cfg->keepalive_s = 60;
    cfg->max_per_address = RELAY_DEFAULT_PER_ADDRESS;
    cfg->log = stdout;
    cfg->ws_port = -1;
}

int relay_raise_fd_limit(void) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur > (1u << 30) ? (1 << 30) : (int)rl.rlim_cur;
}

void relay_conn_state(relay_conn *c, int state) {
    if (c->state == RELAY_JOINING) g_relay.n_joining--;
    else if (c->state == RELAY_WAITING && c->role == RELAY_ROLE_HOST) g_relay.n_wait_hosts--;
    else if (c->state == RELAY_WAITING) g_relay.n_wait_viewers--;
    c->state = (uint8_t)state;
    if (state == RELAY_JOINING) g_relay.n_joining++;
    else if (state == RELAY_WAITING && c->role == RELAY_ROLE_HOST) g_relay.n_wait_hosts++;
    else if (state == RELAY_WAITING) g_relay.n_wait_viewers++;
}

void relay_conn_close(relay_conn *c) {
    if (c->state == RELAY_CLOSED) return;
    if (c->pair) {
        relay_pair_end(c->pair, "closed");
        return;
    }
    relay_conn_state(c, RELAY_CLOSED);
    relay_timer_clear(c);
    relay_room_remove(c);
    g_relay.n_conns--;  // counted down before the peer can see the close
    relay_addr_release(c->ip);
    close(c->fd);
    c->fd = -1;
    g_relay.fds_open--;
    free(c->queue);
    c->queue = nullptr;
    relay_ws_free(c);
    c->timer_next = g_relay.dead;
    g_relay.dead = c;
}

void relay_refuse(relay_conn *c, const char *fmt, ...) {
    char why[400], addr[32];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    relay_conn_text(c, addr, sizeof addr);
    relay_log("refused %s: %s", addr, why);
    g_relay.n_refused++;
    relay_conn_close(c);
}

static void free_dead(void) {
    while (g_relay.dead) {
        relay_conn *c = g_relay.dead;
        g_relay.dead = c->timer_next;
        free(c);
    }
}

static void close_everything(void) {
    while (g_relay.joins.head) relay_conn_close(g_relay.joins.head);
    for (uint32_t b = 0; g_relay.rooms && b <= g_relay.room_mask; b++)
        while (g_relay.rooms[b]) relay_conn_close(g_relay.rooms[b]);
    relay_pairs_again();
    free_dead();
    close(g_relay.listen_fd);
    if (g_relay.ws_listen_fd >= 0) close(g_relay.ws_listen_fd);
    g_relay.ws_listen_fd = -1;
    close(g_relay.epfd);
    if (g_relay.spare_fd >= 0) close(g_relay.spare_fd);
    g_relay.listen_fd = g_relay.epfd = g_relay.spare_fd = -1;
    // The wake eventfd stays open: relay_server_stop may still be writing to it. relay_server_join
    // (or the next relay_server_open) closes it.
    relay_rooms_free();
    relay_addrs_free();
}

void relay_server_loop(void) {
    epoll_event evs[256];
    while (!g_relay.stop.load()) {
        int timeout = g_relay.again ? 0 : relay_timer_wait_ms(relay_now_ms());
        int n = epoll_wait(g_relay.epfd, evs, 256, timeout);
        for (int i = 0; i < n; i++) {
            void *tag = evs[i].data.ptr;
            if (tag == &g_listen_tag) relay_accept_all(g_relay.listen_fd, 0);
            else if (tag == &g_ws_listen_tag) relay_accept_all(g_relay.ws_listen_fd, 1);
            else if (tag == &g_wake_tag) g_relay.stop = 1;
            else relay_conn_event((relay_conn *)tag, evs[i].events);
        }
        relay_pairs_again();
        uint64_t now = relay_now_ms();
        relay_timer_expire(now);
        relay_addr_expire(now);
        free_dead();
    }
    close_everything();
    relay_log("stopped");
}

static int listen_socket(const relay_config *cfg, int port, int *bound) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, cfg->bind_ip, &sa.sin_addr) != 1) {
        relay_log("cannot listen: '%s' is not an IPv4 address", cfg->bind_ip);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, (sockaddr *)&sa, sizeof sa) != 0 || listen(fd, 4096) != 0) {
        relay_log("cannot listen on %s:%d (%s)", cfg->bind_ip, port, strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, (sockaddr *)&sa, &len);
    *bound = ntohs(sa.sin_port);
    return fd;
}

static void close_wake(void) {
    int fd = g_relay.wake_fd.exchange(-1);
    if (fd >= 0) close(fd);
}

static void reset_state(const relay_config *cfg) {
    close_wake();
    g_relay.cfg = *cfg;
    g_relay.epfd = g_relay.listen_fd = g_relay.spare_fd = g_relay.ws_listen_fd = -1;
    g_relay.ws_port = -1;
    g_relay.fds_open = 0;
    g_relay.joins.head = g_relay.joins.tail = g_relay.waits.head = g_relay.waits.tail = nullptr;
    g_relay.pairs.head = g_relay.pairs.tail = nullptr;
    g_relay.dead = nullptr;
    g_relay.again = nullptr;
    g_relay.stop = 0;
    g_relay.n_conns = g_relay.n_joining = g_relay.n_wait_hosts = g_relay.n_wait_viewers = 0;
    g_relay.n_pairs = g_relay.n_pipe_pairs = 0;
    g_relay.n_refused = 0;
}

// WebSocket front: a second listener whose connections start with HTTP (relay_ws.cpp).
static int ws_listen_open(const relay_config *cfg) {
    g_relay.ws_listen_fd = listen_socket(cfg, cfg->ws_port, &g_relay.ws_port);
    if (g_relay.ws_listen_fd < 0) return 0;
    relay_log("websocket front on %s:%d (page from %s)", cfg->bind_ip, g_relay.ws_port,
              cfg->ws_root[0] ? cfg->ws_root : "the built-in copy");
    return 1;
}

static int ws_listen_watch(void) {
    if (g_relay.ws_listen_fd < 0) return 1;
    epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.ptr = &g_ws_listen_tag;
    return epoll_ctl(g_relay.epfd, EPOLL_CTL_ADD, g_relay.ws_listen_fd, &ev) == 0;
}

int relay_server_open(const relay_config *cfg) {
    reset_state(cfg);
    signal(SIGPIPE, SIG_IGN);  // a peer that vanished must fail a write, not end the relay
    g_relay.fd_limit = relay_raise_fd_limit();
    int most = g_relay.fd_limit - RELAY_FD_RESERVE;
    if (most < 1) most = 1;
    if (g_relay.cfg.max_conns <= 0 || g_relay.cfg.max_conns > most) g_relay.cfg.max_conns = most;
    g_relay.listen_fd = listen_socket(cfg, cfg->port, &g_relay.port);
    if (g_relay.listen_fd < 0) return -1;
    if (cfg->ws_port >= 0 && !ws_listen_open(cfg)) {
        close_everything();
        return -1;
    }
    g_relay.epfd = epoll_create1(EPOLL_CLOEXEC);
    g_relay.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    g_relay.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.ptr = &g_listen_tag;
    int ok = g_relay.epfd >= 0 && g_relay.wake_fd >= 0 && relay_rooms_init(g_relay.cfg.max_conns) &&
             relay_addrs_init(g_relay.cfg.max_conns) &&
             epoll_ctl(g_relay.epfd, EPOLL_CTL_ADD, g_relay.listen_fd, &ev) == 0 && ws_listen_watch();
    ev.data.ptr = &g_wake_tag;
    if (!ok || epoll_ctl(g_relay.epfd, EPOLL_CTL_ADD, g_relay.wake_fd, &ev) != 0) {
        relay_log("cannot start: %s", strerror(errno));
        close_everything();
        return -1;
    }
    g_relay.fds_open = g_relay.ws_listen_fd >= 0 ? 6 : 5;  // listeners, epoll, eventfd, spare, log
    relay_log("listening on %s:%d (at most %d connections, join time-out %u ms, viewer wait %u ms, "
              "viewer queue %u bytes)", cfg->bind_ip, g_relay.port, g_relay.cfg.max_conns,
              cfg->join_timeout_ms, cfg->viewer_wait_ms, cfg->viewer_queue_bytes);
    return g_relay.port;
}

static unsigned loop_thread(void *) {
    relay_server_loop();
    return 0;
}

int relay_server_start(const relay_config *cfg) {
    int port = relay_server_open(cfg);
    if (port < 0) return -1;
    g_relay.thread = thread_create(loop_thread, nullptr);
    if (!g_relay.thread) {
        close_everything();
        return -1;
    }
    return port;
}

void relay_server_stop(void) {
    uint64_t one = 1;
    g_relay.stop = 1;
    if (g_relay.wake_fd >= 0 && write(g_relay.wake_fd, &one, sizeof one) < 0) {
        // the flag alone ends the loop at its next wake-up
    }
}

void relay_server_join(void) {
    if (!g_relay.thread) return;
    thread_wait(g_relay.thread, THREAD_INFINITE);
    thread_close(g_relay.thread);
    g_relay.thread = nullptr;
    close_wake();
}

void relay_server_stats(relay_stats *out) {
    out->conns = g_relay.n_conns;
    out->joining = g_relay.n_joining;
    out->waiting_hosts = g_relay.n_wait_hosts;
    out->waiting_viewers = g_relay.n_wait_viewers;
    out->pairs = g_relay.n_pairs;
    out->pipe_pairs = g_relay.n_pipe_pairs;
    out->refused = g_relay.n_refused;
}

int relay_server_ws_port(void) { return g_relay.ws_port; }
