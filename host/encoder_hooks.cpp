// encoder_hooks: where the encoder reaches the text layer, the window list and the pointer.
#include "host/cursor.h"
#include "host/encoder.h"
#include "host/text_layer.h"
#include "host/window_list.h"

void encoder_overlays_pass(FrameWriter *out) {
    if (g_encoder.text_layer_on && g_encoder.text_wanted) {
        text_layer_pass(out);
        g_encoder.text_cover = g_text_layer.text_active;
        g_encoder.cover = g_text_layer.text_rect;
    } else if (g_text_layer.text_active) {
        text_layer_off(out);
        g_encoder.text_cover = 0;
    }
    if (g_encoder.window_list_on) window_list_pass(out);
}

int encoder_pointer(int32_t *x, int32_t *y, int *visible) { return cursor_read(x, y, visible); }
