// Fuzzes the relay's WebSocket front with whatever a browser-side peer could send: the input goes
// down a socket pair as one connection's bytes (HTTP request head, then frames), read through the
// same calls the event loop makes, with our own frames sent back now and then; and as a request
// target through the path check.
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include "relay/relay_internal.h"

static void drain(int fd) {
    char sink[65536];
    while (read(fd, sink, sizeof sink) > 0) {
    }
}

static void free_dead(void) {
    while (g_relay.dead) {
        relay_conn *c = g_relay.dead;
        g_relay.dead = c->timer_next;
        free(c);
    }
}

static void run_connection(const uint8_t *data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return;
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = write(sv[1], data + sent, size - sent);
        if (n <= 0) break;
        sent += (size_t)n;
    }
    shutdown(sv[1], SHUT_WR);
    relay_conn *c = (relay_conn *)calloc(1, sizeof *c);
    c->fd = sv[0];
    c->state = RELAY_CLOSED;
    relay_conn_state(c, RELAY_JOINING);
    g_relay.n_conns++;
    if (!relay_ws_new(c)) {
        free(c);
        close(sv[0]);
        close(sv[1]);
        return;
    }
    uint8_t buf[3000];
    for (int i = 0; i < 10000 && c->state != RELAY_CLOSED; i++) {
        drain(sv[1]);
        if (!relay_ws_http(c)) continue;
        ssize_t n = relay_ws_recv(c, buf, 1 + (size_t)i % sizeof buf);
        if (n > 0 && (i & 3) == 0) relay_ws_send(c, buf, (size_t)n);
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
    drain(sv[1]);
    relay_conn_close(c);
    free_dead();
    close(sv[1]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_relay.cfg.log = nullptr;
    g_relay.cfg.ws_root[0] = 0;
    std::string target((const char *)data, size < 4096 ? size : 4096);
    char path[1024];
    if (relay_http_clean_path(target.c_str(), path, sizeof path)) {   // a path kept must stay inside
        if (path[0] == '/' || strchr(path, '\\')) abort();
        for (char *seg = path, *end; seg; seg = end ? end + 1 : nullptr) {
            end = strchr(seg, '/');
            size_t n = end ? (size_t)(end - seg) : strlen(seg);
            if (n == 0 || (n <= 2 && !strncmp(seg, "..", n))) abort();
        }
    }
    run_connection(data, size);
    return 0;
}
