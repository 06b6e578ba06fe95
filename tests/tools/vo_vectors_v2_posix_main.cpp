// vo_vectors_v2: prints the version 2 login's test vectors (tests/vectors/handshake_v2.json) from
// fixed secrets, step by step with the library's own functions. The channel tests check the real
// logins against the file; tests/vectors/check_v2.mjs recomputes it with independent code.
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include "protocol/channel_kdf.h"
#include "protocol/messages.h"
#include "protocol/pake.h"

static const char *hex(const uint8_t *b, size_t n) {
    static char out[2 * 200 + 1];
    for (size_t i = 0; i < n; i++) snprintf(out + 2 * i, 3, "%02x", b[i]);
    out[2 * n] = 0;
    return out;
}

static void field(const char *name, const uint8_t *b, size_t n, int last = 0) {
    printf("  \"%s\": \"%s\"%s\n", name, hex(b, n), last ? "" : ",");
}

// The fixed secrets: a byte pattern start, start + step, ...
static void pattern(uint8_t *b, size_t n, uint8_t start, uint8_t step) {
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(start + step * i);
}

// A record as the channel seals it: u32 length, ciphertext, tag; nonce = counter, AD = length.
static size_t seal(uint8_t *rec, const uint8_t key[32], uint64_t counter, const uint8_t *plain, size_t n) {
    uint8_t nonce[24] = {0};
    put_u64(nonce, counter);
    put_u32(rec, (uint32_t)n);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(rec + 4, rec + 4 + n, nullptr, plain, n, rec, 4, nullptr,
                                                        nonce, key);
    return n + 20;
}

static void hellos(uint8_t ch[HEADER_BYTES + CLIENT_HELLO_BYTES], uint8_t hh[HEADER_BYTES + HOST_HELLO_BYTES]) {
    memset(ch, 0, HEADER_BYTES + CLIENT_HELLO_BYTES);
    header_put(ch, MSG_CLIENT_HELLO, CLIENT_HELLO_BYTES);
    put_u16(ch + 8, 3);
    memcpy(ch + 10, "VIEWER-PC", 9);
    memset(hh, 0, HEADER_BYTES + HOST_HELLO_BYTES);
    header_put(hh, MSG_HOST_HELLO, HOST_HELLO_BYTES);
    put_i32(hh + 8, 1920);
    put_i32(hh + 12, 1080);
    put_u16(hh + 16, 64);
    put_u16(hh + 18, 3);
    memcpy(hh + 20, "HOST-PC", 7);
}

// Confirmations, direction keys and the first record each way, from K.
static void after_k(const uint8_t k[32]) {
    uint8_t cc[16], sc[16], s2c[32], c2s[32], ch[HEADER_BYTES + CLIENT_HELLO_BYTES],
        hh[HEADER_BYTES + HOST_HELLO_BYTES], rec[128];
    channel_kdf_confirm(cc, k, 0);
    channel_kdf_confirm(sc, k, 1);
    channel_kdf_direction_keys(s2c, c2s, k);
    field("K", k, 32);
    field("c_confirm", cc, 16);
    field("s_confirm", sc, 16);
    field("s2c", s2c, 32);
    field("c2s", c2s, 32);
    hellos(ch, hh);
    field("client_hello_plain", ch, sizeof ch);
    field("client_record_0", rec, seal(rec, c2s, 0, ch, sizeof ch));
    field("host_hello_plain", hh, sizeof hh);
    field("host_record_0", rec, seal(rec, s2c, 0, hh, sizeof hh), 1);
}

static void v2_section(const char *name, const char *password, int last) {
    uint8_t cx[32], cw[64], hw[64], opening[32], gh[64], gen[32], cs[32], hs[32], cp[32], hp[32], answer[32],
        shared[32], shared2[32], k[32];
    pattern(cx, 32, 0x11, 3);
    pattern(cw, 64, 0x21, 5);
    pattern(hw, 64, 0x90, 7);
    channel_kdf_public(opening, cx);
    opening[31] |= 0x80;
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 64);
    crypto_generichash_update(&st, (const uint8_t *)"vo-v2-generator", 15);
    crypto_generichash_update(&st, opening, 32);
    crypto_generichash_update(&st, (const uint8_t *)password, strlen(password));
    crypto_generichash_final(&st, gh, 64);
    pake_generator(gen, opening, password);
    pake_scalar(cs, cw);
    pake_scalar(hs, hw);
    pake_point(cp, cs, gen);
    pake_point(hp, hs, gen);
    memcpy(answer, hp, 32);
    answer[31] |= 0x80;
    pake_shared(shared, cs, hp);
    pake_shared(shared2, hs, cp);
    if (memcmp(shared, shared2, 32) != 0) fprintf(stderr, "shared points differ\n");
    pake_handshake_key(k, shared, cp, hp, opening);
    printf(" \"%s\": {\n  \"password\": \"%s\",\n", name, password);
    field("client_x25519_secret", cx, 32);
    field("client_scalar_random", cw, 64);
    field("host_scalar_random", hw, 64);
    field("opening", opening, 32);
    field("generator_hash", gh, 64);
    field("generator", gen, 32);
    field("client_scalar", cs, 32);
    field("host_scalar", hs, 32);
    field("client_point", cp, 32);
    field("host_point", hp, 32);
    field("host_answer", answer, 32);
    field("shared", shared, 32);
    after_k(k);
    printf(" }%s\n", last ? "" : ",");
}

// A version 2 viewer and a version 1 host: the flagged opening enters version 1's K as sent.
static void fallback_section(void) {
    uint8_t cx[32], hx[32], opening[32], hpub[32], shared[32], k[32];
    pattern(cx, 32, 0x11, 3);
    pattern(hx, 32, 0x80, 5);
    channel_kdf_public(opening, cx);
    opening[31] |= 0x80;
    channel_kdf_public(hpub, hx);
    channel_kdf_shared(shared, hx, opening);
    channel_kdf_handshake_key(k, shared, opening, hpub, "Kx7mP2qa");
    printf(" \"v1_host\": {\n  \"password\": \"Kx7mP2qa\",\n");
    field("client_x25519_secret", cx, 32);
    field("host_x25519_secret", hx, 32);
    field("opening", opening, 32);
    field("host_pub", hpub, 32);
    field("shared", shared, 32);
    after_k(k);
    printf(" }\n");
}

int main(void) {
    if (!channel_sodium_ready()) return 1;
    printf("{\n");
    v2_section("with_password", "Kx7mP2qa", 0);
    v2_section("empty_password", "", 0);
    fallback_section();
    printf("}\n");
    return 0;
}
