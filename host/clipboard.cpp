// host clipboard: negotiation, the no-echo rule, the pending change and its sending, and the
// viewer's text on its way to the platform half.
#include "host/clipboard.h"
#include <atomic>
#include <mutex>
#include <string.h>
#include "host/log.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/clipboard.h"
#include "protocol/messages.h"

// Shared by the platform watcher, the frame loop and the receive thread.
static struct {
    plat_lock lock;              // guards last, next and their lengths; made on first use
    std::atomic<int> active{0};  // this session shares the clipboard
    std::atomic<int> pending{0}; // a local change waits for the frame loop
    clip_buf last;               // the text both sides hold: last sent or received
    size_t last_len;             // 0: none yet
    clip_buf next;               // the waiting local change
    size_t next_len;
    int too_big_logged;          // the "too big" line went out this session
    clip_buf send;               // frame loop: the change being sent, and its message
    clip_buf msg;
    clip_buf recv;               // receive thread: payload, then text
    clip_buf text;
} C;
static std::once_flag g_clip_lock_once;

static void clip_lock(void) {
    std::call_once(g_clip_lock_once, [] { lock_init(&C.lock); });
    lock_enter(&C.lock);
}

static int same_as_last(const uint8_t *text, size_t n) {
    return C.last_len == n && memcmp(C.last.data, text, n) == 0;
}

static void set_last(const uint8_t *text, size_t n) {
    if (!clip_buf_room(&C.last, n)) {
        C.last_len = 0;
        return;
    }
    memcpy(C.last.data, text, n);
    C.last_len = n;
}

uint16_t host_clipboard_session_begin(uint16_t viewer_caps, int enabled) {
    clip_lock();
    C.last_len = C.next_len = 0;
    C.pending.store(0);
    C.too_big_logged = 0;
    lock_leave(&C.lock);
    if (!enabled || !(viewer_caps & CAPS_CLIPBOARD)) return 0;
    C.active.store(1);   // before the watcher starts, so its first change is taken
    if (host_clipboard_os_start()) return CAPS_CLIPBOARD;
    C.active.store(0);
    return 0;
}

void host_clipboard_session_end(void) {
    if (!C.active.exchange(0)) return;
    host_clipboard_os_stop();
    clip_lock();
    C.last_len = C.next_len = 0;
    C.pending.store(0);
    lock_leave(&C.lock);
}

int host_clipboard_active(void) { return C.active.load(); }
int host_clipboard_pending(void) { return C.pending.load(); }

void host_clipboard_local_text(const uint8_t *text, size_t n) {
    if (!C.active.load() || n == 0) return;
    clip_lock();
    if (n > CLIP_MAX_TEXT) {
        if (!C.too_big_logged) host_log("clipboard: %zu bytes of text is over the 1 MiB limit, not sent", n);
        C.too_big_logged = 1;
    } else if (text && !same_as_last(text, n) && clip_buf_room(&C.next, n)) {
        memcpy(C.next.data, text, n);
        C.next_len = n;
        set_last(text, n);
        C.pending.store(1);
    }
    lock_leave(&C.lock);
}

int host_clipboard_pass(channel *ch) {
    if (!C.pending.load()) return 1;
    clip_lock();
    clip_buf t = C.send;   // take the waiting text; the sender's buffer takes its place
    C.send = C.next;
    C.next = t;
    size_t n = C.next_len;
    C.next_len = 0;
    C.pending.store(0);
    lock_leave(&C.lock);
    long len = clip_pack(MSG_CLIPBOARD_HOST, C.send.data, n, &C.msg);
    if (len < 0) return 1;   // text the platform half should not have given: dropped
    return channel_send(ch, C.msg.data, (size_t)len);
}

int host_clipboard_apply(const uint8_t *payload, uint32_t len) {
    long n = clip_unpack(payload, len, &C.text);
    if (n < 0 || !C.active.load()) return 0;
    clip_lock();
    set_last(C.text.data, (size_t)n);
    C.next_len = 0;   // a local change not yet sent loses to the viewer's newer one
    C.pending.store(0);
    lock_leave(&C.lock);
    host_clipboard_os_put(C.text.data, (size_t)n);
    return 1;
}

int host_clipboard_receive(channel *ch, uint32_t len) {
    if (len > CLIP_MAX_PAYLOAD || !clip_buf_room(&C.recv, len ? len : 1)) return 0;
    if (len && !channel_recv(ch, C.recv.data, len)) return 0;
    host_clipboard_apply(C.recv.data, len);
    return 1;
}
