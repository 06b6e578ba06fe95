// fuzz_channel: a keyed channel reads whatever a hostile peer writes: records sealed with the right
// key (so delivery and record splitting are reached) mixed with raw bytes (lengths, forgeries, cuts).
#include <sodium.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include "platform/net.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/channel_kdf.h"
#include "protocol/messages.h"

static const uint8_t KEY[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 22, 33, 44, 55, 66,
                                77, 88, 99, 111, 122, 133, 144, 155, 166, 177, 188, 199, 211, 222, 233, 244};

#define FUZZ_MAX_INPUT 8192
#define FUZZ_MAX_WIRE (FUZZ_MAX_INPUT * 21)   // every input byte may become an empty sealed record

// The peer's side of one run.
struct peer_job {
    net_sock sock;       // peer end of the socket pair
    const uint8_t *wire; // bytes to write
    size_t len;
};

static unsigned peer_thread(void *arg) {
    peer_job *p = (peer_job *)arg;
    net_send_all(p->sock, p->wire, p->len);
    net_shutdown_send(p->sock);
    return 0;
}

// Op byte: bit 0 set = seal the next (op >> 1) input bytes as the next record, clear = copy them raw.
static size_t build_wire(const uint8_t *data, size_t size, uint8_t *wire) {
    size_t w = 0, i = 0;
    uint64_t counter = 0;
    while (i < size) {
        uint8_t op = data[i++];
        size_t n = (size_t)(op >> 1);
        if (n > size - i) n = size - i;
        if (op & 1) {
            uint8_t nonce[24] = {0};
            put_u64(nonce, counter++);
            put_u32(wire + w, (uint32_t)n);
            crypto_aead_xchacha20poly1305_ietf_encrypt_detached(wire + w + 4, wire + w + 4 + n, nullptr, data + i, n,
                                                                wire + w, 4, nullptr, nonce, KEY);
            w += 4 + n + 16;
        } else {
            memcpy(wire + w, data + i, n);
            w += n;
        }
        i += n;
    }
    return w;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint8_t wire[FUZZ_MAX_WIRE];
    static int ready = net_init() && channel_sodium_ready();
    if (!ready || size < 1 || size > FUZZ_MAX_INPUT) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    size_t read_size = 1 + data[0] % 97;   // how the reader slices the stream
    peer_job job = {sv[1], wire, build_wire(data + 1, size - 1, wire)};
    thread_handle t = thread_create(peer_thread, &job);
    channel rx;
    channel_init(&rx, sv[0], 0);
    rx.keyed = 1;
    memcpy(rx.recv_key, KEY, 32);
    uint8_t out[97];
    while (t && channel_recv(&rx, out, read_size)) {
    }
    net_shutdown(sv[0]);   // a reader that stopped early must not leave the peer blocked
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    channel_free(&rx);
    net_close(sv[0]);
    net_close(sv[1]);
    return 0;
}
