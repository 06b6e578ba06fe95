// net: the portable half of the socket layer: loops and helpers built on the backend's calls.
#include "platform/net.h"
#include <stdio.h>

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
