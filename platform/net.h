// net: blocking IPv4 TCP sockets for host, viewer and relay connections.
// One socket type for both platforms; every call returns 1/0, a byte count or -1, never throws.
// A thread may bound its own blocking calls with a watch (deadline, send stall, cancel flag).
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <atomic>

typedef intptr_t net_sock;           // SOCKET on Windows, file descriptor on POSIX
#define NET_INVALID ((net_sock)-1)

// One resolved IPv4 address and port (host byte order).
struct net_addr {
    uint32_t ip;
    uint16_t port;
};

int net_init(void);                                   // WSAStartup once; 1 on success
int net_resolve(const char *host, int port, net_addr *out, int max);  // addresses found (0 = none)
net_sock net_connect_addr(const net_addr *addr);      // NET_INVALID on failure
net_sock net_connect(const char *host, int port);     // first address that connects; NET_INVALID
net_sock net_listen(const char *bind_ip, int port, int backlog);  // SO_REUSEADDR; bind_ip NULL = any
net_sock net_accept(net_sock listener);               // NET_INVALID on failure
int net_local_port(net_sock s);                       // bound port, or -1
int net_send_all(net_sock s, const void *buf, size_t n);  // 1 when all n bytes went out
int net_recv_all(net_sock s, void *buf, size_t n);        // 1 when exactly n bytes arrived
int net_send(net_sock s, const void *buf, size_t n);      // one send: bytes written or -1
int net_recv(net_sock s, void *buf, size_t n);            // one recv: bytes read, 0 at close, -1
int net_wait_readable(net_sock s);   // blocks until data, a close or an error is there; 1, or 0 on failure
int net_set_nonblocking(net_sock s, int on);   // the calls above still wait (within the thread's watch)
// 1 when an accept that failed with this error may simply be tried again (a connection reset in
// the backlog, out of descriptors or buffers); 0 when the listening socket itself is unusable.
int net_accept_may_retry(int err);

// A watch bounds every blocking net_send, net_recv and net_wait_readable of the thread that set
// it (and so the channel and handshake calls made on that thread). Each call first waits for its
// socket in slices of at most NET_WATCH_SLICE_MS and fails (-1, or 0 for net_wait_readable) when
//  - the deadline has passed (has_deadline),
//  - one send has waited send_stall_ms for room (0 = no limit): the peer stopped reading,
//  - *cancel has become non-zero: another thread's way to end the call at once on every platform
//    (a shutdown does not wake a receive blocked in another thread on Windows).
#define NET_WATCH_SLICE_MS 100
struct net_watch {
    int has_deadline;
    uint32_t deadline;                // clock_tick() value
    uint32_t send_stall_ms;
    const std::atomic<int> *cancel;   // may be NULL
};
void net_watch_set(const net_watch *w);   // this thread; NULL removes it; w must outlive its use
const net_watch *net_watch_get(void);
int net_watch_expired(const net_watch *w);   // 1 when its deadline has passed
int net_set_keepalive(net_sock s, int on);
int net_set_nodelay(net_sock s, int on);
int net_set_buffers(net_sock s, int sndbuf, int rcvbuf);  // either may be 0 to leave it
int net_shutdown(net_sock s);                         // both directions
int net_shutdown_send(net_sock s);                    // half-close: no more sends
void net_close(net_sock s);
int net_last_error(void);                             // WSAGetLastError / errno
void net_format_ip(uint32_t ip, char *out, size_t cap);  // dotted quad
