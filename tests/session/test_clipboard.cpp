// The shared clipboard between the real host core and a bare viewer (negotiation, a viewer
// payload beyond the 64 KiB limit of other types, the host's change on the wire) and the real
// viewer core (both directions, and nothing offered when the host says no).
#include "session_util.h"
#include <atomic>
#include "host/clipboard.h"
#include "host/input.h"
#include "protocol/clipboard.h"
#include "viewer/clipboard.h"
#include "viewer/session.h"
#include "viewer/viewer.h"

static std::string packed(uint8_t type, const std::string &t) {
    clip_buf b = {nullptr, 0};
    long n = clip_pack(type, (const uint8_t *)t.data(), t.size(), &b);
    std::string m = n > 0 ? std::string((const char *)b.data + HEADER_BYTES, (size_t)n - HEADER_BYTES) : "";
    clip_buf_free(&b);
    return m;
}

static std::string host_stub(uint32_t *count) {
    static uint8_t buf[CLIP_MAX_TEXT];
    size_t n = host_clipboard_stub_text(buf, sizeof buf, count);
    return std::string((const char *)buf, n);
}

// Letters that compress poorly, so the message is well over 64 KiB.
static std::string noisy_text(size_t n) {
    std::string s(n, 'a');
    uint32_t x = 12345;
    for (char &c : s) {
        x = x * 1103515245u + 12345u;
        c = (char)('a' + (x >> 16) % 26);
    }
    return s;
}

static void setup_screen(void) {
    session_use_temp_dir();
    synth_open(320, 200);
    g_synth.wait_ms = 1;
    g_synth.gdi_pause_ms = 1;
}

TEST(ClipboardSession, OnlyAViewerThatAsksSharesTheClipboard) {
    setup_screen();
    test_host h;
    host_start_direct(&h);
    uint8_t hello[HOST_HELLO_BYTES];

    // A viewer without bit 2: today's hello, and its clipboard message is read past.
    test_viewer old;
    ASSERT_EQ(tv_connect(&old, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&old, 3, hello), 1);
    EXPECT_EQ(get_u16(hello + 10), 3);
    EXPECT_EQ(host_clipboard_active(), 0);
    uint32_t before = 0, now = 0;
    host_stub(&before);
    std::string m = packed(MSG_CLIPBOARD_VIEWER, "not shared");
    ASSERT_EQ(tv_send(&old, MSG_CLIPBOARD_VIEWER, m.data(), (uint32_t)m.size()), 1);
    int keys = input_recorded_count();
    uint8_t key[KEY_BYTES] = {0x41, 0, 1, 0};
    ASSERT_EQ(tv_send(&old, MSG_KEY, key, sizeof key), 1);
    EXPECT_TRUE(session_wait([&] { return input_recorded_count() > keys; }, 5000));
    host_stub(&now);
    EXPECT_EQ(now, before);
    tv_close(&old);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));

    // A viewer with it: bit 2 back, a 300 KB text arrives whole, the host's change goes out once.
    test_viewer v;
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 7, hello), 1);
    EXPECT_EQ(get_u16(hello + 10), 7);
    std::string big = noisy_text(300000);
    m = packed(MSG_CLIPBOARD_VIEWER, big);
    ASSERT_GT(m.size(), (size_t)HOST_MAX_VIEWER_PAYLOAD);
    ASSERT_EQ(tv_send(&v, MSG_CLIPBOARD_VIEWER, m.data(), (uint32_t)m.size()), 1);
    EXPECT_TRUE(session_wait([&] { return host_stub(&now) == big; }, 5000));
    std::string mine = "host \xC3\xA9 \xF0\x9F\x98\x80";
    host_clipboard_local_text((const uint8_t *)mine.data(), mine.size());
    uint8_t type = 0;
    std::string p;
    while (tv_read(&v, &type, &p) && type != MSG_CLIPBOARD_HOST) {
    }
    ASSERT_EQ(type, MSG_CLIPBOARD_HOST);
    clip_buf b = {nullptr, 0};
    long n = clip_unpack((const uint8_t *)p.data(), p.size(), &b);
    EXPECT_EQ(std::string((const char *)b.data, n > 0 ? (size_t)n : 0), mine);   // not the echo of big
    clip_buf_free(&b);
    tv_close(&v);
    EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));

    // A host started with -noclip answers without the bit.
    host_finish(&h);
    HostSettings noclip = test_settings();
    noclip.clipboard_enabled = 0;
    host_start_direct(&h, 0, "pw", &noclip);
    ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
    ASSERT_EQ(tv_hello(&v, 7, hello), 1);
    EXPECT_EQ(get_u16(hello + 10), 3);
    tv_close(&v);
    host_finish(&h);
}

static char g_port_text[16];
static std::atomic<int> g_viewer_result{-1};
static std::atomic<int> g_connected{0};
static void on_connected(const char *, const char *) { g_connected.store(1); }

static unsigned viewer_entry(void *) {
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = "127.0.0.1";
    o.port = g_port_text;
    o.password = "pw";
    o.on_connected = on_connected;
    g_viewer_result.store(viewer_session_run(&o, nullptr, 0));
    return 0;
}

static std::string viewer_stub(uint32_t *count) {
    static uint8_t buf[4096];
    size_t n = viewer_clipboard_stub_text(buf, sizeof buf, count);
    return std::string((const char *)buf, n);
}

TEST(ClipboardSession, TheViewerCoreSharesBothWaysUnlessTheHostSaysNo) {
    setup_screen();
    for (int host_on = 1; host_on >= 0; host_on--) {
        HostSettings s = test_settings();
        s.clipboard_enabled = host_on;
        test_host h;
        host_start_direct(&h, 0, "pw", &s);
        snprintf(g_port_text, sizeof g_port_text, "%d", h.port);
        g_connected.store(0);
        thread_handle t = thread_create(viewer_entry, nullptr);
        ASSERT_TRUE(session_wait([] { return g_connected.load() == 1; }, 10000));
        ASSERT_TRUE(session_wait([] { return g_viewer.frames.load() > 0; }, 60000));
        EXPECT_EQ(viewer_clipboard_active(), host_on);
        // The test thread stands in for the viewer window here.
        std::string out = "viewer \xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80";
        EXPECT_EQ(viewer_clipboard_local_text((const uint8_t *)out.data(), out.size()), host_on);
        if (host_on) {
            uint32_t c = 0;
            EXPECT_TRUE(session_wait([&] { return host_stub(&c) == out; }, 5000));
            std::string back = "host \xE4\xB8\xAD\xE6\x96\x87";
            host_clipboard_local_text((const uint8_t *)back.data(), back.size());
            EXPECT_TRUE(session_wait([&] { return viewer_stub(&c) == back; }, 5000));
            EXPECT_EQ(viewer_clipboard_received(), 1u);
            // The viewer's stand-in reported the host's text back: it must not have been sent.
            EXPECT_EQ(viewer_clipboard_local_text((const uint8_t *)back.data(), back.size()), 0);
        }
        viewer_window_close();
        EXPECT_EQ(thread_wait(t, 60000), 1);
        thread_close(t);
        EXPECT_EQ(g_viewer_result.load(), 0);
        EXPECT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
        host_finish(&h);
    }
}
