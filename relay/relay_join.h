// relay_join: reading a relay connection's 56-byte join, and printing its room and name safely.
// The parser is a pure function over bytes so the fuzzer and the tests can drive it directly;
// the server feeds it whatever part of the join has arrived so far.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "protocol/relay.h"

#define RELAY_NAME_BYTES 32
#define RELAY_ROOM_OFFSET 6
#define RELAY_NAME_OFFSET 24

// What relay_parse_join found.
enum {
    RELAY_JOIN_OK = 1,          // a complete, well-formed join
    RELAY_JOIN_PARTIAL = 0,     // well-formed so far, more bytes needed
    RELAY_JOIN_BAD_MAGIC = -1,  // does not start with "VORL"
    RELAY_JOIN_BAD_VERSION = -2,  // version byte is not RELAY_VERSION
    RELAY_JOIN_BAD_ROLE = -3,   // role byte is neither 'H' nor 'V'
};

// The fields of a complete join; room and name are kept as sent (all bytes, NUL padding included).
struct relay_join_info {
    uint8_t role;                          // RELAY_ROLE_HOST or RELAY_ROLE_VIEWER
    uint8_t room[RELAY_ROOM_BYTES];        // compared byte for byte, all 18
    uint8_t name[RELAY_NAME_BYTES];        // the sender's computer name
};

// Checks the first n bytes of a join (n may be less than RELAY_JOIN_BYTES; bytes past the join are
// ignored). A bad byte is reported as soon as it has arrived. On RELAY_JOIN_OK fills *out when given.
int relay_parse_join(const uint8_t *buf, size_t n, relay_join_info *out);

// Short reason text for a negative relay_parse_join result ("bad magic", ...).
const char *relay_join_error(int result);

// Writes a NUL-padded field as printable text: trailing NULs dropped, every byte outside 0x20..0x7e
// (and the backslash and quote) written as \xNN, so a log line can neither be split nor forged and two
// different rooms never print alike. Always terminates out; returns the text length.
size_t relay_format_field(const uint8_t *field, size_t width, char *out, size_t cap);
#define RELAY_FIELD_TEXT_MAX (RELAY_NAME_BYTES * 4 + 1)  // room for the widest field escaped
