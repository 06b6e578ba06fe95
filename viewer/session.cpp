// session: the viewer's connection, handshake, hello exchange, set-up and teardown around the
// window's lifetime. The window thread is the caller's; the receive thread is the only other one.
#include "viewer/session.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/net.h"
#include "platform/sysinfo.h"
#include "protocol/relay.h"
#include "viewer/cache.h"
#include "viewer/receive.h"
#include "viewer/viewer.h"

#define VIEWER_RECV_BUFFER 1048576

viewer_connected_fn viewer_on_connected = nullptr;

static struct {
    channel ch;                         // the session's secure channel
    char peer_id[RELAY_ROOM_BYTES + 1]; // relay ID or whatever the caller passed
    thread_handle receiver;             // the receive thread while the window is open
} V;

const char *viewer_peer_id(void) { return V.peer_id; }

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

// Steps 6-8: handshake, our hello, the host's hello. 1, or the failure already reported.
static int viewer_hellos(const char *password, char *err, int err_size, int *cache_offered) {
    if (!channel_handshake_viewer(&V.ch, password ? password : ""))
        return !viewer_fail("authentication failed (wrong password, or host not online)", err, err_size);
    uint8_t msg[HEADER_BYTES + CLIENT_HELLO_BYTES];
    memset(msg, 0, sizeof msg);
    header_put(msg, MSG_CLIENT_HELLO, CLIENT_HELLO_BYTES);
    put_u16(msg + HEADER_BYTES, VIEWER_CAPS);
    char name[NAME_BYTES] = "";
    sysinfo_computer_name(name, sizeof name);
    memcpy(msg + HEADER_BYTES + 2, name, strnlen(name, NAME_BYTES));
    channel_send(&V.ch, msg, sizeof msg);

    uint8_t head[HEADER_BYTES], hello[HOST_HELLO_BYTES];
    MessageHeader h;
    if (!channel_recv(&V.ch, head, sizeof head) || (h = header_get(head), h.type != MSG_HOST_HELLO) ||
        h.length != HOST_HELLO_BYTES || !channel_recv(&V.ch, hello, sizeof hello))
        return !viewer_fail("bad hello from host", err, err_size);
    // A size of 0 or less, past 16384, or one whose framebuffer cannot be had is a bad hello too.
    if (!viewer_begin(get_i32(hello), get_i32(hello + 4)))
        return !viewer_fail("bad hello from host", err, err_size);
    *cache_offered = (get_u16(hello + 10) >> 1) & 1;
    g_viewer.codec2 = (get_u16(hello + 10) & CODEC2_CAP) != 0;   // we offered it; the host took it
    memcpy(g_viewer.host_name, hello + 12, NAME_BYTES);
    g_viewer.host_name[NAME_BYTES] = 0;
    return 1;
}

// Teardown: end the receive thread (the closed socket fails its read), then free what it used.
static void viewer_teardown(void) {
    net_sock s = V.ch.sock;
    net_shutdown(s);
    if (V.receiver) {
        thread_wait(V.receiver, THREAD_INFINITE);
        thread_close(V.receiver);
        V.receiver = nullptr;
    }
    net_close(s);
    g_viewer.ch = nullptr;
    channel_free(&V.ch);
    memset(&V.ch, 0, sizeof V.ch);
    V.ch.sock = NET_INVALID;
    viewer_end();
}

int viewer_session_run(const char *host, const char *port, int relay, const char *peer_id,
                       const char *password, char *err, int err_size) {
    if (err && err_size > 0) err[0] = 0;
    net_sock s = viewer_connect(host, port, relay, peer_id, err, err_size);
    if (s == NET_INVALID) return 1;
    snprintf(V.peer_id, sizeof V.peer_id, "%s", peer_id ? peer_id : "");
    channel_init(&V.ch, s, 1);
    int cache_offered = 0;
    if (!viewer_hellos(password, err, err_size, &cache_offered)) {
        channel_free(&V.ch);
        net_close(s);
        return 1;
    }
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

// Called by the window backends once the window exists, so the thread's first repaint finds it.
void viewer_start_receiving(void) {
    if (!V.receiver) V.receiver = thread_create(viewer_receive_thread, nullptr);
}
