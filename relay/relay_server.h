// relay_server: vo_relay's event loop. It accepts TCP connections, reads each one's join, pairs a
// host and a viewer that name the same room and then forwards their bytes unchanged both ways
// (splice through a pipe pair, or a bounded buffer when no pipe can be had), passing a close or a
// half-close on to the other side. One thread, one epoll set, small state per connection; buffers
// and pipes exist only for paired connections. One server per process: it runs on the caller's
// thread (relay_server_run) or on a thread of its own (relay_server_start) for tests.
#pragma once
#include <stdint.h>
#include <stdio.h>

#define RELAY_DEFAULT_PER_ADDRESS 256   // see --help: an office behind one NAT address fits

// What the operator chooses (command line) or a test sets.
struct relay_config {
    char bind_ip[64];             // IPv4 address to listen on ("0.0.0.0" = every interface)
    int port;                     // TCP port; 0 = any free port (reported back)
    int max_conns;                // connections open at once; 0 = file limit less a reserve
    int max_per_address;          // connections one source address may hold at once; 0 = no limit
    uint32_t join_timeout_ms;     // time a new connection has to deliver its whole join
    uint32_t viewer_wait_ms;      // time a joined viewer may wait for its host
    uint32_t viewer_queue_bytes;  // bytes a waiting viewer may send before its host arrives
    uint32_t keepalive_s;         // TCP keep-alive idle time on every connection (0 = off)
    FILE *log;                    // event lines go here (NULL = silent)
    int buffers_only;             // forward through buffers even when pipes could be had (tests)
    int ws_port;                  // WebSocket front's TCP port (browser viewers); -1 = off, 0 = any free
    char ws_root[512];            // folder of the viewer page's files; empty = the copy built in
};

// Counters the loop keeps up to date; safe to read from any thread.
struct relay_stats {
    int conns;                    // connections open (any state)
    int joining;                  // still sending their join
    int waiting_hosts;            // hosts waiting for a viewer
    int waiting_viewers;          // viewers waiting for a host
    int pairs;                    // pairs forwarding
    int pipe_pairs;               // of those, forwarding through pipes (the rest use buffers)
    uint64_t refused;             // connections closed by a refusal or time-out
};

void relay_config_defaults(relay_config *cfg);

// Raises the open-file limit to its hard limit; returns the new soft limit.
int relay_raise_fd_limit(void);

// Opens the listening socket and the loop's state; returns the bound port or -1 (logged).
int relay_server_open(const relay_config *cfg);
// Runs the loop on the calling thread until relay_server_stop; closes everything on the way out.
void relay_server_loop(void);
// relay_server_open, then the loop on a new thread; returns the bound port or -1.
int relay_server_start(const relay_config *cfg);
// Asks the loop to end (safe from a signal handler); relay_server_start's caller then calls
// relay_server_join to wait for the thread.
void relay_server_stop(void);
void relay_server_join(void);
void relay_server_stats(relay_stats *out);
// The WebSocket front's bound port (-1 when off).
int relay_server_ws_port(void);
