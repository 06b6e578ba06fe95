// Fuzz target: random viewer message streams through the host receive dispatch. Framing as the
// receive loop does it (8-byte header, 65536-byte limit); each payload sits in a buffer of exactly
// its length, so any read past a payload is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/receive.h"
#include "protocol/messages.h"

static void fuzz_setup(void) {
    static int ready = 0;
    if (ready) return;
    picture_init();
    picture_resize(1366, 768);
    picture_lock();
    picture_reset();
    mirror_clear();
    picture_unlock();
    flow_reset(0);
    ready = 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_setup();
    if (mirror_count > 100000) {
        picture_lock();
        mirror_clear();
        picture_unlock();
    }
    size_t pos = 0;
    while (size - pos >= HEADER_BYTES) {
        MessageHeader h = header_get(data + pos);
        pos += HEADER_BYTES;
        if (h.length > HOST_MAX_VIEWER_PAYLOAD || h.length > size - pos) break;
        uint8_t *payload = (uint8_t *)malloc(h.length ? h.length : 1);
        if (!payload) break;
        if (h.length) memcpy(payload, data + pos, h.length);
        host_receive_dispatch(h.type, payload, h.length);
        free(payload);
        pos += h.length;
    }
    return 0;
}
