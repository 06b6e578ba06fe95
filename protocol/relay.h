// relay: the 56-byte join message each side sends first on a relay connection.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define RELAY_JOIN_BYTES 56
#define RELAY_ROOM_BYTES 18
#define RELAY_VERSION 2
#define RELAY_ROLE_HOST 'H'
#define RELAY_ROLE_VIEWER 'V'
#define RELAY_DEFAULT_PORT 7000

// "VORL", 2, role, room (NUL-padded, no terminator when 18 long), 32-byte name (NUL-padded).
void relay_build_join(uint8_t out[RELAY_JOIN_BYTES], char role, const char *room, const char *name);
