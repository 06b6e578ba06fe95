// channel_kdf: the handshake's key schedule, step by step: ephemeral public key, shared secret,
// handshake key K, the two confirmation values and the two direction keys. The channel runs these
// in order; they stand apart so each step can be checked on its own.
#pragma once
#include <stdint.h>

#define CHANNEL_KEY_BYTES 32
#define CHANNEL_CONFIRM_BYTES 16

int channel_sodium_ready(void);   // 1 once the crypto library is initialised (first call does it)

// Own X25519 public key from a 32-byte secret. 1/0.
int channel_kdf_public(uint8_t pub[32], const uint8_t secret[32]);
// X25519 shared secret; 0 when the peer's key yields the all-zero point.
int channel_kdf_shared(uint8_t shared[32], const uint8_t secret[32], const uint8_t peer_pub[32]);
// K = BLAKE2b-256(shared | client_pub | host_pub | "vo-v1" | password bytes).
void channel_kdf_handshake_key(uint8_t k[32], const uint8_t shared[32], const uint8_t client_pub[32],
                               const uint8_t host_pub[32], const char *password);
// Confirmation value over "c-confirm" (viewer, host_side 0) or "s-confirm" (host, host_side 1).
void channel_kdf_confirm(uint8_t out[16], const uint8_t k[32], int host_side);
// Direction keys: s2c (host to viewer) and c2s (viewer to host).
void channel_kdf_direction_keys(uint8_t s2c[32], uint8_t c2s[32], const uint8_t k[32]);
