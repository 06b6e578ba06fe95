// clock: the 32-bit millisecond tick, sleep, and the timer-resolution and priority calls
// (the last three are no-ops on POSIX).
#pragma once
#include <stdint.h>

uint32_t clock_tick(void);            // milliseconds, wraps every 49.7 days (GetTickCount)
void clock_sleep(uint32_t ms);
void clock_timer_begin(void);         // timeBeginPeriod(1)
void clock_timer_end(void);           // timeEndPeriod(1)
void clock_raise_priority(void);      // process and calling thread above normal
