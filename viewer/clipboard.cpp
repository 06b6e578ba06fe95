// viewer clipboard: negotiation, the no-echo rule, packing the local text for the sender thread
// and unpacking the host's.
#include "viewer/clipboard.h"
#include <atomic>
#include <mutex>
#include <stdio.h>
#include <string.h>
#include "platform/thread.h"
#include "protocol/clipboard.h"
#include "viewer/outbox.h"

// Shared by the window thread and the receive thread.
static struct {
    plat_lock lock;                 // guards last; made on first use
    std::atomic<int> active{0};     // this session shares the clipboard
    std::atomic<uint32_t> received{0};
    clip_buf last;                  // the text both sides hold: last sent or received
    size_t last_len;                // 0: none yet
    int too_big_said;               // the console line went out this session
    clip_buf msg;                   // window thread: the message being sent
    clip_buf text;                  // receive thread: the host's text
} VC;
static std::once_flag g_vc_once;

static void vc_lock(void) {
    std::call_once(g_vc_once, [] { lock_init(&VC.lock); });
    lock_enter(&VC.lock);
}

// Under the lock: 1 when text differs from the last exchanged one, which it then becomes.
static int vc_take_as_last(const uint8_t *text, size_t n) {
    if (VC.last_len == n && memcmp(VC.last.data, text, n) == 0) return 0;
    if (!clip_buf_room(&VC.last, n)) return 0;
    memcpy(VC.last.data, text, n);
    VC.last_len = n;
    return 1;
}

uint16_t viewer_clipboard_caps(int enabled) { return enabled ? (uint16_t)CAPS_CLIPBOARD : (uint16_t)0; }

void viewer_clipboard_session_begin(uint16_t viewer_caps, uint16_t host_caps) {
    vc_lock();
    VC.last_len = 0;
    VC.too_big_said = 0;
    lock_leave(&VC.lock);
    VC.received.store(0);
    VC.active.store((viewer_caps & host_caps & CAPS_CLIPBOARD) ? 1 : 0);
}

void viewer_clipboard_session_end(void) { VC.active.store(0); }
int viewer_clipboard_active(void) { return VC.active.load(); }
uint32_t viewer_clipboard_received(void) { return VC.received.load(); }

int viewer_clipboard_local_text(const uint8_t *text, size_t n) {
    if (!VC.active.load() || n == 0) return 0;
    if (n > CLIP_MAX_TEXT || !text) {
        if (!VC.too_big_said) {
            printf("clipboard: %zu bytes of text is over the 1 MiB limit, not sent\n", n);
            fflush(stdout);
        }
        VC.too_big_said = 1;
        return 0;
    }
    vc_lock();
    int fresh = vc_take_as_last(text, n);
    lock_leave(&VC.lock);
    if (!fresh) return 0;
    long len = clip_pack(MSG_CLIPBOARD_VIEWER, text, n, &VC.msg);
    return len > 0 && viewer_send_large(VC.msg.data, (size_t)len);
}

int viewer_clipboard_on_message(const uint8_t *payload, uint32_t len) {
    if (!VC.active.load()) return 0;
    long n = clip_unpack(payload, len, &VC.text);
    if (n < 0) return 0;
    vc_lock();
    vc_take_as_last(VC.text.data, (size_t)n);
    lock_leave(&VC.lock);
    VC.received.fetch_add(1);
    viewer_clipboard_os_put(VC.text.data, (size_t)n);
    return 1;
}
