// clipboard: the shared text clipboard on the wire. Both directions carry the same payload: u32
// length of the UTF-8 text, then the text compressed with the tile codec. Packing, the strict
// unpacking a receiver needs (lengths, stream, UTF-8), and UTF-16 <-> UTF-8 for the platform side.
// Offered by caps bit 2 in both hellos; nothing here is sent unless both bits are set.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/codec.h"

#define MSG_CLIPBOARD_HOST 9          // host to viewer
#define MSG_CLIPBOARD_VIEWER 0x87     // viewer to host
#define CAPS_CLIPBOARD 4              // bit 2 of the hello caps, both directions
#define CLIP_LENGTH_BYTES 4           // the u32 text length ahead of the compressed text
#define CLIP_MAX_TEXT 1048576u        // longest text sent or accepted, in UTF-8 bytes
// Longest payload a peer may send: the length and the compressor's bound for 1 MiB (1052708).
#define CLIP_MAX_PAYLOAD (CLIP_LENGTH_BYTES + CLIP_MAX_TEXT + CLIP_MAX_TEXT / 255 + 16)

// A byte buffer that grows and stays.
struct clip_buf {
    uint8_t *data;
    size_t cap;
};
int clip_buf_room(clip_buf *b, size_t n);   // 1 when it holds at least n bytes
void clip_buf_free(clip_buf *b);

// 1 when s[0..n) is well-formed UTF-8 without NUL: no overlong forms, no surrogates, nothing past
// U+10FFFF, no cut sequence.
int clip_utf8_valid(const uint8_t *s, size_t n);

// The whole message (header and payload) of the given type for text[0..n) into out. Its length,
// or -1 when the text is empty, longer than CLIP_MAX_TEXT, not valid, or memory ran out.
long clip_pack(uint8_t type, const uint8_t *text, size_t n, clip_buf *out);

// The text of a received payload into out (not terminated). Its length (1..CLIP_MAX_TEXT), or -1
// when the payload is short, the length is 0 or too big, the stream does not give exactly that
// many bytes, or the text is not valid UTF-8.
long clip_unpack(const uint8_t *payload, size_t len, clip_buf *out);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. out needs room for 3 * n bytes.
// Returns the bytes written.
size_t clip_utf16_to_utf8(const uint16_t *w, size_t n, uint8_t *out);
// Valid UTF-8 (clip_utf8_valid) to UTF-16, pairs for code points past U+FFFF. out needs room for n
// units. Returns the units written.
size_t clip_utf8_to_utf16(const uint8_t *s, size_t n, uint16_t *out);

// The system clipboard as UTF-8 text (CF_UNICODETEXT; Windows builds only, clipboard_win32.cpp).
// owner is the window (HWND) that opens the clipboard. Reading gives the text's UTF-8 length, 0
// when the clipboard holds no text, CLIP_MAX_TEXT + 1 (nothing converted) for a text that cannot
// fit the limit, or -1 when the clipboard could not be opened. Writing gives 1 or 0.
long clip_os_read(void *owner, clip_buf *utf8);
int clip_os_write(void *owner, const uint8_t *text, size_t n);
uint32_t clip_os_sequence(void);   // the clipboard's change counter
// Opens and closes the clipboard once. A listener calls it when it starts: Wine bridges the X
// selection into the Windows clipboard (and so notifies listeners) only once a program has used it.
void clip_os_touch(void *owner);
