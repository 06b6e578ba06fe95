// net_win32: Winsock 2 behind net.h (the system calls; loops and helpers are in net.cpp).
#include "platform/net.h"
#include "platform/net_os.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <stdio.h>
#include <string.h>

int net_init(void) {
    static int started = 0;
    if (started) return 1;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;
    started = 1;
    return 1;
}

int net_resolve(const char *host, int port, net_addr *out, int max) {
    net_init();
    ADDRINFOA hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA *res = nullptr;
    if (!host || getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return 0;
    int n = 0;
    for (ADDRINFOA *a = res; a && n < max; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        out[n].ip = ntohl(((sockaddr_in *)a->ai_addr)->sin_addr.s_addr);
        out[n].port = (uint16_t)port;
        n++;
    }
    freeaddrinfo(res);
    return n;
}

net_sock net_connect_addr(const net_addr *addr) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return NET_INVALID;
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(addr->port);
    sa.sin_addr.s_addr = htonl(addr->ip);
    if (connect(s, (sockaddr *)&sa, sizeof sa) != 0) {
        int e = WSAGetLastError();
        closesocket(s);
        WSASetLastError(e);
        return NET_INVALID;
    }
    return (net_sock)s;
}

net_sock net_listen(const char *bind_ip, int port, int backlog) {
    net_init();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return NET_INVALID;
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char *)&one, sizeof one);
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((u_short)port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_ip && *bind_ip && inet_pton(AF_INET, bind_ip, &sa.sin_addr) != 1) {
        closesocket(s);
        return NET_INVALID;
    }
    if (bind(s, (sockaddr *)&sa, sizeof sa) != 0 || listen(s, backlog) != 0) {
        int e = WSAGetLastError();
        closesocket(s);
        WSASetLastError(e);
        return NET_INVALID;
    }
    return (net_sock)s;
}

net_sock net_accept(net_sock listener) {
    SOCKET s = accept((SOCKET)listener, nullptr, nullptr);
    return s == INVALID_SOCKET ? NET_INVALID : (net_sock)s;
}

int net_local_port(net_sock s) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (getsockname((SOCKET)s, (sockaddr *)&sa, &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

int net_os_send(net_sock s, const void *buf, size_t n) {
    int chunk = n > 0x40000000 ? 0x40000000 : (int)n;
    int r = send((SOCKET)s, (const char *)buf, chunk, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int net_os_recv(net_sock s, void *buf, size_t n) {
    int chunk = n > 0x40000000 ? 0x40000000 : (int)n;
    int r = recv((SOCKET)s, (char *)buf, chunk, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int net_os_would_block(void) { return WSAGetLastError() == WSAEWOULDBLOCK; }

int net_os_wait(net_sock s, int for_write, int timeout_ms) {
    fd_set ready, ex;
    FD_ZERO(&ready);
    FD_ZERO(&ex);
    FD_SET((SOCKET)s, &ready);
    FD_SET((SOCKET)s, &ex);
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int r = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &ex, timeout_ms < 0 ? nullptr : &tv);
    return r > 0 ? 1 : r == 0 ? 0 : -1;
}

void net_os_set_timed_out(void) { WSASetLastError(WSAETIMEDOUT); }

int net_set_nonblocking(net_sock s, int on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket((SOCKET)s, FIONBIO, &mode) == 0 ? 1 : 0;
}

int net_accept_may_retry(int err) {
    switch (err) {
    case WSAECONNRESET: case WSAECONNABORTED: case WSAEMFILE: case WSAENOBUFS: case WSAEWOULDBLOCK:
    case WSAENETDOWN: case WSAEINTR:
        return 1;
    default:
        return 0;
    }
}

static int set_int(net_sock s, int level, int opt, int v) {
    return setsockopt((SOCKET)s, level, opt, (const char *)&v, sizeof v) == 0 ? 1 : 0;
}

int net_set_keepalive(net_sock s, int on) { return set_int(s, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0); }
int net_set_nodelay(net_sock s, int on) { return set_int(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

int net_set_buffers(net_sock s, int sndbuf, int rcvbuf) {
    int ok = 1;
    if (sndbuf > 0) ok &= set_int(s, SOL_SOCKET, SO_SNDBUF, sndbuf);
    if (rcvbuf > 0) ok &= set_int(s, SOL_SOCKET, SO_RCVBUF, rcvbuf);
    return ok;
}

int net_shutdown(net_sock s) { return shutdown((SOCKET)s, SD_BOTH) == 0 ? 1 : 0; }
int net_shutdown_send(net_sock s) { return shutdown((SOCKET)s, SD_SEND) == 0 ? 1 : 0; }

void net_close(net_sock s) {
    if (s != NET_INVALID) closesocket((SOCKET)s);
}

int net_last_error(void) { return WSAGetLastError(); }

