// Fuzz target for the clipboard message decoder: arbitrary bytes as a payload must either be
// refused or give a text within the limit that is valid UTF-8 and packs and unpacks to itself.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "protocol/clipboard.h"
#include "protocol/messages.h"

static clip_buf g_text, g_msg, g_back;   // grow and stay across inputs

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    long n = clip_unpack(data, size, &g_text);
    if (n < 0) return 0;
    if (n == 0 || (size_t)n > CLIP_MAX_TEXT || !clip_utf8_valid(g_text.data, (size_t)n)) abort();
    long m = clip_pack(MSG_CLIPBOARD_HOST, g_text.data, (size_t)n, &g_msg);
    if (m <= HEADER_BYTES) abort();
    long k = clip_unpack(g_msg.data + HEADER_BYTES, (size_t)m - HEADER_BYTES, &g_back);
    if (k != n || memcmp(g_back.data, g_text.data, (size_t)n)) abort();
    return 0;
}
