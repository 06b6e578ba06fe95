// relay: building the join message.
#include "protocol/relay.h"
#include <string.h>

static void put_padded(uint8_t *dst, size_t width, const char *s) {
    memset(dst, 0, width);
    if (!s) return;
    size_t n = strlen(s);
    memcpy(dst, s, n < width ? n : width);
}

void relay_build_join(uint8_t out[RELAY_JOIN_BYTES], char role, const char *room, const char *name) {
    memcpy(out, "VORL", 4);
    out[4] = RELAY_VERSION;
    out[5] = (uint8_t)role;
    put_padded(out + 6, RELAY_ROOM_BYTES, room);
    put_padded(out + 24, 32, name);
}
