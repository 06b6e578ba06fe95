// Flow control: round-trip samples and their clamping, the budget's decrease and climb, the
// in-flight cap, the 250 ms release and the sampled latency line.
#include <gtest/gtest.h>
#include <vector>
#include "host/flow.h"
#include "host/log.h"
#include "platform/thread.h"
#include "protocol/messages.h"

// Acknowledges `frame` whose echoed tick lies `rtt` ms before `now`.
static void ack(uint32_t frame, uint32_t now, int64_t rtt) {
    uint8_t p[8];
    put_u32(p, frame);
    put_u32(p + 4, (uint32_t)(now - (uint32_t)rtt));
    flow_on_ack(p, sizeof p, now);
}

TEST(Flow, ResetStartsFromTheSessionDefaults) {
    frame_counter.store(77);
    flow.budget.store(12);
    flow_reset(5000);
    EXPECT_EQ(flow.acked_frame.load(), 77u);
    EXPECT_EQ(flow.confirmed_frame.load(), 77u);
    EXPECT_EQ(flow.ema16.load(), 0);
    EXPECT_EQ(flow.rtt_floor.load(), 100000);
    EXPECT_EQ(flow.budget.load(), 4096);
    EXPECT_EQ(flow.ack_count.load(), 0u);
    EXPECT_EQ(flow.last_pass_tick.load(), 5000u);
}

TEST(Flow, FirstSampleSetsAverageAndFloor) {
    flow_reset(0);
    ack(3, 10000, 40);
    EXPECT_EQ(flow.acked_frame.load(), 3u);
    EXPECT_EQ(flow.ema16.load(), 640);
    EXPECT_EQ(flow.rtt_floor.load(), 40);
    EXPECT_EQ(flow.last_rtt.load(), 40);
    EXPECT_EQ(flow_budget(), 4096);
    ack(4, 10010, 80);   // weight 1/8: 640 - 80 + 160
    EXPECT_EQ(flow.ema16.load(), 720);
    EXPECT_EQ(flow.rtt_floor.load(), 40);
}

TEST(Flow, QueueingDelayHalvesTheBudgetDownToEight) {
    flow_reset(0);
    flow.rtt_floor.store(20);
    flow.ema16.store(50 * 16);   // steady 50 ms samples keep ema at 50: q = 30
    const int want[] = {3072, 2304, 1728, 1296, 972, 729, 546, 409, 306, 229, 171,
                        128,  96,   72,   54,   40,  30,  22,  16,  12,  9,   8, 8, 8};
    for (int w : want) {
        ack(1, 1000, 50);
        ASSERT_EQ(flow.ema16.load(), 800);
        EXPECT_EQ(flow_budget(), w);
    }
}

TEST(Flow, BudgetClimbsBy32AndHoldsInTheMiddleBand) {
    flow_reset(0);
    flow.budget.store(4000);
    ack(1, 1000, 20);   // first sample: floor 20, ema 20, q = 0
    EXPECT_EQ(flow_budget(), 4032);
    ack(1, 1000, 20);
    EXPECT_EQ(flow_budget(), 4064);
    ack(1, 1000, 20);
    EXPECT_EQ(flow_budget(), 4096);
    ack(1, 1000, 20);
    EXPECT_EQ(flow_budget(), 4096);

    flow.budget.store(500);
    flow.ema16.store(40 * 16);   // q = 20 with 40 ms samples: unchanged
    for (int i = 0; i < 5; i++) ack(1, 1000, 40);
    EXPECT_EQ(flow_budget(), 500);
}

// A frame late by its own crossing time at the measured rate is no queue: the budget holds. A small
// frame as late is one, and the budget shrinks.
TEST(Flow, BigFrameLateByItsOwnSizeKeepsTheBudget) {
    frame_counter.store(0);
    flow_reset(0);
    flow.rtt_floor.store(5);
    flow.ema16.store(150 * 16);   // q = 145: the first picture's round trip
    flow.rate.store(1000);        // bytes per ms
    frame_counter.store(2);
    flow_frame_sent(1, 100);
    flow_frame_sent(2, 100000);   // crosses in 100 ms
    ack(2, 10000, 120);           // 120 - 100 - 5 = 15 ms of queue
    EXPECT_EQ(flow_budget(), 4096);
    frame_counter.store(3);
    flow_frame_sent(3, 1000);     // crosses in 1 ms
    ack(3, 10005, 120);
    EXPECT_EQ(flow_budget(), 3072);
    frame_counter.store(0);
}

TEST(Flow, InFlightCap) {
    EXPECT_EQ(flow_inflight_cap(0), 1);
    EXPECT_EQ(flow_inflight_cap(7 * 16), 1);
    EXPECT_EQ(flow_inflight_cap(8 * 16), 1);
    EXPECT_EQ(flow_inflight_cap(16 * 16), 2);
    EXPECT_EQ(flow_inflight_cap(47 * 16), 5);
    EXPECT_EQ(flow_inflight_cap(55 * 16 + 15), 6);
    EXPECT_EQ(flow_inflight_cap(56 * 16), 6);
    EXPECT_EQ(flow_inflight_cap(5000 * 16), 6);
}

TEST(Flow, SamplesAreClampedAndShortAcksIgnored) {
    flow_reset(0);
    ack(1, 1000, -300);   // a tick from the future
    EXPECT_EQ(flow.last_rtt.load(), 0);
    EXPECT_EQ(flow.rtt_floor.load(), 0);
    ack(1, 1000, 100000);
    EXPECT_EQ(flow.last_rtt.load(), 5000);
    ack(1, 1000, 0x80000000ll);   // as large as the difference can be
    EXPECT_LE(flow.last_rtt.load(), 5000);
    EXPECT_GE(flow.last_rtt.load(), 0);
    ack(1, 100, 356);   // across the tick counter's wrap
    EXPECT_EQ(flow.last_rtt.load(), 356);
    EXPECT_LE(flow.ema16.load(), 5000 * 16);

    uint32_t count = flow.ack_count.load();
    uint8_t p[8] = {9, 0, 0, 0, 0, 0, 0, 0};
    flow_on_ack(p, 7, 1000);
    flow_on_ack(nullptr, 8, 1000);
    EXPECT_EQ(flow.ack_count.load(), count);
    EXPECT_EQ(flow.acked_frame.load(), 1u);
}

TEST(Flow, EveryThirtySecondAckLogsOneLine) {
    flow_reset(0);
    host_log_capture_start();
    for (int i = 0; i < 31; i++) ack(1, 1000, 20);
    EXPECT_EQ(host_log_count("latency:"), 0);
    ack(1, 1000, 20);
    for (int i = 0; i < 32; i++) ack(1, 1000, 20);
    host_log_capture_stop();
    EXPECT_EQ(host_log_count("latency:"), 2);
    EXPECT_EQ(host_log_count("latency: rtt=20ms floor=20ms ema=20ms budget=4096 inflight_cap=2"), 2);
}

TEST(Flow, GateHoldsAtTheCapAndReleasesAfter250ms) {
    frame_counter.store(10);
    flow_reset(1000);
    EXPECT_EQ(flow_may_send(1000), 1);   // nothing in flight
    frame_counter.fetch_add(1);          // one frame out; cap is 1 without samples
    EXPECT_EQ(flow_may_send(1100), 0);
    EXPECT_EQ(flow_may_send(1250), 0);   // exactly 250 ms: still held
    EXPECT_EQ(flow.acked_frame.load(), 10u);
    EXPECT_EQ(flow_may_send(1251), 1);   // released: everything counts as acknowledged
    EXPECT_EQ(flow.acked_frame.load(), 11u);
    EXPECT_EQ(flow.confirmed_frame.load(), 10u);   // but nothing was really acknowledged
    flow_pass_done(1251);
    frame_counter.fetch_add(1);
    EXPECT_EQ(flow_may_send(1260), 0);
    ack(12, 1270, 16);                   // the acknowledgement opens the gate again
    EXPECT_EQ(flow_may_send(1270), 1);
    EXPECT_EQ(flow.confirmed_frame.load(), 12u);
    ack(11, 1280, 16);   // an older or a future frame number confirms nothing more
    ack(13, 1280, 16);
    EXPECT_EQ(flow.confirmed_frame.load(), 12u);
    EXPECT_EQ(flow.last_pass_tick.load(), 1251u);   // the gate itself never moves it
}

TEST(Flow, GateAllowsMoreFramesWithALongerRoundTrip) {
    frame_counter.store(0);
    flow_reset(0);
    flow.ema16.store(47 * 16);   // cap 5
    frame_counter.store(4);
    EXPECT_EQ(flow_may_send(10), 1);
    frame_counter.store(5);
    EXPECT_EQ(flow_may_send(10), 0);
}

TEST(Flow, IdleTimeSurvivesTheTickWrap) {
    frame_counter.store(0xFFFFFFFFu);
    flow_reset(0xFFFFFF00u);
    frame_counter.fetch_add(1);   // wraps to 0: one frame in flight
    EXPECT_EQ(flow_may_send(0x00000010u), 1);   // 272 ms later
    EXPECT_EQ(flow.acked_frame.load(), 0u);
    flow_pass_done(0x10);
    frame_counter.fetch_add(1);
    EXPECT_EQ(flow_may_send(0x20), 0);
}

// The receive thread acknowledges while the session loop gates and reads the budget.
static unsigned ack_thread(void *) {
    for (uint32_t i = 0; i < 20000; i++) ack(i, 1000 + i, (int64_t)(i % 90));
    return 0;
}

TEST(Flow, ConcurrentAcksAndGateKeepTheBudgetInRange) {
    flow_reset(0);
    thread_handle t = thread_create(ack_thread, nullptr);
    ASSERT_NE(t, nullptr);
    for (uint32_t i = 0; i < 20000; i++) {
        if (flow_may_send(i)) {
            frame_counter.fetch_add(1);
            flow_pass_done(i);
        }
        int32_t b = flow_budget();
        ASSERT_GE(b, 8);
        ASSERT_LE(b, 4096);
    }
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    EXPECT_EQ(flow.ack_count.load(), 20000u);
}

// The delivery rate: the bytes acknowledged from a frame's start to its own acknowledgement over
// that time; a frame's byte budget follows it and the round trip.
TEST(Flow, DeliveryRateSizesFrames) {
    frame_counter.store(0);
    flow_reset(1000);
    EXPECT_EQ(flow_frame_bytes(), 0);   // no sample yet: no limit
    // Ten frames of 50000 bytes, one every 20 ms; each acknowledged 100 ms after it went.
    for (uint32_t f = 1; f <= 15; f++) {
        if (f > 5) ack(f - 5, 1000 + 20 * f, 100);
        if (f > 10) continue;
        frame_counter.store(f);
        flow_frame_began(f, 1000 + 20 * f);
        flow_frame_sent(f, 50000);
    }
    EXPECT_EQ(flow.rate.load(), 2500);                      // bytes per ms
    EXPECT_EQ(flow_frame_bytes(), 2500 * 17);   // a round trip's share over the cap of 6 is under a refresh's
    flow.rtt_floor.store(240);
    EXPECT_EQ(flow_frame_bytes(), 2500 * 240 / 6);
    // A small frame's budget never drops under the floor.
    flow.rate.store(10);
    EXPECT_EQ(flow_frame_bytes(), FLOW_FRAME_BYTES_MIN);
    frame_counter.store(0);
}

// Five frames of 50000 bytes queued back to back cross a 2500 bytes/ms link in 100 ms. The viewer
// acknowledges the third late and the fourth right after it, then the fifth on time: the rate
// still reads no more than the link.
TEST(Flow, BunchedAcknowledgementsDoNotRaiseTheRate) {
    frame_counter.store(0);
    flow_reset(0);
    for (uint32_t f = 1; f <= 5; f++) {
        frame_counter.store(f);
        flow_frame_began(f, f - 1);
        flow_frame_sent(f, 50000);
    }
    const uint32_t at[5] = {30, 50, 90, 91, 110};
    for (uint32_t f = 1; f <= 5; f++) ack(f, at[f - 1], at[f - 1] - (f - 1));
    EXPECT_GT(flow.rate.load(), 0);
    EXPECT_LE(flow.rate.load(), 2500);
    frame_counter.store(0);
}

// A change after a pause starts a sample of its own at its first byte: the pause is no time of the
// link's. So do the frames sent behind it before anything came back. What is sent and not yet
// acknowledged is what the socket may still hold.
TEST(Flow, RateSampleStartsAfterAPause) {
    frame_counter.store(0);
    flow_reset(1000);
    frame_counter.store(1);
    flow_frame_began(1, 1000);
    flow_frame_sent(1, 1000);
    ack(1, 1004, 4);                  // too short a span: no sample
    EXPECT_EQ(flow.rate.load(), 0);
    frame_counter.store(2);
    flow_frame_began(2, 1500);        // half a second later
    flow_frame_sent(2, 200000);
    EXPECT_EQ(flow_unconfirmed_bytes(), 200000u);
    ack(2, 1520, 20);
    EXPECT_EQ(flow.rate.load(), 10000);   // 200000 bytes in 20 ms, not in 520
    EXPECT_EQ(flow_unconfirmed_bytes(), 0u);
    // Two frames back to back after a pause: both count from the first one's start.
    frame_counter.store(4);
    flow_frame_began(3, 3000);
    flow_frame_sent(3, 100000);
    flow_frame_began(4, 3010);
    flow_frame_sent(4, 100000);
    ack(3, 3020, 20);
    flow.window_max[0].store(0);
    flow.window_max[1].store(0);
    ack(4, 3040, 30);
    EXPECT_EQ(flow.rate.load(), 5000);   // 200000 bytes since 3 began, not since 2 came back
    frame_counter.store(0);
}
