// linkemu: an emulated network link for benchmarks and whole-session tests. A userspace pipe on
// 127.0.0.1 between a client (the viewer) and a server (the host): each direction lets bytes onto
// the link no faster than its bandwidth (a token bucket without burst), holds them for a one-way
// delay plus optional jitter, and delivers them in order, never reordered. The link's queue is
// bounded, so a sender that outruns it waits in its own socket buffer, as on a real bottleneck.
// Buffers are allocated at the start; steady forwarding allocates nothing.
#pragma once
#include <stdint.h>
#include <atomic>
#include "platform/net.h"
#include "platform/thread.h"

struct linkemu_params {
    double delay_ms;     // one-way delay, each direction
    double jitter_ms;    // up to this much more per chunk, random (order is kept all the same)
    double bits_per_s;   // bandwidth, each direction
    double queue_ms;     // what the bottleneck holds before the sender must wait (0: 20 ms)
};

struct linkemu_dir;   // one direction (linkemu_posix.cpp)

struct linkemu {
    linkemu_params params;
    net_sock listener;            // the client connects here
    int server_port;              // where the pipe connects on the client's arrival
    net_sock client, server;      // both ends, once connected
    linkemu_dir *down, *up;       // server -> client, client -> server
    thread_handle main;
    std::atomic<int> connected;   // 1 once both ends are up, -1 when that failed
};

// Listen on a free loopback port for one client and pipe it to 127.0.0.1:server_port. The port, or
// -1 on failure.
int linkemu_start(linkemu *l, int server_port, const linkemu_params *p);
// Bytes delivered so far, server -> client and client -> server.
uint64_t linkemu_down_bytes(const linkemu *l);
uint64_t linkemu_up_bytes(const linkemu *l);
// After both ends have closed: wait for the pipe's threads and free everything.
void linkemu_finish(linkemu *l);
