// window_list: the host's list of visible, titled top-level windows (handle, frame bounds,
// foreground and minimized flags, title), rebuilt every pass and sent as MSG_WINDOW_LIST only
// when its FNV-1a hash changes. A platform backend enumerates the windows.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/messages.h"

struct FrameWriter;

#define WINDOW_LIST_MAX 16384     // bytes of window records in one list
#define WINDOW_TITLE_MAX 199      // title bytes kept (a 200-byte buffer with its terminator)
#define FNV_OFFSET 0x811C9DC5u    // FNV-1a start value, also the hash of an empty list
#define FNV_PRIME 16777619u

// One top-level window as the backend sees it, before the skip rules are applied.
struct WindowInfo {
    uint32_t handle;                 // window handle, low 32 bits
    int visible;                     // 1 when the window is visible
    int cloaked;                     // 1 when the desktop window manager hides it
    int32_t left, top, right, bottom;  // frame bounds in screen pixels
    int foreground;                  // 1 for the foreground window
    int minimized;                   // 1 when iconic
    const char *title;               // ANSI title, title_len bytes
    int title_len;                   // bytes of title; 0 or less: untitled
};

// The list of this pass and the hash of the list last sent (one per process, in window_list.cpp).
struct WindowListState {
    uint8_t buf[WINDOW_LIST_MAX];    // window records back to back
    size_t len;                      // bytes used in buf
    uint16_t count;                  // records in buf
    uint32_t window_list_hash;       // hash of the list last sent (0 at session start)
};

// Encoder, picture lock held, only when the window tracking setting is on: rebuild the list and
// append MSG_WINDOW_LIST when it changed.
void window_list_pass(FrameWriter *out);
// Session start: window_list_hash = 0, so the first pass always sends a list (even an empty one).
void window_list_session_reset(void);

// Pieces of the pass, for the backend and tests.
uint32_t window_list_fnv1a(const uint8_t *bytes, size_t n);
void window_list_begin(void);                  // empty the list
int window_list_add(const WindowInfo *w);      // 0 when the list is full (stop enumerating), else 1
void window_list_finish(FrameWriter *out);     // hash and append the message when it changed

// Backend: enumerate the top-level windows in system order, calling window_list_add for each
// until it returns 0.
void window_list_enumerate(void);

// Native stand-in only: the windows the next enumerations report (copied, titles included).
void window_list_feed(const WindowInfo *windows, int count);
