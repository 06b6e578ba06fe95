// clipboard: packing and strict unpacking of the clipboard messages, the UTF-8 check and the
// UTF-16 <-> UTF-8 conversions.
#include "protocol/clipboard.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/messages.h"

int clip_buf_room(clip_buf *b, size_t n) {
    if (n <= b->cap) return 1;
    size_t cap = n + n / 4 + 4096;
    uint8_t *p = (uint8_t *)realloc(b->data, cap);
    if (!p) return 0;
    b->data = p;
    b->cap = cap;
    return 1;
}

void clip_buf_free(clip_buf *b) {
    free(b->data);
    b->data = nullptr;
    b->cap = 0;
}

// Length of the well-formed sequence at s (n bytes left), or 0 when it is malformed.
static size_t utf8_sequence(const uint8_t *s, size_t n) {
    uint8_t c = s[0];
    if (c >= 0x01 && c < 0x80) return 1;
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;   // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) len = 3;
    else if (c >= 0xF0 && c <= 0xF4) len = 4;
    else return 0;                  // NUL, a continuation byte, C0/C1 overlongs, F5..FF
    if (c == 0xE0) lo = 0xA0;       // overlong three-byte forms
    if (c == 0xED) hi = 0x9F;       // surrogates U+D800..U+DFFF
    if (c == 0xF0) lo = 0x90;       // overlong four-byte forms
    if (c == 0xF4) hi = 0x8F;       // past U+10FFFF
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return len;
}

int clip_utf8_valid(const uint8_t *s, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t k = utf8_sequence(s + i, n - i);
        if (!k) return 0;
        i += k;
    }
    return 1;
}

long clip_pack(uint8_t type, const uint8_t *text, size_t n, clip_buf *out) {
    if (n == 0 || n > CLIP_MAX_TEXT || !clip_utf8_valid(text, n)) return -1;
    size_t bound = codec_bound(n);
    if (!clip_buf_room(out, HEADER_BYTES + CLIP_LENGTH_BYTES + bound)) return -1;
    uint8_t *p = out->data + HEADER_BYTES;
    put_u32(p, (uint32_t)n);
    int packed = codec_compress(text, n, p + CLIP_LENGTH_BYTES, bound);
    if (packed < 1) return -1;
    uint32_t payload = CLIP_LENGTH_BYTES + (uint32_t)packed;
    header_put(out->data, type, payload);
    return (long)(HEADER_BYTES + payload);
}

long clip_unpack(const uint8_t *payload, size_t len, clip_buf *out) {
    if (len < CLIP_LENGTH_BYTES) return -1;
    uint32_t n = get_u32(payload);
    if (n == 0 || n > CLIP_MAX_TEXT || !clip_buf_room(out, n)) return -1;
    int got = codec_decompress(payload + CLIP_LENGTH_BYTES, len - CLIP_LENGTH_BYTES, out->data, n);
    if (got != (int)n || !clip_utf8_valid(out->data, n)) return -1;
    return (long)n;
}

static size_t put_utf8(uint8_t *o, uint32_t cp) {
    if (cp < 0x80) {
        o[0] = (uint8_t)cp;
        return 1;
    }
    if (cp < 0x800) {
        o[0] = (uint8_t)(0xC0 | cp >> 6);
        o[1] = (uint8_t)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        o[0] = (uint8_t)(0xE0 | cp >> 12);
        o[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (uint8_t)(0x80 | (cp & 0x3F));
        return 3;
    }
    o[0] = (uint8_t)(0xF0 | cp >> 18);
    o[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (uint8_t)(0x80 | (cp & 0x3F));
    return 4;
}

size_t clip_utf16_to_utf8(const uint16_t *w, size_t n, uint8_t *out) {
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00u);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        o += put_utf8(out + o, cp);   // a pair (2 units) gives 4 bytes, any single unit at most 3
    }
    return o;
}

size_t clip_utf8_to_utf16(const uint8_t *s, size_t n, uint16_t *out) {
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        uint8_t c = s[i];
        uint32_t cp;
        size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (i + len > n) break;   // only for input that was not checked
        if (len == 1) cp = c;
        else if (len == 2) cp = (uint32_t)(c & 0x1F) << 6 | (s[i + 1] & 0x3F);
        else if (len == 3) cp = (uint32_t)(c & 0x0F) << 12 | (uint32_t)(s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
        else
            cp = (uint32_t)(c & 0x07) << 18 | (uint32_t)(s[i + 1] & 0x3F) << 12 | (uint32_t)(s[i + 2] & 0x3F) << 6 |
                 (s[i + 3] & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            out[o++] = (uint16_t)(0xD800 + ((cp - 0x10000) >> 10));
            out[o++] = (uint16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[o++] = (uint16_t)cp;
        }
    }
    return o;
}
