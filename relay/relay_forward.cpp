// relay_forward: a paired host and viewer. Each direction moves src -> pipe -> dst with splice (the
// bytes never enter this process), or src -> buffer -> dst when no pipe could be had. A FIN is passed
// on as a half-close once everything before it has been delivered; the pair ends when both
// directions are finished, or at once when a side can no longer be written to.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>
#include "relay/relay_internal.h"

static int flow_open(relay_flow *f, relay_conn *src, relay_conn *dst, int use_pipe) {
    f->src = src;
    f->dst = dst;
    f->pipe_r = f->pipe_w = -1;
    int fds[2];
    if (use_pipe && pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        // A pipe holds exactly RELAY_FLOW_BUF, whatever the page size makes the default. Past the
        // per-user pipe allowance the kernel hands out one- or two-page pipes: a buffer moves bytes
        // faster than those.
        int size = fcntl(fds[0], F_SETPIPE_SZ, RELAY_FLOW_BUF);
        if (size < 0) size = fcntl(fds[0], F_GETPIPE_SZ);
        if (size < RELAY_FLOW_BUF) {
            close(fds[0]);
            close(fds[1]);
            f->buf = (uint8_t *)malloc(RELAY_FLOW_BUF);
            return f->buf != nullptr;
        }
        f->pipe_r = fds[0];
        f->pipe_w = fds[1];
        g_relay.fds_open += 2;
        return 1;
    }
    f->buf = (uint8_t *)malloc(RELAY_FLOW_BUF);
    return f->buf != nullptr;
}

static void flow_close(relay_flow *f) {
    if (f->pipe_r >= 0) {
        close(f->pipe_r);
        close(f->pipe_w);
        g_relay.fds_open -= 2;
    }
    free(f->buf);
    f->pipe_r = f->pipe_w = -1;
    f->buf = nullptr;
}

void relay_pair_start(relay_conn *host, relay_conn *viewer) {
    relay_room_remove(host);
    relay_timer_clear(viewer);
    relay_conn_state(host, RELAY_PAIRED);
    relay_conn_state(viewer, RELAY_PAIRED);
    relay_pair *p = (relay_pair *)calloc(1, sizeof *p);
    host->pair = viewer->pair = p;
    if (!p) {
        relay_log("pair failed: out of memory");
        relay_conn_close(host);
        relay_conn_close(viewer);
        return;
    }
    p->host = host;
    p->viewer = viewer;
    p->since = relay_now_ms();
    g_relay.n_pairs++;
    int use_pipe = !g_relay.cfg.buffers_only && !host->ws && !viewer->ws && g_relay.fds_open + 4 + RELAY_FD_RESERVE / 2 <= g_relay.fd_limit;
    int ok = flow_open(&p->up, viewer, host, use_pipe);
    ok = flow_open(&p->down, host, viewer, use_pipe) && ok;
    if (p->up.pipe_r >= 0 && p->down.pipe_r >= 0) g_relay.n_pipe_pairs++;
    char room[RELAY_FIELD_TEXT_MAX], hn[RELAY_FIELD_TEXT_MAX], vn[RELAY_FIELD_TEXT_MAX], ha[32], va[32];
    relay_room_text(host, room, sizeof room);
    relay_name_text(host, hn, sizeof hn);
    relay_name_text(viewer, vn, sizeof vn);
    relay_conn_text(host, ha, sizeof ha);
    relay_conn_text(viewer, va, sizeof va);
    relay_log("paired: room '%s', host '%s' %s, viewer '%s' %s", room, hn, ha, vn, va);
    if (!ok) {
        relay_pair_end(p, "out of memory");
        return;
    }
    relay_pair_watch(p);
    relay_pair_pump(p);
}

void relay_pair_watch(relay_pair *p) {
    relay_conn *v = p->viewer;
    int half = p->up.dst_shut || p->down.dst_shut;
    int silent = !v->queue_len && !p->up.bytes && !p->up.held;
    if (!half && !silent) relay_timer_clear(v);
    else if (!v->timer) relay_timer_set(v, RELAY_TIMER_PAIR, relay_now_ms() + g_relay.cfg.join_timeout_ms);
}

void relay_pair_end(relay_pair *p, const char *why) {
    char room[RELAY_FIELD_TEXT_MAX];
    relay_room_text(p->host, room, sizeof room);
    uint64_t ms = relay_now_ms() - p->since;
    relay_log("unpaired: room '%s' (%s), host->viewer %llu bytes, viewer->host %llu bytes, %llu.%03llu s",
              room, why, (unsigned long long)p->down.bytes, (unsigned long long)p->up.bytes,
              (unsigned long long)(ms / 1000), (unsigned long long)(ms % 1000));
    if (p->up.pipe_r >= 0 && p->down.pipe_r >= 0) g_relay.n_pipe_pairs--;
    g_relay.n_pairs--;
    flow_close(&p->up);
    flow_close(&p->down);
    p->host->pair = p->viewer->pair = nullptr;
    relay_conn_close(p->host);
    relay_conn_close(p->viewer);
    if (p->again) p->host = p->viewer = nullptr;  // freed when the again list is walked
    else free(p);
}

// Sends what is left of the viewer's early bytes: 1 when all gone, 0 when dst is full, -1 on failure.
static int flow_send_queue(relay_flow *f) {
    relay_conn *v = f->src;
    while (v->queue_sent < v->queue_len) {
        ssize_t n = relay_conn_send(f->dst, v->queue + v->queue_sent, v->queue_len - v->queue_sent);
        if (n > 0) {
            v->queue_sent += (uint32_t)n;
            f->bytes += (uint64_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        }
    }
    free(v->queue);
    v->queue = nullptr;
    v->queue_len = v->queue_cap = v->queue_sent = 0;
    return 1;
}

// One read from src: bytes read, 0 at FIN, -1 when nothing can be read now (errno EAGAIN) or on error.
static ssize_t flow_read(relay_flow *f) {
    if (f->pipe_w >= 0)
        return splice(f->src->fd, nullptr, f->pipe_w, nullptr, 1 << 20, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    uint32_t end = f->buf_off + f->held;
    if (end >= RELAY_FLOW_BUF) {
        errno = EAGAIN;
        return -1;
    }
    return relay_conn_recv(f->src, f->buf + end, RELAY_FLOW_BUF - end);
}

static ssize_t flow_write(relay_flow *f) {
    if (f->pipe_r >= 0)
        return splice(f->pipe_r, nullptr, f->dst->fd, nullptr, f->held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    return relay_conn_send(f->dst, f->buf + f->buf_off, f->held);
}

static int would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// Moves one direction as far as it goes now. 1 = done for now, 2 = turn used up with more to move,
// -1 = dst can no longer be written (the pair must end).
static int flow_pump(relay_flow *f) {
    if (f->dst->ws && relay_ws_flush(f->dst) < 0) return -1;  // WebSocket front: frames still waiting
    if (f->src->queue) {
        int q = flow_send_queue(f);
        if (q <= 0) return q < 0 ? -1 : 1;
    }
    for (int turn = 0; turn < RELAY_TURN_MOVES; turn++) {
        int moved = 0;
        if (!f->src_eof) {
            ssize_t n = flow_read(f);
            if (n > 0) {
                f->held += (uint32_t)n;
                moved = 1;
            } else if (n == 0 || !would_block()) {
                f->src_eof = 1;  // FIN, or a reset that ends this direction like one
            }
        }
        if (f->held) {
            ssize_t n = flow_write(f);
            if (n > 0) {
                f->held -= (uint32_t)n;
                f->bytes += (uint64_t)n;
                f->buf_off = f->held ? f->buf_off + (uint32_t)n : 0;
                moved = 1;
            } else if (n < 0 && !would_block()) {
                return -1;
            }
        }
        if (!moved) {
            if (f->src_eof && !f->held && !f->dst_shut) {
                if (f->dst->ws) relay_ws_shutdown(f->dst);
                else shutdown(f->dst->fd, SHUT_WR);
                f->dst_shut = 1;
            }
            return 1;
        }
    }
    return 2;
}

void relay_pair_pump(relay_pair *p) {
    int up = flow_pump(&p->up);
    int down = up < 0 ? 1 : flow_pump(&p->down);
    if (up < 0 || down < 0) {
        relay_pair_end(p, up < 0 ? "host connection failed" : "viewer connection failed");
        return;
    }
    if (p->up.dst_shut && p->down.dst_shut) {
        relay_pair_end(p, "closed");
        return;
    }
    relay_pair_watch(p);
    if ((up == 2 || down == 2) && !p->again) {
        p->again = 1;
        p->again_next = g_relay.again;
        g_relay.again = p;
    }
}

void relay_pairs_again(void) {
    relay_pair *list = g_relay.again;
    g_relay.again = nullptr;
    while (list) {
        relay_pair *p = list;
        list = p->again_next;
        p->again = 0;
        if (!p->host) free(p);  // ended while it waited for its turn
        else relay_pair_pump(p);
    }
}
