// window_list: the portable half of window tracking: skip rules, record layout, the 16384-byte
// limit, the FNV-1a change hash and the MSG_WINDOW_LIST message.
#include "host/window_list.h"
#include <string.h>
#include "protocol/messages.h"
#include "protocol/writer.h"

static WindowListState s_window_list;   // the list of this pass and the hash of the list last sent

uint32_t window_list_fnv1a(const uint8_t *bytes, size_t n) {
    uint32_t h = FNV_OFFSET;
    for (size_t i = 0; i < n; i++) h = (h ^ bytes[i]) * FNV_PRIME;
    return h;
}

void window_list_session_reset(void) { s_window_list.window_list_hash = 0; }

void window_list_begin(void) {
    s_window_list.len = 0;
    s_window_list.count = 0;
}

int window_list_add(const WindowInfo *w) {
    WindowListState *s = &s_window_list;
    if (!w->visible || w->title_len <= 0 || w->cloaked || !w->title) return 1;   // skipped
    size_t L = w->title_len > WINDOW_TITLE_MAX ? WINDOW_TITLE_MAX : (size_t)w->title_len;
    if (s->len + L + WINDOW_RECORD_BYTES > WINDOW_LIST_MAX) return 0;
    uint8_t *p = s->buf + s->len;
    WindowEntry e;
    e.handle = w->handle;
    e.left = w->left;
    e.top = w->top;
    e.width = (int32_t)((uint32_t)w->right - (uint32_t)w->left);
    e.height = (int32_t)((uint32_t)w->bottom - (uint32_t)w->top);
    e.flags = (uint8_t)((w->foreground ? WINDOW_FLAG_FOREGROUND : 0) | (w->minimized ? WINDOW_FLAG_MINIMIZED : 0));
    e.title_len = (uint8_t)L;
    msg_pack_window_entry(p, &e);
    memcpy(p + WINDOW_RECORD_BYTES, w->title, L);
    s->len += WINDOW_RECORD_BYTES + L;
    s->count++;
    return 1;
}

// Appends MSG_WINDOW_LIST: u16 record count, then the records. 1, or 0 when out of memory.
static int append_list(FrameWriter *out) {
    const WindowListState *s = &s_window_list;
    uint8_t *dst = writer_reserve(out, HEADER_BYTES + 2 + s->len);
    if (!dst) return 0;
    size_t head = msg_pack_window_list(dst, s->count, (uint32_t)s->len);
    if (s->len) memcpy(dst + head, s->buf, s->len);
    writer_commit(out, head + s->len);
    return 1;
}

// The hash is only taken over once the list is in the output, so a failed append is retried.
void window_list_finish(FrameWriter *out) {
    WindowListState *s = &s_window_list;
    uint32_t h = window_list_fnv1a(s->buf, s->len);
    if (h == s->window_list_hash) return;
    if (append_list(out)) s->window_list_hash = h;
}

void window_list_pass(FrameWriter *out) {
    window_list_begin();
    window_list_enumerate();
    window_list_finish(out);
}
