// Negotiation of the second tile codec over loopback with a bare test viewer: offered (caps bit 3)
// the host answers bit 3 and sends its forms; not offered, every tile is a version-1 tile.
#include "session_util.h"
#include "protocol/codec2.h"

// Tile forms seen in the first frame (the synthetic desktop): bit f set for form f.
static unsigned forms_of_first_frame(test_viewer *v) {
    unsigned seen = 0;
    uint8_t type;
    std::string p;
    for (int frames = 0; frames < 1 && tv_read(v, &type, &p);) {
        if (type == MSG_TILE && p.size() >= TILE_HEADER_BYTES) seen |= 1u << ((uint8_t)p[4] & 31);
        frames += type == MSG_FRAME_END;
    }
    return seen;
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
        unsigned forms = forms_of_first_frame(&v);
        if (caps & CODEC2_CAP)
            EXPECT_NE(forms & ~3u, 0u) << "forms " << forms;
        else
            EXPECT_EQ(forms & ~3u, 0u) << "forms " << forms;
        tv_close(&v);
        ASSERT_TRUE(session_wait([] { return host_get_state() == HOST_WAITING; }, 5000));
    }
    host_finish(&h);
    synth_close();
}
