// clock_posix: monotonic milliseconds truncated to 32 bits; the Windows-only tuning calls do nothing.
#include "platform/clock.h"
#include <errno.h>
#include <time.h>

uint32_t clock_tick(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void clock_sleep(uint32_t ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void clock_timer_begin(void) {}
void clock_timer_end(void) {}
void clock_raise_priority(void) {}
