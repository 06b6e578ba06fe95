// capture: the steps both capture backends share: partial or full copy of a captured frame into the
// picture, re-sizing under the picture lock, and the recovery after a duplication failure.
#include "host/capture.h"

#include "host/log.h"
#include "host/picture.h"
#include "platform/clock.h"

Capture g_capture;

int capture_choose_partial(int full_refresh, const CaptureFrameInfo *info) {
    return !full_refresh && info->last_present_time != 0 && info->accumulated_frames <= 1 &&
           info->metadata_bytes != 0;
}

// One duplication move: listed while room remains, destination copied either way.
static void capture_apply_move(const uint8_t *image, int32_t pitch, const CaptureMove *cm) {
    MoveRect m;
    m.src_x = cm->src_x;
    m.src_y = cm->src_y;
    m.dst_x = cm->left;
    m.dst_y = cm->top;
    m.width = cm->right - cm->left;
    m.height = cm->bottom - cm->top;
    if (!msg_move_rect_valid(&m, g_picture.width, g_picture.height)) return;
    picture_add_move(&m);
    picture_copy_rect(image, pitch, cm->left, cm->top, cm->right, cm->bottom);
}

void capture_apply_partial(const uint8_t *image, int32_t pitch, const CaptureMove *moves, int move_count,
                           const CaptureRect *dirty, int dirty_count) {
    for (int i = 0; i < move_count; i++) capture_apply_move(image, pitch, &moves[i]);
    for (int i = 0; i < dirty_count; i++)
        picture_copy_rect(image, pitch, dirty[i].left, dirty[i].top, dirty[i].right, dirty[i].bottom);
    g_picture.full_refresh = 0;
}

void capture_apply_full(const uint8_t *image, int32_t pitch) {
    picture_copy_rect(image, pitch, 0, 0, g_picture.width, g_picture.height);
    g_picture.move_count = 0;
    g_picture.full_refresh = 0;
}

int capture_fit_picture(int32_t w, int32_t h) {
    if (w == g_picture.width && h == g_picture.height && g_picture.current) return 0;
    picture_lock_create();
    picture_lock();
    picture_resize(w, h);
    picture_unlock();
    return 1;
}

int capture_recover(void) {
    int32_t w = g_picture.width, h = g_picture.height;
    g_capture.recoveries++;
    clock_sleep(CAPTURE_RECOVERY_MS);
    if (!capture_init_dxgi()) {
        capture_init_gdi();
        g_capture.dxgi = 0;
    }
    // The viewer keeps what it shows; whatever we send next for a tile must replace it whole.
    picture_lock_create();
    picture_lock();
    picture_forget_all();
    picture_unlock();
    return capture_check_size(w, h, CAPTURE_RECOVERED);
}

int capture_check_size(int32_t old_w, int32_t old_h, int result) {
    if (old_w == g_picture.width && old_h == g_picture.height) return result;
    host_log("screen size changed from %dx%d to %dx%d", old_w, old_h, g_picture.width, g_picture.height);
    return CAPTURE_RESIZED;
}
