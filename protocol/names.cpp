// names: control characters out of names that came over the network.
#include "protocol/names.h"

void name_copy_clean(char *out, size_t cap, const char *src, size_t src_max) {
    if (cap == 0) return;
    size_t n = 0;
    for (; src && n < src_max && src[n] && n + 1 < cap; n++) {
        unsigned char c = (unsigned char)src[n];
        out[n] = (c < 0x20 || c == 0x7f) ? '?' : (char)c;
    }
    out[n] = 0;
}
