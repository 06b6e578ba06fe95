// writer: the host's frame buffer and its record sends.
#include "protocol/writer.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/channel.h"
#include "protocol/messages.h"

uint8_t *writer_reserve(FrameWriter *w, size_t n) {
    size_t need = w->len + n;
    if (need < w->len) return nullptr;   // overflow
    if (need > w->cap) {
        size_t cap = need * 2 + 65536;
        uint8_t *p = (uint8_t *)realloc(w->data, cap);
        if (!p) return nullptr;
        w->data = p;
        w->cap = cap;
    }
    return w->data + w->len;
}

void writer_commit(FrameWriter *w, size_t n) { w->len += n; }

int writer_append(FrameWriter *w, const void *bytes, size_t n) {
    uint8_t *dst = writer_reserve(w, n);
    if (!dst) return 0;
    if (n) memcpy(dst, bytes, n);
    w->len += n;
    return 1;
}

int writer_append_msg(FrameWriter *w, uint8_t type, const void *payload, uint32_t length) {
    uint8_t *dst = writer_reserve(w, HEADER_BYTES + (size_t)length);
    if (!dst) return 0;
    header_put(dst, type, length);
    if (length) memcpy(dst + HEADER_BYTES, payload, length);
    w->len += HEADER_BYTES + (size_t)length;
    return 1;
}

void writer_reset(FrameWriter *w) { w->len = w->sent = 0; }

void writer_free(FrameWriter *w) {
    free(w->data);
    w->data = nullptr;
    w->len = w->cap = w->sent = 0;
}

int writer_send_part(FrameWriter *w, channel *ch) {
    if (w->len <= w->sent) return 1;
    int ok = channel_send(ch, w->data + w->sent, w->len - w->sent);
    w->sent = w->len;
    return ok;
}

// The frame from its unsent bytes on, in records of whole messages up to WRITER_RECORD_BYTES (a
// bigger message goes alone), so the viewer decrypts and applies the first while the rest are on
// the way; bytes that do not make a whole message go with the last record.
static int writer_send_records(FrameWriter *w, channel *ch) {
    int ok = 1;
    while (ok && w->sent < w->len) {
        size_t end = w->sent;
        while (end < w->len) {
            size_t next = w->len - end < HEADER_BYTES ? w->len : end + HEADER_BYTES + header_get(w->data + end).length;
            if (next > w->len) next = w->len;
            if (end > w->sent && next - w->sent > WRITER_RECORD_BYTES) break;
            end = next;
        }
        ok = channel_send(ch, w->data + w->sent, end - w->sent);
        w->sent = end;
    }
    return ok;
}

int writer_send(FrameWriter *w, channel *ch) {
    int ok = writer_send_records(w, ch);
    w->len = w->sent = 0;
    return ok;
}
