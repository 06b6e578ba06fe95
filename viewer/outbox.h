// outbox: the viewer's messages to the host after the hellos (acknowledgements, misses, mouse and
// keys) are queued here and written to the channel by one sender thread, so neither the window
// thread nor a holder of the viewer lock ever waits for the network. A send the host does not take
// within the send time-out ends the session.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <atomic>
#include "protocol/channel.h"
#include "protocol/clipboard.h"

#define OUTBOX_BYTES 262144        // queued bytes at most (about 13000 input messages)
#define OUTBOX_MESSAGE_MAX 256     // longest message the outbox takes

// Start the sender thread on ch. cancel ends it (and any wait in viewer_send) when set; when a send
// fails or times out, on_fail is called once on the sender thread (the window is asked to close).
int outbox_start(channel *ch, const std::atomic<int> *cancel, uint32_t send_stall_ms, void (*on_fail)(void));
// After cancel was set: wait for the sender thread and drop what is still queued.
void outbox_stop(void);

// Send one whole message (header and payload) to the host. With the outbox running it is queued;
// when the queue is full the caller waits for room if may_wait (the receive thread) or the message
// is dropped (the window thread: the host has not read for a long while). Without the outbox it
// goes straight to g_viewer.ch (set-up, tests). 1 when queued or sent.
int viewer_send(const void *msg, size_t len, int may_wait);
// Send one long message (the clipboard) to the host. It waits in a slot of its own, which a newer
// one replaces while it is not yet on its way; the sender thread takes it when the queue above is
// empty. Without the outbox it goes straight to g_viewer.ch. 1 when queued or sent.
int viewer_send_large(const void *msg, size_t len);
