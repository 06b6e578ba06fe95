// net_os: the few system calls the portable socket loops in net.cpp are built on; one backend per
// platform (net_posix.cpp, net_win32.cpp). Not for use outside the platform layer.
#pragma once
#include "platform/net.h"

int net_os_send(net_sock s, const void *buf, size_t n);   // one send: bytes written or -1
int net_os_recv(net_sock s, void *buf, size_t n);         // one recv: bytes read, 0 at close, -1
int net_os_would_block(void);   // 1 when the last failed call only found the socket not ready
// Waits until s can be read (or written), has failed or was closed: 1; 0 when timeout_ms passed
// first (-1 = no limit); -1 when the wait itself failed.
int net_os_wait(net_sock s, int for_write, int timeout_ms);
void net_os_set_timed_out(void);   // net_last_error() then reports a time-out
