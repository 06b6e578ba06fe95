// session: the viewer's connection, handshake, hello exchange, set-up and teardown around the
// window's lifetime. The window thread is the caller's; the receive thread is the only other one.
#include "viewer/session.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sysinfo.h"
#include "protocol/channel_v2.h"
#include "protocol/names.h"
#include "protocol/relay.h"
#include "viewer/cache.h"
#include "viewer/clipboard.h"
#include "viewer/outbox.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

#define VIEWER_RECV_BUFFER 1048576

viewer_connected_fn viewer_on_connected = nullptr;
viewer_limits g_viewer_limits = {10000, 30000, 30000};

static struct {
    channel ch;                         // the session's secure channel
    char peer_id[RELAY_ROOM_BYTES + 1]; // relay ID or whatever the caller passed
    thread_handle receiver;             // the receive thread while the window is open
    std::atomic<int> cancel;            // set at teardown: every network wait of the session ends
    net_watch watch;                    // the window thread's: hello deadline, then send time-out
    net_watch receive_watch;            // the receive thread's: cancel only
    int login;                          // CHANNEL_LOGIN_* or VIEWER_LOGIN_PINNED
    int version;                        // login version of the session, 0 before one
} V;

const char *viewer_peer_id(void) { return V.peer_id; }
int viewer_login_version(void) { return V.version; }

// Print the failure as one line and hand it to the caller's buffer.
static int viewer_fail(const char *msg, char *err, int err_size) {
    printf("%s\n", msg);
    fflush(stdout);
    if (err && err_size > 0) snprintf(err, (size_t)err_size, "%s", msg);
    return 1;
}

// Steps 1-4: resolve, connect to the first address, tune the socket, join the relay.
static net_sock viewer_connect(const char *host, const char *port, int relay, const char *peer_id,
                               char *err, int err_size) {
    net_init();
    net_addr addr;
    int p = atoi(port ? port : "");
    if (net_resolve(host, p, &addr, 1) < 1) {
        viewer_fail("cannot resolve host", err, err_size);
        return NET_INVALID;
    }
    net_sock s = net_connect_addr(&addr);
    if (s == NET_INVALID) {
        viewer_fail("connection failed", err, err_size);
        return NET_INVALID;
    }
    net_set_nodelay(s, 1);
    net_set_buffers(s, 0, VIEWER_RECV_BUFFER);
    // Every wait on this socket is bounded by the waiting thread's watch, down to a single send.
    net_set_nonblocking(s, 1);
    if (relay) {
        char name[NAME_BYTES] = "";
        sysinfo_computer_name(name, sizeof name);
        uint8_t join[RELAY_JOIN_BYTES];
        relay_build_join(join, RELAY_ROLE_VIEWER, peer_id ? peer_id : "", name);
        net_send_all(s, join, sizeof join);   // a broken relay shows up in the handshake
        printf("via relay %s:%s, ID %s, waiting for host...\n", host, port, peer_id ? peer_id : "");
        fflush(stdout);
    }
    return s;
}

// The window thread's watch: the host's part of the handshake and its hello must come within
// hello_ms; through the relay the host may first be away for the relay's whole viewer wait.
static void viewer_watch_hellos(int relay) {
    memset(&V.watch, 0, sizeof V.watch);
    V.watch.has_deadline = 1;
    V.watch.deadline = clock_tick() + g_viewer_limits.hello_ms + (relay ? g_viewer_limits.relay_wait_ms : 0);
    V.watch.cancel = &V.cancel;
    net_watch_set(&V.watch);
}

// From the window on: no deadline, but a host that stops reading ends a send, and so the session.
static void viewer_watch_session(void) {
    V.watch.has_deadline = 0;
    V.watch.send_stall_ms = g_viewer_limits.send_stall_ms;
}

// Steps 6-8: handshake, our hello, the host's hello. 1, or the failure already reported.
static int viewer_hellos(const char *password, char *err, int err_size, int *cache_offered) {
    int pinned = V.login == VIEWER_LOGIN_PINNED;
    int r = channel_v2_handshake_viewer(&V.ch, password ? password : "", pinned ? CHANNEL_LOGIN_V2_ONLY : V.login,
                                        &V.version);
    if (r == CHANNEL_AUTH_REFUSED)
        return !viewer_fail(pinned ? VIEWER_TEXT_PINNED : VIEWER_TEXT_REFUSED_V2, err, err_size);
    if (r != CHANNEL_AUTH_OK)
        return !viewer_fail("authentication failed (wrong password, or host not online)", err, err_size);
    ClientHello mine;
    memset(&mine, 0, sizeof mine);
    mine.caps = (uint16_t)(VIEWER_CAPS | viewer_clipboard_caps());
    char name[NAME_BYTES] = "";
    sysinfo_computer_name(name, sizeof name);
    memcpy(mine.name, name, strnlen(name, NAME_BYTES));
    uint8_t msg[HEADER_BYTES + CLIENT_HELLO_BYTES];
    channel_send(&V.ch, msg, msg_pack_client_hello(msg, &mine));

    uint8_t head[HEADER_BYTES], hello[HOST_HELLO_BYTES];
    MessageHeader h;
    if (!channel_recv(&V.ch, head, sizeof head) || (h = header_get(head), h.type != MSG_HOST_HELLO) ||
        h.length != HOST_HELLO_BYTES || !channel_recv(&V.ch, hello, sizeof hello))
        return !viewer_fail("bad hello from host", err, err_size);
    HostHello got;
    msg_unpack_host_hello(hello, sizeof hello, &got);
    // A size of 0 or less, past 16384, or one whose framebuffer cannot be had is a bad hello too.
    if (!viewer_begin(got.width, got.height)) return !viewer_fail("bad hello from host", err, err_size);
    *cache_offered = (got.caps >> 1) & 1;
    viewer_clipboard_session_begin(got.caps);
    name_copy_clean(g_viewer.host_name, sizeof g_viewer.host_name, got.name, NAME_BYTES);
    g_viewer.codec2 = (got.caps & CODEC2_CAP) != 0;   // we offered it; the host took it
    return 1;
}

// Ask the window to close (the sender thread gave up on a host that does not read).
static void viewer_send_failed(void) {
    if (g_viewer.on_close) g_viewer.on_close();
}

// Teardown: end the receive and sender threads (the cancel flag ends their waits within a slice
// on every platform; the shutdown tells the host at once), then free what they used.
static void viewer_teardown(void) {
    net_sock s = V.ch.sock;
    V.cancel.store(1);
    net_shutdown(s);
    if (V.receiver) {
        thread_wait(V.receiver, THREAD_INFINITE);
        thread_close(V.receiver);
        V.receiver = nullptr;
    }
    outbox_stop();
    viewer_clipboard_session_end();
    net_watch_set(nullptr);
    net_close(s);
    g_viewer.ch = nullptr;
    channel_free(&V.ch);
    memset(&V.ch, 0, sizeof V.ch);
    V.ch.sock = NET_INVALID;
    viewer_end();
}

int viewer_session_run(const char *host, const char *port, int relay, const char *peer_id,
                       const char *password, char *err, int err_size) {
    return viewer_session_run_login(host, port, relay, peer_id, password, CHANNEL_LOGIN_V2_PREFERRED, err,
                                    err_size);
}

int viewer_session_run_login(const char *host, const char *port, int relay, const char *peer_id,
                             const char *password, int login, char *err, int err_size) {
    if (err && err_size > 0) err[0] = 0;
    V.login = login;
    V.version = 0;
    net_sock s = viewer_connect(host, port, relay, peer_id, err, err_size);
    if (s == NET_INVALID) return 1;
    snprintf(V.peer_id, sizeof V.peer_id, "%s", peer_id ? peer_id : "");
    channel_init(&V.ch, s, 1);
    V.cancel.store(0);
    viewer_watch_hellos(relay);
    int cache_offered = 0;
    if (!viewer_hellos(password, err, err_size, &cache_offered)) {
        net_watch_set(nullptr);
        channel_free(&V.ch);
        net_close(s);
        return 1;
    }
    viewer_watch_session();
    printf("connected to %s (%dx%d)\n", g_viewer.host_name, g_viewer.W, g_viewer.H);
    fflush(stdout);
    if (viewer_on_connected) viewer_on_connected(g_viewer.host_name, V.peer_id);
    g_viewer.ch = &V.ch;
    if (cache_offered) cache_start(&V.ch, nullptr);
    V.receiver = nullptr;
    viewer_window_run();
    viewer_teardown();
    return 0;
}

// The receive thread under a watch of its own, so teardown's cancel ends a read on any platform.
static unsigned viewer_receive_entry(void *arg) {
    memset(&V.receive_watch, 0, sizeof V.receive_watch);
    V.receive_watch.cancel = &V.cancel;
    net_watch_set(&V.receive_watch);
    viewer_receive_thread(arg);
    net_watch_set(nullptr);
    return 0;
}

// Called by the window backends once the window exists, so the thread's first repaint finds it.
// The sender thread starts with it: from here on nothing the window sends waits for the network.
void viewer_start_receiving(void) {
    if (V.receiver) return;
    outbox_start(&V.ch, &V.cancel, g_viewer_limits.send_stall_ms, viewer_send_failed);
    V.receiver = thread_create(viewer_receive_entry, nullptr);
}
