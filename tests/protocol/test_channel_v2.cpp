// Versioned login: the real logins against the version 2 vectors (each side against a scripted
// peer), a version 1 viewer served byte for byte, a version 1 host, bad points, and a fake host that
// cannot test a password guess with what a version 2 viewer sends. (Every pairing of versions and
// passwords runs through the host core in tests/session/test_login.cpp.)
#include <gtest/gtest.h>
#include "test_files.h"
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "platform/net.h"
#include "platform/thread.h"
#include "protocol/channel_kdf.h"
#include "protocol/channel_v2.h"
#include "protocol/messages.h"
#include "protocol/pake.h"

typedef std::vector<uint8_t> bytes;

static std::string text(const std::string &json, const char *section, const char *key) {
    size_t at = json.find(std::string("\"") + section + "\"");
    at = json.find(std::string("\"") + key + "\"", at == std::string::npos ? 0 : at);
    if (at == std::string::npos) return "";
    at = json.find('"', json.find(':', at)) + 1;
    return json.substr(at, json.find('"', at) - at);
}

static bytes vec(const std::string &json, const char *section, const char *key) {
    std::string hex = text(json, section, key);
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned v = 0;
        sscanf(hex.c_str() + i, "%2x", &v);
        out.push_back((uint8_t)v);
    }
    return out;
}

static bytes cat(const bytes &a, const bytes &b) {
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

static bytes read_raw(net_sock s, size_t n) {
    bytes b(n);
    if (!net_recv_all(s, b.data(), n)) b.clear();
    return b;
}

// One side's login on a thread of its own, the other end left to the test as a raw socket.
struct side {
    net_sock mine, peer;     // the side's socket and the raw end the test plays
    channel ch;
    int host, login, result, version;
    const char *password;
    const uint8_t *x25519, *wide;   // injected secrets, or NULL for the random source
    thread_handle t;
};

static unsigned side_entry(void *arg) {
    side *s = (side *)arg;
    channel_v2_test_set_secrets(s->x25519, s->wide);
    s->result = s->host ? channel_v2_handshake_host(&s->ch, s->password, s->login, &s->version)
                        : channel_v2_handshake_viewer(&s->ch, s->password, s->login, &s->version);
    if (s->result != CHANNEL_AUTH_OK) net_shutdown(s->mine);
    channel_v2_test_set_secrets(nullptr, nullptr);
    return 0;
}

static void side_start(side *s, int host, int login, const char *password, const uint8_t *x25519 = nullptr,
                       const uint8_t *wide = nullptr) {
    net_init();
    net_sock l = net_listen("127.0.0.1", 0, 4);
    net_sock c = net_connect("127.0.0.1", net_local_port(l));
    net_sock a = net_accept(l);
    net_close(l);
    s->mine = host ? a : c;
    s->peer = host ? c : a;
    channel_init(&s->ch, s->mine, 0);
    s->host = host;
    s->login = login;
    s->password = password;
    s->x25519 = x25519;
    s->wide = wide;
    s->result = s->version = -9;
    s->t = thread_create(side_entry, s);
}

static int side_wait(side *s) {
    thread_wait(s->t, THREAD_INFINITE);
    thread_close(s->t);
    return s->result;
}

static void side_end(side *s) {
    channel_free(&s->ch);
    net_close(s->mine);
    net_close(s->peer);
}

static std::string vectors_v2() { return test_read_file(VO_VECTORS_DIR "/handshake_v2.json"); }

TEST(ChannelV2, BothSidesReproduceTheVectorsByteForByte) {
    std::string json = vectors_v2();
    ASSERT_FALSE(json.empty());
    for (const char *sec : {"with_password", "empty_password"}) {
        SCOPED_TRACE(sec);
        std::string pw = text(json, sec, "password");
        bytes cx = vec(json, sec, "client_x25519_secret"), cw = vec(json, sec, "client_scalar_random");
        bytes hw = vec(json, sec, "host_scalar_random"), opening = vec(json, sec, "opening");
        bytes answer = vec(json, sec, "host_answer"), cconf = vec(json, sec, "c_confirm");
        bytes second = cat(vec(json, sec, "client_point"), cconf), sconf = vec(json, sec, "s_confirm");
        bytes chello = vec(json, sec, "client_hello_plain"), hhello = vec(json, sec, "host_hello_plain");
        bytes crec = vec(json, sec, "client_record_0"), hrec = vec(json, sec, "host_record_0");

        // The real viewer against a host played from the vectors.
        side v;
        side_start(&v, 0, CHANNEL_LOGIN_V2_PREFERRED, pw.c_str(), cx.data(), cw.data());
        EXPECT_EQ(read_raw(v.peer, 32), opening);
        ASSERT_EQ(net_send_all(v.peer, answer.data(), 32), 1);
        EXPECT_EQ(read_raw(v.peer, 48), second);
        ASSERT_EQ(net_send_all(v.peer, sconf.data(), 16), 1);
        ASSERT_EQ(side_wait(&v), CHANNEL_AUTH_OK);
        EXPECT_EQ(v.version, 2);
        ASSERT_EQ(channel_send(&v.ch, chello.data(), chello.size()), 1);
        EXPECT_EQ(read_raw(v.peer, crec.size()), crec);
        ASSERT_EQ(net_send_all(v.peer, hrec.data(), hrec.size()), 1);
        bytes got(hhello.size());
        ASSERT_EQ(channel_recv(&v.ch, got.data(), got.size()), 1);
        EXPECT_EQ(got, hhello);
        side_end(&v);

        // The real host against a viewer played from the vectors.
        side h;
        side_start(&h, 1, CHANNEL_LOGIN_V2_PREFERRED, pw.c_str(), cx.data(), hw.data());
        ASSERT_EQ(net_send_all(h.peer, opening.data(), 32), 1);
        EXPECT_EQ(read_raw(h.peer, 32), answer);
        ASSERT_EQ(net_send_all(h.peer, second.data(), 48), 1);
        EXPECT_EQ(read_raw(h.peer, 16), sconf);
        ASSERT_EQ(side_wait(&h), CHANNEL_AUTH_OK);
        EXPECT_EQ(h.version, 2);
        ASSERT_EQ(net_send_all(h.peer, crec.data(), crec.size()), 1);
        got.assign(chello.size(), 0);
        ASSERT_EQ(channel_recv(&h.ch, got.data(), got.size()), 1);
        EXPECT_EQ(got, chello);
        ASSERT_EQ(channel_send(&h.ch, hhello.data(), hhello.size()), 1);
        EXPECT_EQ(read_raw(h.peer, hrec.size()), hrec);
        side_end(&h);
    }
}

TEST(ChannelV2, OlderPeersOnEitherSide) {
    // A version 1 viewer meets a version 2 host: the version 1 vectors, byte for byte.
    std::string v1 = test_read_file(VO_VECTORS_DIR "/handshake.json");
    ASSERT_FALSE(v1.empty());
    const char *sec = "with_password";
    bytes hs = vec(v1, sec, "host_secret"), wide(64, 1);
    side h;
    side_start(&h, 1, CHANNEL_LOGIN_V2_PREFERRED, "Kx7mP2qa", hs.data(), wide.data());
    ASSERT_EQ(net_send_all(h.peer, vec(v1, sec, "client_pub").data(), 32), 1);
    EXPECT_EQ(read_raw(h.peer, 32), vec(v1, sec, "host_pub"));
    ASSERT_EQ(net_send_all(h.peer, vec(v1, sec, "c_confirm").data(), 16), 1);
    EXPECT_EQ(read_raw(h.peer, 16), vec(v1, sec, "s_confirm"));
    ASSERT_EQ(side_wait(&h), CHANNEL_AUTH_OK);
    EXPECT_EQ(h.version, 1);
    bytes hhello = vec(v1, sec, "host_hello_plain");
    ASSERT_EQ(channel_send(&h.ch, hhello.data(), hhello.size()), 1);
    EXPECT_EQ(read_raw(h.peer, vec(v1, sec, "host_record_0").size()), vec(v1, sec, "host_record_0"));
    side_end(&h);

    // A version 2 viewer meets a version 1 host: version 1 with the flagged opening in K.
    std::string json = vectors_v2();
    const char *fb = "v1_host";
    bytes cx = vec(json, fb, "client_x25519_secret");
    side v;
    side_start(&v, 0, CHANNEL_LOGIN_V2_PREFERRED, "Kx7mP2qa", cx.data(), wide.data());
    EXPECT_EQ(read_raw(v.peer, 32), vec(json, fb, "opening"));
    ASSERT_EQ(net_send_all(v.peer, vec(json, fb, "host_pub").data(), 32), 1);
    EXPECT_EQ(read_raw(v.peer, 16), vec(json, fb, "c_confirm"));
    ASSERT_EQ(net_send_all(v.peer, vec(json, fb, "s_confirm").data(), 16), 1);
    ASSERT_EQ(side_wait(&v), CHANNEL_AUTH_OK);
    EXPECT_EQ(v.version, 1);
    EXPECT_EQ(bytes(v.ch.send_key, v.ch.send_key + 32), vec(json, fb, "c2s"));
    side_end(&v);

    // The same viewer set to version 2 only says nothing after its opening.
    side_start(&v, 0, CHANNEL_LOGIN_V2_ONLY, "Kx7mP2qa");
    ASSERT_EQ(read_raw(v.peer, 32).size(), 32u);
    ASSERT_EQ(net_send_all(v.peer, vec(json, fb, "host_pub").data(), 32), 1);
    EXPECT_EQ(side_wait(&v), CHANNEL_AUTH_REFUSED);
    uint8_t more;
    EXPECT_EQ(net_recv_all(v.peer, &more, 1), 0);
    side_end(&v);
}

TEST(ChannelV2, IdentityAndMalformedPointsFailWithoutAConfirmation) {
    uint8_t flagged_zero[32] = {0}, bad[32];
    flagged_zero[31] = 0x80;                 // the identity, with the version 2 flag
    memset(bad, 0xff, sizeof bad);           // not a canonical encoding
    for (const uint8_t *pt : {(const uint8_t *)flagged_zero, (const uint8_t *)bad}) {
        // Host side: a flagged opening, then a bad point and some confirmation.
        side h;
        side_start(&h, 1, CHANNEL_LOGIN_V2_PREFERRED, "pw");
        uint8_t opening[32];
        memset(opening, 0x33, 32);
        opening[31] |= 0x80;
        ASSERT_EQ(net_send_all(h.peer, opening, 32), 1);
        ASSERT_EQ(read_raw(h.peer, 32).size(), 32u);
        bytes second(pt, pt + 32);
        second.resize(48, 0x55);
        second[31] &= 0x7f;
        ASSERT_EQ(net_send_all(h.peer, second.data(), 48), 1);
        EXPECT_EQ(side_wait(&h), CHANNEL_AUTH_FAILED);
        side_end(&h);
        // Viewer side: the host answers with a bad point; the viewer sends nothing more.
        side v;
        side_start(&v, 0, CHANNEL_LOGIN_V2_PREFERRED, "pw");
        ASSERT_EQ(read_raw(v.peer, 32).size(), 32u);
        uint8_t answer[32];
        memcpy(answer, pt, 32);
        answer[31] |= 0x80;
        ASSERT_EQ(net_send_all(v.peer, answer, 32), 1);
        EXPECT_EQ(side_wait(&v), CHANNEL_AUTH_FAILED);
        uint8_t more;
        EXPECT_EQ(net_recv_all(v.peer, &more, 1), 0);
        side_end(&v);
    }
}

// What a fake host can do with one connection. It answers with its own point for one guessed
// password and gets the viewer's point and confirmation. With version 1 that confirmation tests any
// number of guesses offline; with version 2 it tests exactly the one guess the host committed to.
TEST(ChannelV2, FakeHostCannotTestPasswordGuessesOffline) {
    const char *real = "Kx7mP2qa";
    const char *guesses[] = {"123456", "password", "Kx7mP2qb", real};
    uint8_t wide[64];
    for (int i = 0; i < 64; i++) wide[i] = (uint8_t)(i * 13 + 5);
    for (const char *committed : {"letmein", real}) {
        SCOPED_TRACE(committed);
        side v;
        side_start(&v, 0, CHANNEL_LOGIN_V2_PREFERRED, real);
        bytes opening = read_raw(v.peer, 32);
        ASSERT_EQ(opening.size(), 32u);
        uint8_t y[32], gen[32], yb[32], answer[32], shared[32], k[32], conf[16];
        ASSERT_EQ(pake_scalar(y, wide), 1);
        ASSERT_EQ(pake_generator(gen, opening.data(), committed), 1);
        ASSERT_EQ(pake_point(yb, y, gen), 1);
        memcpy(answer, yb, 32);
        answer[31] |= 0x80;
        ASSERT_EQ(net_send_all(v.peer, answer, 32), 1);
        bytes got = read_raw(v.peer, 48);   // the viewer's point and confirmation
        ASSERT_EQ(got.size(), 48u);
        // Every offline test the fake host can run uses its own scalar with the viewer's point; the
        // result does not depend on the guess, so only the committed guess can ever match.
        ASSERT_EQ(pake_shared(shared, y, got.data()), 1);
        pake_handshake_key(k, shared, got.data(), yb, opening.data());
        channel_kdf_confirm(conf, k, 0);
        int matches = memcmp(conf, got.data() + 32, 16) == 0;
        EXPECT_EQ(matches, strcmp(committed, real) == 0);
        for (const char *g : guesses) {
            uint8_t g_gen[32], g_shared[32];
            ASSERT_EQ(pake_generator(g_gen, opening.data(), g), 1);
            // Even knowing which generator each guess gives, turning the viewer's point into its
            // shared point needs the viewer's scalar; the host's own products never match.
            ASSERT_EQ(pake_shared(g_shared, y, g_gen), 1);
            pake_handshake_key(k, g_shared, got.data(), yb, opening.data());
            channel_kdf_confirm(conf, k, 0);
            EXPECT_NE(memcmp(conf, got.data() + 32, 16), 0) << g;
        }
        net_shutdown(v.peer);
        side_wait(&v);
        side_end(&v);
    }
    // Version 1, for contrast: one captured confirmation sorts every guess offline.
    side v;
    side_start(&v, 0, CHANNEL_LOGIN_V1_ONLY, real);
    bytes pub = read_raw(v.peer, 32);
    uint8_t hx[32], hpub[32], shared[32], k[32], conf[16];
    memset(hx, 0x42, 32);
    ASSERT_EQ(channel_kdf_public(hpub, hx), 1);
    ASSERT_EQ(net_send_all(v.peer, hpub, 32), 1);
    bytes cconf = read_raw(v.peer, 16);
    ASSERT_EQ(channel_kdf_shared(shared, hx, pub.data()), 1);
    int found = 0;
    for (const char *g : guesses) {
        channel_kdf_handshake_key(k, shared, pub.data(), hpub, g);
        channel_kdf_confirm(conf, k, 0);
        found += memcmp(conf, cconf.data(), 16) == 0 && strcmp(g, real) == 0;
    }
    EXPECT_EQ(found, 1);
    net_shutdown(v.peer);
    side_wait(&v);
    side_end(&v);
}
