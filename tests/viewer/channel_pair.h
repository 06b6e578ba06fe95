// channel_pair: two keyed channels joined over a loopback TCP connection, for tests that need the
// viewer's real sends and reads (the "host" end stands in for the host).
#pragma once
#include <filesystem>
#include <random>
#include <string>
#include "platform/net.h"
#include "platform/thread.h"
#include "protocol/channel.h"

struct channel_pair {
    channel host;     // the host's end
    channel viewer;   // the viewer's end (send lock on, as in the viewer)
    int ok;
};

static unsigned pair_host_handshake(void *arg) {
    channel_pair *p = (channel_pair *)arg;
    p->ok = channel_handshake_host(&p->host, "pw");
    return 0;
}

// 1 when both ends are connected and keyed.
static inline int pair_open(channel_pair *p) {
    net_init();
    net_sock ls = net_listen("127.0.0.1", 0, 1);
    if (ls == NET_INVALID) return 0;
    net_sock c = net_connect("127.0.0.1", net_local_port(ls));
    net_sock a = net_accept(ls);
    net_close(ls);
    if (c == NET_INVALID || a == NET_INVALID) return 0;
    channel_init(&p->host, a, 0);
    channel_init(&p->viewer, c, 1);
    p->ok = 0;
    thread_handle t = thread_create(pair_host_handshake, p);
    int v = channel_handshake_viewer(&p->viewer, "pw");
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    return v && p->ok;
}

static inline void pair_close(channel_pair *p) {
    net_sock a = p->host.sock, b = p->viewer.sock;
    channel_free(&p->host);
    channel_free(&p->viewer);
    net_close(a);
    net_close(b);
}

// A fresh empty folder under the system's temporary folder.
static inline std::string test_temp_dir(const char *tag) {
    static unsigned serial = std::random_device()();
    std::filesystem::path d = std::filesystem::temp_directory_path() /
                              ("vo_" + std::string(tag) + "_" + std::to_string(serial++));
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d.string();
}
