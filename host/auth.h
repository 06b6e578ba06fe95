// auth: the host's login rules. Which login versions it accepts is a host setting (login_mode in
// host/settings.h); here is the slow-down of repeated failures: after 3 wrong passwords within
// a minute every next attempt waits, 1 s, then twice as long after each further failure, at most
// 60 s, counted across all viewers (a relay host sees only one source anyway). A quiet minute after
// a pause, or a correct password, starts the count afresh.
#pragma once
#include <stdint.h>

#define AUTH_FAILS_BEFORE_PAUSE 3
#define AUTH_WINDOW_MS 60000u
#define AUTH_FIRST_PAUSE_MS 1000u
#define AUTH_MAX_PAUSE_MS 60000u

struct auth_throttle {
    uint32_t fail_tick[AUTH_FAILS_BEFORE_PAUSE];  // ticks of the latest failures, oldest first
    int fails;                                    // entries of fail_tick in use
    uint32_t pause_ms;                            // pause after the latest failure; 0 = none
    uint32_t not_before;                          // tick the next attempt waits for (while pause_ms)
};

void auth_throttle_reset(auth_throttle *t);
// A wrong password at `now`. Returns the pause the next attempt must wait (ms), 0 for none.
uint32_t auth_throttle_failed(auth_throttle *t, uint32_t now);
// Milliseconds the next attempt still has to wait at `now`.
uint32_t auth_throttle_wait_ms(const auth_throttle *t, uint32_t now);

// The session loop's two calls. host_auth_note after every login with channel_v2's outcome:
// a wrong password counts (and a new pause is logged, once), a correct one resets the count, a
// refused version 1 viewer is logged. host_auth_pause before taking the next connection: sleeps out
// a pause, ending early when a stop is requested.
void host_auth_note(auth_throttle *t, int outcome, int version);
void host_auth_pause(const auth_throttle *t);
