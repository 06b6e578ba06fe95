// relay_sha1: SHA-1 and base64, just enough for the WebSocket handshake's Sec-WebSocket-Accept
// (the cryptographic library the programs link has no SHA-1). Not for anything security-bearing.
#pragma once
#include <stddef.h>
#include <stdint.h>

void relay_sha1(const void *data, size_t n, uint8_t out[20]);
// Writes the padded base64 of n bytes and a terminator; out needs 4 * ((n + 2) / 3) + 1 bytes.
void relay_base64(const uint8_t *src, size_t n, char *out);
// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key: base64(SHA-1(key + the fixed GUID)); 29 bytes.
void relay_ws_accept_key(const char *key, size_t key_len, char out[29]);
