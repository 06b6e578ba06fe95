// Shared helpers of the session tests: a host core on a thread over the synthetic screen, and a
// bare test viewer made from the protocol pieces.
#pragma once
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "host/host.h"
#include "host/synth.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sysrand.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/messages.h"

static char s_session_dir[64];

static inline int session_remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

// The folder goes when the process ends: each holds a viewer's tiles.bin of 128 MiB.
static inline void session_remove_temp_dir(void) {
    nftw(s_session_dir, session_remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A data folder of its own for the test process.
static inline void session_use_temp_dir(void) {
    if (!s_session_dir[0]) {
        snprintf(s_session_dir, sizeof s_session_dir, "/tmp/vo-session-%d", (int)getpid());
        setenv("VO_DATA_DIR", s_session_dir, 1);
        atexit(session_remove_temp_dir);
    }
}

static inline int session_free_port(void) {
    net_init();
    net_sock l = net_listen("127.0.0.1", 0, 1);
    int p = net_local_port(l);
    net_close(l);
    return p;
}

// Wait until cond() holds, at most ms milliseconds.
template <class F> static inline bool session_wait(F cond, uint32_t ms) {
    uint32_t start = clock_tick();
    while (!cond()) {
        if (clock_tick() - start > ms) return false;
        clock_sleep(2);
    }
    return true;
}

static unsigned session_host_entry(void *settings) {
    host_run((const HostSettings *)settings);
    return 0;
}

// The host core on a thread, direct mode on a fresh port, fixed password "pw".
struct test_host {
    thread_handle thread;
    int port;
    HostSettings set;   // what the host runs with
};

// The host settings' defaults, for a test to change before host_start_direct.
static inline HostSettings test_settings(void) {
    HostSettings s;
    host_settings_default(&s);
    return s;
}

// pw NULL: a host whose random source fails from here on, so it has no password at all.
// base: the settings to start from (NULL: the defaults); the relay flag and the port are set here.
static inline void host_start_direct(test_host *h, int relay = 0, const char *pw = "pw",
                                     const HostSettings *base = nullptr) {
    session_use_temp_dir();
    host_reset_status();
    h->set = base ? *base : test_settings();
    h->set.use_relay = relay;
    h->port = session_free_port();
    h->set.listen_port = h->port;
    host_identity_init(&h->set);
    if (pw) {
        host_set_password(pw);
    } else {
        sysrand_fail_next(1000000);
        host_identity_reset();
    }
    h->thread = thread_create(session_host_entry, &h->set);
    ASSERT_NE(h->thread, nullptr);
    if (!relay) {
        ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
    }
}

static inline void host_finish(test_host *h) {
    host_stop();
    EXPECT_EQ(thread_wait(h->thread, 10000), 1);
    thread_close(h->thread);
    h->thread = nullptr;
}

// A bare viewer: TCP, handshake, hellos, raw message reads.
struct test_viewer {
    channel ch;
    net_sock sock;
};

static inline int tv_connect(test_viewer *v, int port, const char *password) {
    v->sock = net_connect("127.0.0.1", port);
    if (v->sock == NET_INVALID) return 0;
    channel_init(&v->ch, v->sock, 1);
    return channel_handshake_viewer(&v->ch, password);
}

static inline int tv_send(test_viewer *v, uint8_t type, const void *payload, uint32_t len) {
    std::string m(HEADER_BYTES + len, '\0');
    header_put((uint8_t *)&m[0], type, len);
    if (len) memcpy(&m[HEADER_BYTES], payload, len);
    return channel_send(&v->ch, m.data(), m.size());
}

static inline int tv_hello(test_viewer *v, uint16_t caps, uint8_t host_hello[HOST_HELLO_BYTES]) {
    ClientHello mine;
    memset(&mine, 0, sizeof mine);
    mine.caps = caps;
    memcpy(mine.name, "TEST-VIEWER", 11);
    uint8_t m[HEADER_BYTES + CLIENT_HELLO_BYTES];
    if (!channel_send(&v->ch, m, msg_pack_client_hello(m, &mine))) return 0;
    uint8_t head[HEADER_BYTES];
    if (!channel_recv(&v->ch, head, sizeof head)) return 0;
    MessageHeader h = header_get(head);
    if (h.type != MSG_HOST_HELLO || h.length != HOST_HELLO_BYTES) return 0;
    return channel_recv(&v->ch, host_hello, HOST_HELLO_BYTES);
}

// Reads one message; payload into buf (resized). 0 when the connection failed.
static inline int tv_read(test_viewer *v, uint8_t *type, std::string *buf) {
    uint8_t head[HEADER_BYTES];
    if (!channel_recv(&v->ch, head, sizeof head)) return 0;
    MessageHeader h = header_get(head);
    *type = h.type;
    buf->resize(h.length);
    return h.length == 0 || channel_recv(&v->ch, &(*buf)[0], h.length);
}

// Reads up to and including the next frame end; counts tiles and references on the way.
static inline int tv_read_frame(test_viewer *v, uint32_t *frame, int *tiles, int *refs) {
    uint8_t type;
    std::string p;
    *tiles = *refs = 0;
    while (tv_read(v, &type, &p)) {
        if (type == MSG_TILE) (*tiles)++;
        if (type == MSG_CACHE_REF) (*refs)++;
        if (type == MSG_FRAME_END) {
            FrameEnd end;
            msg_unpack_frame_end((const uint8_t *)p.data(), p.size(), &end);
            *frame = end.frame;
            return 1;
        }
    }
    return 0;
}

static inline void tv_close(test_viewer *v) {
    net_shutdown(v->sock);
    net_close(v->sock);
    channel_free(&v->ch);
}
