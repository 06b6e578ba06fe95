// relay_sha1: a plain one-shot SHA-1 (FIPS 180-4) and base64, for the WebSocket upgrade.
#include "relay/relay_sha1.h"
#include <string.h>

static uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

static void sha1_block(uint32_t h[5], const uint8_t *p) {
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; i++) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
        else f = b ^ c ^ d, k = 0xCA62C1D6;
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

void relay_sha1(const void *data, size_t n, uint8_t out[20]) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const uint8_t *p = (const uint8_t *)data;
    size_t left = n;
    for (; left >= 64; left -= 64, p += 64) sha1_block(h, p);
    uint8_t tail[128];
    memset(tail, 0, sizeof tail);
    memcpy(tail, p, left);
    tail[left] = 0x80;
    size_t len = left < 56 ? 64 : 128;
    uint64_t bits = (uint64_t)n * 8;
    for (int i = 0; i < 8; i++) tail[len - 1 - i] = (uint8_t)(bits >> (8 * i));
    sha1_block(h, tail);
    if (len == 128) sha1_block(h, tail + 64);
    for (int i = 0; i < 20; i++) out[i] = (uint8_t)(h[i / 4] >> (24 - 8 * (i % 4)));
}

void relay_base64(const uint8_t *src, size_t n, char *out) {
    static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t k = 0;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = (uint32_t)src[i] << 16 | (i + 1 < n ? (uint32_t)src[i + 1] << 8 : 0) | (i + 2 < n ? src[i + 2] : 0);
        out[k++] = tab[v >> 18];
        out[k++] = tab[(v >> 12) & 63];
        out[k++] = i + 1 < n ? tab[(v >> 6) & 63] : '=';
        out[k++] = i + 2 < n ? tab[v & 63] : '=';
    }
    out[k] = 0;
}

void relay_ws_accept_key(const char *key, size_t key_len, char out[29]) {
    static const char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    char buf[128 + sizeof guid];
    if (key_len > 128) key_len = 128;
    memcpy(buf, key, key_len);
    memcpy(buf + key_len, guid, sizeof guid - 1);
    uint8_t digest[20];
    relay_sha1(buf, key_len + sizeof guid - 1, digest);
    relay_base64(digest, 20, out);
}
