// channel_v2: the login in front of the record layer, in both versions. The viewer opens with its
// X25519 public key, the top bit of its last byte set to offer version 2; a host that answers with
// the same bit set speaks version 2 (a ristretto255 exchange, see protocol/pake.h), a host that
// answers with a plain key is a version 1 host and the rest is the version 1 handshake. An opening
// without the bit is a version 1 viewer, served exactly as before. Either way the confirmations,
// direction keys and records afterwards are version 1's.
#pragma once
#include <stdint.h>
#include "protocol/channel.h"

// Which logins a side accepts.
#define CHANNEL_LOGIN_V1_ONLY 0       // only version 1, as before version 2 existed (old peers; a test hook)
#define CHANNEL_LOGIN_V2_PREFERRED 1  // version 2 when the peer has it, else version 1 (default)
#define CHANNEL_LOGIN_V2_ONLY 2       // version 2 or nothing

// Outcomes of a login.
#define CHANNEL_AUTH_OK 1
#define CHANNEL_AUTH_FAILED 0         // random source, a short read or write, a bad point, a wrong
                                      // confirmation seen by the viewer
#define CHANNEL_AUTH_WRONG (-1)       // host: the viewer's confirmation did not match (a password guess)
#define CHANNEL_AUTH_REFUSED (-2)     // the peer offers only version 1 and the policy wants version 2

// Each keys the channel and returns CHANNEL_AUTH_OK, setting *version to 1 or 2, or one of the
// failures. The opening's bit is part of version 1's K too, so a bit flipped on the way fails the
// login instead of turning two version 2 peers into version 1 peers.
int channel_v2_handshake_host(channel *ch, const char *password, int login, int *version);
int channel_v2_handshake_viewer(channel *ch, const char *password, int login, int *version);

// Tests only: the secrets the next logins on this thread use instead of the random source: the
// X25519 secret (32 bytes) and the 64 bytes reduced into the ristretto255 scalar. NULL restores it.
void channel_v2_test_set_secrets(const uint8_t x25519[32], const uint8_t wide[64]);
