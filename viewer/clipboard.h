// viewer clipboard: the viewer's half of the shared text clipboard. The viewer offers it with caps
// bit 2 in its hello (unless -noclip); when the host's hello answers with bit 2, the window sends
// the local clipboard's text as MSG_CLIPBOARD_VIEWER whenever it changes and when the window gains
// focus after a change it has not seen, and the receive thread hands the host's MSG_CLIPBOARD_HOST
// text to the window, which puts it on the local clipboard. Text that both sides already hold
// (the last one sent or received) is never sent again. The platform half is clipboard_win32.cpp
// (clipboard_stub.cpp records for tests).
#pragma once
#include <stddef.h>
#include <stdint.h>

// The caps bit this viewer offers in its hello: CAPS_CLIPBOARD when enabled (the session's
// setting: 1, or 0 after vo_client -noclip), else 0.
uint16_t viewer_clipboard_caps(int enabled);
// After the host hello: shares the clipboard when both hellos carry bit 2. Session end: stops.
void viewer_clipboard_session_begin(uint16_t viewer_caps, uint16_t host_caps);
void viewer_clipboard_session_end(void);
int viewer_clipboard_active(void);

// Window thread: the local clipboard holds this text (n > CLIP_MAX_TEXT may come with text NULL:
// it is not sent, and the console says so once a session). 1 when a message was sent.
int viewer_clipboard_local_text(const uint8_t *text, size_t n);
// Receive thread: one MSG_CLIPBOARD_HOST payload; malformed ones are dropped. 1 when taken.
int viewer_clipboard_on_message(const uint8_t *payload, uint32_t len);
// Messages taken from the host this session (tests).
uint32_t viewer_clipboard_received(void);

// Window backend (Windows; the window's own procedure calls these): listen while the window
// exists; messages of the clipboard part are handled (1) or left to the window (0).
void viewer_clipboard_window_open(void *hwnd);
void viewer_clipboard_window_closed(void);
int viewer_clipboard_window_message(void *hwnd, unsigned msg, uintptr_t wp);

// Platform half: put the host's text on the local clipboard (any thread; the window does it).
void viewer_clipboard_os_put(const uint8_t *text, size_t n);
// Native stand-in only: the last text put (at most cap bytes) and how many were put in all.
size_t viewer_clipboard_stub_text(uint8_t *out, size_t cap, uint32_t *count);
