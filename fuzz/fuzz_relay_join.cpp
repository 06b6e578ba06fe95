// Fuzz target for the relay's join parser and the safe printing of the room and name it yields.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "relay/relay_join.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Fed in growing pieces, as the server sees it: once a verdict is reached it never changes.
    int final_result = relay_parse_join(data, size, nullptr);
    int seen_bad = 0;
    for (size_t n = 0; n <= size && n <= RELAY_JOIN_BYTES + 1; n++) {
        int r = relay_parse_join(data, n, nullptr);
        if (seen_bad && r != seen_bad) abort();
        if (r < 0) seen_bad = r;
        if (r == RELAY_JOIN_OK && n < RELAY_JOIN_BYTES) abort();
    }
    if (seen_bad && final_result != seen_bad) abort();
    relay_join_info info;
    if (relay_parse_join(data, size, &info) != RELAY_JOIN_OK) return 0;
    if (info.role != RELAY_ROLE_HOST && info.role != RELAY_ROLE_VIEWER) abort();
    char text[RELAY_FIELD_TEXT_MAX];
    const uint8_t *fields[2] = {info.room, info.name};
    size_t widths[2] = {RELAY_ROOM_BYTES, RELAY_NAME_BYTES};
    for (int f = 0; f < 2; f++) {
        size_t len = relay_format_field(fields[f], widths[f], text, sizeof text);
        if (len >= sizeof text || strlen(text) != len) abort();
        for (size_t i = 0; i < len; i++)
            if ((uint8_t)text[i] < 0x20 || (uint8_t)text[i] >= 0x7f || text[i] == '\'') abort();
    }
    return 0;
}
