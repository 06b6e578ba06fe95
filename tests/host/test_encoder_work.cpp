// The encoder's tiles computed on the worker pool: the bytes of every synthetic workload, with and
// without the cache and the second codec, under small budgets and late acknowledgements, are the
// same whether every tile is computed on the session thread or spread over helpers.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/synth.h"
#include "platform/workers.h"
#include "protocol/codec2.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

// Every workload in turn at a simulated clock; acknowledgements arrive three passes late; of three
// passes one has no limit, one a budget of 5 tiles, one a byte budget of 50000. Returns the moves
// and tiles of every frame, then sent.
static std::vector<uint8_t> run(int helpers, int cache, int codec2) {
    // codec2: 0 not offered; 1 offered, big passes in the version-1 forms; 2 in the second codec's.
    int family = codec2 == 1 ? 1 : 2;
    EXPECT_EQ(workers_start(helpers), helpers);
    EXPECT_TRUE(synth_open(768, 448));
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_init();
    EXPECT_TRUE(capture_init_dxgi(CAPTURE_SYNTHETIC));
    picture_reset();
    EXPECT_TRUE(mirror_clear());
    flow_reset(0);
    encoder_session_reset(cache);
    encoder_viewer_caps((uint16_t)((cache << 1) | (codec2 ? CODEC2_CAP : 0)));   // a fresh stream
    g_encoder.pick.force = family;   // the choice between them rests on timing; pinned here
    writer_reset(&s_out);
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> sent_frames;
    uint32_t now = 0;
    for (int wl = 0; wl < SYNTH_WORKLOADS; wl++) {
        synth_set_workload(wl);
        for (int step = 0; step < 6; step++, now += 10) {
            if (capture_pass(CAPTURE_SYNTHETIC) == CAPTURE_RECOVERED) continue;
            int kind = (int)(sent_frames.size() % 3);
            flow.rate.store(kind == 2 ? 2000 : 0);   // bytes per ms, over a 25 ms round trip
            flow.rtt_floor.store(25);
            flow.ema16.store(0);
            encoder_moves(&s_out);
            encoder_tiles_at(&s_out, kind == 1 ? 5 : FLOW_BUDGET_MAX, now);
            bytes.insert(bytes.end(), s_out.data, s_out.data + s_out.len);
            if (encoder_pass_close(&s_out) == 1) g_encoder.ring_tick[frame_counter.load() % ENCODER_TICK_RING] = now;
            writer_reset(&s_out);
            sent_frames.push_back(frame_counter.load());
            if (sent_frames.size() > 3) {
                uint8_t ack[FRAME_ACK_BYTES];
                put_u32(ack, sent_frames[sent_frames.size() - 4]);
                put_u32(ack + 4, now);
                flow_on_ack(ack, sizeof ack, now);
            }
        }
    }
    bytes.insert(bytes.end(), g_picture.sent, g_picture.sent + (size_t)g_picture.pad_width * g_picture.pad_height * 4);
    synth_close();
    return bytes;
}

TEST(EncoderWork, HelpersChangeNoByte) {
    for (int cache = 0; cache <= 1; cache++)
        for (int codec2 = 0; codec2 <= 2; codec2++) {
            std::vector<uint8_t> serial = run(0, cache, codec2), spread = run(3, cache, codec2);
            EXPECT_GT(serial.size(), (size_t)768 * 448 * 4 + 100000);   // frames besides sent
            EXPECT_TRUE(serial == spread) << "cache " << cache << " codec2 " << codec2;
        }
    workers_stop();
}
