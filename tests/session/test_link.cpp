// The emulated link: bytes cross it whole and in order both ways, with jitter; and the real host and
// viewer cores through it end equal to the screen after a full change with a small change made while
// it was on its way (the small one goes ahead of the rest) and after scrolling.
#include "session_util.h"
#include <atomic>
#include <vector>
#include "host/synth_script.h"
#include "linkemu/linkemu.h"
#include "viewer/session.h"
#include "viewer/viewer.h"

namespace {

struct Echo {
    net_sock listener;
    std::atomic<uint64_t> bytes{0};
};

unsigned echo_entry(void *arg) {   // the server: sends back whatever comes
    Echo *e = (Echo *)arg;
    net_sock s = net_accept(e->listener);
    uint8_t buf[7000];
    int n;
    while ((n = net_recv(s, buf, sizeof buf)) > 0) {
        if (!net_send_all(s, buf, (size_t)n)) break;
        e->bytes += (uint64_t)n;
    }
    net_shutdown_send(s);
    net_close(s);
    return 0;
}

char g_port[16];
std::atomic<int> g_result{-1};
unsigned viewer_entry(void *) {
    char err[128];
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = "127.0.0.1";
    o.port = g_port;
    o.password = "pw";
    g_result.store(viewer_session_run(&o, err, sizeof err));
    return 0;
}

int viewer_equal(void) {
    lock_enter(&g_viewer.lock);
    int same = g_viewer.fb && g_viewer.width == g_synth.width && g_viewer.height == g_synth.height;
    for (int32_t y = 0; same && y < g_synth.height; y++)
        same = memcmp(g_viewer.fb + (size_t)y * g_viewer.stride, g_synth.pixels + (size_t)y * g_synth.width * 4,
                      (size_t)g_synth.width * 4) == 0;
    lock_leave(&g_viewer.lock);
    return same;
}

}  // namespace

TEST(Link, CarriesBytesWholeAndInOrder) {
    Echo e;
    net_init();
    e.listener = net_listen("127.0.0.1", 0, 1);
    thread_handle server = thread_create(echo_entry, &e);
    linkemu_params p = {2, 3, 50e6, 0};   // 2 ms each way, up to 3 ms jitter, 50 Mbit/s
    linkemu l;
    int port = linkemu_start(&l, net_local_port(e.listener), &p);
    ASSERT_GT(port, 0);
    net_sock c = net_connect("127.0.0.1", port);
    ASSERT_NE(c, NET_INVALID);
    const size_t total = 3 << 20;
    std::vector<uint8_t> out(total), in(total);
    for (size_t i = 0; i < total; i++) out[i] = (uint8_t)(i * 131 + (i >> 9));
    struct Sender {
        net_sock s;
        const std::vector<uint8_t> *out;
    } snd = {c, &out};
    thread_handle t = thread_create(
        [](void *a) -> unsigned {
            Sender *s = (Sender *)a;
            for (size_t at = 0; at < s->out->size(); at += 5000)   // uneven pieces
                if (!net_send_all(s->s, s->out->data() + at, std::min((size_t)5000, s->out->size() - at))) return 1;
            net_shutdown_send(s->s);
            return 0;
        },
        &snd);
    EXPECT_EQ(net_recv_all(c, in.data(), total), 1);
    uint8_t extra;
    EXPECT_EQ(net_recv(c, &extra, 1), 0);   // the far end's close comes through after the bytes
    EXPECT_TRUE(in == out);
    EXPECT_EQ(linkemu_down_bytes(&l), (uint64_t)total);
    EXPECT_EQ(linkemu_up_bytes(&l), (uint64_t)total);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    thread_wait(server, THREAD_INFINITE);
    thread_close(server);
    net_close(c);
    linkemu_finish(&l);
    net_close(e.listener);
}

TEST(Link, RealCoresEndEqualAfterAFullChangeOvertakenByASmallOne) {
    session_use_temp_dir();
    ASSERT_TRUE(synth_open(1280, 720));
    g_synth.dxgi_unavailable = 0;
    test_host h;
    host_start_direct(&h);
    linkemu_params p = {10, 0, 20e6, 0};
    linkemu l;
    int port = linkemu_start(&l, h.port, &p);
    snprintf(g_port, sizeof g_port, "%d", port);
    thread_handle v = thread_create(viewer_entry, nullptr);
    ASSERT_TRUE(session_wait([] { return g_viewer.frames.load() > 0 && viewer_equal(); }, 60000));
    for (int round = 0; round < 3; round++) {
        synth_script_request(SYNTH_FULL, 1);
        ASSERT_TRUE(session_wait([] { return synth_script_done() == 1; }, 10000));
        clock_sleep(30);
        synth_script_mark(100 + 300 * round, 200 + 100 * round, 64, 0x123456u * (round + 1));
        clock_sleep(20);
        EXPECT_TRUE(session_wait([] { return viewer_equal(); }, 60000)) << "round " << round;
    }
    synth_script_request(SYNTH_SCROLL, 40);
    ASSERT_TRUE(session_wait([] { return synth_script_done() == 1; }, 60000));
    EXPECT_TRUE(session_wait([] { return viewer_equal(); }, 60000));
    viewer_window_close();
    EXPECT_EQ(thread_wait(v, 60000), 1);
    thread_close(v);
    EXPECT_EQ(g_result.load(), 0);
    linkemu_finish(&l);
    host_finish(&h);
    synth_close();
}
