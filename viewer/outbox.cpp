// outbox: a byte ring of queued messages (u16 length, then the message) under a small lock of its
// own, and the sender thread that writes them to the channel one record per message, in order.
#include "viewer/outbox.h"
#include <string.h>
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "viewer/viewer.h"

#define OUTBOX_IDLE_MS NET_WATCH_SLICE_MS   // longest sleep of an idle sender between cancel checks

// The outbox of the current session.
static struct {
    plat_lock lock;                     // guards ring, head, used; created once
    int lock_ready;
    plat_event wake;                    // set when a message was queued
    uint8_t ring[OUTBOX_BYTES];         // queued messages, each a u16 length and its bytes
    size_t head;                        // offset of the oldest byte
    size_t used;                        // bytes queued
    clip_buf large;                     // the long message waiting (guarded by lock)
    size_t large_len;                   // 0: none waits
    clip_buf large_out;                 // sender thread: the long message on its way
    std::atomic<int> running{0};        // 1 while the sender thread takes messages
    std::atomic<int> failed{0};         // 1 once a send failed: nothing more is queued
    channel *ch;                        // the session's channel
    const std::atomic<int> *cancel;     // the session's stop flag
    net_watch watch;                    // the sender thread's: cancel and the send time-out
    void (*on_fail)(void);
    thread_handle thread;
} O;

static void ring_copy_in(const uint8_t *src, size_t n) {
    size_t at = (O.head + O.used) % OUTBOX_BYTES;
    size_t first = n < OUTBOX_BYTES - at ? n : OUTBOX_BYTES - at;
    memcpy(O.ring + at, src, first);
    memcpy(O.ring, src + first, n - first);
    O.used += n;
}

static void ring_copy_out(uint8_t *dst, size_t n) {
    size_t first = n < OUTBOX_BYTES - O.head ? n : OUTBOX_BYTES - O.head;
    memcpy(dst, O.ring + O.head, first);
    memcpy(dst + first, O.ring, n - first);
    O.head = (O.head + n) % OUTBOX_BYTES;
    O.used -= n;
}

// Takes the oldest message into msg; its length, or 0 when none is queued.
static size_t outbox_take(uint8_t *msg) {
    lock_enter(&O.lock);
    size_t n = 0;
    if (O.used >= 2) {
        uint8_t len[2];
        ring_copy_out(len, 2);
        n = (size_t)len[0] | (size_t)len[1] << 8;
        ring_copy_out(msg, n);
    }
    lock_leave(&O.lock);
    return n;
}

// Takes the waiting long message into large_out (the buffers swap); its length, or 0.
static size_t outbox_take_large(void) {
    lock_enter(&O.lock);
    size_t n = O.large_len;
    if (n) {
        clip_buf t = O.large_out;
        O.large_out = O.large;
        O.large = t;
        O.large_len = 0;
    }
    lock_leave(&O.lock);
    return n;
}

static unsigned outbox_sender(void *) {
    net_watch_set(&O.watch);
    uint8_t msg[OUTBOX_MESSAGE_MAX];
    while (!O.cancel->load()) {
        size_t n = outbox_take(msg);
        const uint8_t *bytes = msg;
        if (n == 0 && (n = outbox_take_large()) != 0) bytes = O.large_out.data;
        if (n == 0) {
            event_wait(&O.wake, OUTBOX_IDLE_MS);
            continue;
        }
        if (!channel_send(O.ch, bytes, n)) {
            O.failed.store(1);
            if (O.on_fail) O.on_fail();
            break;
        }
    }
    net_watch_set(nullptr);
    return 0;
}

int outbox_start(channel *ch, const std::atomic<int> *cancel, uint32_t send_stall_ms, void (*on_fail)(void)) {
    if (!O.lock_ready) {
        lock_init(&O.lock);
        event_init(&O.wake);
        O.lock_ready = 1;
    }
    O.head = O.used = O.large_len = 0;
    O.ch = ch;
    O.cancel = cancel;
    O.on_fail = on_fail;
    memset(&O.watch, 0, sizeof O.watch);
    O.watch.send_stall_ms = send_stall_ms;
    O.watch.cancel = cancel;
    O.failed.store(0);
    O.running.store(1);
    O.thread = thread_create(outbox_sender, nullptr);
    if (!O.thread) O.running.store(0);
    return O.thread != nullptr;
}

void outbox_stop(void) {
    if (!O.running.load()) return;
    event_set(&O.wake);
    thread_wait(O.thread, THREAD_INFINITE);
    thread_close(O.thread);
    O.thread = nullptr;
    O.running.store(0);
    lock_enter(&O.lock);
    O.head = O.used = O.large_len = 0;
    lock_leave(&O.lock);
}

// 1 queued; 0 when there is no room (and -1 when the outbox will never take it).
static int outbox_put(const uint8_t *msg, size_t len) {
    if (O.failed.load() || O.cancel->load()) return -1;
    lock_enter(&O.lock);
    int ok = O.used + 2 + len <= OUTBOX_BYTES;
    if (ok) {
        uint8_t n[2] = {(uint8_t)len, (uint8_t)(len >> 8)};
        ring_copy_in(n, 2);
        ring_copy_in(msg, len);
    }
    lock_leave(&O.lock);
    if (ok) event_set(&O.wake);
    return ok;
}

int viewer_send(const void *msg, size_t len, int may_wait) {
    if (!O.running.load()) return g_viewer.ch ? channel_send(g_viewer.ch, msg, len) : 0;
    if (len == 0 || len > OUTBOX_MESSAGE_MAX) return 0;
    for (;;) {
        int r = outbox_put((const uint8_t *)msg, len);
        if (r != 0) return r > 0;
        if (!may_wait) return 0;
        clock_sleep(2);   // full: the sender is stuck on a host that does not read
    }
}

int viewer_send_large(const void *msg, size_t len) {
    if (!O.running.load()) return g_viewer.ch ? channel_send(g_viewer.ch, msg, len) : 0;
    if (len == 0 || O.failed.load() || O.cancel->load()) return 0;
    lock_enter(&O.lock);
    int ok = clip_buf_room(&O.large, len);
    if (ok) {
        memcpy(O.large.data, msg, len);
        O.large_len = len;
    }
    lock_leave(&O.lock);
    if (ok) event_set(&O.wake);
    return ok;
}
