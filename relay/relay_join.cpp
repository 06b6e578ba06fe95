// relay_join: the join parser and the safe printing of rooms and names.
#include "relay/relay_join.h"
#include <string.h>

int relay_parse_join(const uint8_t *buf, size_t n, relay_join_info *out) {
    static const uint8_t magic[4] = {'V', 'O', 'R', 'L'};
    size_t m = n < 4 ? n : 4;
    if (m && memcmp(buf, magic, m) != 0) return RELAY_JOIN_BAD_MAGIC;
    if (n > 4 && buf[4] != RELAY_VERSION) return RELAY_JOIN_BAD_VERSION;
    if (n > 5 && buf[5] != RELAY_ROLE_HOST && buf[5] != RELAY_ROLE_VIEWER) return RELAY_JOIN_BAD_ROLE;
    if (n < RELAY_JOIN_BYTES) return RELAY_JOIN_PARTIAL;
    if (out) {
        out->role = buf[5];
        memcpy(out->room, buf + RELAY_ROOM_OFFSET, RELAY_ROOM_BYTES);
        memcpy(out->name, buf + RELAY_NAME_OFFSET, RELAY_NAME_BYTES);
    }
    return RELAY_JOIN_OK;
}

const char *relay_join_error(int result) {
    switch (result) {
    case RELAY_JOIN_BAD_MAGIC: return "bad magic";
    case RELAY_JOIN_BAD_VERSION: return "bad version";
    case RELAY_JOIN_BAD_ROLE: return "bad role";
    case RELAY_JOIN_PARTIAL: return "incomplete join";
    default: return "ok";
    }
}

size_t relay_format_field(const uint8_t *field, size_t width, char *out, size_t cap) {
    static const char hex[] = "0123456789abcdef";
    size_t end = width;
    while (end > 0 && field[end - 1] == 0) end--;
    size_t k = 0;
    if (cap == 0) return 0;
    for (size_t i = 0; i < end; i++) {
        uint8_t b = field[i];
        int plain = b >= 0x20 && b < 0x7f && b != '\\' && b != '\'';
        size_t need = plain ? 1 : 4;
        if (k + need >= cap) break;
        if (plain) {
            out[k++] = (char)b;
        } else {
            out[k++] = '\\';
            out[k++] = 'x';
            out[k++] = hex[b >> 4];
            out[k++] = hex[b & 15];
        }
    }
    out[k] = 0;
    return k;
}
