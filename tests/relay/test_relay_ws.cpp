// The relay's WebSocket front over loopback: SHA-1 and the accept key against published vectors,
// the upgrade, masked and fragmented client frames with a ping between the fragments, bytes through
// the relay unchanged both ways, close, the frames it refuses, and static files kept inside the root.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include "relay/relay_sha1.h"
#include "relay/relay_ws.h"
#include "tests/relay/relay_test_net.h"
#include "tests/test_files.h"

static std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
}

TEST(RelayWs, Sha1AndAcceptKeyMatchPublishedVectors) {
    uint8_t d[20];
    relay_sha1("abc", 3, d);
    EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    relay_sha1("", 0, d);
    EXPECT_EQ(hex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const char *two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: two padding blocks
    relay_sha1(two, strlen(two), d);
    EXPECT_EQ(hex(d, 20), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    std::string million(1000000, 'a');
    relay_sha1(million.data(), million.size(), d);
    EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    char acc[29];
    relay_ws_accept_key("dGhlIHNhbXBsZSBub25jZQ==", 24, acc);  // the upgrade example of RFC 6455
    EXPECT_STREQ(acc, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    char b64[9];
    relay_base64((const uint8_t *)"foob", 4, b64);
    EXPECT_STREQ(b64, "Zm9vYg==");
}

TEST(RelayWs, RequestPathsNeverLeaveTheRoot) {
    char p[256];
    ASSERT_TRUE(relay_http_clean_path("/", p, sizeof p));
    EXPECT_STREQ(p, "index.html");
    ASSERT_TRUE(relay_http_clean_path("/js/app%2Ejs?x=1", p, sizeof p));
    EXPECT_STREQ(p, "js/app.js");
    for (const char *bad : {"/../etc/passwd", "/a/../../b", "/%2e%2e/x", "/%2E%2E%2Fx", "/a//b", "/dir/", "/a\\b",
                            "/a%00b", "/a%5c..", "relative", "/%zz", "/./x"})
        EXPECT_FALSE(relay_http_clean_path(bad, p, sizeof p)) << bad;
}

// --- a small blocking WebSocket client ---

static int ws_open(int port, const char *extra_headers = "") {
    int s = rt_connect(port);
    char req[512];
    snprintf(req, sizeof req, "GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n%sSec-WebSocket-Version: 13\r\n\r\n",
             extra_headers);
    rt_send(s, req, strlen(req));
    return s;
}

// Reads an HTTP response head (up to the blank line).
static std::string http_head(int s) {
    std::string h;
    char c;
    while (h.size() < 4096 && h.find("\r\n\r\n") == std::string::npos && rt_recv(s, &c, 1)) h += c;
    return h;
}

static void ws_frame(int s, int b0, const std::string &payload, bool masked = true, uint64_t claim = ~0ull) {
    std::string f(1, (char)b0);
    uint64_t n = claim != ~0ull ? claim : payload.size();
    if (n < 126) f += (char)((masked ? 0x80 : 0) | n);
    else if (n < 65536) f += (char)((masked ? 0x80 : 0) | 126), f += (char)(n >> 8), f += (char)n;
    else {
        f += (char)((masked ? 0x80 : 0) | 127);
        for (int i = 7; i >= 0; i--) f += (char)(n >> (8 * i));
    }
    const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    std::string body = payload;
    if (masked) {
        f.append((const char *)key, 4);
        for (size_t i = 0; i < body.size(); i++) body[i] = (char)(body[i] ^ key[i & 3]);
    }
    rt_send(s, f.data(), f.size());
    rt_send(s, body.data(), body.size());
}

// Reads one server frame: opcode (-1 on failure) and payload.
static int ws_read(int s, std::string *payload) {
    uint8_t h[2];
    if (!rt_recv(s, h, 2) || (h[1] & 0x80)) return -1;  // server frames are never masked
    uint64_t n = h[1] & 127;
    uint8_t ext[8];
    if (n == 126 && rt_recv(s, ext, 2)) n = (uint64_t)ext[0] << 8 | ext[1];
    else if (n == 127 && rt_recv(s, ext, 8)) {
        n = 0;
        for (int i = 0; i < 8; i++) n = n << 8 | ext[i];
    }
    payload->resize(n);
    if (n && !rt_recv(s, &(*payload)[0], n)) return -1;
    return h[0] & 15;
}

// Reads binary frames until n payload bytes have arrived.
static std::string ws_read_bytes(int s, size_t n) {
    std::string all, part;
    while (all.size() < n) {
        int op = ws_read(s, &part);
        if (op != 2) break;
        all += part;
    }
    return all;
}

static std::string join_bytes(char role, const char *room) {
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, role, room, "browser");
    return std::string((const char *)j, sizeof j);
}

static int g_tcp_port;  // the relay's plain TCP port in the running test

static int start_ws_relay(const char *root = "") {
    relay_server_stop();
    relay_server_join();
    relay_config cfg;
    rt_fast_config(&cfg);
    cfg.ws_port = 0;
    snprintf(cfg.ws_root, sizeof cfg.ws_root, "%s", root);
    g_tcp_port = relay_server_start(&cfg);
    EXPECT_GT(g_tcp_port, 0);
    return relay_server_ws_port();
}

static void stop_ws_relay(void) {
    relay_server_stop();
    relay_server_join();
}

static void fill(std::string *s, size_t n, unsigned seed) {
    s->resize(n);
    for (size_t i = 0; i < n; i++) seed = seed * 1103515245u + 12345u, (*s)[i] = (char)(seed >> 16);
}

TEST(RelayWs, FragmentedMaskedMessagesCarryTheJoinAndBytesBothWaysUnchanged) {
    int wsport = start_ws_relay();
    int v = ws_open(wsport);
    std::string head = http_head(v);
    EXPECT_NE(head.find("HTTP/1.1 101"), std::string::npos);
    EXPECT_NE(head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), std::string::npos);
    // The join and the first key bytes in one message of three fragments, a ping between them: the
    // viewer waits, so these bytes are held for its host.
    std::string first = join_bytes('V', "424242") + "client-key";
    ws_frame(v, 0x02, first.substr(0, 10));
    ws_frame(v, 0x89, "are you there");
    ws_frame(v, 0x00, first.substr(10, 30));
    ws_frame(v, 0x80, first.substr(40));
    std::string pong;
    EXPECT_EQ(ws_read(v, &pong), 10);
    EXPECT_EQ(pong, "are you there");
    ASSERT_TRUE(rt_wait_stats([](const relay_stats &st) { return st.waiting_viewers == 1; }));
    int h = rt_join(g_tcp_port, 'H', "424242");
    char got[10];
    ASSERT_TRUE(rt_recv(h, got, 10));
    EXPECT_EQ(std::string(got, 10), "client-key");
    // Bulk both ways: the host's stream arrives as binary messages; the viewer's in frames of every size.
    std::string down, up;
    fill(&down, 300000, 1);
    fill(&up, 200000, 2);
    ASSERT_TRUE(rt_send(h, down.data(), down.size()));
    EXPECT_TRUE(ws_read_bytes(v, down.size()) == down);
    for (size_t off = 0, step = 1; off < up.size(); off += step, step = step * 3 + 1) {
        if (step > 70000) step = 70000;
        ws_frame(v, 0x82, up.substr(off, step));
    }
    std::string back(up.size(), 0);
    ASSERT_TRUE(rt_recv(h, &back[0], back.size()));
    EXPECT_TRUE(back == up);
    // Close from the browser: our close comes back and the host sees the end.
    ws_frame(v, 0x88, std::string("\x03\xe8", 2));
    std::string why;
    EXPECT_EQ(ws_read(v, &why), 8);
    EXPECT_TRUE(rt_closed(h));
    close(h);
    EXPECT_TRUE(rt_closed(v));
    close(v);
    stop_ws_relay();
}

// Each bad frame ends the connection with a close frame carrying the reason code.
static void expect_refused(int wsport, int b0, const std::string &payload, bool masked, uint64_t claim, int code) {
    int v = ws_open(wsport);
    ASSERT_NE(http_head(v).find(" 101 "), std::string::npos);
    ws_frame(v, b0, payload, masked, claim);
    std::string why;
    EXPECT_EQ(ws_read(v, &why), 8) << b0;
    ASSERT_EQ(why.size(), 2u);
    EXPECT_EQ((uint8_t)why[0] << 8 | (uint8_t)why[1], code) << b0;
    EXPECT_TRUE(rt_closed(v));
    close(v);
}

TEST(RelayWs, UnmaskedTextOversizedAndBadUpgradesAreRefused) {
    int wsport = start_ws_relay();
    std::string join = join_bytes('V', "1");
    expect_refused(wsport, 0x82, join, false, ~0ull, 1002);           // not masked
    expect_refused(wsport, 0x81, "hello", true, ~0ull, 1003);          // text
    expect_refused(wsport, 0x82, "", true, RELAY_WS_MAX_FRAME + 1, 1009);  // frame too large
    expect_refused(wsport, 0x80, join, true, ~0ull, 1002);             // continuation with nothing open
    expect_refused(wsport, 0x09, "x", true, ~0ull, 1002);              // fragmented ping
    int s = rt_connect(wsport);
    const char *noversion = "GET /relay HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    rt_send(s, noversion, strlen(noversion));
    EXPECT_EQ(http_head(s).rfind("HTTP/1.1 426", 0), 0u);
    close(s);
    s = rt_connect(wsport);
    const char *plain = "GET /relay HTTP/1.1\r\nHost: x\r\n\r\n";
    rt_send(s, plain, strlen(plain));
    EXPECT_EQ(http_head(s).rfind("HTTP/1.1 400", 0), 0u);
    close(s);
    // A browser connection is held to the join time-out like any other.
    s = ws_open(wsport);
    http_head(s);
    EXPECT_TRUE(rt_closed(s, 4000));
    close(s);
    stop_ws_relay();
}

static std::string http_get(int port, const char *target, std::string *body) {
    int s = rt_connect(port);
    std::string req = std::string("GET ") + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    rt_send(s, req.data(), req.size());
    std::string head = http_head(s), b;
    char c;
    while (rt_recv(s, &c, 1, 2000)) b += c;
    close(s);
    if (body) *body = b;
    return head;
}

TEST(RelayWs, StaticFilesComeFromTheRootAndNothingOutsideIt) {
    std::string dir = test_temp_dir("relay_ws_root"), outside = test_temp_dir("relay_ws_out");
    mkdir((dir + "/js").c_str(), 0700);
    FILE *f = fopen((dir + "/index.html").c_str(), "wb");
    fputs("<p>page</p>", f);
    fclose(f);
    f = fopen((dir + "/js/app.js").c_str(), "wb");
    fputs("export {};", f);
    fclose(f);
    f = fopen((outside + "/secret.txt").c_str(), "wb");
    fputs("secret", f);
    fclose(f);
    ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), (dir + "/leak.txt").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/out").c_str()), 0);
    int wsport = start_ws_relay(dir.c_str());
    std::string body;
    std::string head = http_get(wsport, "/", &body);
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(head.find("Content-Type: text/html"), std::string::npos);
    EXPECT_EQ(body, "<p>page</p>");
    head = http_get(wsport, "/js/app.js", &body);
    EXPECT_NE(head.find("Content-Type: text/javascript"), std::string::npos);
    EXPECT_EQ(body, "export {};");
    for (const char *t : {"/js/", "/js", "/leak.txt", "/out/secret.txt", "/../relay_ws_out/secret.txt",
                          "/%2e%2e/etc/passwd", "/missing.html"}) {
        head = http_get(wsport, t, &body);
        EXPECT_EQ(head.rfind("HTTP/1.1 404", 0), 0u) << t;
        EXPECT_EQ(body.find("secret"), std::string::npos) << t;
    }
    stop_ws_relay();
    // Without a root the copy built into the program answers.
    wsport = start_ws_relay();
    head = http_get(wsport, "/", &body);
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(body.find("<"), std::string::npos);
    stop_ws_relay();
}
