// clock_win32: GetTickCount, Sleep, the 1 ms timer period and raised priorities.
#include "platform/clock.h"
#include <windows.h>
#include <mmsystem.h>

uint32_t clock_tick(void) { return (uint32_t)GetTickCount(); }
void clock_sleep(uint32_t ms) { Sleep(ms); }
void clock_timer_begin(void) { timeBeginPeriod(1); }
void clock_timer_end(void) { timeEndPeriod(1); }

void clock_raise_priority(void) {
    SetPriorityClass(GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}
