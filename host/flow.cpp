// flow: round-trip samples from frame acknowledgements, the tile budget (multiplicative
// decrease, additive increase) and the in-flight gate with its 250 ms release.
#include "host/flow.h"
#include "host/log.h"
#include "protocol/messages.h"

std::atomic<uint32_t> frame_counter{0};
FlowState flow;

void flow_reset(uint32_t now) {
    flow.acked_frame.store(frame_counter.load());
    flow.confirmed_frame.store(frame_counter.load());
    flow.ema16.store(0);
    flow.rtt_floor.store(100000);
    flow.last_rtt.store(0);
    flow.budget.store(FLOW_BUDGET_MAX);
    flow.ack_count.store(0);
    flow.last_pass_tick.store(now);
    flow.sent_total.store(0);
    for (int i = 0; i < FLOW_SENT_SLOTS; i++) {
        flow.sent_at[i].store(0);
        flow.began_frame[i].store(0);
    }
    flow.delivered.store(0);
    flow.idle_tick.store(now);
    flow.idle_bytes.store(0);
    flow.last_ack_tick.store(now);
    flow.window_tick.store(now);
    flow.window_max[0].store(0);
    flow.window_max[1].store(0);
    flow.rate.store(0);
}

void flow_frame_sent(uint32_t frame, uint32_t bytes) {
    uint32_t total = flow.sent_total.load() + bytes;
    flow.sent_total.store(total);
    flow.sent_at[frame % FLOW_SENT_SLOTS].store(total);
}

// A frame's sample starts at the later of the latest acknowledgement and the latest moment the
// link idled: a frame that begins with every earlier one acknowledged starts it at its own first
// byte, and so do the frames that follow it before anything comes back, as the pause before them (a
// fresh session's first picture, a change after a quiet spell) is no time of the link's. The
// receive thread stores the tick after the count and this reads it first: an older tick with a
// newer count can only make the sample smaller.
void flow_frame_began(uint32_t frame, uint32_t now) {
    if (flow.confirmed_frame.load() == frame - 1) {
        flow.idle_tick.store(now);
        flow.idle_bytes.store(flow.sent_total.load());
    }
    uint32_t k = frame % FLOW_SENT_SLOTS, tick = flow.last_ack_tick.load(), bytes = flow.delivered.load();
    if ((int32_t)(flow.idle_tick.load() - tick) >= 0) {
        tick = flow.idle_tick.load();
        bytes = flow.idle_bytes.load();
    }
    flow.start_tick[k].store(tick);
    flow.start_bytes[k].store(bytes);
    flow.began_frame[k].store(frame);
}

uint32_t flow_unconfirmed_bytes(void) {
    uint32_t f = flow.confirmed_frame.load();
    if (frame_counter.load() - f >= FLOW_SENT_SLOTS) return flow.sent_total.load();
    return flow.sent_total.load() - flow.sent_at[f % FLOW_SENT_SLOTS].load();
}

// One sample into the windowed maximum, so spans the host had little to send do not pull the rate down.
static void flow_rate_take(int32_t sample, uint32_t now) {
    if (now - flow.window_tick.load() > FLOW_RATE_WINDOW) {
        flow.window_max[1].store(flow.window_max[0].load());
        flow.window_max[0].store(0);
        flow.window_tick.store(now);
    }
    if (sample > flow.window_max[0].load()) flow.window_max[0].store(sample);
    int32_t a = flow.window_max[0].load(), b = flow.window_max[1].load();
    flow.rate.store(a > b ? a : b);
}

// Frame f is acknowledged at now: the bytes delivered since its sample started (as it began to go
// out) over the time since, if that is FLOW_RATE_SPAN ms or more. Such a span holds the frame's
// whole round trip, so acknowledgements that come bunched (a viewer catching up on frames the host
// queued back to back, or a late receive thread) squeeze no frames' bytes into a few milliseconds.
// The span runs from acknowledgement to acknowledgement, not from send to send: a frame bigger than
// the socket's buffer is handed over long after its end was stamped. An acknowledgement of an
// older frame than the latest confirmed one moves nothing.
static void flow_rate_sample(uint32_t f, uint32_t now) {
    if (f != flow.confirmed_frame.load() || (uint32_t)(frame_counter.load() - f) >= FLOW_SENT_SLOTS) return;
    uint32_t k = f % FLOW_SENT_SLOTS, delivered = flow.sent_at[k].load();
    if (flow.began_frame[k].load() == f) {
        uint32_t span = now - flow.start_tick[k].load();
        if ((int32_t)span >= FLOW_RATE_SPAN) flow_rate_take((int32_t)((delivered - flow.start_bytes[k].load()) / span), now);
    }
    flow.delivered.store(delivered);
    flow.last_ack_tick.store(now);
}

int32_t flow_frame_bytes(void) {
    int32_t rate = flow.rate.load();
    if (rate <= 0) return 0;
    int32_t t = flow.rtt_floor.load();
    if (t < FLOW_RATE_TIME_MIN) t = FLOW_RATE_TIME_MIN;
    if (t > FLOW_RATE_TIME_MAX) t = FLOW_RATE_TIME_MAX;
    int32_t share = t / flow_inflight_cap(flow.ema16.load());
    if (share < FLOW_FRAME_TIME_MIN) share = FLOW_FRAME_TIME_MIN;
    int64_t bytes = (int64_t)rate * share;
    return bytes < FLOW_FRAME_BYTES_MIN ? FLOW_FRAME_BYTES_MIN : bytes > (1 << 30) ? (1 << 30) : (int32_t)bytes;
}

int32_t flow_inflight_cap(int32_t ema16) {
    if (ema16 < 128) return 1;
    if (ema16 < 896) return ema16 >> 7;
    return 6;
}

// Milliseconds frame f took to cross at the measured delivery rate (0 while there is no rate, or
// the frame's size is no longer known).
static int32_t flow_own_time(uint32_t f) {
    int32_t rate = flow.rate.load();
    if (rate <= 0 || (uint32_t)(frame_counter.load() - f) >= FLOW_SENT_SLOTS - 1) return 0;
    uint32_t bytes = flow.sent_at[f % FLOW_SENT_SLOTS].load() - flow.sent_at[(f - 1) % FLOW_SENT_SLOTS].load();
    return (int32_t)(bytes / (uint32_t)rate);
}

// q: the smoothed round trip over the floor; own_q: this sample's, less the frame's own crossing
// time. The budget shrinks only when both say the link queues: a big frame comes back late by its
// own size (a fresh session's first picture by a tenth of a second or more), which is no queue.
static int32_t next_budget(int32_t budget, int32_t q, int32_t own_q) {
    if (q > 25 && own_q > 25 && budget > FLOW_BUDGET_MIN) budget = (budget * 3) >> 2;
    else if (q <= 7 && budget <= FLOW_BUDGET_MAX - 1) budget += 32;
    if (budget < FLOW_BUDGET_MIN) budget = FLOW_BUDGET_MIN;
    if (budget > FLOW_BUDGET_MAX) budget = FLOW_BUDGET_MAX;
    return budget;
}

void flow_on_ack(const uint8_t *payload, size_t len, uint32_t now) {
    FrameEnd ack;
    if (!payload || !msg_unpack_frame_ack(payload, len, &ack)) return;
    uint32_t f = ack.frame;
    flow.acked_frame.exchange(f);
    // Only the receive thread stores confirmed_frame, so a load-compare-store is enough.
    uint32_t confirmed = flow.confirmed_frame.load();
    if ((int32_t)(f - confirmed) > 0 && (int32_t)(frame_counter.load() - f) >= 0) flow.confirmed_frame.store(f);
    int32_t r = (int32_t)(now - ack.tick);
    if (r < 0) r = 0;
    if (r > FLOW_RTT_MAX) r = FLOW_RTT_MAX;
    flow_rate_sample(f, now);

    int32_t ema16 = flow.ema16.load();
    ema16 = ema16 == 0 ? 16 * r : ema16 - (ema16 >> 3) + 2 * r;
    flow.ema16.store(ema16);
    int32_t floor = flow.rtt_floor.load();
    if (floor == 0 || r < floor) floor = r;
    flow.rtt_floor.store(floor);
    int32_t budget = next_budget(flow.budget.load(), (ema16 >> 4) - floor, r - flow_own_time(f) - floor);
    flow.budget.store(budget);
    flow.last_rtt.store(r);
    uint32_t count = flow.ack_count.load() + 1;
    flow.ack_count.store(count);
    if (count % FLOW_LOG_EVERY == 0)
        host_log("latency: rtt=%ldms floor=%ldms ema=%ldms budget=%ld inflight_cap=%ld", (long)r,
                 (long)floor, (long)(ema16 >> 4), (long)budget, (long)flow_inflight_cap(ema16));
}

int flow_may_send(uint32_t now) {
    int32_t cap = flow_inflight_cap(flow.ema16.load());
    uint32_t counter = frame_counter.load();
    uint32_t in_flight = counter - flow.acked_frame.load();
    uint32_t idle = now - flow.last_pass_tick.load();
    if (in_flight >= (uint32_t)cap && idle <= FLOW_IDLE_RELEASE) return 0;
    if (idle > FLOW_IDLE_RELEASE) flow.acked_frame.store(counter);
    return 1;
}

int flow_idle(void) { return frame_counter.load() == flow.acked_frame.load(); }

void flow_pass_done(uint32_t now) { flow.last_pass_tick.store(now); }

int32_t flow_budget(void) { return flow.budget.load(); }
