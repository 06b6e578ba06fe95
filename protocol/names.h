// names: text that came over the network (a computer name from a hello or a join) made safe to
// print, put in a window title or store in a file: control characters cannot reach a terminal,
// split a line or forge one.
#pragma once
#include <stddef.h>

// Copies src up to its terminator or src_max bytes, whichever comes first, and at most cap - 1
// bytes, into out (always terminated when cap > 0), replacing every control character (below 0x20,
// and 0x7f) with '?'. A NULL src gives an empty string.
void name_copy_clean(char *out, size_t cap, const char *src, size_t src_max);
