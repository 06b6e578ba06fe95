// pake: ristretto255 and BLAKE2b steps of the version 2 login (libsodium's ristretto255 group).
#include "protocol/pake.h"
#include <sodium.h>
#include <string.h>

static const char LABEL_GENERATOR[] = "vo-v2-generator";
static const char LABEL_PROTOCOL[] = "vo-v2";

int pake_generator(uint8_t gen[32], const uint8_t sid[32], const char *password) {
    uint8_t h[crypto_core_ristretto255_HASHBYTES];
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, sizeof h);
    crypto_generichash_update(&st, (const unsigned char *)LABEL_GENERATOR, sizeof LABEL_GENERATOR - 1);
    crypto_generichash_update(&st, sid, PAKE_SID_BYTES);
    if (password && *password)
        crypto_generichash_update(&st, (const unsigned char *)password, strlen(password));
    crypto_generichash_final(&st, h, sizeof h);
    int ok = crypto_core_ristretto255_from_hash(gen, h) == 0;
    sodium_memzero(&st, sizeof st);
    sodium_memzero(h, sizeof h);
    return ok;
}

int pake_scalar(uint8_t scalar[32], const uint8_t wide[64]) {
    crypto_core_ristretto255_scalar_reduce(scalar, wide);
    return !sodium_is_zero(scalar, PAKE_SCALAR_BYTES);
}

int pake_point(uint8_t point[32], const uint8_t scalar[32], const uint8_t gen[32]) {
    return crypto_scalarmult_ristretto255(point, scalar, gen) == 0;
}

int pake_shared(uint8_t shared[32], const uint8_t scalar[32], const uint8_t peer[32]) {
    // The identity encodes as 32 zero bytes (its only canonical form); the multiplication rejects
    // non-canonical bytes and an identity result itself.
    if (sodium_is_zero(peer, PAKE_POINT_BYTES) || !crypto_core_ristretto255_is_valid_point(peer)) return 0;
    return crypto_scalarmult_ristretto255(shared, scalar, peer) == 0;
}

void pake_handshake_key(uint8_t k[32], const uint8_t shared[32], const uint8_t client_point[32],
                        const uint8_t host_point[32], const uint8_t sid[32]) {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, shared, 32);
    crypto_generichash_update(&st, client_point, 32);
    crypto_generichash_update(&st, host_point, 32);
    crypto_generichash_update(&st, (const unsigned char *)LABEL_PROTOCOL, sizeof LABEL_PROTOCOL - 1);
    crypto_generichash_update(&st, sid, PAKE_SID_BYTES);
    crypto_generichash_final(&st, k, 32);
    sodium_memzero(&st, sizeof st);
}
