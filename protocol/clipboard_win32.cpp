// clipboard_win32: CF_UNICODETEXT on the Windows clipboard, read and written as UTF-8.
#include <windows.h>
#include <string.h>
#include "protocol/clipboard.h"

#define OPEN_TRIES 10      // another program may hold the clipboard for a moment
#define OPEN_PAUSE_MS 15

static int clip_open(HWND owner) {
    for (int i = 0; i < OPEN_TRIES; i++) {
        if (OpenClipboard(owner)) return 1;
        Sleep(OPEN_PAUSE_MS);
    }
    return 0;
}

// UTF-16 text of n units (up to a terminator) into utf8; see clip_os_read for the result.
static long clip_convert(const WCHAR *w, size_t n, clip_buf *utf8) {
    if (n > CLIP_MAX_TEXT) return (long)CLIP_MAX_TEXT + 1;   // every unit makes at least one byte
    if (!clip_buf_room(utf8, n * 3 + 1)) return -1;
    size_t len = clip_utf16_to_utf8((const uint16_t *)w, n, utf8->data);
    return len > CLIP_MAX_TEXT ? (long)CLIP_MAX_TEXT + 1 : (long)len;
}

long clip_os_read(void *owner, clip_buf *utf8) {
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT)) return 0;
    if (!clip_open((HWND)owner)) return -1;
    long r = 0;
    HANDLE h = GetClipboardData(CF_UNICODETEXT);
    const WCHAR *w = h ? (const WCHAR *)GlobalLock(h) : nullptr;
    if (w) {
        size_t units = GlobalSize(h) / sizeof(WCHAR);
        size_t n = 0;
        while (n < units && w[n]) n++;
        r = clip_convert(w, n, utf8);
        GlobalUnlock(h);
    }
    CloseClipboard();
    return r;
}

// UTF-16 units that valid UTF-8 becomes: one per sequence, two for a four-byte one.
static size_t utf16_units(const uint8_t *s, size_t n) {
    size_t units = 0;
    for (size_t i = 0; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) units += s[i] >= 0xF0 ? 2 : 1;
    return units;
}

// The block holds exactly the text and its terminator: some readers take the whole block.
int clip_os_write(void *owner, const uint8_t *text, size_t n) {
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (utf16_units(text, n) + 1) * sizeof(WCHAR));
    if (!mem) return 0;
    WCHAR *w = (WCHAR *)GlobalLock(mem);
    size_t units = clip_utf8_to_utf16(text, n, (uint16_t *)w);
    w[units] = 0;
    GlobalUnlock(mem);
    if (!clip_open((HWND)owner)) {
        GlobalFree(mem);
        return 0;
    }
    EmptyClipboard();
    int ok = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
    if (!ok) GlobalFree(mem);
    CloseClipboard();
    return ok;
}

uint32_t clip_os_sequence(void) { return (uint32_t)GetClipboardSequenceNumber(); }

void clip_os_touch(void *owner) {
    if (clip_open((HWND)owner)) CloseClipboard();
}
