// fuzz_login: either side of the versioned login reads whatever a hostile peer writes (openings,
// answers, points that are not canonical or the identity, short streams) under each login policy;
// it must end with a result and never key the channel on a wrong password.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include "platform/net.h"
#include "protocol/channel_kdf.h"
#include "protocol/channel_v2.h"

#define FUZZ_MAX_INPUT 512   // far below the socket buffer: the peer's bytes are written up front

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int ready = net_init() && channel_sodium_ready();
    if (!ready || size < 1 || size > FUZZ_MAX_INPUT) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    net_send_all(sv[1], data + 1, size - 1);
    net_shutdown_send(sv[1]);
    int host = data[0] & 1, login = (data[0] >> 1) % 3, version = 0;
    channel ch;
    channel_init(&ch, sv[0], 0);
    int r = host ? channel_v2_handshake_host(&ch, "pw", login, &version)
                 : channel_v2_handshake_viewer(&ch, "pw", login, &version);
    if (r != CHANNEL_AUTH_OK && ch.keyed) __builtin_trap();
    channel_free(&ch);
    net_close(sv[0]);
    net_close(sv[1]);
    return 0;
}
