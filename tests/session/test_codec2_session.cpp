// Negotiation of the second tile codec over loopback with a bare test viewer: offered (caps bit 3)
// the host answers bit 3 and sends its forms, and frames with crops or references end with a
// MSG_TILE_BATCH whose frame end follows the others (a scroll's moves in it); not offered, every tile is a version-1 tile
// and no batch comes.
#include "session_util.h"
#include "host/synth_script.h"
#include "protocol/codec2.h"
#include "protocol/codec2_batch.h"

// Reads the first frame (the synthetic desktop), then frames of `workload`, one asked for after each,
// acknowledging each as read from its MSG_FRAME_END or the frame end its batch carries; frame
// numbers must follow one another. *forms: bit f set for each tile form f of the first frame;
// *moved: batches that carried their frame's moves. The frames that ended in a batch.
static Codec2Dec dec;            // the session's stream and batch state, started anew per session
static Codec2BatchDec batch;

static int frames_ended_by_batches(test_viewer *v, int workload, unsigned *forms, int *moved) {
    int batches = 0;
    uint32_t last = 0;
    uint8_t type;
    std::string p;
    *forms = 0;
    *moved = 0;
    for (int frames = 0; frames < 8 && tv_read(v, &type, &p);) {
        FrameEnd end = {0, 0};
        if (type == MSG_TILE && p.size() >= TILE_HEADER_BYTES && frames == 0) *forms |= 1u << ((uint8_t)p[4] & 31);
        if (type == MSG_FRAME_END) {
            msg_unpack_frame_end((const uint8_t *)p.data(), p.size(), &end);
            codec2_batch_dec_note_end(&batch, end.frame, end.tick);
        } else if (type == MSG_TILE_BATCH) {
            EXPECT_EQ(codec2_batch_open(&batch, &dec, (const uint8_t *)p.data(), p.size(), 10 * 8), 1);
            Codec2BatchEntry e;
            int r;
            while ((r = codec2_batch_next(&batch, &e)) == 1) {
            }
            EXPECT_EQ(r, 0);
            *moved += batch.moves_n > 0;
            if (!(batch.flags & BATCH_CLOSES_FRAME)) continue;
            end = {batch.frame, batch.tick};
            batches++;
        } else {
            continue;
        }
        if (frames++) {
            EXPECT_EQ(end.frame, last + 1);
        }
        synth_script_request(workload, 2);   // each frame read asks for a change: the next one comes
        last = end.frame;
        uint8_t ack[FRAME_ACK_BYTES];
        put_u32(ack, end.frame);
        put_u32(ack + 4, end.tick);
        EXPECT_EQ(tv_send(v, MSG_FRAME_ACK, ack, sizeof ack), 1);
    }
    return batches;
}

TEST(Codec2Session, OfferedItIsAnsweredAndUsedOtherwiseTilesStayVersion1) {
    session_use_temp_dir();
    synth_open(640, 480);
    g_synth.wait_ms = g_synth.gdi_pause_ms = 1;
    test_host h;
    host_start_direct(&h);
    const uint16_t offers[] = {3 | CODEC2_CAP, 3};
    for (uint16_t caps : offers) {
        test_viewer v;
        ASSERT_EQ(tv_connect(&v, h.port, "pw"), 1);
        uint8_t hello[HOST_HELLO_BYTES];
        ASSERT_EQ(tv_hello(&v, caps, hello), 1);
        EXPECT_EQ(get_u16(hello + 10), (caps & CODEC2_CAP) ? 3 | CODEC2_CAP : 3);
        codec2_dec_stream_reset(&dec);
        codec2_batch_dec_reset(&batch);
        unsigned forms;
        int moved;
        int batches = frames_ended_by_batches(&v, SYNTH_TYPING, &forms, &moved);
        if (caps & CODEC2_CAP) {
            EXPECT_NE(forms & ~3u, 0u) << "forms " << forms;
            EXPECT_GT(batches, 0);
            // A terminal scrolling: its frames' moves ride in their batches.
            frames_ended_by_batches(&v, SYNTH_TERM_SCROLL, &forms, &moved);
            EXPECT_GT(moved, 0);
        } else {
            EXPECT_EQ(forms & ~3u, 0u) << "forms " << forms;
            EXPECT_EQ(batches, 0);
        }
        tv_close(&v);
        ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    }
    codec2_dec_free(&dec);
    codec2_batch_dec_free(&batch);
    host_finish(&h);
    synth_close();
}
