// clipboard_stub: the native stand-in for the viewer's local clipboard. Putting text records it
// for tests and, as the real window's clipboard listener would, reports it straight back as a local
// change, which the no-echo rule must then keep from going back to the host.
#include <mutex>
#include <string.h>
#include "platform/thread.h"
#include "protocol/clipboard.h"
#include "viewer/clipboard.h"

static struct {
    plat_lock lock;    // the receive thread puts and reports while a test may read
    clip_buf text;     // the last text put
    size_t len;
    uint32_t count;    // texts put since the process started
} P;
static std::once_flag g_stub_once;

static void stub_lock(void) {
    std::call_once(g_stub_once, [] { lock_init(&P.lock); });
    lock_enter(&P.lock);
}

// The change is reported before the lock is left: a test that sees the text put may make its own
// change next, and a real listener reads the clipboard as it is then, never an older text.
void viewer_clipboard_os_put(const uint8_t *text, size_t n) {
    stub_lock();
    if (clip_buf_room(&P.text, n)) {
        memcpy(P.text.data, text, n);
        P.len = n;
        P.count++;
    }
    viewer_clipboard_local_text(text, n);
    lock_leave(&P.lock);
}

size_t viewer_clipboard_stub_text(uint8_t *out, size_t cap, uint32_t *count) {
    stub_lock();
    size_t n = P.len < cap ? P.len : cap;
    if (n) memcpy(out, P.text.data, n);
    if (count) *count = P.count;
    lock_leave(&P.lock);
    return n;
}

void viewer_clipboard_window_open(void *) {}
void viewer_clipboard_window_closed(void) {}
int viewer_clipboard_window_message(void *, unsigned, uintptr_t) { return 0; }
