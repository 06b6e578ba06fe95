// session: host_run, the host's engine. Start-up once, then one connection after another: get a
// connection (accept, or join the relay room), authenticate, exchange hellos, reset the picture,
// mirror and pacing, start the receive thread, and run the frame loop until the viewer goes away.
#include "host/host.h"
#include <sodium.h>
#include <stdint.h>
#include <string.h>
#include "host/auth.h"
#include "host/capture.h"
#include "host/clipboard.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/receive.h"
#include "host/text_layer.h"
#include "host/window_list.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/channel_v2.h"
#include "protocol/codec2.h"
#include "protocol/relay.h"
#include "protocol/writer.h"

#define RELAY_RETRY_MS 3000
#define AUTH_FAIL_PAUSE_MS 300
#define RECEIVE_JOIN_MS 1000
#define SEND_BUFFER_BYTES 1048576
#define PART_ROOM_BYTES (SEND_BUFFER_BYTES / 4 * 3)   // frame parts sent under the picture lock, at most
#define ACCEPT_RETRY_MS 200        // pause after an accept that failed for a passing reason
#define ACCEPT_KINDS_LOGGED 8      // distinct accept errors remembered for logging once each
#define SMALL_CHANGE_TILES 16      // a change of at most this many tiles overtakes a bigger one
#define DIRTY_WAITING 2            // dirty byte of a tile an earlier pass left for later

// State of the host core: the settings of this run, the status other threads read, the sockets
// host_stop must be able to end, and the current session (one at a time per process).
static struct {
    HostSettings set;            // host_run's copy of its settings
    std::atomic<int> stop{0};    // set by host_stop; ends the loops
    std::atomic<int> state{HOST_STARTING};
    // The sockets: the session loop stores them here while it uses them and closes them with
    // close_sock (never net_close directly), which takes them out under sock_lock, the lock
    // host_stop holds while it ends them.
    std::atomic<net_sock> listen_sock{NET_INVALID};    // direct mode listening socket
    std::atomic<net_sock> current_sock{NET_INVALID};   // current connection
    plat_lock sock_lock;
    channel ch;                  // secure channel of the current connection
    FrameWriter out;             // the frame being written; its buffer grows and stays
    uint16_t viewer_caps;        // caps from MSG_CLIENT_HELLO
    int cache_in_use;            // bit 1 of viewer_caps
    thread_handle receiver;      // receive thread of the current session
    net_watch hello_watch;       // bounds the handshake and the hello on this thread
    int accept_errors[ACCEPT_KINDS_LOGGED];   // accept errors already logged (0 = free entry)
    auth_throttle throttle;      // wrong passwords so far and the pause they call for
} S;
static int g_sock_lock_ready = (lock_init(&S.sock_lock), 1);

// Takes the socket out of its slot (NET_INVALID) and closes it.
static void close_sock(std::atomic<net_sock> *slot) {
    lock_enter(&S.sock_lock);
    net_sock s = slot->exchange(NET_INVALID);
    lock_leave(&S.sock_lock);
    if (s != NET_INVALID) net_close(s);
}

// Start-up: process set-up and, in direct mode, the listening socket.
static int host_start(void) {
    host_platform_init();
    picture_init();
    clock_timer_begin();
    clock_raise_priority();
    net_init();
    (void)g_sock_lock_ready;
    if (S.set.use_relay) return 1;
    net_sock l = net_listen(nullptr, S.set.listen_port, 1);
    if (l == NET_INVALID) {
        host_log("bind/listen failed %d", net_last_error());
        return 0;
    }
    S.listen_sock.store(l);
    // A stop that came before the socket was published could not close it: do it now.
    if (S.stop.load()) close_sock(&S.listen_sock);
    return 1;
}

// Start-up, continued: size the picture to the screen, choose the capture, say so.
static void host_open_capture(void) {
    int32_t w = 0, h = 0;
    capture_screen_size(&w, &h);
    picture_lock();
    picture_resize(w, h);
    picture_unlock();
    int dxgi = 0;
    if (!S.set.force_gdi) dxgi = capture_init_dxgi(CAPTURE_SCREEN);
    if (!dxgi) capture_init_gdi(CAPTURE_SCREEN);
    const HostSettings *c = &S.set;
    if (c->use_relay)
        host_log("server up via relay %s:%d room '%s', dxgi=%d", c->relay_host, c->relay_port, c->room_name, dxgi);
    else
        host_log("server up on port %d, dxgi=%d", c->listen_port, dxgi);
}

// Relay mode: connect to the relay and join the room. The socket, or NET_INVALID after the
// failure has been logged (the caller pauses and retries).
static net_sock host_join_relay(void) {
    const char *relay_host = S.set.relay_host, *room_name = S.set.room_name;
    int relay_port = S.set.relay_port;
    net_sock s = net_connect(relay_host, relay_port);
    if (s == NET_INVALID) {
        int err = net_last_error();
        net_addr addr;
        if (net_resolve(relay_host, relay_port, &addr, 1) <= 0)
            host_log("relay: cannot resolve %s", relay_host);
        else
            host_log("relay: connect %s:%d failed (%d)", relay_host, relay_port, err);
        return NET_INVALID;
    }
    net_set_keepalive(s, 1);
    uint8_t join[RELAY_JOIN_BYTES];
    char computer_name[HOST_NAME_BYTES];
    host_copy_computer_name(computer_name, sizeof computer_name);
    relay_build_join(join, RELAY_ROLE_HOST, room_name, computer_name);
    if (!net_send_all(s, join, sizeof join)) {
        net_close(s);
        return NET_INVALID;
    }
    host_log("relay: connected to %s:%d, room '%s', waiting for a viewer", relay_host, relay_port, room_name);
    return s;
}

// A failed accept that may pass (a connection reset in the backlog, no descriptors left): logged
// once per kind of error, then a short pause before the next try.
static void host_accept_failed(int err) {
    int i = 0;
    while (i < ACCEPT_KINDS_LOGGED && S.accept_errors[i] && S.accept_errors[i] != err) i++;
    if (i < ACCEPT_KINDS_LOGGED && !S.accept_errors[i]) {
        S.accept_errors[i] = err;
        host_log("accept failed (%d), retrying", err);
    }
    clock_sleep(ACCEPT_RETRY_MS);
}

// A connection in S.current_sock. 1 on success; 0 to start the next turn (after the
// relay or accept pause); -1 when the listening socket is gone and host_run must return.
static int host_get_connection(void) {
    if (S.set.use_relay) {
        net_sock s = host_join_relay();
        if (s == NET_INVALID) {
            clock_sleep(RELAY_RETRY_MS);
            return 0;
        }
        S.current_sock.store(s);
    } else {
        net_sock l = S.listen_sock.load();
        net_sock s = l == NET_INVALID ? NET_INVALID : net_accept(l);
        if (s == NET_INVALID) {
            int err = net_last_error();
            if (l == NET_INVALID || S.stop.load() || !net_accept_may_retry(err)) return -1;
            host_accept_failed(err);
            return 0;
        }
        S.current_sock.store(s);
    }
    // A stop between the store and here must still end this connection.
    if (S.stop.load()) net_shutdown(S.current_sock.load());
    return 1;
}

// Handshake and the viewer's hello. 1 when the session may start.
static int host_authenticate(void) {
    char pw[PASSWORD_MAX + 1];
    host_copy_password(pw, sizeof pw);
    if (!pw[0]) {
        // No password could be made (the random source failed): admit nobody rather than anyone.
        host_log("no password: connection refused");
        close_sock(&S.current_sock);
        clock_sleep(AUTH_FAIL_PAUSE_MS);
        return 0;
    }
    channel_init(&S.ch, S.current_sock.load(), 0);
    int version = 1;
    int r = channel_v2_handshake_host(&S.ch, pw, S.set.login_mode, &version);
    sodium_memzero(pw, sizeof pw);   // a plain memset of a dying buffer may be left out
    int late = r != CHANNEL_AUTH_OK && net_watch_expired(&S.hello_watch);
    if (late)
        host_log("handshake timed out after %u ms", (unsigned)S.set.hello_deadline_ms);
    else if (r != CHANNEL_AUTH_OK)
        host_log("auth failed (wrong password or not an vo client)");
    host_auth_note(&S.throttle, r, version);
    if (r != CHANNEL_AUTH_OK) {
        channel_free(&S.ch);
        close_sock(&S.current_sock);
        // A wrong guess pays a pause; a silent peer has cost its time already, and a viewer that
        // queued behind it must not run out of its own.
        if (!late) clock_sleep(AUTH_FAIL_PAUSE_MS);
        return 0;
    }
    uint8_t head[HEADER_BYTES], hello[CLIENT_HELLO_BYTES];
    MessageHeader h;
    if (!channel_recv(&S.ch, head, sizeof head) || (h = header_get(head), h.type != MSG_CLIENT_HELLO) ||
        h.length != CLIENT_HELLO_BYTES || !channel_recv(&S.ch, hello, sizeof hello)) {
        if (net_watch_expired(&S.hello_watch))
            host_log("handshake timed out after %u ms", (unsigned)S.set.hello_deadline_ms);
        channel_free(&S.ch);
        close_sock(&S.current_sock);
        return 0;
    }
    ClientHello got;
    msg_unpack_client_hello(hello, sizeof hello, &got);
    S.viewer_caps = got.caps;
    S.cache_in_use = (S.viewer_caps >> 1) & 1;
    host_set_viewer_name(got.name, NAME_BYTES);
    S.state.store(HOST_VIEWER_CONNECTED);
    char name[NAME_BYTES + 1];
    host_copy_viewer_name(name, sizeof name);
    host_log("client connected: %s, caps=%u (text=%d cache=%d)", name, (unsigned)S.viewer_caps,
             S.viewer_caps & 1, (S.viewer_caps >> 1) & 1);
    return 1;
}

// A screen that changed size while no viewer was connected: the capture is re-opened at the new
// size before the hello, so the viewer learns it there instead of losing the session at once.
static void host_fit_screen(void) {
    int32_t w = 0, h = 0;
    capture_screen_size(&w, &h);
    if (w == g_picture.width && h == g_picture.height) return;
    host_log("screen size changed from %dx%d to %dx%d", g_picture.width, g_picture.height, w, h);
    if (!capture_uses_dxgi() || !capture_init_dxgi(CAPTURE_SCREEN)) capture_init_gdi(CAPTURE_SCREEN);
}

// Session start: host hello, fresh picture and mirror, per-session state, receive thread.
static int host_begin_session(void) {
    net_set_buffers(S.current_sock.load(), SEND_BUFFER_BYTES, 0);
    host_fit_screen();
    HostHello hello;
    memset(&hello, 0, sizeof hello);
    hello.width = g_picture.width;
    hello.height = g_picture.height;
    hello.tile_edge = TILE_EDGE;
    hello.caps = (uint16_t)(HOST_CAPS | host_clipboard_session_begin(S.viewer_caps, S.set.clipboard_enabled) |
                            (S.viewer_caps & CODEC2_CAP));   // bit 3: second codec
    char computer_name[HOST_NAME_BYTES];
    host_copy_computer_name(computer_name, sizeof computer_name);
    memcpy(hello.name, computer_name, strnlen(computer_name, NAME_BYTES));
    uint8_t msg[HEADER_BYTES + HOST_HELLO_BYTES];
    channel_send(&S.ch, msg, msg_pack_host_hello(msg, &hello));

    picture_lock();
    picture_reset();
    mirror_clear();
    picture_unlock();
    text_layer_session_reset();
    window_list_session_reset();
    encoder_session_reset(S.cache_in_use);
    encoder_viewer_caps(S.viewer_caps);
    g_encoder.part_channel = &S.ch;
    g_encoder.text_layer_on = S.set.text_layer_enabled;
    g_encoder.window_list_on = S.set.window_tracking_enabled;
    flow_reset(clock_tick());
    host_receive_start(&S.ch);
    S.receiver = thread_create(host_receive_thread, &S.ch);
    return S.receiver != nullptr;
}

// With the picture lock held, before the encode step: 1 when the latest captures marked a small
// change (dirty byte 1) while tiles of an earlier, bigger one still wait (DIRTY_WAITING): then the
// small change goes first, in a frame of its own, as a typed character must not wait for a page.
static int host_small_change_first(void) {
    int32_t n = g_picture.cols * g_picture.rows, fresh = 0, waiting = 0;
    for (int32_t i = 0; i < n; i++) {
        fresh += g_picture.dirty[i] == 1;
        waiting += g_picture.dirty[i] == DIRTY_WAITING;
    }
    return fresh > 0 && fresh <= SMALL_CHANGE_TILES && waiting > 0;
}

// After the encode step: whatever is still dirty was left for later.
static void host_dirty_left(void) {
    int32_t n = g_picture.cols * g_picture.rows;
    for (int32_t i = 0; i < n; i++)
        if (g_picture.dirty[i]) g_picture.dirty[i] = DIRTY_WAITING;
}

// Close the pass's frame and hand it to the socket, its size noted for the delivery rate first
// (its acknowledgement may come before the send returns). 0 only when the send failed.
static int host_send_frame(void) {
    int closed = encoder_pass_close(&S.out);
    if (closed <= 0) return closed == 0;   // nothing to send, or no room for the frame end
    if (!S.out.sent) flow_frame_began(frame_counter.load(), clock_tick());
    flow_frame_sent(frame_counter.load(), (uint32_t)S.out.len);
    return writer_send(&S.out, &S.ch);
}

// How much of the coming frame may go out while it is still being encoded, under the picture lock:
// no more than the socket's buffer takes on top of what the viewer has not acknowledged, so such a
// send never waits on the viewer (whose acknowledgements the receive thread must stay free to read).
static void host_part_room(void) {
    uint32_t pending = flow_unconfirmed_bytes();
    g_encoder.part_room = pending < PART_ROOM_BYTES ? PART_ROOM_BYTES - pending : 0;
    g_encoder.part_start_ns = pick_clock_ns();
}

// The frame loop: capture, pace, encode, flush, until the viewer goes or a stop is asked for.
static void host_frame_loop(void) {
    int cut = 0;   // the latest pass left changed tiles for the next
    while (!S.stop.load() && !host_session_ended()) {
        // With a change to finish and nothing in flight (the link idles, and the flow is open), the
        // capture does not wait for news. With frames in flight it does, which keeps paced frames
        // from going in bursts.
        int r = capture_pass_for(CAPTURE_SCREEN, !(cut && flow_idle()));
        if (r == CAPTURE_RECOVERED) continue;
        if (r == CAPTURE_RESIZED) break;   // the viewer knows the old size: a new session tells it
        if (!host_clipboard_pass(&S.ch)) break;
        if (!flow_may_send(clock_tick())) continue;
        host_part_room();
        picture_lock();
        g_encoder.fresh_only = host_small_change_first();
        encoder_frame(&S.out);
        g_encoder.fresh_only = 0;
        cut = g_encoder.cut;
        host_dirty_left();
        picture_unlock();
        if (!host_send_frame()) break;
        flow_pass_done(clock_tick());
    }
}

// Session end: statistics, end the connection, join the receive thread, forget the channel and viewer.
static void host_end_session(void) {
    encoder_log_session_stats();
    host_log("client disconnected");
    // Shutting the connection down ends the receive thread's read (a close alone does not on
    // POSIX). The socket is closed once the thread is gone, so its descriptor is never reused
    // under the thread, and the channel it reads is freed below: a thread still running after
    // the usual second is waited for rather than left behind.
    net_sock cur = S.current_sock.load();
    if (cur != NET_INVALID) net_shutdown(cur);
    if (S.receiver) {
        if (!thread_wait(S.receiver, RECEIVE_JOIN_MS)) thread_wait(S.receiver, THREAD_INFINITE);
        thread_close(S.receiver);
        S.receiver = nullptr;
    }
    host_clipboard_session_end();
    close_sock(&S.current_sock);
    channel_free(&S.ch);
    writer_reset(&S.out);
    host_set_viewer_name(nullptr, 0);
    S.state.store(HOST_STARTING);
}

// From here the peer has hello_deadline_ms to finish the handshake and its hello; a silent
// or dripping one must not keep the next viewer waiting.
static void host_hello_watch_begin(void) {
    memset(&S.hello_watch, 0, sizeof S.hello_watch);
    S.hello_watch.has_deadline = 1;
    S.hello_watch.deadline = clock_tick() + S.set.hello_deadline_ms;
    net_watch_set(&S.hello_watch);
}

int host_run(const HostSettings *s) {
    S.set = *s;
    sodium_memzero(S.set.password, sizeof S.set.password);   // the identity holds the password
    if (!host_start()) return 1;
    memset(S.accept_errors, 0, sizeof S.accept_errors);
    host_open_capture();
    auth_throttle_reset(&S.throttle);
    while (!S.stop.load()) {
        S.state.store(HOST_WAITING);
        host_auth_pause(&S.throttle);
        int got = host_get_connection();
        if (got < 0) break;
        if (got == 0) continue;
        net_set_nodelay(S.current_sock.load(), 1);
        // In relay mode the viewer may come hours after the join: the rotation that is due, the
        // password in force and the clock of its deadline are those of its first bytes.
        if (S.set.use_relay) net_wait_readable(S.current_sock.load());
        host_hello_watch_begin();
        net_wait_readable(S.current_sock.load());
        host_rotate_password(0);
        int authenticated = host_authenticate();
        net_watch_set(nullptr);
        if (!authenticated) continue;
        if (host_begin_session()) host_frame_loop();
        host_end_session();
    }
    close_sock(&S.current_sock);
    close_sock(&S.listen_sock);
    writer_free(&S.out);
    clock_timer_end();
    return 0;
}

void host_stop(void) {
    S.stop.store(1);
    lock_enter(&S.sock_lock);
    host_end_current_sock(&S.current_sock);   // a blocked receive returns
    // A blocking accept returns only when its socket is closed (shutdown does not suffice on
    // every platform). Taking it out first means the session loop cannot close it twice.
    net_sock lis = S.listen_sock.exchange(NET_INVALID);
    if (lis != NET_INVALID) {
        net_shutdown(lis);
        net_close(lis);
    }
    lock_leave(&S.sock_lock);
}

int host_stop_requested(void) { return S.stop.load(); }

void host_reset_status(void) {
    S.stop.store(0);
    S.state.store(HOST_STARTING);
}

int host_get_state(void) { return S.state.load(); }

net_sock host_connection_sock(void) { return S.current_sock.load(); }

// Under the socket lock, so host_stop cannot end (and on Windows close) the socket in between:
// once a stop was asked for, the socket is left alone.
void host_shutdown_connection(net_sock s) {
    lock_enter(&S.sock_lock);
    if (s != NET_INVALID && !S.stop.load()) net_shutdown(s);
    lock_leave(&S.sock_lock);
}
