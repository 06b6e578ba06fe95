// host clipboard: the host's half of the shared text clipboard. When the viewer offered it (caps
// bit 2) and the host may (no -noclip, a clipboard in reach), the host answers with bit 2, sends
// each change of its clipboard once as MSG_CLIPBOARD_HOST from the frame loop, and puts the
// viewer's MSG_CLIPBOARD_VIEWER text on its clipboard. Text that both sides already hold (the last
// one sent or received) is never sent again, so what the host was just given never goes back.
// The platform half (clipboard_win32.cpp; clipboard_stub.cpp records for tests) watches and sets
// the system clipboard.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct channel;

// Session start, before the host hello: the caps bit to add to it (CAPS_CLIPBOARD or 0). enabled is
// the host setting (clipboard_enabled: 0 after vo_server -noclip).
uint16_t host_clipboard_session_begin(uint16_t viewer_caps, int enabled);
// Session end: stop watching, forget the texts.
void host_clipboard_session_end(void);
// 1 while this session shares the clipboard.
int host_clipboard_active(void);

// Platform side (any thread): the local clipboard now holds this text (n > CLIP_MAX_TEXT may come
// with text NULL: it is not sent, and the log says so once a session).
void host_clipboard_local_text(const uint8_t *text, size_t n);
// 1 while a local change waits for the frame loop.
int host_clipboard_pending(void);
// Frame loop, at the top of a pass: a waiting change goes out as a record of its own. 0 when the
// send failed.
int host_clipboard_pass(channel *ch);
// Receive thread, for MSG_CLIPBOARD_VIEWER in a session that shares the clipboard: reads the
// payload of len bytes and applies it (malformed text is dropped). 0 when the read failed or len
// exceeds CLIP_MAX_PAYLOAD: the session ends as for any over-long payload.
int host_clipboard_receive(channel *ch, uint32_t len);
// Applies one payload that was read in full (the receive path and tests). 1 when taken.
int host_clipboard_apply(const uint8_t *payload, uint32_t len);

// Platform half.
int host_clipboard_os_start(void);   // begin watching; 0 when the clipboard cannot be reached
void host_clipboard_os_stop(void);
void host_clipboard_os_put(const uint8_t *text, size_t n);   // put viewer text on the clipboard
// Native stand-in only: the last text put (copied into out, at most cap bytes) and how many
// texts were put since the process started.
size_t host_clipboard_stub_text(uint8_t *out, size_t cap, uint32_t *count);
