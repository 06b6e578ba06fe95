// channel: both sides of the password-bound handshake, then the record layer: every send is one
// XChaCha20-Poly1305 record (u32 length, ciphertext, tag); receives pull records as needed.
#include "protocol/channel.h"
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include "platform/sysrand.h"
#include "protocol/channel_kdf.h"
#include "protocol/messages.h"

#define RECORD_TAG_BYTES 16
#define RECORD_LEN_BYTES 4
#define RECORD_SLACK 4112          // buffers grow to L + 4096 + 16 so nearby sizes reuse them
#define COUNTER_SPENT UINT64_MAX   // a direction that failed: no record is sealed or opened again

// Tests only: an injected ephemeral secret, per thread, so a host thread and a viewer thread of
// one process can each use their own.
struct test_secret {
    int set;             // 1 while `bytes` replaces the random source on this thread
    uint8_t bytes[32];   // the secret to use
};
static thread_local test_secret t_test_secret;

// Everything one handshake computes; wiped as a whole when the handshake ends either way.
struct handshake_state {
    uint8_t secret[32];       // own ephemeral X25519 secret
    uint8_t client_pub[32];   // viewer's public key
    uint8_t host_pub[32];     // host's public key
    uint8_t shared[32];       // X25519 result
    uint8_t k[32];            // handshake key
    uint8_t mine[16];         // own confirmation
    uint8_t expect[16];       // confirmation the peer must send
    uint8_t got[16];          // confirmation the peer sent
};

void channel_test_set_secret(const uint8_t secret[32]) {
    if (secret) {
        memcpy(t_test_secret.bytes, secret, 32);
        t_test_secret.set = 1;
    } else {
        sodium_memzero(&t_test_secret, sizeof t_test_secret);
    }
}

void channel_init(channel *ch, net_sock sock, int use_send_lock) {
    channel_sodium_ready();
    memset(ch, 0, sizeof *ch);
    ch->sock = sock;
    ch->send_locked = use_send_lock ? 1 : 0;
    if (ch->send_locked) lock_init(&ch->send_lock);
}

void channel_free(channel *ch) {
    sodium_memzero(ch->send_key, sizeof ch->send_key);
    sodium_memzero(ch->recv_key, sizeof ch->recv_key);
    free(ch->recv_buf);
    free(ch->send_buf);
    if (ch->send_locked) lock_free(&ch->send_lock);
    net_sock sock = ch->sock;
    sodium_memzero(ch, sizeof *ch);
    ch->sock = sock;
}

// The first move: a fresh secret (or the injected one) and its public key.
static int start_ephemeral(handshake_state *hs, uint8_t pub[32]) {
    if (!channel_sodium_ready()) return 0;
    if (t_test_secret.set)
        memcpy(hs->secret, t_test_secret.bytes, 32);
    else if (!sysrand_bytes(hs->secret, 32))
        return 0;
    return channel_kdf_public(pub, hs->secret);
}

// Shared secret, then K; each input is wiped as soon as it is used up.
static int derive_handshake_key(handshake_state *hs, const uint8_t peer_pub[32], const char *password) {
    int ok = channel_kdf_shared(hs->shared, hs->secret, peer_pub);
    sodium_memzero(hs->secret, sizeof hs->secret);
    if (ok) channel_kdf_handshake_key(hs->k, hs->shared, hs->client_pub, hs->host_pub, password);
    sodium_memzero(hs->shared, sizeof hs->shared);
    return ok;
}

// Last: direction keys from K, K wiped, counters restarted.
static void key_channel(channel *ch, handshake_state *hs, int host_side) {
    if (host_side)
        channel_kdf_direction_keys(ch->send_key, ch->recv_key, hs->k);
    else
        channel_kdf_direction_keys(ch->recv_key, ch->send_key, hs->k);
    sodium_memzero(hs->k, sizeof hs->k);
    ch->send_counter = 0;
    ch->recv_counter = 0;
    ch->recv_len = 0;
    ch->recv_pos = 0;
    ch->keyed = 1;
}

int channel_handshake_host(channel *ch, const char *password) {
    handshake_state hs;
    memset(&hs, 0, sizeof hs);
    int ok = start_ephemeral(&hs, hs.host_pub) && net_recv_all(ch->sock, hs.client_pub, 32) &&
             net_send_all(ch->sock, hs.host_pub, 32) && derive_handshake_key(&hs, hs.client_pub, password) &&
             net_recv_all(ch->sock, hs.got, 16);
    if (ok) {
        channel_kdf_confirm(hs.expect, hs.k, 0);
        ok = crypto_verify_16(hs.got, hs.expect) == 0;
    }
    if (ok) {
        channel_kdf_confirm(hs.mine, hs.k, 1);
        ok = net_send_all(ch->sock, hs.mine, 16);
    }
    if (ok) key_channel(ch, &hs, 1);
    sodium_memzero(&hs, sizeof hs);
    return ok;
}

int channel_handshake_viewer(channel *ch, const char *password) {
    handshake_state hs;
    memset(&hs, 0, sizeof hs);
    int ok = start_ephemeral(&hs, hs.client_pub) && net_send_all(ch->sock, hs.client_pub, 32) &&
             net_recv_all(ch->sock, hs.host_pub, 32) && derive_handshake_key(&hs, hs.host_pub, password);
    if (ok) {
        channel_kdf_confirm(hs.mine, hs.k, 0);
        ok = net_send_all(ch->sock, hs.mine, 16);
    }
    if (ok) {
        channel_kdf_confirm(hs.expect, hs.k, 1);
        ok = net_recv_all(ch->sock, hs.got, 16) && crypto_verify_16(hs.got, hs.expect) == 0;
    }
    if (ok) key_channel(ch, &hs, 0);
    sodium_memzero(&hs, sizeof hs);
    return ok;
}

// Nonce: the record counter as u64 little-endian, then 16 zero bytes.
static void make_nonce(uint8_t nonce[24], uint64_t counter) {
    memset(nonce, 0, 24);
    put_u64(nonce, counter);
}

// Makes room for `need` bytes; a buffer that grows gets the record length plus slack and stays.
static int grow(uint8_t **buf, size_t *cap, size_t need, size_t len) {
    if (*cap >= need) return 1;
    uint8_t *p = (uint8_t *)malloc(len + RECORD_SLACK);
    if (!p) return 0;
    free(*buf);
    *buf = p;
    *cap = len + RECORD_SLACK;
    return 1;
}

// Seals one record into send_buf as it travels (length, ciphertext, tag) and writes it in one go.
static int seal_and_write(channel *ch, const uint8_t *plain, size_t n) {
    if (ch->send_counter == COUNTER_SPENT) return 0;
    if (!grow(&ch->send_buf, &ch->send_cap, n + RECORD_LEN_BYTES + RECORD_TAG_BYTES, n)) return 0;
    uint8_t nonce[24];
    make_nonce(nonce, ch->send_counter++);
    uint8_t *rec = ch->send_buf;
    put_u32(rec, (uint32_t)n);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(rec + RECORD_LEN_BYTES, rec + RECORD_LEN_BYTES + n,
                                                        nullptr, plain, n, rec, RECORD_LEN_BYTES, nullptr,
                                                        nonce, ch->send_key);
    if (!net_send_all(ch->sock, rec, n + RECORD_LEN_BYTES + RECORD_TAG_BYTES)) {
        ch->send_counter = COUNTER_SPENT;   // part of a record may be out: the stream is broken
        return 0;
    }
    return 1;
}

int channel_send(channel *ch, const void *bytes, size_t n) {
    if (!ch->keyed) return net_send_all(ch->sock, bytes, n);
    if (n > CHANNEL_MAX_RECORD) return 0;
    if (ch->send_locked) lock_enter(&ch->send_lock);
    int ok = seal_and_write(ch, (const uint8_t *)bytes, n);
    if (ch->send_locked) lock_leave(&ch->send_lock);
    return ok;
}

// Reads and opens the next record in place; the length is checked before anything is allocated.
static int pull_record(channel *ch) {
    if (ch->recv_counter == COUNTER_SPENT) return 0;
    uint8_t len_bytes[RECORD_LEN_BYTES];
    if (!net_recv_all(ch->sock, len_bytes, RECORD_LEN_BYTES)) return 0;
    uint32_t len = get_u32(len_bytes);
    if (len > CHANNEL_MAX_RECORD) return 0;
    if (!grow(&ch->recv_buf, &ch->recv_cap, (size_t)len + RECORD_TAG_BYTES, len)) return 0;
    if (!net_recv_all(ch->sock, ch->recv_buf, (size_t)len + RECORD_TAG_BYTES)) return 0;
    uint8_t nonce[24];
    make_nonce(nonce, ch->recv_counter++);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(ch->recv_buf, nullptr, ch->recv_buf, len,
                                                            ch->recv_buf + len, len_bytes, RECORD_LEN_BYTES,
                                                            nonce, ch->recv_key) != 0)
        return 0;
    ch->recv_len = len;
    ch->recv_pos = 0;
    return 1;
}

int channel_recv(channel *ch, void *dst, size_t n) {
    if (!ch->keyed) return net_recv_all(ch->sock, dst, n);
    uint8_t *out = (uint8_t *)dst;
    while (n > 0) {
        if (ch->recv_pos < ch->recv_len) {
            size_t take = ch->recv_len - ch->recv_pos;
            if (take > n) take = n;
            memcpy(out, ch->recv_buf + ch->recv_pos, take);
            ch->recv_pos += take;
            out += take;
            n -= take;
            continue;
        }
        if (!pull_record(ch)) {
            ch->recv_counter = COUNTER_SPENT;   // out of step with the sender for good
            ch->recv_len = ch->recv_pos = 0;
            return 0;
        }
    }
    return 1;
}
