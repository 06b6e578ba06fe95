// net: the portable half of the socket layer: loops and helpers built on the backend's calls, and
// the per-thread watch that bounds them.
#include "platform/net.h"
#include <stdio.h>
#include "platform/clock.h"
#include "platform/net_os.h"

static thread_local const net_watch *t_watch;   // the calling thread's watch, or NULL

void net_watch_set(const net_watch *w) { t_watch = w; }
const net_watch *net_watch_get(void) { return t_watch; }

int net_watch_expired(const net_watch *w) {
    return w && w->has_deadline && (int32_t)(clock_tick() - w->deadline) >= 0;
}

// Milliseconds the watch still grants a call that started at `started` (INT32_MAX: no limit).
static int32_t watch_left(const net_watch *w, int for_write, uint32_t started) {
    int32_t left = INT32_MAX;
    uint32_t now = clock_tick();
    if (w->has_deadline) left = (int32_t)(w->deadline - now);
    if (for_write && w->send_stall_ms) {
        int32_t stall = (int32_t)w->send_stall_ms - (int32_t)(now - started);
        if (stall < left) left = stall;
    }
    return left;
}

// Waits until s is ready (or failed), within the thread's watch. 1 ready; 0 when the watch ended
// the wait (time-out or cancel) or the wait failed.
static int watched_wait(net_sock s, int for_write, uint32_t started) {
    const net_watch *w = t_watch;
    for (;;) {
        int slice = -1;
        if (w) {
            if (w->cancel && w->cancel->load()) return 0;
            int32_t left = watch_left(w, for_write, started);
            if (left <= 0) {
                net_os_set_timed_out();
                return 0;
            }
            slice = left;
            if (w->cancel && slice > NET_WATCH_SLICE_MS) slice = NET_WATCH_SLICE_MS;
        }
        int r = net_os_wait(s, for_write, slice);
        if (r != 0) return r > 0;
    }
}

int net_send(net_sock s, const void *buf, size_t n) {
    uint32_t started = clock_tick();
    for (;;) {
        if (t_watch && !watched_wait(s, 1, started)) return -1;
        int r = net_os_send(s, buf, n);
        if (r >= 0 || !net_os_would_block()) return r;
        if (!t_watch && !watched_wait(s, 1, started)) return -1;
    }
}

int net_recv(net_sock s, void *buf, size_t n) {
    uint32_t started = clock_tick();
    for (;;) {
        if (t_watch && !watched_wait(s, 0, started)) return -1;
        int r = net_os_recv(s, buf, n);
        if (r >= 0 || !net_os_would_block()) return r;
        if (!t_watch && !watched_wait(s, 0, started)) return -1;
    }
}

int net_wait_readable(net_sock s) { return watched_wait(s, 0, clock_tick()); }

net_sock net_connect(const char *host, int port) {
    net_addr addrs[16];
    int n = net_resolve(host, port, addrs, 16);
    for (int i = 0; i < n; i++) {
        net_sock s = net_connect_addr(&addrs[i]);
        if (s != NET_INVALID) return s;
    }
    return NET_INVALID;
}

int net_send_all(net_sock s, const void *buf, size_t n) {
    const char *p = (const char *)buf;
    while (n > 0) {
        int r = net_send(s, p, n);
        if (r <= 0) return 0;
        p += r;
        n -= (size_t)r;
    }
    return 1;
}

int net_recv_all(net_sock s, void *buf, size_t n) {
    char *p = (char *)buf;
    while (n > 0) {
        int r = net_recv(s, p, n);
        if (r <= 0) return 0;
        p += r;
        n -= (size_t)r;
    }
    return 1;
}

void net_format_ip(uint32_t ip, char *out, size_t cap) {
    snprintf(out, cap, "%u.%u.%u.%u", (unsigned)(ip >> 24), (unsigned)(ip >> 16) & 255,
             (unsigned)(ip >> 8) & 255, (unsigned)ip & 255);
}
