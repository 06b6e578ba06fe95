// receive: the host's receive thread. During a session it reads every viewer message through the
// secure channel, injects mouse, key and character input, feeds frame acknowledgements to flow
// control and applies cache advertisements and misses to the mirror (picture lock held). When a
// read fails or the viewer announces a payload over 65536 bytes, it shuts the socket down and
// raises session_ended, which ends the session loop's frame loop.
#pragma once
#include <atomic>
#include <stdint.h>

struct channel;

// Session start, before the thread is created: session_ended = 0, no advertisement line yet.
void host_receive_start(channel *ch);
// Thread entry; arg is the session's channel (its socket is shut down at the end). Returns 0.
unsigned host_receive_thread(void *arg);
// 1 once the receive thread of this session has ended.
int host_session_ended(void);

// The read loop: returns when a read fails or a payload length exceeds 65536.
void host_receive_loop(channel *ch);
// Acts on one viewer message whose payload (exactly len bytes) was read in full. Short messages
// and types the host does not act on are ignored. Returns 1 when the message was acted on.
int host_receive_dispatch(uint8_t type, const uint8_t *payload, uint32_t len);
// Advertisement lines: the first of a session goes out at once, then at most one a second; what
// came in between is counted and written by this call (after each message) once the second is up.
void host_receive_log_held(uint32_t now);
