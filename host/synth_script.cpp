// synth_script: the request hand-over between a steering thread and the capture thread.
#include "host/synth_script.h"
#include <atomic>
#include "host/synth.h"

static std::atomic<int> g_request{-1};        // workload asked for, -1 when none is pending
static std::atomic<uint32_t> g_passes{0};     // passes the pending request wants
static std::atomic<int> g_done{1};            // 1 when the screen is idle after the last request
static uint32_t g_left;                       // capture thread: passes still to run

void synth_script_request(int workload, uint32_t passes) {
    g_done.store(0);
    g_passes.store(passes);
    g_request.store(workload);
}

int synth_script_done(void) { return g_done.load(std::memory_order_acquire); }

void synth_script_apply(void) {
    int w = g_request.exchange(-1);
    if (w >= 0) {
        synth_set_workload(w);
        g_left = g_passes.load();
        return;
    }
    if (g_left == 0) return;
    if (--g_left == 0) {
        synth_set_workload(SYNTH_IDLE);
        g_done.store(1, std::memory_order_release);
    }
}
