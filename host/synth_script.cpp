// synth_script: the request hand-over between a steering thread and the capture thread.
#include "host/synth_script.h"
#include <atomic>
#include <chrono>
#include "host/synth.h"

static std::atomic<int> g_request{-1};        // workload asked for, -1 when none is pending
static std::atomic<uint32_t> g_passes{0};     // passes the pending request wants
static std::atomic<int> g_done{1};            // 1 when the screen is idle after the last request
static std::atomic<int> g_mark{0};            // 1 while a mark waits for the capture thread
static int32_t g_mark_x, g_mark_y, g_mark_edge;  // written before g_mark is set, read after
static uint32_t g_mark_rgb;
static uint32_t g_left;                       // capture thread: passes still to run
static int g_taken;                           // capture thread: this pass took a request
static std::atomic<double> g_painted_ms{0};   // when the pass that took it finished painting

void synth_script_request(int workload, uint32_t passes) {
    g_done.store(0);
    g_painted_ms.store(0);
    g_passes.store(passes);
    g_request.store(workload);
}

void synth_script_mark(int32_t x, int32_t y, int32_t edge, uint32_t rgb) {
    g_mark_x = x;
    g_mark_y = y;
    g_mark_edge = edge;
    g_mark_rgb = rgb;
    g_mark.store(1, std::memory_order_release);
}

int synth_script_done(void) { return g_done.load(std::memory_order_acquire); }

void synth_script_apply(void) {
    if (g_mark.exchange(0, std::memory_order_acquire)) {
        g_synth.mark_x = g_mark_x;
        g_synth.mark_y = g_mark_y;
        g_synth.mark_edge = g_mark_edge;
        g_synth.mark_rgb = g_mark_rgb;
        g_synth.mark_pending = 1;
    }
    int w = g_request.exchange(-1);
    if (w >= 0) {
        synth_set_workload(w);
        g_left = g_passes.load();
        g_taken = 1;
        return;
    }
    if (g_left == 0) return;
    if (--g_left == 0) {
        synth_set_workload(SYNTH_IDLE);
        g_done.store(1, std::memory_order_release);
    }
}

void synth_script_painted(void) {
    if (!g_taken) return;
    g_taken = 0;
    std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now().time_since_epoch();
    g_painted_ms.store(t.count());
}

double synth_script_painted_ms(void) { return g_painted_ms.load(); }
