// receive: the host receive thread: framing of the viewer's stream, the 65536-byte payload
// limit, and one small handler per viewer message type.
#include "host/receive.h"
#include "host/clipboard.h"
#include "host/flow.h"
#include "host/host.h"
#include "host/input.h"
#include "host/log.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "protocol/channel.h"
#include "protocol/clipboard.h"
#include "protocol/messages.h"

static std::atomic<int32_t> session_ended{0};   // 0 while the receive thread runs; 1 as it ends

#define ADVERT_LOG_GAP_MS 1000   // at most one advertisement line per second

struct ReceiveState {
    uint8_t payload[HOST_MAX_VIEWER_PAYLOAD];   // one message payload, never more than 65536 bytes
    int advert_lines;          // advertisement lines written this session
    uint32_t advert_tick;      // tick of the latest one
    int advert_holding;        // 1 while advertisements wait for their line
    uint32_t advert_held;      // hashes they carried
    uint32_t advert_mirror;    // mirror count after the latest of them
};
static ReceiveState g_receive;

void host_receive_start(channel *) {
    session_ended.store(0);
    g_receive.advert_lines = 0;
    g_receive.advert_holding = 0;
    g_receive.advert_held = 0;
}

static void advert_line(uint32_t n, uint32_t mirror_now, uint32_t now) {
    host_log("cache: client advertised %u tiles (mirror now %u)", n, mirror_now);
    g_receive.advert_lines++;
    g_receive.advert_tick = now;
    g_receive.advert_holding = 0;
    g_receive.advert_held = 0;
}

void host_receive_log_held(uint32_t now) {
    if (g_receive.advert_holding && now - g_receive.advert_tick >= ADVERT_LOG_GAP_MS)
        advert_line(g_receive.advert_held, g_receive.advert_mirror, now);
}

int host_session_ended(void) { return session_ended.load() != 0; }

static int on_frame_ack(const uint8_t *p, uint32_t len) {
    if (len < FRAME_ACK_BYTES) return 0;
    flow_on_ack(p, len, clock_tick());
    return 1;
}

// Pointer position is scaled to the picture's screen size; a racing resize ends the session anyway.
static int on_mouse(const uint8_t *p, uint32_t len) {
    if (len < MOUSE_BYTES) return 0;
    input_mouse(p, g_picture.width, g_picture.height);
    return 1;
}

static int on_key(const uint8_t *p, uint32_t len) {
    if (len < KEY_BYTES) return 0;
    input_key(p);
    return 1;
}

static int on_char(const uint8_t *p, uint32_t len) {
    if (len < CHAR_BYTES) return 0;
    input_char(p);
    return 1;
}

// Any length, 0 included; a trailing partial hash is ignored. The log line waits for the lock's
// release, and for a second after the previous one (the held counts then go out together).
static int on_cache_advert(const uint8_t *p, uint32_t len) {
    picture_lock();
    uint32_t n = mirror_apply_advert(p, len);
    uint32_t mirror_now = mirror_count;
    picture_unlock();
    uint32_t now = clock_tick();
    g_receive.advert_held += n;
    g_receive.advert_mirror = mirror_now;
    g_receive.advert_holding = 1;
    if (g_receive.advert_lines == 0 || now - g_receive.advert_tick >= ADVERT_LOG_GAP_MS)
        advert_line(g_receive.advert_held, mirror_now, now);
    return 1;
}

// The hash leaves the mirror; the named tile (if in the grid) is zeroed in sent, dirty, and goes
// whole, and so does every tile whose content rests on a reference not yet acknowledged (a move may
// have carried the missed tile there). The miss comes before the acknowledgement of its frame.
static int on_cache_miss(const uint8_t *p, uint32_t len) {
    if (len < CACHE_MISS_BYTES) return 0;
    uint16_t tx = 0, ty = 0;
    picture_lock();
    if (mirror_apply_miss(p, len, &tx, &ty)) {
        picture_forget_tile(tx, ty);
        picture_forget_pending(flow.confirmed_frame.load());
    }
    picture_unlock();
    return 1;
}

int host_receive_dispatch(uint8_t type, const uint8_t *payload, uint32_t len) {
    switch (type) {
    case MSG_FRAME_ACK: return on_frame_ack(payload, len);
    case MSG_MOUSE: return on_mouse(payload, len);
    case MSG_KEY: return on_key(payload, len);
    case MSG_CHAR: return on_char(payload, len);
    case MSG_CACHE_ADVERT: return on_cache_advert(payload, len);
    case MSG_CACHE_MISS: return on_cache_miss(payload, len);
    default: return 0;   // the hello, host-to-viewer types and unknown types
    }
}

void host_receive_loop(channel *ch) {
    uint8_t head[HEADER_BYTES];
    for (;;) {
        if (!channel_recv(ch, head, HEADER_BYTES)) return;
        MessageHeader h = header_get(head);
        if (h.type == MSG_CLIPBOARD_VIEWER && host_clipboard_active()) {   // up to CLIP_MAX_PAYLOAD
            if (!host_clipboard_receive(ch, h.length)) return;
            continue;
        }
        if (h.length > HOST_MAX_VIEWER_PAYLOAD) return;
        if (h.length && !channel_recv(ch, g_receive.payload, h.length)) return;
        host_receive_dispatch(h.type, g_receive.payload, h.length);
        host_receive_log_held(clock_tick());
    }
}

unsigned host_receive_thread(void *arg) {
    channel *ch = (channel *)arg;
    host_receive_loop(ch);
    host_shutdown_connection(ch->sock);
    session_ended.exchange(1);
    return 0;
}
