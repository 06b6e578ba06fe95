// Secure channel: the handshake against the fixed vectors, failures on both sides, and the record
// layer (tampering, length limits, stream reassembly, flush, concurrent senders) over loopback.
#include <gtest/gtest.h>
#include "test_files.h"
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "platform/net.h"
#include "platform/sysrand.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/channel_kdf.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

typedef std::vector<uint8_t> bytes;

// ---- helpers -------------------------------------------------------------------------------------

static std::string read_vectors() { return test_read_file(VO_VECTORS_DIR "/handshake.json"); }

// The string stored under `key` inside the object `section` of the vector file.
static std::string text(const std::string &json, const char *section, const char *key) {
    size_t at = json.find(std::string("\"") + section + "\"");
    at = json.find(std::string("\"") + key + "\"", at == std::string::npos ? 0 : at);
    if (at == std::string::npos) return "";
    at = json.find('"', json.find(':', at)) + 1;
    return json.substr(at, json.find('"', at) - at);
}

// The same, a hex string decoded.
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

struct sock_pair {
    net_sock viewer;   // the connecting end
    net_sock host;     // the accepted end
};

static sock_pair make_pair() {
    net_init();
    sock_pair p = {NET_INVALID, NET_INVALID};
    net_sock l = net_listen("127.0.0.1", 0, 4);
    if (l == NET_INVALID) return p;
    p.viewer = net_connect("127.0.0.1", net_local_port(l));
    p.host = net_accept(l);
    net_close(l);
    return p;
}

static bytes read_raw(net_sock s, size_t n) {
    bytes b(n);
    if (!net_recv_all(s, b.data(), n)) b.clear();
    return b;
}

// A record built independently of the channel: length, ciphertext, tag under counter `counter`.
static bytes seal(const uint8_t key[32], uint64_t counter, const bytes &plain) {
    bytes rec(4 + plain.size() + 16);
    put_u32(rec.data(), (uint32_t)plain.size());
    uint8_t nonce[24] = {0};
    put_u64(nonce, counter);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(rec.data() + 4, rec.data() + 4 + plain.size(), nullptr,
                                                        plain.data(), plain.size(), rec.data(), 4, nullptr,
                                                        nonce, key);
    return rec;
}

// Opens a record read off the wire as the record numbered `counter`; false when it does not verify.
static bool opens(const uint8_t key[32], uint64_t counter, bytes rec, bytes *plain) {
    if (rec.size() < 20) return false;
    size_t len = rec.size() - 20;
    uint8_t nonce[24] = {0};
    put_u64(nonce, counter);
    plain->assign(len, 0);
    return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(plain->data(), nullptr, rec.data() + 4, len,
                                                               rec.data() + 4 + len, rec.data(), 4, nonce,
                                                               key) == 0;
}

// Both ends of one connection, handshaken with the host side on a thread of its own.
struct session {
    sock_pair p;
    channel host, viewer;
    int host_ok, viewer_ok;
};

struct host_job {
    channel *ch;
    const char *password;
    const uint8_t *secret;   // NULL: the random source
    int result;
};

static unsigned host_thread(void *arg) {
    host_job *j = (host_job *)arg;
    channel_test_set_secret(j->secret);
    j->result = channel_handshake_host(j->ch, j->password);
    if (!j->result) net_shutdown(j->ch->sock);   // a failed viewer is let go
    channel_test_set_secret(nullptr);
    return 0;
}

static void run_handshake(session *s, const char *host_pw, const char *viewer_pw, const uint8_t *host_secret,
                          const uint8_t *viewer_secret) {
    s->p = make_pair();
    channel_init(&s->host, s->p.host, 0);
    channel_init(&s->viewer, s->p.viewer, 1);
    host_job j = {&s->host, host_pw, host_secret, 0};
    thread_handle t = thread_create(host_thread, &j);
    channel_test_set_secret(viewer_secret);
    s->viewer_ok = channel_handshake_viewer(&s->viewer, viewer_pw);
    if (!s->viewer_ok) net_shutdown(s->viewer.sock);
    channel_test_set_secret(nullptr);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    s->host_ok = j.result;
}

static void end_session(session *s) {
    channel_free(&s->host);
    channel_free(&s->viewer);
    net_close(s->p.host);
    net_close(s->p.viewer);
}

static const uint8_t ZERO32[32] = {0};
static const uint8_t TEST_KEY[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                     16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// A keyed pair sharing one key: tx sends on the viewer end, rx receives on the host end.
static sock_pair keyed_pair(channel *tx, channel *rx, int tx_lock, const uint8_t *key = TEST_KEY) {
    sock_pair p = make_pair();
    channel_init(tx, p.viewer, tx_lock);
    channel_init(rx, p.host, 0);
    tx->keyed = rx->keyed = 1;
    memcpy(tx->send_key, key, 32);
    memcpy(rx->recv_key, key, 32);
    return p;
}

static void close_pair(sock_pair p, channel *tx, channel *rx) {
    channel_free(tx);
    channel_free(rx);
    net_close(p.viewer);
    net_close(p.host);
}

// ---- handshake -----------------------------------------------------------------------------------

TEST(ChannelHandshake, VectorsReproduceEveryStepAndTheFirstRecords) {
    ASSERT_EQ(channel_sodium_ready(), 1);
    std::string json = read_vectors();
    ASSERT_FALSE(json.empty());
    for (const char *sec : {"with_password", "empty_password"}) {
        SCOPED_TRACE(sec);
        std::string pw = text(json, sec, "password");
        bytes cs = vec(json, sec, "client_secret"), hs = vec(json, sec, "host_secret");
        bytes cpub = vec(json, sec, "client_pub"), hpub = vec(json, sec, "host_pub");
        uint8_t out[32], shared2[32], k[32], s2c[32], c2s[32];
        ASSERT_EQ(channel_kdf_public(out, cs.data()), 1);
        EXPECT_EQ(bytes(out, out + 32), cpub);
        ASSERT_EQ(channel_kdf_public(out, hs.data()), 1);
        EXPECT_EQ(bytes(out, out + 32), hpub);
        ASSERT_EQ(channel_kdf_shared(out, cs.data(), hpub.data()), 1);
        ASSERT_EQ(channel_kdf_shared(shared2, hs.data(), cpub.data()), 1);
        EXPECT_EQ(bytes(out, out + 32), vec(json, sec, "shared"));
        EXPECT_EQ(bytes(shared2, shared2 + 32), vec(json, sec, "shared"));
        channel_kdf_handshake_key(k, out, cpub.data(), hpub.data(), pw.c_str());
        EXPECT_EQ(bytes(k, k + 32), vec(json, sec, "K"));
        channel_kdf_confirm(out, k, 0);
        EXPECT_EQ(bytes(out, out + 16), vec(json, sec, "c_confirm"));
        channel_kdf_confirm(out, k, 1);
        EXPECT_EQ(bytes(out, out + 16), vec(json, sec, "s_confirm"));
        channel_kdf_direction_keys(s2c, c2s, k);
        EXPECT_EQ(bytes(s2c, s2c + 32), vec(json, sec, "s2c"));
        EXPECT_EQ(bytes(c2s, c2s + 32), vec(json, sec, "c2s"));

        // The real handshake with the same secrets, then the first records byte for byte.
        session s;
        run_handshake(&s, pw.c_str(), pw.c_str(), hs.data(), cs.data());
        ASSERT_EQ(s.host_ok, 1);
        ASSERT_EQ(s.viewer_ok, 1);
        EXPECT_EQ(memcmp(s.host.send_key, s2c, 32), 0);
        EXPECT_EQ(memcmp(s.host.recv_key, c2s, 32), 0);
        EXPECT_EQ(memcmp(s.viewer.send_key, c2s, 32), 0);
        EXPECT_EQ(memcmp(s.viewer.recv_key, s2c, 32), 0);
        bytes chello = vec(json, sec, "client_hello_plain"), hhello = vec(json, sec, "host_hello_plain");
        bytes crec0 = vec(json, sec, "client_record_0"), hrec0 = vec(json, sec, "host_record_0");
        bytes crec1 = vec(json, sec, "client_record_1_empty");
        ASSERT_EQ(channel_send(&s.viewer, chello.data(), chello.size()), 1);
        EXPECT_EQ(read_raw(s.p.host, crec0.size()), crec0);
        ASSERT_EQ(channel_send(&s.host, hhello.data(), hhello.size()), 1);
        EXPECT_EQ(read_raw(s.p.viewer, hrec0.size()), hrec0);
        ASSERT_EQ(channel_send(&s.viewer, chello.data(), 0), 1);
        EXPECT_EQ(read_raw(s.p.host, crec1.size()), crec1);

        // The same wire bytes open through channel_recv; the empty record yields nothing but counts.
        channel tx, rx;
        sock_pair q = keyed_pair(&tx, &rx, 0, c2s);
        bytes wire = crec0, third = seal(c2s, 2, {'!'});
        wire.insert(wire.end(), crec1.begin(), crec1.end());
        wire.insert(wire.end(), third.begin(), third.end());
        ASSERT_EQ(net_send_all(q.viewer, wire.data(), wire.size()), 1);
        bytes got(chello.size() + 1);
        ASSERT_EQ(channel_recv(&rx, got.data(), got.size()), 1);
        EXPECT_EQ(bytes(got.begin(), got.end() - 1), chello);
        EXPECT_EQ(got.back(), '!');
        close_pair(q, &tx, &rx);
        end_session(&s);
    }
}

TEST(ChannelHandshake, WrongEmptyPasswordOrBadRandomFailsBothSides) {
    struct { const char *host_pw, *viewer_pw; int rand_fail; } cases[] = {
        {"Kx7mP2qa", "Kx7mP2qb", 0},   // wrong password: caught by the host at the viewer's confirmation
        {"Kx7mP2qa", "", 0},           // no password given
        {"Kx7mP2qa", "Kx7mP2qa", 1},   // the viewer's random source fails
    };
    uint8_t host_secret[32];
    memset(host_secret, 0x42, 32);
    for (auto &c : cases) {
        SCOPED_TRACE(c.viewer_pw);
        sysrand_fail_next(c.rand_fail);   // only the viewer draws: the host's secret is injected
        session s;
        run_handshake(&s, c.host_pw, c.viewer_pw, host_secret, nullptr);
        sysrand_fail_next(0);
        EXPECT_EQ(s.host_ok, 0);
        EXPECT_EQ(s.viewer_ok, 0);
        EXPECT_EQ(s.host.keyed + s.viewer.keyed, 0);
        EXPECT_EQ(memcmp(s.host.send_key, ZERO32, 32) | memcmp(s.viewer.recv_key, ZERO32, 32), 0);
        end_session(&s);
    }
    // The next viewer with the right password gets through.
    session s;
    run_handshake(&s, "Kx7mP2qa", "Kx7mP2qa", nullptr, nullptr);
    EXPECT_EQ(s.host_ok & s.viewer_ok, 1);
    end_session(&s);
}

TEST(ChannelHandshake, AllZeroSharedSecretFailsTheHost) {
    session s;
    s.p = make_pair();
    channel_init(&s.host, s.p.host, 0);
    channel_init(&s.viewer, s.p.viewer, 0);
    host_job j = {&s.host, "pw", nullptr, -1};
    thread_handle t = thread_create(host_thread, &j);
    ASSERT_EQ(net_send_all(s.p.viewer, ZERO32, 32), 1);   // a low-order "public key"
    EXPECT_EQ(read_raw(s.p.viewer, 32).size(), 32u);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    EXPECT_EQ(j.result, 0);
    EXPECT_EQ(s.host.keyed, 0);
    end_session(&s);
}

TEST(ChannelHandshake, ConnectionsNeverShareKeysAndEachDirectionStartsAtCounterZero) {
    uint8_t keys[2][32];
    for (int i = 0; i < 2; i++) {
        session s;
        run_handshake(&s, "same", "same", nullptr, nullptr);
        ASSERT_EQ(s.host_ok & s.viewer_ok, 1);
        EXPECT_EQ(memcmp(s.host.send_key, s.viewer.recv_key, 32), 0);
        EXPECT_EQ(memcmp(s.host.recv_key, s.viewer.send_key, 32), 0);
        EXPECT_NE(memcmp(s.host.send_key, s.host.recv_key, 32), 0);
        memcpy(keys[i], s.host.send_key, 32);
        bytes msg = {'h', 'i', '!'}, plain;
        ASSERT_EQ(channel_send(&s.viewer, msg.data(), msg.size()), 1);
        EXPECT_TRUE(opens(s.host.recv_key, 0, read_raw(s.p.host, 23), &plain));
        EXPECT_EQ(plain, msg);
        ASSERT_EQ(channel_send(&s.host, msg.data(), msg.size()), 1);
        EXPECT_TRUE(opens(s.viewer.recv_key, 0, read_raw(s.p.viewer, 23), &plain));
        EXPECT_EQ(plain, msg);
        end_session(&s);
    }
    EXPECT_NE(memcmp(keys[0], keys[1], 32), 0);
}

// ---- records -------------------------------------------------------------------------------------

TEST(ChannelRecords, AlteredOrCutRecordFailsAndEndsTheStream) {
    bytes plain(300);
    for (size_t i = 0; i < plain.size(); i++) plain[i] = (uint8_t)(i * 13);
    enum { CIPHER, TAG, LOWER_LENGTH, CUT };
    for (int kind : {CIPHER, TAG, LOWER_LENGTH, CUT}) {
        SCOPED_TRACE(kind);
        channel tx, rx;
        sock_pair p = keyed_pair(&tx, &rx, 0);
        bytes rec = seal(TEST_KEY, 0, plain);
        if (kind == CIPHER) rec[4 + 100] ^= 0x01;
        if (kind == TAG) rec[rec.size() - 1] ^= 0x80;
        if (kind == LOWER_LENGTH) put_u32(rec.data(), (uint32_t)plain.size() - 1);
        if (kind == CUT) rec.resize(4 + 150);
        if (kind != CUT) {   // a sound record follows: it must not be delivered after the failure
            bytes next = seal(TEST_KEY, 1, plain);
            rec.insert(rec.end(), next.begin(), next.end());
        }
        ASSERT_EQ(net_send_all(p.viewer, rec.data(), rec.size()), 1);
        net_shutdown_send(p.viewer);
        bytes got(plain.size());
        EXPECT_EQ(channel_recv(&rx, got.data(), 1), 0);
        EXPECT_EQ(channel_recv(&rx, got.data(), got.size()), 0);
        close_pair(p, &tx, &rx);
    }
}

struct big_send {
    channel *tx;
    const uint8_t *data;
    size_t n;
    int result;
};

static unsigned big_sender(void *arg) {
    big_send *b = (big_send *)arg;
    b->result = channel_send(b->tx, b->data, b->n);
    return 0;
}

TEST(ChannelRecords, LargestRecordPassesOneMoreIsRefusedWithoutAllocating) {
    channel tx, rx;
    sock_pair p = keyed_pair(&tx, &rx, 0);
    bytes big(CHANNEL_MAX_RECORD + 1);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i ^ (i >> 9));
    EXPECT_EQ(channel_send(&tx, big.data(), big.size()), 0);   // refused before anything is sealed
    EXPECT_EQ(tx.send_counter, 0u);
    EXPECT_EQ(tx.send_cap, 0u);

    big_send b = {&tx, big.data(), CHANNEL_MAX_RECORD, 0};
    thread_handle t = thread_create(big_sender, &b);
    bytes got(CHANNEL_MAX_RECORD);
    EXPECT_EQ(channel_recv(&rx, got.data(), got.size()), 1);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(memcmp(got.data(), big.data(), got.size()), 0);
    EXPECT_EQ(rx.recv_cap, (size_t)CHANNEL_MAX_RECORD + 4112);
    close_pair(p, &tx, &rx);

    // A length field of 16777217 is refused before any buffer is made.
    p = keyed_pair(&tx, &rx, 0);
    uint8_t hdr[8] = {0};
    put_u32(hdr, CHANNEL_MAX_RECORD + 1);
    ASSERT_EQ(net_send_all(p.viewer, hdr, sizeof hdr), 1);
    net_shutdown_send(p.viewer);
    EXPECT_EQ(channel_recv(&rx, got.data(), 1), 0);
    EXPECT_EQ(rx.recv_buf, nullptr);
    EXPECT_EQ(rx.recv_cap, 0u);
    close_pair(p, &tx, &rx);
}

TEST(ChannelRecords, StreamSpansRecordsAndBuffersAreKept) {
    channel tx, rx;
    sock_pair p = keyed_pair(&tx, &rx, 0);
    ASSERT_EQ(channel_send(&tx, "0123456789", 10), 1);
    uint8_t *kept = tx.send_buf;
    ASSERT_EQ(channel_send(&tx, "", 0), 1);   // an empty record yields nothing
    ASSERT_EQ(channel_send(&tx, "abcdefgh", 8), 1);
    EXPECT_EQ(tx.send_buf, kept);             // smaller records reuse the buffer
    char got[16] = {0};
    ASSERT_EQ(channel_recv(&rx, got, 7), 1);
    EXPECT_EQ(std::string(got, 7), "0123456");
    ASSERT_EQ(channel_recv(&rx, got, 8), 1);   // 3 from the first record, 5 from the third
    EXPECT_EQ(std::string(got, 8), "789abcde");
    ASSERT_EQ(channel_recv(&rx, got, 3), 1);
    EXPECT_EQ(std::string(got, 3), "fgh");
    EXPECT_EQ(tx.send_counter, 3u);
    EXPECT_EQ(rx.recv_counter, 3u);
    close_pair(p, &tx, &rx);

    // Before keying both directions are plain bytes.
    p = make_pair();
    channel_init(&tx, p.viewer, 0);
    channel_init(&rx, p.host, 0);
    ASSERT_EQ(channel_send(&tx, "join", 4), 1);
    ASSERT_EQ(channel_recv(&rx, got, 4), 1);
    EXPECT_EQ(std::string(got, 4), "join");
    close_pair(p, &tx, &rx);
}

TEST(ChannelRecords, WriterSendsWholeMessagesInRecordsAndAlwaysEmptiesIt) {
    channel tx, rx;
    sock_pair p = keyed_pair(&tx, &rx, 0);
    FrameWriter w = {};
    EXPECT_EQ(writer_send(&w, &tx), 1);   // nothing to send
    EXPECT_EQ(tx.send_counter, 0u);
    ASSERT_EQ(writer_append_msg(&w, MSG_FRAME_END, "\1\0\0\0\2\0\0\0", 8), 1);
    ASSERT_EQ(writer_append_msg(&w, MSG_CURSOR, "\0\0\0\0\0\0\0\0\1", 9), 1);
    EXPECT_EQ(writer_send(&w, &tx), 1);
    EXPECT_EQ(w.len, 0u);
    EXPECT_EQ(tx.send_counter, 1u);
    uint8_t got[33];
    ASSERT_EQ(channel_recv(&rx, got, sizeof got), 1);
    EXPECT_EQ(got[0], MSG_FRAME_END);
    EXPECT_EQ(got[16], MSG_CURSOR);
    EXPECT_EQ(rx.recv_pos, rx.recv_len);   // exactly one record held both messages

    // A big frame goes in records of whole messages; one message above the record limit fails the
    // send, and the writer is emptied all the same.
    std::vector<uint8_t> big(30000, 7);
    for (int k = 0; k < 3; k++) ASSERT_EQ(writer_append_msg(&w, MSG_TILE, big.data(), (uint32_t)big.size()), 1);
    EXPECT_EQ(writer_send(&w, &tx), 1);
    EXPECT_EQ(tx.send_counter, 3u);   // the first two messages, then the third
    std::vector<uint8_t> all(3 * (HEADER_BYTES + big.size()));
    ASSERT_EQ(channel_recv(&rx, all.data(), all.size()), 1);
    EXPECT_EQ(all[2 * (HEADER_BYTES + big.size())], MSG_TILE);
    EXPECT_EQ(rx.recv_pos, rx.recv_len);
    uint8_t *h = writer_reserve(&w, HEADER_BYTES + CHANNEL_MAX_RECORD + 1);
    ASSERT_NE(h, nullptr);
    header_put(h, MSG_TILE, CHANNEL_MAX_RECORD + 1);
    w.len = HEADER_BYTES + CHANNEL_MAX_RECORD + 1;
    EXPECT_EQ(writer_send(&w, &tx), 0);
    EXPECT_EQ(w.len, 0u);
    writer_free(&w);
    close_pair(p, &tx, &rx);
}

// A big frame's first part goes ahead as a record of its own; the rest follows as the last record,
// and the stream reads the same as one record would.
TEST(ChannelRecords, WriterSendsAFrameInParts) {
    channel tx, rx;
    sock_pair p = keyed_pair(&tx, &rx, 0);
    FrameWriter w = {};
    ASSERT_EQ(writer_append_msg(&w, MSG_CURSOR, "\0\0\0\0\0\0\0\0\1", 9), 1);
    EXPECT_EQ(writer_send_part(&w, &tx), 1);
    EXPECT_EQ(writer_send_part(&w, &tx), 1);   // nothing new: no record
    EXPECT_EQ(tx.send_counter, 1u);
    EXPECT_EQ(w.len, 17u);                      // the frame goes on filling
    ASSERT_EQ(writer_append_msg(&w, MSG_FRAME_END, "\1\0\0\0\2\0\0\0", 8), 1);
    EXPECT_EQ(writer_send(&w, &tx), 1);
    EXPECT_EQ(tx.send_counter, 2u);
    EXPECT_EQ(w.len + w.sent, 0u);
    uint8_t got[33];
    ASSERT_EQ(channel_recv(&rx, got, sizeof got), 1);
    EXPECT_EQ(got[0], MSG_CURSOR);
    EXPECT_EQ(got[17], MSG_FRAME_END);
    EXPECT_EQ(rx.recv_len, 16u);   // the last record held only the frame end
    writer_free(&w);
    close_pair(p, &tx, &rx);
}

// ---- concurrency ---------------------------------------------------------------------------------

#define SENDER_MESSAGES 1500

struct sender_job {
    channel *tx;
    uint8_t id;
    int result;
};

// Message: u8 sender, u32 sequence, u16 length, then `length` bytes derived from all three.
static unsigned sender_thread(void *arg) {
    sender_job *j = (sender_job *)arg;
    uint8_t msg[7 + 4000];
    j->result = 1;
    for (uint32_t seq = 0; seq < SENDER_MESSAGES && j->result; seq++) {
        uint16_t len = (uint16_t)(5 + (seq * 2654435761u + j->id * 977u) % 3990);
        msg[0] = j->id;
        put_u32(msg + 1, seq);
        put_u16(msg + 5, len);
        for (uint16_t i = 0; i < len; i++) msg[7 + i] = (uint8_t)(seq + i * j->id);
        j->result = channel_send(j->tx, msg, 7u + len);
    }
    return 0;
}

TEST(ChannelConcurrency, ViewerSendersNeverInterleaveRecords) {
    channel tx, rx;
    sock_pair p = keyed_pair(&tx, &rx, 1);
    sender_job jobs[2] = {{&tx, 1, 0}, {&tx, 2, 0}};
    thread_handle t[2] = {thread_create(sender_thread, &jobs[0]), thread_create(sender_thread, &jobs[1])};
    uint32_t next_seq[3] = {0, 0, 0};
    uint8_t msg[7 + 4000];
    int bad = 0;
    for (int m = 0; m < 2 * SENDER_MESSAGES && !bad; m++) {
        if (!channel_recv(&rx, msg, 7)) { bad = 1; break; }
        uint8_t id = msg[0];
        uint32_t seq = get_u32(msg + 1);
        uint16_t len = get_u16(msg + 5);
        if (id < 1 || id > 2 || seq != next_seq[id] || len > 4000 || !channel_recv(&rx, msg + 7, len)) {
            bad = 1;
            break;
        }
        for (uint16_t i = 0; i < len; i++) bad |= msg[7 + i] != (uint8_t)(seq + i * id);
        next_seq[id]++;
    }
    if (bad) net_shutdown(p.host);   // unblock the senders before waiting for them
    for (int i = 0; i < 2; i++) {
        thread_wait(t[i], THREAD_INFINITE);
        thread_close(t[i]);
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(jobs[0].result & jobs[1].result, 1);
    EXPECT_EQ(tx.send_counter, 2u * SENDER_MESSAGES);
    close_pair(p, &tx, &rx);
}
