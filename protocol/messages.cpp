// messages: the host's growing output buffer.
#include "protocol/messages.h"
#include <stdlib.h>

out_buffer g_out = {nullptr, 0, 0};

uint8_t *out_reserve(size_t n) {
    size_t need = g_out.len + n;
    if (need < g_out.len) return nullptr;   // overflow
    if (need > g_out.cap) {
        size_t cap = need * 2 + 65536;
        uint8_t *p = (uint8_t *)realloc(g_out.data, cap);
        if (!p) return nullptr;
        g_out.data = p;
        g_out.cap = cap;
    }
    return g_out.data + g_out.len;
}

int out_append(const void *bytes, size_t n) {
    uint8_t *dst = out_reserve(n);
    if (!dst) return 0;
    if (n) memcpy(dst, bytes, n);
    g_out.len += n;
    return 1;
}

int out_append_msg(uint8_t type, const void *payload, uint32_t length) {
    uint8_t *dst = out_reserve(HEADER_BYTES + (size_t)length);
    if (!dst) return 0;
    header_put(dst, type, length);
    if (length) memcpy(dst + HEADER_BYTES, payload, length);
    g_out.len += HEADER_BYTES + (size_t)length;
    return 1;
}

void out_reset(void) { g_out.len = 0; }

void out_free(void) {
    free(g_out.data);
    g_out.data = nullptr;
    g_out.len = g_out.cap = 0;
}
