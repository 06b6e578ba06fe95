// clipboard_win32: the host's watcher of the Windows clipboard. A thread of its own owns a hidden
// message-only window that is a clipboard format listener: each change is read as UTF-8 and handed
// to the host clipboard module; text from the viewer is posted to the window, which puts it on
// the clipboard. In session 0 (running as a service) the user's clipboard is out of reach.
#include <windows.h>
#include <string.h>
#include "host/clipboard.h"
#include "host/log.h"
#include "platform/thread.h"
#include "protocol/clipboard.h"

#define WM_CLIP_PUT (WM_APP + 1)
#define WATCHER_CLASS "voclipwatch"

static struct {
    HWND hwnd;              // the watcher's message-only window, while it runs
    HANDLE thread;
    HANDLE ready;           // set once the window exists, or could not be made
    plat_lock lock;         // guards incoming; made at the first start
    int lock_ready;
    clip_buf incoming;      // viewer text waiting for the watcher thread
    size_t incoming_len;
    clip_buf putting;       // watcher thread: the text it puts
    clip_buf read;          // watcher thread: the clipboard's text
    int session0_logged;    // the session-0 line went out once
} H;

static void watcher_put(HWND hwnd) {
    lock_enter(&H.lock);
    clip_buf t = H.putting;   // take the waiting text without copying it
    H.putting = H.incoming;
    H.incoming = t;
    size_t n = H.incoming_len;
    H.incoming_len = 0;
    lock_leave(&H.lock);
    if (n) clip_os_write(hwnd, H.putting.data, n);
}

static LRESULT CALLBACK watcher_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CLIPBOARDUPDATE: {
        long n = clip_os_read(hwnd, &H.read);
        if (n > 0) host_clipboard_local_text(n > (long)CLIP_MAX_TEXT ? nullptr : H.read.data, (size_t)n);
        return 0;
    }
    case WM_CLIP_PUT: watcher_put(hwnd); return 0;
    case WM_CLOSE:
        RemoveClipboardFormatListener(hwnd);
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

static DWORD WINAPI watcher_thread(LPVOID) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = watcher_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = WATCHER_CLASS;
    RegisterClassA(&wc);   // a later session's registration fails harmlessly
    HWND hwnd = CreateWindowExA(0, WATCHER_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (hwnd && !AddClipboardFormatListener(hwnd)) host_log("clipboard: cannot watch the clipboard (%lu)", GetLastError());
    if (hwnd) clip_os_touch(hwnd);
    H.hwnd = hwnd;
    SetEvent(H.ready);
    if (!hwnd) return 0;
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
    return 0;
}

// A service runs in session 0, which has no user desktop and no user clipboard.
static int in_session0(void) {
    DWORD sid = 1;
    return ProcessIdToSessionId(GetCurrentProcessId(), &sid) && sid == 0;
}

int host_clipboard_os_start(void) {
    if (in_session0()) {
        if (!H.session0_logged) host_log("clipboard: not shared (a service in session 0 cannot reach the user's clipboard)");
        H.session0_logged = 1;
        return 0;
    }
    if (!H.lock_ready) {
        lock_init(&H.lock);
        H.lock_ready = 1;
    }
    H.incoming_len = 0;
    H.hwnd = nullptr;
    H.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    H.thread = H.ready ? CreateThread(nullptr, 0, watcher_thread, nullptr, 0, nullptr) : nullptr;
    if (H.thread) WaitForSingleObject(H.ready, INFINITE);
    if (H.ready) CloseHandle(H.ready);
    H.ready = nullptr;
    if (H.thread && H.hwnd) return 1;
    host_log("clipboard: not shared (no clipboard window)");
    host_clipboard_os_stop();
    return 0;
}

void host_clipboard_os_stop(void) {
    if (H.hwnd) PostMessageA(H.hwnd, WM_CLOSE, 0, 0);
    if (H.thread) {
        WaitForSingleObject(H.thread, INFINITE);
        CloseHandle(H.thread);
    }
    H.thread = nullptr;
    H.hwnd = nullptr;
}

void host_clipboard_os_put(const uint8_t *text, size_t n) {
    lock_enter(&H.lock);
    int ok = clip_buf_room(&H.incoming, n);
    if (ok) {
        memcpy(H.incoming.data, text, n);
        H.incoming_len = n;
    }
    lock_leave(&H.lock);
    if (ok && H.hwnd) PostMessageA(H.hwnd, WM_CLIP_PUT, 0, 0);
}

size_t host_clipboard_stub_text(uint8_t *, size_t, uint32_t *count) {
    if (count) *count = 0;
    return 0;
}
