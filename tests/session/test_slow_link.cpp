// A viewer on a slow link: its acknowledgements and misses reach the host several frames late, and
// it advertised tiles it no longer holds. Frame by frame in one thread (host encoder and receive
// handling, viewer core): after every frame end the viewer shows the host's copy wherever the host
// counts on it, and no tile is ever cached under a hash that is not its own. Then the real host and
// viewer cores through a pipe that holds the viewer's bytes back: the same at every workload's end,
// and a host name full of control characters reaches the viewer cleaned.
#include "session_util.h"
#include <deque>
#include <filesystem>
#include <vector>
#include "../test_files.h"
#include <atomic>
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/receive.h"
#include "host/synth_script.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/session.h"
#include "viewer/viewer.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

namespace {

struct Reply {
    uint32_t due;                 // the pass at whose start the host reads it
    std::vector<uint8_t> bytes;   // header and payload
};

struct SlowLink {
    std::deque<Reply> to_host;    // the viewer's messages on their way
    uint32_t pass;                // passes run
    uint32_t delay;               // passes a viewer message takes to reach the host
    uint32_t frames_checked;
};
SlowLink L;

void link_deliver(void) {
    while (!L.to_host.empty() && L.to_host.front().due <= L.pass) {
        Reply r = L.to_host.front();
        L.to_host.pop_front();
        MessageHeader h = header_get(r.bytes.data());
        host_receive_dispatch(h.type, r.bytes.data() + HEADER_BYTES, h.length);
    }
}

// The viewer applies one frame message by message, as its receive thread does; replies set off.
void viewer_take(const uint8_t *data, size_t len) {
    for (size_t pos = 0; pos + HEADER_BYTES <= len;) {
        MessageHeader h = header_get(data + pos);
        viewer_dispatch(h.type, data + pos + HEADER_BYTES, h.length);
        if (g_viewer.reply_len)
            L.to_host.push_back({L.pass + L.delay, std::vector<uint8_t>(g_viewer.reply, g_viewer.reply + g_viewer.reply_len)});
        pos += HEADER_BYTES + h.length;
    }
}

// Tiles where the viewer differs from the host's copy although the host counts on them.
int trusted_tiles_differing(void) {
    uint32_t confirmed = flow.confirmed_frame.load();
    size_t stride = (size_t)g_picture.pad_width * 4;
    int bad = 0;
    for (int32_t ty = 0; ty < g_picture.rows; ty++)
        for (int32_t tx = 0; tx < g_picture.cols; tx++) {
            if (picture_tile_unsure((size_t)tx + (size_t)ty * g_picture.cols, confirmed)) continue;
            size_t off = (size_t)ty * TILE_EDGE * stride + (size_t)tx * TILE_EDGE * 4;
            for (int r = 0; r < TILE_EDGE; r++)
                if (memcmp(g_viewer.fb + off + r * stride, g_picture.sent + off + r * stride, TILE_EDGE * 4)) {
                    bad++;
                    break;
                }
        }
    return bad;
}

// Cached tiles whose pixels do not have the hash they are kept under.
int cached_under_wrong_hash(void) {
    int bad = 0;
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) {
        uint64_t k = g_viewer.cache.keys[slot];
        bad += k != 0 && tile_hash(g_viewer.cache.tiles + (size_t)slot * TILE_BYTES) != k;
    }
    return bad;
}

// One pass of the session loop without pacing (so frames pile up in flight); the viewer applies the
// frame at once. Returns 1 when a frame went out.
int slow_pass(void) {
    link_deliver();
    int sent = 0;
    if (capture_pass(CAPTURE_SYNTHETIC) != CAPTURE_RECOVERED) {
        picture_lock();
        encoder_frame(&s_out);
        picture_unlock();
        sent = encoder_pass_close(&s_out);
        if (sent) {
            viewer_take(s_out.data, s_out.len);
            EXPECT_EQ(trusted_tiles_differing(), 0) << "frame " << frame_counter.load();
            L.frames_checked++;
        }
    }
    writer_reset(&s_out);
    L.pass++;
    return sent;
}

// Idle passes until every reply has arrived and the host has nothing left to send.
void settle(void) {
    for (int quiet = 0, i = 0; quiet < (int)L.delay + 2 && i < 500; i++) quiet = slow_pass() || !L.to_host.empty() ? 0 : quiet + 1;
}

long screen_differences(void) {
    long diff = 0;
    for (int32_t y = 0; y < g_synth.height; y++)
        diff += memcmp(g_viewer.fb + (size_t)y * g_viewer.stride, g_synth.pixels + (size_t)y * g_synth.width * 4,
                       (size_t)g_synth.width * 4) != 0;
    return diff;
}

void session_begin(uint32_t delay, const std::string &dir) {
    L.to_host.clear();
    L.pass = 0;
    L.delay = delay;
    L.frames_checked = 0;
    picture_lock();
    picture_reset();
    mirror_clear();
    picture_unlock();
    flow_reset(clock_tick());
    encoder_session_reset(1);
    host_receive_start(nullptr);
    writer_reset(&s_out);
    ASSERT_EQ(viewer_begin(g_synth.width, g_synth.height), 1);
    g_viewer.ch = nullptr;
    ASSERT_EQ(cache_open(&g_viewer.cache, dir.c_str()), 1);
    g_viewer.cache.path[0] = 0;   // never saved
}

}  // namespace

TEST(SlowLink, LateMissesAndAcknowledgementsNeverCorruptPictureOrCache) {
    ASSERT_TRUE(synth_open(1000, 700));   // edge tiles reach into the margin
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_init();
    ASSERT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    std::string dir = test_temp_dir("slowlink");
    const int workloads[] = {SYNTH_TYPING, SYNTH_SCROLL, SYNTH_DRAG, SYNTH_VIDEO, SYNTH_FULL, SYNTH_TYPING};

    // An earlier session: everything the workloads show, which the viewer will claim to hold.
    session_begin(0, dir);
    std::vector<uint8_t> advert;
    for (int w : workloads) {
        synth_set_workload(w);
        for (int i = 0; i < 20; i++) slow_pass();
    }
    synth_set_workload(SYNTH_IDLE);
    settle();
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++)
        if (g_viewer.cache.keys[slot]) {
            advert.resize(advert.size() + 8);
            put_u64(&advert[advert.size() - 8], g_viewer.cache.keys[slot]);
        }
    ASSERT_GT(advert.size(), 8u * 500);
    cache_close(&g_viewer.cache);
    synth_open(1000, 700);   // the same screen from the start
    capture_init_dxgi(CAPTURE_SYNTHETIC);

    for (uint32_t delay : {3u, 9u}) {
        session_begin(delay, dir);
        // The advert reaches the host at once; the viewer's cache is empty all the same.
        for (size_t at = 0; at < advert.size(); at += 8 * MAX_ADVERT_HASHES) {
            size_t n = std::min(advert.size() - at, (size_t)8 * MAX_ADVERT_HASHES);
            host_receive_dispatch(MSG_CACHE_ADVERT, &advert[at], (uint32_t)n);
        }
        for (int w : workloads) {
            synth_set_workload(w);
            for (int i = 0; i < 30; i++) {
                // Evictions, as a cache too small for the workload has.
                if (i % 11 == 10) cache_clear(&g_viewer.cache);
                slow_pass();
            }
            synth_set_workload(SYNTH_IDLE);
            settle();
            EXPECT_EQ(screen_differences(), 0) << "delay " << delay << ", workload " << w;
            EXPECT_EQ(cached_under_wrong_hash(), 0);
        }
        EXPECT_GT(g_viewer.cache_misses.load(), 10u);
        EXPECT_GT(g_viewer.cache_hits.load(), 10u);
        EXPECT_EQ(g_viewer.cache_rejects.load(), 0u) << "the host sent a tile against content the viewer lacked";
        EXPECT_GT(L.frames_checked, 150u);
        cache_close(&g_viewer.cache);
        viewer_end();
    }
    std::filesystem::remove_all(dir);
    synth_close();
}

// ---- the real cores through a delaying pipe ----

namespace {

// Between viewer and host: what the host sends goes on at once, what the viewer sends waits
// delay_ms. One connection.
struct DelayPipe {
    net_sock listener, viewer, host;
    int host_port;
    uint32_t delay_ms;
    plat_lock lock;
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> held;   // the viewer's bytes, stamped
    std::atomic<int> viewer_gone;
    thread_handle main, reader;
};
DelayPipe P;

unsigned pipe_reader(void *) {   // viewer -> held
    uint8_t buf[16384];
    int n;
    while ((n = net_recv(P.viewer, buf, sizeof buf)) > 0) {
        lock_enter(&P.lock);
        P.held.push_back({clock_tick(), std::vector<uint8_t>(buf, buf + n)});
        lock_leave(&P.lock);
    }
    P.viewer_gone.store(1);
    return 0;
}

unsigned pipe_writer(void *) {   // held -> host, each chunk delay_ms after it came
    for (;;) {
        std::vector<uint8_t> chunk;
        int empty;
        lock_enter(&P.lock);
        if (!P.held.empty() && clock_tick() - P.held.front().first >= P.delay_ms) {
            chunk.swap(P.held.front().second);
            P.held.pop_front();
        }
        empty = P.held.empty();
        lock_leave(&P.lock);
        if (!chunk.empty() && !net_send_all(P.host, chunk.data(), chunk.size())) break;
        if (chunk.empty() && empty && P.viewer_gone.load()) break;
        if (chunk.empty()) clock_sleep(1);
    }
    net_shutdown_send(P.host);
    return 0;
}

unsigned pipe_main(void *) {   // accept, connect, then host -> viewer
    P.viewer = net_accept(P.listener);
    P.host = net_connect("127.0.0.1", P.host_port);
    if (P.viewer == NET_INVALID || P.host == NET_INVALID) return 0;
    net_set_nodelay(P.viewer, 1);
    net_set_nodelay(P.host, 1);
    P.reader = thread_create(pipe_reader, nullptr);
    thread_handle writer = thread_create(pipe_writer, nullptr);
    uint8_t buf[65536];
    int n;
    while ((n = net_recv(P.host, buf, sizeof buf)) > 0)
        if (!net_send_all(P.viewer, buf, (size_t)n)) break;
    net_shutdown(P.viewer);
    thread_wait(P.reader, THREAD_INFINITE);
    thread_close(P.reader);
    thread_wait(writer, THREAD_INFINITE);
    thread_close(writer);
    return 0;
}

int pipe_start(int host_port, uint32_t delay_ms) {
    lock_init(&P.lock);
    P.held.clear();
    P.viewer_gone.store(0);
    P.host_port = host_port;
    P.delay_ms = delay_ms;
    P.viewer = P.host = NET_INVALID;
    P.listener = net_listen("127.0.0.1", 0, 1);
    P.main = thread_create(pipe_main, nullptr);
    return net_local_port(P.listener);
}

void pipe_finish(void) {
    EXPECT_EQ(thread_wait(P.main, 30000), 1);
    thread_close(P.main);
    net_close(P.listener);
    net_close(P.viewer);
    net_close(P.host);
    lock_free(&P.lock);
}

char g_port[16];
std::atomic<int> g_result{-1};
std::atomic<int> g_connected{0};
void on_connected(const char *, const char *) { g_connected.store(1); }

unsigned viewer_entry(void *) {
    char err[128];
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = "127.0.0.1";
    o.port = g_port;
    o.password = "pw";
    o.on_connected = on_connected;
    g_result.store(viewer_session_run(&o, err, sizeof err));
    return 0;
}

thread_handle viewer_open(int port) {
    snprintf(g_port, sizeof g_port, "%d", port);
    g_result.store(-1);
    g_connected.store(0);
    thread_handle t = thread_create(viewer_entry, nullptr);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_VIEWER_CONNECTED; }, 10000));
    EXPECT_TRUE(session_wait([] { return g_connected.load() == 1; }, 10000));   // this session's counters
    EXPECT_TRUE(session_wait([] { return g_viewer.frames.load() > 0; }, 60000));
    return t;
}

void viewer_close(thread_handle t) {
    viewer_window_close();
    EXPECT_EQ(thread_wait(t, 60000), 1);
    thread_close(t);
    EXPECT_EQ(g_result.load(), 0);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
}

int host_caught_up(void) {
    picture_lock();
    int pending = g_picture.move_count;
    for (int32_t i = 0; i < g_picture.cols * g_picture.rows && !pending; i++) pending = g_picture.dirty[i];
    picture_unlock();
    return !pending && flow.confirmed_frame.load() == frame_counter.load();
}

void viewer_lose_cache(void) {
    lock_enter(&g_viewer.lock);
    cache_clear(&g_viewer.cache);
    lock_leave(&g_viewer.lock);
}

// A workload for `passes` capture passes while the viewer keeps losing its cache, then idle until
// the host has sent everything and the viewer has acknowledged it.
void run_workload_losing_cache(int workload, uint32_t passes) {
    synth_script_request(workload, passes);
    ASSERT_TRUE(session_wait(
        [] {
            viewer_lose_cache();
            clock_sleep(40);
            return synth_script_done() == 1;
        },
        60000));
    int quiet = 0;
    ASSERT_TRUE(session_wait(
        [&] {
            quiet = host_caught_up() ? quiet + 1 : 0;
            clock_sleep(20);
            return quiet >= 10;
        },
        60000));
}

int viewer_check(long *differences, int *wrong_keys) {
    lock_enter(&g_viewer.lock);
    *differences = screen_differences();
    *wrong_keys = g_viewer.cache.keys ? cached_under_wrong_hash() : 0;
    lock_leave(&g_viewer.lock);
    return 1;
}

}  // namespace

TEST(SlowLink, RealCoresThroughADelayingPipe) {
    session_use_temp_dir();
    ASSERT_TRUE(synth_open(1000, 700));
    g_synth.dxgi_unavailable = 0;
    g_synth.wait_ms = 1;
    g_synth.gdi_pause_ms = 1;
    char cache_file[512];
    snprintf(cache_file, sizeof cache_file, "%s/tiles.bin", getenv("VO_DATA_DIR"));
    remove(cache_file);
    test_host h;
    host_start_direct(&h);
    const int workloads[] = {SYNTH_TYPING, SYNTH_SCROLL, SYNTH_DRAG, SYNTH_VIDEO, SYNTH_FULL, SYNTH_TYPING};

    // First, directly: the viewer sees every workload and saves its cache.
    thread_handle v = viewer_open(h.port);
    for (int w : workloads) {
        synth_script_request(w, 60);
        ASSERT_TRUE(session_wait([] { return synth_script_done() == 1; }, 60000));
    }
    viewer_close(v);

    // Then through the pipe (150 ms for everything the viewer says), a host whose name could rewrite
    // a terminal, and a viewer that advertises its saved tiles but keeps losing them.
    host_set_computer_name("EVIL\x1b[2J\nNAME\x7f");
    int port = pipe_start(h.port, 150);
    v = viewer_open(port);
    EXPECT_STREQ(g_viewer.host_name, "EVIL?[2J?NAME?");
    for (int w : workloads) {
        run_workload_losing_cache(w, 40);
        long diff;
        int wrong;
        viewer_check(&diff, &wrong);
        EXPECT_EQ(diff, 0) << "workload " << w;
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_GT(g_viewer.cache_misses.load(), 0u);
    EXPECT_EQ(g_viewer.cache_rejects.load(), 0u);
    viewer_close(v);
    pipe_finish();
    host_finish(&h);
    synth_close();
}
