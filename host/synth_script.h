// synth_script: steers the synthetic screen from another thread (tests, soak, benchmarks). A
// request (workload, passes) is taken by the capture thread at the start of a pass; after that
// many passes the screen goes idle and synth_script_done reports it, so the caller can compare
// what a viewer shows with a screen that no longer changes.
#pragma once
#include <stdint.h>

void synth_script_request(int workload, uint32_t passes);
// A square of edge pixels and colour rgb painted at (x, y) in the next pass, beside any workload.
void synth_script_mark(int32_t x, int32_t y, int32_t edge, uint32_t rgb);
int synth_script_done(void);      // 1 once the last request has run its passes (or none came)
void synth_script_apply(void);    // capture thread, at the start of each pass
void synth_script_painted(void);  // capture thread, once the pass has painted the screen
// Steady-clock milliseconds at which the pass that took the last request finished painting it
// (0 until then): a benchmark counts a change's journey from there, not from its own painting.
double synth_script_painted_ms(void);
