// pake: the password-authenticated key exchange of the version 2 login, on ristretto255: a
// generator derived from the password and the session identifier, each side's point, the shared
// point and the handshake key K. The confirmations and direction keys that follow are channel_kdf's.
#pragma once
#include <stdint.h>

#define PAKE_POINT_BYTES 32
#define PAKE_SCALAR_BYTES 32
#define PAKE_WIDE_BYTES 64    // random bytes reduced into one scalar
#define PAKE_SID_BYTES 32     // session identifier: the viewer's 32-byte opening as sent

// Generator = ristretto255 from_hash(BLAKE2b-512("vo-v2-generator" | sid | password bytes)). 1/0.
int pake_generator(uint8_t gen[32], const uint8_t sid[32], const char *password);
// Secret scalar = 64 random bytes reduced modulo the group order. 0 when it comes out zero.
int pake_scalar(uint8_t scalar[32], const uint8_t wide[64]);
// Own point = scalar * generator. 0 when the result is the identity.
int pake_point(uint8_t point[32], const uint8_t scalar[32], const uint8_t gen[32]);
// Shared point = scalar * peer point. 0 when the peer's bytes are not a canonical encoding, encode
// the identity, or the result is the identity.
int pake_shared(uint8_t shared[32], const uint8_t scalar[32], const uint8_t peer[32]);
// K = BLAKE2b-256(shared | client_point | host_point | "vo-v2" | sid).
void pake_handshake_key(uint8_t k[32], const uint8_t shared[32], const uint8_t client_point[32],
                        const uint8_t host_point[32], const uint8_t sid[32]);
