// flow: paces frames by the round trip that the viewer's frame acknowledgements reveal. The
// receive thread turns each acknowledgement into a sample, a smoothed average, a floor and a
// tile budget; the session loop asks before each pass whether another frame may go out.
// Every shared value is one 32-bit atomic word; no lock.
#pragma once
#include <atomic>
#include <stddef.h>
#include <stdint.h>

#define FLOW_BUDGET_MAX 4096
#define FLOW_BUDGET_MIN 8
#define FLOW_RTT_MAX 5000         // round-trip samples are clamped to 0 .. 5000 ms
#define FLOW_IDLE_RELEASE 250     // a pass is let through after this many ms regardless
#define FLOW_LOG_EVERY 32         // one latency line per this many acknowledgements
#define FLOW_SENT_SLOTS 64        // frames whose sent byte count an acknowledgement can look up
#define FLOW_RATE_SPAN 8          // ms: shortest span of one delivery-rate sample
#define FLOW_RATE_WINDOW 1000     // ms: the rate is the largest sample of the last one to two of these
#define FLOW_FRAME_BYTES_MIN 16384   // a frame may always carry this much
#define FLOW_RATE_TIME_MIN 25     // ms: the round trip a frame's byte budget assumes at least
#define FLOW_RATE_TIME_MAX 250    // ms: and at most (the floor is high until a small frame came back)
#define FLOW_FRAME_TIME_MIN 17    // ms: a frame may carry a display refresh's worth of the link: frames
                                  // come no faster, and smaller ones would leave it idle between them

// Process-wide frame number: the encoder increments it once per frame end; never reset.
extern std::atomic<uint32_t> frame_counter;

// Flow state, reset at every session start.
struct FlowState {
    std::atomic<uint32_t> acked_frame;     // frame number of the latest acknowledgement
                                           // (or, after the 250 ms release, of the latest frame)
    std::atomic<uint32_t> confirmed_frame; // latest frame the viewer really acknowledged; the
                                           // release never moves it (the encoder's pending references)
    std::atomic<int32_t> ema16;            // smoothed round trip times 16 (0 = no sample yet)
    std::atomic<int32_t> rtt_floor;        // smallest round trip seen this session
    std::atomic<int32_t> last_rtt;         // latest round trip (clamped)
    std::atomic<int32_t> budget;           // items per frame, 8 .. 4096
    std::atomic<uint32_t> ack_count;       // acknowledgements this session
    std::atomic<uint32_t> last_pass_tick;  // tick at the end of the latest encoding pass
    // Delivery rate: bytes acknowledged over time. sent_at[f % FLOW_SENT_SLOTS] is the session's
    // byte count (mod 2^32) once frame f was handed to the socket; an acknowledgement of f says the
    // viewer has all of it. As frame f begins to go out, entry f % FLOW_SENT_SLOTS notes where its
    // sample starts: the latest acknowledgement's tick and delivered count, or the link's latest
    // idle moment when that came later.
    std::atomic<uint32_t> sent_total;      // session thread: bytes handed to the socket
    std::atomic<uint32_t> sent_at[FLOW_SENT_SLOTS];
    std::atomic<uint32_t> began_frame[FLOW_SENT_SLOTS];   // session thread: frame f in entry f % FLOW_SENT_SLOTS
    std::atomic<uint32_t> start_tick[FLOW_SENT_SLOTS];    // its sample's start
    std::atomic<uint32_t> start_bytes[FLOW_SENT_SLOTS];   // delivered count then
    std::atomic<uint32_t> idle_tick;       // session thread: a frame began with nothing in flight
    std::atomic<uint32_t> idle_bytes;      // sent_total then
    std::atomic<uint32_t> delivered;       // receive thread: sent_at of the latest acknowledged frame
    std::atomic<uint32_t> last_ack_tick;   // when the latest acknowledgement came (stored last)
    std::atomic<uint32_t> window_tick;     // start of the current rate window
    std::atomic<int32_t> window_max[2];    // largest sample of the current and the previous window
    std::atomic<int32_t> rate;             // bytes per ms the link delivered (0 = no sample yet)
};
extern FlowState flow;

// Session start: acked_frame = confirmed_frame = frame_counter, no samples, floor 100000, budget 4096,
// last_pass_tick = now.
void flow_reset(uint32_t now);
// MSG_FRAME_ACK payload (u32 frame, u32 echoed tick); fewer than 8 bytes are ignored.
// confirmed_frame only moves forward, and never past the last frame sent.
void flow_on_ack(const uint8_t *payload, size_t len, uint32_t now);
// 1 when this pass may encode; after more than 250 ms idle, all frames count as acknowledged.
int flow_may_send(uint32_t now);
int flow_idle(void);   // 1 when every frame sent is acknowledged (nothing in flight)
void flow_pass_done(uint32_t now);         // last_pass_tick = now
int32_t flow_budget(void);                 // the encoder reads it once per pass
int32_t flow_inflight_cap(int32_t ema16);  // 1 .. 6 frames unacknowledged
// The session thread, before handing frame `frame` of `bytes` bytes to the socket.
void flow_frame_sent(uint32_t frame, uint32_t bytes);
// The session thread, as the first bytes of frame `frame` go to the socket at tick `now` (the
// first part of a frame sent in parts, else just before flow_frame_sent): its rate sample starts.
void flow_frame_began(uint32_t frame, uint32_t now);
// Bytes handed to the socket that no real acknowledgement has covered yet: at most what the
// socket's own buffer still holds, however slowly the viewer reads.
uint32_t flow_unconfirmed_bytes(void);
// What one frame may carry: the in-flight cap's share of one round trip (the floor, 25 to
// 250 ms), but no less than a display refresh (17 ms), at the delivery rate, at least 16384; 0
// (no limit) before the first rate sample.
// Frames so sized keep the link full while little waits in queues ahead of the next change.
int32_t flow_frame_bytes(void);
