// The real host core and the real viewer core over loopback: after every synthetic workload the
// viewer's framebuffer equals the host's screen, across a second session that loads and
// advertises tiles.bin, and a session whose viewer cache cannot serve the host's references.
#include "session_util.h"
#include <atomic>
#include "host/flow.h"
#include "host/picture.h"
#include "host/synth_script.h"
#include "relay/relay_server.h"
#include "viewer/cache.h"
#include "viewer/session.h"
#include "viewer/viewer.h"

static char g_port_text[16];
static const char *g_relay_id;   // non-NULL: the viewer goes through the relay at g_port_text
static std::atomic<int> g_viewer_result{-1};

static std::atomic<int> g_connected{0};
static void on_connected(const char *, const char *) { g_connected.store(1); }

// The viewer's session to 127.0.0.1 (or the relay there) at g_port_text with password "pw".
static viewer_limits g_limits = {10000, 30000, 30000};
static viewer_session_options viewer_options(void) {
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = "127.0.0.1";
    o.port = g_port_text;
    o.password = "pw";
    o.limits = g_limits;
    return o;
}

static unsigned viewer_entry(void *) {
    char err[128];
    viewer_session_options o = viewer_options();
    o.relay = g_relay_id != nullptr;
    o.peer_id = g_relay_id;
    o.on_connected = on_connected;
    g_viewer_result.store(viewer_session_run(&o, err, sizeof err));
    return 0;
}

static thread_handle viewer_start(int port) {
    snprintf(g_port_text, sizeof g_port_text, "%d", port);
    g_viewer_result.store(-1);
    g_connected.store(0);
    thread_handle t = thread_create(viewer_entry, nullptr);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_VIEWER_CONNECTED; }, 10000));
    // This session's counters are set up, and its first frame has arrived (after the viewer loaded
    // its cache, which can take a while).
    EXPECT_TRUE(session_wait([] { return g_connected.load() == 1; }, 10000));
    EXPECT_TRUE(session_wait([] { return g_viewer.frames.load() > 0; }, 60000));
    return t;
}

static void viewer_finish(thread_handle t) {
    viewer_window_close();
    EXPECT_EQ(thread_wait(t, 60000), 1);   // saving the 128 MiB tile cache takes a while
    thread_close(t);
    EXPECT_EQ(g_viewer_result.load(), 0);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
}

// 1 when the host has nothing left to send and the viewer has acknowledged every frame.
static int host_caught_up(void) {
    picture_lock();
    int pending = g_picture.move_count;
    for (int32_t i = 0; i < g_picture.cols * g_picture.rows && !pending; i++) pending = g_picture.dirty[i];
    picture_unlock();
    return !pending && flow.acked_frame.load() == frame_counter.load();
}

// Runs a workload for `passes` capture passes, then waits until the screen is idle, the host has
// sent everything and the viewer has acknowledged it.
static void run_workload(int workload, uint32_t passes) {
    synth_script_request(workload, passes);
    ASSERT_TRUE(session_wait([] { return synth_script_done() == 1; }, 60000));
    int quiet = 0;
    ASSERT_TRUE(session_wait(
        [&] {
            quiet = host_caught_up() ? quiet + 1 : 0;
            clock_sleep(20);
            return quiet >= 5;
        },
        60000));
}

// Pixels (of the visible screen) where the viewer differs from the host's screen.
static long picture_differences(void) {
    long diff = 0;
    lock_enter(&g_viewer.lock);
    EXPECT_EQ(g_viewer.width, g_synth.width);
    EXPECT_EQ(g_viewer.height, g_synth.height);
    for (int32_t y = 0; y < g_synth.height && g_viewer.fb; y++)
        for (int32_t x = 0; x < g_synth.width; x++)
            diff += memcmp(g_viewer.fb + (size_t)y * g_viewer.stride + (size_t)x * 4,
                           g_synth.pixels + ((size_t)y * g_synth.width + x) * 4, 4) != 0;
    lock_leave(&g_viewer.lock);
    return diff;
}

static void setup_screen(void) {
    session_use_temp_dir();
    // A size that is not a multiple of 64, so edge tiles reach into the margin.
    synth_open(1000, 700);
    g_synth.dxgi_unavailable = 0;
    g_synth.wait_ms = 1;
    g_synth.gdi_pause_ms = 1;
}

TEST(Session, ViewerMatchesTheHostAfterEveryWorkloadAndAcrossCacheSessions) {
    setup_screen();
    char cache_file[512];
    snprintf(cache_file, sizeof cache_file, "%s/tiles.bin", getenv("VO_DATA_DIR"));
    remove(cache_file);
    test_host h;
    host_start_direct(&h);

    // First session: an empty cache on both sides.
    thread_handle v = viewer_start(h.port);
    const int workloads[] = {SYNTH_TYPING, SYNTH_SCROLL, SYNTH_DRAG, SYNTH_VIDEO, SYNTH_FULL, SYNTH_TYPING};
    for (int w : workloads) {
        run_workload(w, 300);
        EXPECT_EQ(picture_differences(), 0) << "after workload " << w;
    }
    viewer_finish(v);   // the window's end saves tiles.bin

    // Second session: the viewer loads tiles.bin and advertises it (after the host's first frame
    // has gone out whole); content seen in the first session then comes as references that hit.
    v = viewer_start(h.port);
    run_workload(SYNTH_IDLE, 5);
    EXPECT_EQ(picture_differences(), 0);
    run_workload(SYNTH_DRAG, 150);
    run_workload(SYNTH_FULL, 20);
    // (A miss is possible too: the viewer's two-way sets may have dropped an advertised tile.)
    EXPECT_GT(g_viewer.cache_hits.load(), 0u);
    EXPECT_EQ(picture_differences(), 0);
    viewer_finish(v);

    // Third session: once settled, the viewer loses every cached tile (as a cache too small for
    // the workload would), so the references the host sends for revealed desktop tiles miss and
    // those tiles must come again, whole, while the viewer keeps its old content there.
    v = viewer_start(h.port);
    run_workload(SYNTH_IDLE, 5);
    lock_enter(&g_viewer.lock);
    cache_clear(&g_viewer.cache);
    lock_leave(&g_viewer.lock);
    ASSERT_EQ(cache_resident(&g_viewer.cache), 0u);
    run_workload(SYNTH_DRAG, 200);
    run_workload(SYNTH_IDLE, 5);

    EXPECT_GT(g_viewer.cache_misses.load(), 0u);
    EXPECT_EQ(picture_differences(), 0);
    viewer_finish(v);
    host_finish(&h);
}

TEST(Session, ThroughTheRelayTheViewerMatchesTheHost) {
    setup_screen();
    relay_config cfg;
    relay_config_defaults(&cfg);
    snprintf(cfg.bind_ip, sizeof cfg.bind_ip, "127.0.0.1");
    cfg.port = 0;
    cfg.log = nullptr;
    int relay_port_used = relay_server_start(&cfg);
    ASSERT_GT(relay_port_used, 0);
    HostSettings s = test_settings();
    snprintf(s.relay_host, sizeof s.relay_host, "127.0.0.1");
    s.relay_port = relay_port_used;
    test_host h;
    host_start_direct(&h, 1, "pw", &s);
    ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
    clock_sleep(200);   // the host's join has reached the relay
    char id[HOST_ID_BYTES];
    host_copy_id(id, sizeof id);
    g_relay_id = id;
    thread_handle v = viewer_start(relay_port_used);
    run_workload(SYNTH_SCROLL, 100);
    run_workload(SYNTH_TYPING, 100);
    EXPECT_EQ(picture_differences(), 0);
    viewer_finish(v);
    g_relay_id = nullptr;
    host_finish(&h);
    relay_server_stop();
    relay_server_join();
}

// ---- a host that does not play its part ----

// A stand-in host: it accepts one viewer and then stops at a given point.
#define BARE_SILENT_AFTER_HANDSHAKE 1   // keys the channel, then says nothing
#define BARE_FLOOD_WITHOUT_READING 2    // sends its hello, then frame ends for ever, reading nothing
struct bare_host {
    net_sock listener;
    int mode;
    std::atomic<int> stop{0};
    std::atomic<uint32_t> records{0};   // frame-end records sent while flooding
};

static void bare_host_flood(bare_host *b, channel *ch) {
    uint8_t head[HEADER_BYTES + CLIENT_HELLO_BYTES];
    if (!channel_recv(ch, head, sizeof head)) return;
    uint8_t hello[HEADER_BYTES + HOST_HELLO_BYTES] = {0};
    header_put(hello, MSG_HOST_HELLO, HOST_HELLO_BYTES);
    put_i32(hello + HEADER_BYTES, 64);
    put_i32(hello + HEADER_BYTES + 4, 64);
    if (!channel_send(ch, hello, sizeof hello)) return;
    static uint8_t frames[4096 * (HEADER_BYTES + 8)];
    for (size_t i = 0; i < sizeof frames; i += HEADER_BYTES + 8) header_put(frames + i, MSG_FRAME_END, 8);
    while (!b->stop.load() && channel_send(ch, frames, sizeof frames)) b->records.fetch_add(1);
}

static unsigned bare_host_entry(void *arg) {
    bare_host *b = (bare_host *)arg;
    net_sock s = net_accept(b->listener);
    channel ch;
    channel_init(&ch, s, 0);
    if (s != NET_INVALID && channel_handshake_host(&ch, "pw")) {
        if (b->mode == BARE_FLOOD_WITHOUT_READING) bare_host_flood(b, &ch);
        while (!b->stop.load()) clock_sleep(5);
    }
    channel_free(&ch);
    net_close(s);
    return 0;
}

static void bare_host_open(bare_host *b, int mode) {
    net_init();
    b->listener = net_listen("127.0.0.1", 0, 1);
    net_set_buffers(b->listener, 4096, 4096);   // small buffers fill sooner when it stops reading
    b->mode = mode;
}

static char g_bare_err[128];
static unsigned bare_viewer_entry(void *) {
    viewer_session_options o = viewer_options();
    g_viewer_result.store(viewer_session_run(&o, g_bare_err, sizeof g_bare_err));
    return 0;
}

// Runs a viewer against the stand-in; 1 when its session call returned within ms (else the
// stand-in is closed so that it can return).
static int bare_viewer_run(bare_host *b, uint32_t ms, void (*meanwhile)(bare_host *)) {
    snprintf(g_port_text, sizeof g_port_text, "%d", net_local_port(b->listener));
    g_viewer_result.store(-1);
    thread_handle host = b->mode ? thread_create(bare_host_entry, b) : nullptr;
    thread_handle t = thread_create(bare_viewer_entry, nullptr);
    if (meanwhile) meanwhile(b);
    int ended = thread_wait(t, ms);
    b->stop.store(1);
    net_close(b->listener);   // a viewer still waiting then fails
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    if (host) {
        thread_wait(host, THREAD_INFINITE);
        thread_close(host);
    }
    return ended;
}

TEST(Session, ViewerGivesUpOnAHostThatDoesNotAnswerInTime) {
    session_use_temp_dir();
    g_limits.hello_ms = 500;
    bare_host quiet;   // a listener nobody accepts on: the connection is made, nothing comes
    bare_host_open(&quiet, 0);
    EXPECT_EQ(bare_viewer_run(&quiet, 30000, nullptr), 1);
    EXPECT_EQ(g_viewer_result.load(), 1);
    EXPECT_STREQ(g_bare_err, "authentication failed (wrong password, or host not online)");
    bare_host keyed;
    bare_host_open(&keyed, BARE_SILENT_AFTER_HANDSHAKE);
    EXPECT_EQ(bare_viewer_run(&keyed, 30000, nullptr), 1);
    EXPECT_EQ(g_viewer_result.load(), 1);
    EXPECT_STREQ(g_bare_err, "bad hello from host");
    g_limits.hello_ms = 10000;
}

// Waits until the stand-in's flood has stopped moving (the viewer no longer takes it), then
// closes the window.
static void close_when_stuck(bare_host *b) {
    uint32_t last = 0, still = 0, start = clock_tick();
    while (still < 10 && clock_tick() - start < 20000) {
        clock_sleep(50);
        uint32_t now = b->records.load();
        still = (now == last && now > 0) ? still + 1 : 0;
        last = now;
    }
    viewer_window_close();
}

TEST(Session, AHostThatStopsReadingNeitherHoldsTheWindowNorKeepsTheSession) {
    session_use_temp_dir();
    // The user closes the window while the viewer's sends are stuck: the session ends at once.
    bare_host stuck;
    bare_host_open(&stuck, BARE_FLOOD_WITHOUT_READING);
    EXPECT_EQ(bare_viewer_run(&stuck, 10000, close_when_stuck), 1);
    EXPECT_EQ(g_viewer_result.load(), 0);
    EXPECT_GT(stuck.records.load(), 0u);
    // Nobody closes it: the send time-out ends the session.
    g_limits.send_stall_ms = 500;
    bare_host gone;
    bare_host_open(&gone, BARE_FLOOD_WITHOUT_READING);
    EXPECT_EQ(bare_viewer_run(&gone, 60000, nullptr), 1);
    EXPECT_EQ(g_viewer_result.load(), 0);
    g_limits.send_stall_ms = 30000;
}
