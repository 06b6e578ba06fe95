// capture_stub: where there is no Windows desktop, the synthetic screen, steered by
// host/synth_script.h, is the screen the backend captures. It logs nothing.
#include "host/capture.h"
#include "host/synth.h"
#include "host/synth_script.h"

void capture_screen_size(int32_t *w, int32_t *h) { synth_capture_screen_size(w, h); }
int capture_open(int dxgi, int32_t *w, int32_t *h) { return synth_capture_open(dxgi, w, h); }
int capture_start(int dxgi, const CaptureSize *picture) { return synth_capture_start(dxgi, picture); }
void capture_close_dxgi(void) {}
int capture_grab(int dxgi, int full_refresh, int wait, CaptureFrame *f) {
    synth_script_apply();
    int r = synth_capture_grab(dxgi, full_refresh, wait, f);
    synth_script_painted();
    return r;
}
int capture_take(int partial, CaptureFrame *f) { return synth_capture_take(partial, f); }
void capture_release(void) {}
void capture_shutdown(void) {}
