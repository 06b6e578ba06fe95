// auth: the host's login outcomes and the pause after repeated wrong passwords.
#include "host/auth.h"
#include <string.h>
#include "host/host.h"
#include "platform/clock.h"
#include "protocol/channel_v2.h"

#define PAUSE_SLICE_MS 50

void auth_throttle_reset(auth_throttle *t) { memset(t, 0, sizeof *t); }

uint32_t auth_throttle_failed(auth_throttle *t, uint32_t now) {
    // Failures that keep coming within a minute of the end of a pause double it.
    if (t->pause_ms && (int32_t)(now - t->not_before) < (int32_t)AUTH_WINDOW_MS) {
        t->pause_ms = t->pause_ms * 2 > AUTH_MAX_PAUSE_MS ? AUTH_MAX_PAUSE_MS : t->pause_ms * 2;
        t->not_before = now + t->pause_ms;
        return t->pause_ms;
    }
    if (t->pause_ms) auth_throttle_reset(t);   // a quiet minute went by: count afresh
    if (t->fails == AUTH_FAILS_BEFORE_PAUSE) {
        memmove(t->fail_tick, t->fail_tick + 1, sizeof t->fail_tick - sizeof t->fail_tick[0]);
        t->fails--;
    }
    t->fail_tick[t->fails++] = now;
    if (t->fails < AUTH_FAILS_BEFORE_PAUSE || now - t->fail_tick[0] > AUTH_WINDOW_MS) return 0;
    t->pause_ms = AUTH_FIRST_PAUSE_MS;
    t->not_before = now + t->pause_ms;
    return t->pause_ms;
}

uint32_t auth_throttle_wait_ms(const auth_throttle *t, uint32_t now) {
    if (!t->pause_ms) return 0;
    int32_t left = (int32_t)(t->not_before - now);   // tick arithmetic survives the wrap
    return left > 0 ? (uint32_t)left : 0;
}

void host_auth_note(auth_throttle *t, int outcome, int version) {
    if (outcome == CHANNEL_AUTH_OK) {
        auth_throttle_reset(t);
        host_log("login version %d", version);
    } else if (outcome == CHANNEL_AUTH_REFUSED) {
        host_log("refused a version 1 login (-v2only)");
    } else if (outcome == CHANNEL_AUTH_WRONG) {
        uint32_t pause = auth_throttle_failed(t, clock_tick());
        if (pause) host_log("too many failed logins: the next attempt waits %u s", (unsigned)(pause / 1000));
    }
}

void host_auth_pause(const auth_throttle *t) {
    uint32_t left;
    while (!host_stop_requested() && (left = auth_throttle_wait_ms(t, clock_tick())) > 0)
        clock_sleep(left < PAUSE_SLICE_MS ? left : PAUSE_SLICE_MS);
}
