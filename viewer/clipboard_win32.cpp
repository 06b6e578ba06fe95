// clipboard_win32: the viewer window's clipboard part. The window is a clipboard format listener
// while it exists; each change (and, on activation, one it missed) is read as UTF-8 and offered to
// the viewer clipboard module. The host's text reaches the window as a posted message and is put
// on the clipboard there, on the window thread.
#include <windows.h>
#include <atomic>
#include <string.h>
#include "platform/thread.h"
#include "protocol/clipboard.h"
#include "viewer/clipboard.h"

#define WM_CLIP_PUT (WM_APP + 1)

static struct {
    std::atomic<HWND> hwnd; // the session's window while it listens (read by the receive thread)
    uint32_t seen;          // clipboard change counter when the window last looked
    plat_lock lock;         // guards incoming; made once
    int lock_ready;
    clip_buf incoming;      // the host's text waiting for the window thread
    size_t incoming_len;
    clip_buf putting;       // window thread: the text it puts
    clip_buf read;          // window thread: the clipboard's text
} VW;

// A change notice is always read; an activation only when the change counter moved since. On
// activation the clipboard is opened first, which makes Wine take in a change made outside it.
static void window_look(HWND hwnd, int notified) {
    if (!notified) clip_os_touch(hwnd);
    uint32_t seq = clip_os_sequence();
    if (!notified && seq == VW.seen) return;
    VW.seen = seq;
    long n = clip_os_read(hwnd, &VW.read);
    if (n > 0) viewer_clipboard_local_text(n > (long)CLIP_MAX_TEXT ? nullptr : VW.read.data, (size_t)n);
}

static void window_put(HWND hwnd) {
    lock_enter(&VW.lock);
    clip_buf t = VW.putting;
    VW.putting = VW.incoming;
    VW.incoming = t;
    size_t n = VW.incoming_len;
    VW.incoming_len = 0;
    lock_leave(&VW.lock);
    if (n) clip_os_write(hwnd, VW.putting.data, n);
}

void viewer_clipboard_window_open(void *hwnd) {
    if (!VW.lock_ready) {
        lock_init(&VW.lock);
        VW.lock_ready = 1;
    }
    VW.incoming_len = 0;
    if (!viewer_clipboard_active() || !AddClipboardFormatListener((HWND)hwnd)) return;
    clip_os_touch(hwnd);
    VW.seen = clip_os_sequence();   // what the clipboard held before the session is not sent
    VW.hwnd.store((HWND)hwnd);
}

void viewer_clipboard_window_closed(void) {
    HWND h = VW.hwnd.exchange(nullptr);
    if (h) RemoveClipboardFormatListener(h);
}

int viewer_clipboard_window_message(void *hwnd, unsigned msg, uintptr_t wp) {
    HWND h = VW.hwnd.load();
    if (!h || (HWND)hwnd != h) return 0;
    switch (msg) {
    case WM_CLIPBOARDUPDATE: window_look(h, 1); return 1;
    case WM_CLIP_PUT: window_put(h); return 1;
    case WM_ACTIVATE:
        if (LOWORD(wp) != WA_INACTIVE) window_look(h, 0);
        return 0;   // activation itself goes on as usual
    }
    return 0;
}

void viewer_clipboard_os_put(const uint8_t *text, size_t n) {
    HWND h = VW.hwnd.load();
    if (!h) return;
    lock_enter(&VW.lock);
    int ok = clip_buf_room(&VW.incoming, n);
    if (ok) {
        memcpy(VW.incoming.data, text, n);
        VW.incoming_len = n;
    }
    lock_leave(&VW.lock);
    if (ok) PostMessageA(h, WM_CLIP_PUT, 0, 0);
}

size_t viewer_clipboard_stub_text(uint8_t *, size_t, uint32_t *count) {
    if (count) *count = 0;
    return 0;
}
