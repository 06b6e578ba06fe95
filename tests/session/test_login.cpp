// Login versions end to end: the host core against bare viewers of every version, directly and
// through the in-process relay; the real viewer core's version, refusal texts and wrong password;
// and the host's pause after repeated wrong passwords.
#include "session_util.h"
#include <atomic>
#include "host/auth.h"
#include "protocol/channel_v2.h"
#include "protocol/relay.h"
#include "relay/relay_server.h"
#include "viewer/session.h"
#include "viewer/viewer.h"

static int g_relay_port;   // non-zero: bare viewers go through the relay at this port

// A bare viewer with a login policy; its outcome, and the version when it got in.
static int tv_login(test_viewer *v, int port, const char *password, int login, int *version) {
    v->sock = net_connect("127.0.0.1", g_relay_port ? g_relay_port : port);
    if (v->sock == NET_INVALID) return -9;
    if (g_relay_port) {
        uint8_t join[RELAY_JOIN_BYTES];
        char id[HOST_ID_BYTES];
        host_copy_id(id, sizeof id);
        relay_build_join(join, RELAY_ROLE_VIEWER, id, "TEST-VIEWER");
        net_send_all(v->sock, join, sizeof join);
    }
    channel_init(&v->ch, v->sock, 1);
    return channel_v2_handshake_viewer(&v->ch, password, login, version);
}

static void start_host(test_host *h, int login) {
    HostSettings s = test_settings();
    s.login_mode = login;
    snprintf(s.relay_host, sizeof s.relay_host, "127.0.0.1");
    s.relay_port = g_relay_port;
    host_start_direct(h, g_relay_port != 0, "pw", &s);
    ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 10000));
    if (g_relay_port) clock_sleep(200);   // the host's join has reached the relay
}

static void stop_host(test_host *h) { host_finish(h); }

// Every pairing of host and viewer versions, on the current route (direct or relay).
static void pairings(void) {
    struct { int host, viewer; const char *pw; int result, version; const char *log; } cases[] = {
        {CHANNEL_LOGIN_V2_PREFERRED, CHANNEL_LOGIN_V2_PREFERRED, "pw", 1, 2, "login version 2"},
        {CHANNEL_LOGIN_V2_PREFERRED, CHANNEL_LOGIN_V1_ONLY, "pw", 1, 1, "login version 1"},
        {CHANNEL_LOGIN_V2_PREFERRED, CHANNEL_LOGIN_V2_PREFERRED, "px", 0, 2, "auth failed (wrong password"},
        {CHANNEL_LOGIN_V1_ONLY, CHANNEL_LOGIN_V2_PREFERRED, "pw", 1, 1, "login version 1"},
        {CHANNEL_LOGIN_V1_ONLY, CHANNEL_LOGIN_V2_ONLY, "pw", CHANNEL_AUTH_REFUSED, 1, "auth failed (wrong password"},
        {CHANNEL_LOGIN_V2_ONLY, CHANNEL_LOGIN_V1_ONLY, "pw", 0, 1, "refused a version 1 login (-v2only)"},
        {CHANNEL_LOGIN_V2_ONLY, CHANNEL_LOGIN_V2_PREFERRED, "pw", 1, 2, "login version 2"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "host " << c.host << " viewer " << c.viewer << " " << c.pw);
        host_log_capture_start();
        test_host h;
        start_host(&h, c.host);
        test_viewer v;
        int version = 0;
        EXPECT_EQ(tv_login(&v, h.port, c.pw, c.viewer, &version), c.result);
        if (c.result == 1) {
            EXPECT_EQ(version, c.version);
            uint8_t hello[HOST_HELLO_BYTES];
            EXPECT_EQ(tv_hello(&v, 3, hello), 1);
        }
        tv_close(&v);
        EXPECT_TRUE(session_wait([&] { return host_log_count(c.log) == 1; }, 5000));
        stop_host(&h);
        host_log_capture_stop();
    }
}

TEST(Login, EveryPairingOfVersionsDirectly) {
    synth_open(320, 200);
    g_relay_port = 0;
    pairings();
}

TEST(Login, EveryPairingOfVersionsThroughTheRelay) {
    synth_open(320, 200);
    relay_config cfg;
    relay_config_defaults(&cfg);
    snprintf(cfg.bind_ip, sizeof cfg.bind_ip, "127.0.0.1");
    cfg.port = 0;
    cfg.log = nullptr;
    g_relay_port = relay_server_start(&cfg);
    ASSERT_GT(g_relay_port, 0);
    pairings();
    g_relay_port = 0;
    relay_server_stop();
    relay_server_join();
}

static std::atomic<int> g_seen_version{0};
static void on_connected(const char *, const char *) { g_seen_version.store(viewer_login_version()); }

struct viewer_job {
    char port[16];
    int result;
};

// The viewer core to 127.0.0.1:port with this password and login policy.
static int viewer_run(const char *port, const char *password, int login, viewer_connected_fn on_connected,
                      char *err, int err_size) {
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = "127.0.0.1";
    o.port = port;
    o.password = password;
    o.login = login;
    o.on_connected = on_connected;
    return viewer_session_run(&o, err, err_size);
}

static unsigned viewer_entry(void *arg) {
    viewer_job *j = (viewer_job *)arg;
    char err[128];
    j->result = viewer_run(j->port, "pw", CHANNEL_LOGIN_V2_PREFERRED, on_connected, err, sizeof err);
    return 0;
}

TEST(Login, TheViewerCoreSpeaksVersion2AndRefusesWithItsTexts) {
    synth_open(320, 200);
    g_relay_port = 0;
    test_host h;
    start_host(&h, CHANNEL_LOGIN_V2_PREFERRED);
    viewer_job j;
    snprintf(j.port, sizeof j.port, "%d", h.port);
    g_seen_version.store(0);
    thread_handle t = thread_create(viewer_entry, &j);
    EXPECT_TRUE(session_wait([] { return g_seen_version.load() != 0; }, 10000));
    EXPECT_EQ(g_seen_version.load(), 2);
    EXPECT_TRUE(session_wait([] { return g_viewer.frames.load() > 0; }, 60000));   // the window is up
    viewer_window_close();
    EXPECT_EQ(thread_wait(t, 60000), 1);
    thread_close(t);
    EXPECT_EQ(j.result, 0);
    char err[128];
    EXPECT_EQ(viewer_run(j.port, "px", CHANNEL_LOGIN_V2_ONLY, nullptr, err, sizeof err), 1);
    EXPECT_STREQ(err, "authentication failed (wrong password, or host not online)");
    stop_host(&h);

    start_host(&h, CHANNEL_LOGIN_V1_ONLY);
    snprintf(j.port, sizeof j.port, "%d", h.port);
    EXPECT_EQ(viewer_run(j.port, "pw", CHANNEL_LOGIN_V2_ONLY, nullptr, err, sizeof err), 1);
    EXPECT_STREQ(err, VIEWER_TEXT_REFUSED_V2);
    EXPECT_EQ(viewer_run(j.port, "pw", VIEWER_LOGIN_PINNED, nullptr, err, sizeof err), 1);
    EXPECT_STREQ(err, "this computer used a stronger login before; refusing a weaker one");
    stop_host(&h);
}

TEST(Login, ThreeWrongPasswordsPauseTheNextAttemptWhichStillGetsIn) {
    synth_open(320, 200);
    g_relay_port = 0;
    host_log_capture_start();
    test_host h;
    start_host(&h, CHANNEL_LOGIN_V2_PREFERRED);
    int version = 0;
    for (int i = 0; i < 3; i++) {
        test_viewer bad;
        EXPECT_EQ(tv_login(&bad, h.port, "wrong", CHANNEL_LOGIN_V2_PREFERRED, &version), 0);
        tv_close(&bad);
        EXPECT_TRUE(session_wait([&] { return host_log_count("auth failed") == i + 1; }, 5000));
    }
    EXPECT_EQ(host_log_count("too many failed logins: the next attempt waits 1 s"), 1);
    test_viewer good;
    ASSERT_EQ(tv_login(&good, h.port, "pw", CHANNEL_LOGIN_V2_PREFERRED, &version), 1);
    uint8_t hello[HOST_HELLO_BYTES];
    EXPECT_EQ(tv_hello(&good, 3, hello), 1);
    tv_close(&good);
    EXPECT_EQ(host_log_count("too many failed logins"), 1);
    stop_host(&h);
    host_log_capture_stop();
}
