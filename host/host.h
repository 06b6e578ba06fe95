// host: the host core's chief header. A front-end fills a HostSettings record (host/settings.h),
// calls host_identity_init with it, opens the log (host/log.h) and then host_run, which serves one
// viewer after another until start-up fails, the listening socket breaks, or host_stop is called.
// The session loop alone owns the listening socket and the connection; other threads reach them
// only through host_stop.
#pragma once
#include "host/identity.h"
#include "host/log.h"
#include "host/settings.h"
#include "platform/net.h"

#define HOST_STARTING 0
#define HOST_WAITING 1
#define HOST_VIEWER_CONNECTED 2

// Runs the host with a copy of s. 1 when the listening socket cannot be set up, else 0.
int host_run(const HostSettings *s);

// Any thread: asks the host to stop, and ends a blocking accept and a blocking receive at once.
void host_stop(void);
// 1 once a stop was asked for. A stop asked before host_run starts is kept: that run ends at once.
int host_stop_requested(void);
// Tests running host_run again in one process: forget the earlier run's stop, state HOST_STARTING.
void host_reset_status(void);
// HOST_STARTING, HOST_WAITING or HOST_VIEWER_CONNECTED.
int host_get_state(void);
// The socket of the connection being served, NET_INVALID between connections (for tests: the
// session loop opens and closes it).
net_sock host_connection_sock(void);

// Receive thread, as it ends: shuts its connection down so the viewer learns at once, unless a
// stop has already ended (and on Windows closed) it.
void host_shutdown_connection(net_sock s);

// Platform start-up of the host process: DPI awareness on Windows, nothing elsewhere.
void host_platform_init(void);
// How host_stop ends a blocking receive on the connection in `slot`, under the socket lock: POSIX
// shuts it down and leaves it to the session loop; Windows takes it out and closes it.
void host_end_current_sock(std::atomic<net_sock> *slot);
