// The choice of tile-form family for big passes, fed figures: the default, the probe on a link that
// kept up with family 2, its judgment and back-off, and the plain comparison on measured figures.
#include <gtest/gtest.h>
#include "host/pick.h"

// Family 2 encodes a tile in 100 us to 2000 bytes (20000 bytes per ms of output); family 1 in
// 30 us to 6000 bytes.
static void feed(PickState *p, int family) {
    if (family == 2) pick_record(p, 2, 400, 400 * 100000LL, 400 * 2000LL);
    else pick_record(p, 1, 400, 400 * 30000LL, 400 * 6000LL);
}

TEST(Pick, FamilyTwoUntilMeasuredAndPassesSummedToABigOne) {
    PickState p = {};
    EXPECT_EQ(pick_family(&p, 0, 1000), 2);
    EXPECT_EQ(pick_family(&p, 100000, 1000), 2);   // no figures yet
    pick_record(&p, 2, 40, 40 * 100000LL, 40 * 2000LL);
    EXPECT_EQ(p.fam[1].ns, 0);
    pick_record(&p, 2, 40, 40 * 100000LL, 40 * 2000LL);
    EXPECT_DOUBLE_EQ(p.fam[1].ns, 100000);
    EXPECT_DOUBLE_EQ(p.fam[1].bytes, 2000);
    pick_record(&p, 2, 400, 400 * 200000LL, 400 * 2000LL);   // a quarter of the way to a new figure
    EXPECT_DOUBLE_EQ(p.fam[1].ns, 125000);
    EXPECT_EQ(pick_family(&p, 0, 2000), 2);   // no rate yet
}

TEST(Pick, ProbesOnlyWhenTheLinkKeptUpWithTheEncoder) {
    PickState slow = {};
    feed(&slow, 2);
    EXPECT_EQ(pick_family(&slow, 2500, 1000), 2);    // a 20 Mbit/s link: an eighth of the output
    EXPECT_EQ(pick_family(&slow, 2500, 90000), 2);
    EXPECT_EQ(slow.probed, 0);

    PickState fast = {};
    feed(&fast, 2);
    EXPECT_EQ(pick_family(&fast, 15000, 1000), 1);   // three quarters of the output: a probe
    EXPECT_EQ(pick_family(&fast, 15000, 1100), 1);   // its span
    EXPECT_EQ(pick_family(&fast, 15000, 1000 + PICK_PROBE_SPAN_MS), 1);   // longer: no figures yet
    feed(&fast, 1);
    // Judged on the rate its acknowledgements gave: 125000 bytes/ms makes family 1 48 us a tile
    // against family 2's 100 us, and it stays.
    EXPECT_EQ(pick_family(&fast, 125000, 1001 + PICK_PROBE_SPAN_MS), 1);
    EXPECT_EQ(fast.probing, 0);
    EXPECT_EQ(pick_family(&fast, 125000, 3000), 1);
    // The link slows to 25000 bytes/ms: family 1 takes 240 us a tile, family 2 100 us.
    EXPECT_EQ(pick_family(&fast, 25000, 4000), 2);
    // At 55000 bytes/ms family 1 takes 109 us, within a quarter of family 2's 100 us, and family 2's
    // encoder (20000 bytes/ms) leaves the link room: family 1 again. At 15000 bytes/ms it does not.
    EXPECT_EQ(pick_family(&fast, 55000, 4100), 1);
    EXPECT_EQ(pick_family(&fast, 15000, 4200), 2);
}

TEST(Pick, ALostProbeBacksOff) {
    PickState p = {};
    feed(&p, 2);
    uint32_t t = 1000;
    EXPECT_EQ(pick_family(&p, 20000, t), 1);
    feed(&p, 1);
    EXPECT_EQ(pick_family(&p, 25000, t + PICK_PROBE_SPAN_MS), 2);   // lost: 240 us against 100 us
    EXPECT_EQ(p.probe_wait, 2u * PICK_PROBE_MS);
    EXPECT_EQ(pick_family(&p, 20000, t + PICK_PROBE_MS), 2);         // not again within the wait
    EXPECT_EQ(pick_family(&p, 20000, t + 2 * PICK_PROBE_MS), 1);     // then once more
    EXPECT_EQ(pick_family(&p, 25000, t + 2 * PICK_PROBE_MS + PICK_PROBE_SPAN_MS), 2);
    EXPECT_EQ(p.probe_wait, 4u * PICK_PROBE_MS);
}

// A change the flow cut into frames: its rest, however small, goes in the family its first frame
// took; once a big pass left nothing, small passes are the second codec's again.
TEST(Pick, TheRestOfACutChangeKeepsItsFamily) {
    PickState p = {};
    p.force = 1;
    EXPECT_EQ(pick_pass_family(&p, 10, 0, 1000), 0);
    EXPECT_EQ(pick_pass_family(&p, PICK_BIG_TILES, 0, 1000), 1);
    pick_pass_end(&p, 1, 1);
    EXPECT_EQ(pick_pass_family(&p, 10, 0, 1010), 1);
    pick_pass_end(&p, 1, 0);
    EXPECT_EQ(pick_pass_family(&p, 10, 0, 1020), 0);
    pick_pass_end(&p, 0, 1);   // a small pass changes nothing
    EXPECT_EQ(pick_pass_family(&p, 10, 0, 1030), 0);
}
