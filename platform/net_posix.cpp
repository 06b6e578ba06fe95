// net_posix: BSD sockets behind net.h (the system calls; loops and helpers are in net.cpp).
#include "platform/net.h"
#include "platform/net_os.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int net_init(void) {
    signal(SIGPIPE, SIG_IGN);   // a peer that closes must fail a send, not kill the process
    return 1;
}

int net_resolve(const char *host, int port, net_addr *out, int max) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (!host || getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return 0;
    int n = 0;
    for (addrinfo *a = res; a && n < max; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        out[n].ip = ntohl(((sockaddr_in *)a->ai_addr)->sin_addr.s_addr);
        out[n].port = (uint16_t)port;
        n++;
    }
    freeaddrinfo(res);
    return n;
}

static void to_sockaddr(const net_addr *a, sockaddr_in *sa) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(a->port);
    sa->sin_addr.s_addr = htonl(a->ip);
}

net_sock net_connect_addr(const net_addr *addr) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return NET_INVALID;
    sockaddr_in sa;
    to_sockaddr(addr, &sa);
    int r;
    do { r = connect(s, (sockaddr *)&sa, sizeof sa); } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int e = errno;
        close(s);
        errno = e;
        return NET_INVALID;
    }
    return s;
}

net_sock net_listen(const char *bind_ip, int port, int backlog) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return NET_INVALID;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_ip && *bind_ip && inet_pton(AF_INET, bind_ip, &sa.sin_addr) != 1) {
        close(s);
        return NET_INVALID;
    }
    if (bind(s, (sockaddr *)&sa, sizeof sa) != 0 || listen(s, backlog) != 0) {
        int e = errno;
        close(s);
        errno = e;
        return NET_INVALID;
    }
    return s;
}

net_sock net_accept(net_sock listener) {
    int s;
    do { s = accept4((int)listener, nullptr, nullptr, SOCK_CLOEXEC); } while (s < 0 && errno == EINTR);
    return s < 0 ? NET_INVALID : s;
}

int net_local_port(net_sock s) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname((int)s, (sockaddr *)&sa, &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

int net_os_send(net_sock s, const void *buf, size_t n) {
    if (n > 0x40000000) n = 0x40000000;   // the count must fit the int result
    ssize_t r;
    do { r = send((int)s, buf, n, MSG_NOSIGNAL); } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : (int)r;
}

int net_os_recv(net_sock s, void *buf, size_t n) {
    if (n > 0x40000000) n = 0x40000000;
    ssize_t r;
    do { r = recv((int)s, buf, n, 0); } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : (int)r;
}

int net_os_would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

int net_os_wait(net_sock s, int for_write, int timeout_ms) {
    pollfd p;
    p.fd = (int)s;
    p.events = for_write ? POLLOUT : POLLIN;
    p.revents = 0;
    int r;
    do { r = poll(&p, 1, timeout_ms); } while (r < 0 && errno == EINTR);
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

void net_os_set_timed_out(void) { errno = ETIMEDOUT; }

int net_set_nonblocking(net_sock s, int on) {
    int fl = fcntl((int)s, F_GETFL, 0);
    if (fl < 0) return 0;
    fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return fcntl((int)s, F_SETFL, fl) == 0 ? 1 : 0;
}

int net_accept_may_retry(int err) {
    switch (err) {
    case ECONNABORTED: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case EPROTO: case EPERM:
    case EAGAIN: case EINTR: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case ENETUNREACH: case ETIMEDOUT:
        return 1;
    default:
        return 0;
    }
}

static int set_int(net_sock s, int level, int opt, int v) {
    return setsockopt((int)s, level, opt, &v, sizeof v) == 0 ? 1 : 0;
}

int net_set_keepalive(net_sock s, int on) { return set_int(s, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0); }
int net_set_nodelay(net_sock s, int on) { return set_int(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

int net_set_buffers(net_sock s, int sndbuf, int rcvbuf) {
    int ok = 1;
    if (sndbuf > 0) ok &= set_int(s, SOL_SOCKET, SO_SNDBUF, sndbuf);
    if (rcvbuf > 0) ok &= set_int(s, SOL_SOCKET, SO_RCVBUF, rcvbuf);
    return ok;
}

int net_shutdown(net_sock s) { return shutdown((int)s, SHUT_RDWR) == 0 ? 1 : 0; }
int net_shutdown_send(net_sock s) { return shutdown((int)s, SHUT_WR) == 0 ? 1 : 0; }

void net_close(net_sock s) {
    if (s != NET_INVALID) close((int)s);
}

int net_last_error(void) { return errno; }

