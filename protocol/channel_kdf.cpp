// channel_kdf: X25519 and keyed/unkeyed BLAKE2b steps that turn two ephemeral keys and a password
// into the handshake key, its confirmations and the direction keys.
#include "protocol/channel_kdf.h"
#include <sodium.h>
#include <string.h>

static const char LABEL_PROTOCOL[] = "vo-v1";
static const char LABEL_C_CONFIRM[] = "c-confirm";
static const char LABEL_S_CONFIRM[] = "s-confirm";
static const char LABEL_S2C[] = "s2c";
static const char LABEL_C2S[] = "c2s";

int channel_sodium_ready(void) {
    static const int ready = sodium_init() >= 0 ? 1 : 0;   // initialised once, thread-safe
    return ready;
}

int channel_kdf_public(uint8_t pub[32], const uint8_t secret[32]) {
    return crypto_scalarmult_curve25519_base(pub, secret) == 0 ? 1 : 0;
}

int channel_kdf_shared(uint8_t shared[32], const uint8_t secret[32], const uint8_t peer_pub[32]) {
    return crypto_scalarmult_curve25519(shared, secret, peer_pub) == 0 ? 1 : 0;
}

void channel_kdf_handshake_key(uint8_t k[32], const uint8_t shared[32], const uint8_t client_pub[32],
                               const uint8_t host_pub[32], const char *password) {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, CHANNEL_KEY_BYTES);
    crypto_generichash_update(&st, shared, 32);
    crypto_generichash_update(&st, client_pub, 32);
    crypto_generichash_update(&st, host_pub, 32);
    crypto_generichash_update(&st, (const unsigned char *)LABEL_PROTOCOL, sizeof LABEL_PROTOCOL - 1);
    if (password && *password)
        crypto_generichash_update(&st, (const unsigned char *)password, strlen(password));
    crypto_generichash_final(&st, k, CHANNEL_KEY_BYTES);
    sodium_memzero(&st, sizeof st);
}

static void keyed_hash(uint8_t *out, size_t out_len, const uint8_t k[32], const char *label, size_t len) {
    crypto_generichash(out, out_len, (const unsigned char *)label, len, k, CHANNEL_KEY_BYTES);
}

void channel_kdf_confirm(uint8_t out[16], const uint8_t k[32], int host_side) {
    if (host_side)
        keyed_hash(out, CHANNEL_CONFIRM_BYTES, k, LABEL_S_CONFIRM, sizeof LABEL_S_CONFIRM - 1);
    else
        keyed_hash(out, CHANNEL_CONFIRM_BYTES, k, LABEL_C_CONFIRM, sizeof LABEL_C_CONFIRM - 1);
}

void channel_kdf_direction_keys(uint8_t s2c[32], uint8_t c2s[32], const uint8_t k[32]) {
    keyed_hash(s2c, CHANNEL_KEY_BYTES, k, LABEL_S2C, sizeof LABEL_S2C - 1);
    keyed_hash(c2s, CHANNEL_KEY_BYTES, k, LABEL_C2S, sizeof LABEL_C2S - 1);
}
