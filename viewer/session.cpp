// session: the viewer's connection, handshake and hellos, the viewer state's set-up, and the
// session's whole lifetime after them: tile cache, window, receive and sender threads, teardown.
// The session's thread runs the window; the receive and sender threads are the only other ones.
#include "viewer/session.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/bigmem.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sysinfo.h"
#include "protocol/channel_v2.h"
#include "protocol/names.h"
#include "protocol/relay.h"
#include "viewer/cache.h"
#include "viewer/clipboard.h"
#include "viewer/outbox.h"
#include "viewer/viewer.h"
#include "viewer/window.h"

#define VIEWER_RECV_BUFFER 1048576

viewer_state g_viewer;

static struct {
    channel ch;                         // the session's secure channel
    char peer_id[RELAY_ROOM_BYTES + 1]; // relay ID or whatever the caller passed
    thread_handle receiver;             // the receive thread while the window is open
    std::atomic<int> cancel;            // set at teardown: every network wait of the session ends
    net_watch watch;                    // the window thread's: hello deadline, then send time-out
    net_watch receive_watch;            // the receive thread's: cancel only
    int login;                          // CHANNEL_LOGIN_* or VIEWER_LOGIN_PINNED
    int version;                        // login version of the session, 0 before one
    viewer_limits limits;               // the session's network waits
} V;

const char *viewer_peer_id(void) { return V.peer_id; }
int viewer_login_version(void) { return V.version; }

void viewer_session_defaults(viewer_session_options *o) {
    memset(o, 0, sizeof *o);
    o->login = CHANNEL_LOGIN_V2_PREFERRED;
    o->clipboard = 1;
    o->limits.hello_ms = 10000;
    o->limits.relay_wait_ms = 30000;
    o->limits.send_stall_ms = 30000;
}

// The viewer lock is made at the first session and kept for the process's lifetime.
static void viewer_lock_ready(void) {
    if (g_viewer.lock_ready) return;
    lock_init(&g_viewer.lock);
    g_viewer.lock_ready = 1;
}

int viewer_begin(int32_t w, int32_t h) {
    viewer_lock_ready();
    viewer_end();
    if (w < 1 || h < 1 || w > VIEWER_MAX_EDGE || h > VIEWER_MAX_EDGE) return 0;
    int32_t pw = (w + TILE_EDGE - 1) / TILE_EDGE * TILE_EDGE;
    int32_t ph = (h + TILE_EDGE - 1) / TILE_EDGE * TILE_EDGE;
    g_viewer.fb = (uint8_t *)bigmem_alloc((size_t)pw * (size_t)ph * 4);
    if (!g_viewer.fb) return 0;
    g_viewer.width = w;
    g_viewer.height = h;
    g_viewer.pad_width = pw;
    g_viewer.pad_height = ph;
    g_viewer.stride = (size_t)pw * 4;
    g_viewer.dirty = 0;
    g_viewer.text.active = 0;
    g_viewer.bytes_received.store(0);
    g_viewer.frames.store(0);
    g_viewer.cache_hits.store(0);
    g_viewer.cache_misses.store(0);
    g_viewer.cache_rejects.store(0);
    g_viewer.reply_len = 0;
    g_viewer.run.count = 0;
    g_viewer.run.used = 0;
    g_viewer.run.replies_len = 0;
    g_viewer.codec2 = 0;   // until a host hello says otherwise
    g_viewer.stream_failed = 0;
    codec2_dec_stream_reset(&g_viewer.codec2_dec);
    viewer_tile_batch_reset();
    return 1;
}

void viewer_end(void) {
    bigmem_free(g_viewer.fb, g_viewer.stride * (size_t)g_viewer.pad_height);
    g_viewer.fb = nullptr;
    g_viewer.width = g_viewer.height = g_viewer.pad_width = g_viewer.pad_height = 0;
    g_viewer.stride = 0;
    g_viewer.dirty = 0;
    g_viewer.text.active = 0;
    g_viewer.run.count = 0;   // tiles cut off by the session's end are not applied
    g_viewer.run.used = 0;
}

// Print the failure as one line and hand it to the caller's buffer.
static int viewer_fail(const char *msg, char *err, int err_size) {
    printf("%s\n", msg);
    fflush(stdout);
    if (err && err_size > 0) snprintf(err, (size_t)err_size, "%s", msg);
    return 1;
}

// Resolve, connect to the first address, tune the socket, join the relay.
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
    V.watch.deadline = clock_tick() + V.limits.hello_ms + (relay ? V.limits.relay_wait_ms : 0);
    V.watch.cancel = &V.cancel;
    net_watch_set(&V.watch);
}

// From the window on: no deadline, but a host that stops reading ends a send, and so the session.
static void viewer_watch_session(void) {
    V.watch.has_deadline = 0;
    V.watch.send_stall_ms = V.limits.send_stall_ms;
}

// Handshake, our hello, the host's hello. 1, or the failure already reported.
static int viewer_hellos(const viewer_session_options *o, char *err, int err_size, int *cache_offered) {
    int pinned = V.login == VIEWER_LOGIN_PINNED;
    int r = channel_v2_handshake_viewer(&V.ch, o->password ? o->password : "", pinned ? CHANNEL_LOGIN_V2_ONLY : V.login,
                                        &V.version);
    if (r == CHANNEL_AUTH_REFUSED)
        return !viewer_fail(pinned ? VIEWER_TEXT_PINNED : VIEWER_TEXT_REFUSED_V2, err, err_size);
    if (r != CHANNEL_AUTH_OK)
        return !viewer_fail("authentication failed (wrong password, or host not online)", err, err_size);
    ClientHello mine;
    memset(&mine, 0, sizeof mine);
    mine.caps = (uint16_t)(VIEWER_CAPS | viewer_clipboard_caps(o->clipboard));
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
    viewer_clipboard_session_begin(viewer_clipboard_caps(o->clipboard), got.caps);
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

// The receive thread under a watch of its own, so teardown's cancel ends a read on any platform.
static unsigned viewer_receive_entry(void *arg) {
    memset(&V.receive_watch, 0, sizeof V.receive_watch);
    V.receive_watch.cancel = &V.cancel;
    net_watch_set(&V.receive_watch);
    viewer_receive_thread(arg);
    net_watch_set(nullptr);
    return 0;
}

// Connect, log in and read the host hello: 1 with the viewer state set up, or 0 with the failure
// already reported and nothing left open.
static int viewer_session_open(const viewer_session_options *o, char *err, int err_size, int *cache_offered) {
    V.login = o->login;
    V.version = 0;
    V.limits = o->limits;
    net_sock s = viewer_connect(o->host, o->port, o->relay, o->peer_id, err, err_size);
    if (s == NET_INVALID) return 0;
    snprintf(V.peer_id, sizeof V.peer_id, "%s", o->peer_id ? o->peer_id : "");
    channel_init(&V.ch, s, 1);
    V.cancel.store(0);
    viewer_watch_hellos(o->relay);
    if (!viewer_hellos(o, err, err_size, cache_offered)) {
        net_watch_set(nullptr);
        channel_free(&V.ch);
        net_close(s);
        return 0;
    }
    viewer_watch_session();
    return 1;
}

// The window's lifetime. The receive and sender threads start once it exists, so that their first
// repaint request and the end of the connection find it; from then on nothing the window sends
// waits for the network. While it runs the cache is saved every few minutes (the picture keeps
// flowing meanwhile).
static void viewer_session_window(void) {
    if (!viewer_window_open()) return;
    outbox_start(&V.ch, &V.cancel, V.limits.send_stall_ms, viewer_send_failed);
    V.receiver = thread_create(viewer_receive_entry, nullptr);
    while (viewer_window_loop()) cache_save_shared(&g_viewer.cache, &g_viewer.lock);
}

int viewer_session_run(const viewer_session_options *o, char *err, int err_size) {
    if (err && err_size > 0) err[0] = 0;
    int cache_offered = 0;
    if (!viewer_session_open(o, err, err_size, &cache_offered)) return 1;
    printf("connected to %s (%dx%d)\n", g_viewer.host_name, g_viewer.width, g_viewer.height);
    fflush(stdout);
    if (o->on_connected) o->on_connected(g_viewer.host_name, V.peer_id);
    g_viewer.ch = &V.ch;
    V.receiver = nullptr;
    if (cache_offered) cache_start(&g_viewer.cache, &V.ch, nullptr);   // open tiles.bin, advertise it
    viewer_session_window();
    // However the window went (closed, host gone, send time-out): save and close the cache while
    // the receive thread still runs; it is held up only while each chunk is copied.
    cache_close_shared(&g_viewer.cache, &g_viewer.lock);
    viewer_teardown();
    return 0;
}
