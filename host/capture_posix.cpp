// capture (POSIX): the synthetic screen stands in for the real one, through the same capture steps,
// results and log lines as the Windows backend.
#include "host/capture.h"
#include "host/synth.h"
#include "host/synth_script.h"

void capture_screen_size(int32_t *w, int32_t *h) { synth_capture_screen_size(w, h); }
int capture_init_dxgi(void) { return synth_capture_init_dxgi(); }
void capture_init_gdi(void) { synth_capture_init_gdi(); }
int capture_pass(void) {
    synth_script_apply();
    return synth_capture_pass();
}
void capture_shutdown(void) {}
