// Host login slow-down: no pause for fewer than 3 wrong passwords in a minute, then 1 s doubling
// to at most 60 s while failures keep coming, a fresh count after a quiet minute or a success.
#include <gtest/gtest.h>
#include "host/auth.h"

TEST(AuthThrottle, PausesDoubleUpToAMinuteAndEndAfterAQuietMinute) {
    auth_throttle t;
    auth_throttle_reset(&t);
    uint32_t now = 0xFFFFF000u;   // the tick wraps during the run
    EXPECT_EQ(auth_throttle_failed(&t, now), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 30000), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 70000), 0u);   // the first is more than a minute old
    EXPECT_EQ(auth_throttle_wait_ms(&t, now + 70000), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 80000), 1000u);
    EXPECT_EQ(auth_throttle_wait_ms(&t, now + 80400), 600u);
    now += 81000;
    uint32_t want[] = {2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (uint32_t w : want) {
        EXPECT_EQ(auth_throttle_failed(&t, now), w);
        EXPECT_EQ(auth_throttle_wait_ms(&t, now), w);
        now += w + 5000;   // the next guess comes a little after the pause
    }
    // A minute of quiet after the pause: three more failures before the next pause.
    now += 60000;
    EXPECT_EQ(auth_throttle_failed(&t, now), 0u);
    EXPECT_EQ(auth_throttle_wait_ms(&t, now), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 1), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 2), 1000u);
    auth_throttle_reset(&t);   // what a correct password does
    EXPECT_EQ(auth_throttle_wait_ms(&t, now + 3), 0u);
    EXPECT_EQ(auth_throttle_failed(&t, now + 4), 0u);
}
