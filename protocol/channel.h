// channel: the password-bound X25519 handshake and the XChaCha20-Poly1305 record layer that carries
// every byte between host and viewer after it. One channel per connection.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "platform/net.h"
#include "platform/thread.h"

#define CHANNEL_MAX_RECORD 16777216u   // largest plaintext length L of one record

struct channel {
    int keyed;                 // 0 until the handshake has derived the direction keys
    net_sock sock;             // the connected TCP socket
    uint8_t send_key[32];      // host: s2c key; viewer: c2s key
    uint8_t recv_key[32];      // host: c2s key; viewer: s2c key
    uint64_t send_counter;     // records sent; nonce source
    uint64_t recv_counter;     // records received
    uint8_t *recv_buf;         // current received record, decrypted in place
    size_t recv_cap;
    size_t recv_len;           // plaintext length of the current record
    size_t recv_pos;           // bytes of it already handed out
    uint8_t *send_buf;         // ciphertext and tag of the record being sent
    size_t send_cap;
    int send_locked;           // 1 when send_lock serialises concurrent senders (viewer)
    plat_lock send_lock;
};

// Zero the record and attach a socket (unkeyed). use_send_lock: 1 for the viewer's two senders.
void channel_init(channel *ch, net_sock sock, int use_send_lock);
// Wipe keys, free both buffers, release the lock; the socket is not closed.
void channel_free(channel *ch);

// Handshakes: 1 when keyed, 0 on any failure (random source, short read/write, confirmation).
int channel_handshake_host(channel *ch, const char *password);
int channel_handshake_viewer(channel *ch, const char *password);

int channel_send(channel *ch, const void *bytes, size_t n);   // 1/0
int channel_recv(channel *ch, void *dst, size_t n);           // 1 when exactly n bytes delivered

// Tests only: the ephemeral secret the next handshake on this thread uses instead of the random
// source (NULL restores the random source).
void channel_test_set_secret(const uint8_t secret[32]);
