// codec2_planes: the reversible byte transforms in front of zstd: pixels split into byte planes
// and back, and the gradient predictor (left + up - up-left, clamped) over one w x h plane.
#include <string.h>
#include "protocol/codec2.h"

void codec2_split_planes(const uint8_t *px, int pixels, uint8_t *planes, int planes_count) {
    uint8_t *b = planes, *g = planes + pixels, *r = planes + 2 * pixels, *x = planes + 3 * pixels;
    if (planes_count == 4) {
        for (int k = 0; k < pixels; k++) {
            b[k] = px[4 * k];
            g[k] = px[4 * k + 1];
            r[k] = px[4 * k + 2];
            x[k] = px[4 * k + 3];
        }
        return;
    }
    for (int k = 0; k < pixels; k++) {
        b[k] = px[4 * k];
        g[k] = px[4 * k + 1];
        r[k] = px[4 * k + 2];
    }
}

void codec2_join_planes(const uint8_t *planes, int pixels, int planes_count, uint8_t fourth, uint8_t *px) {
    for (int k = 0; k < pixels; k++) {
        px[4 * k] = planes[k];
        px[4 * k + 1] = planes[pixels + k];
        px[4 * k + 2] = planes[2 * pixels + k];
        px[4 * k + 3] = planes_count == 4 ? planes[3 * pixels + k] : fourth;
    }
}

static inline uint8_t codec2_predict(int left, int up, int up_left) {
    int p = left + up - up_left;
    return (uint8_t)(p < 0 ? 0 : p > 255 ? 255 : p);
}

void codec2_gradient_forward(const uint8_t *plane, int w, int h, uint8_t *residual) {
    residual[0] = plane[0];
    for (int x = 1; x < w; x++) residual[x] = (uint8_t)(plane[x] - plane[x - 1]);
    for (int y = 1; y < h; y++) {
        const uint8_t *row = plane + y * w, *up = row - w;
        uint8_t *res = residual + y * w;
        res[0] = (uint8_t)(row[0] - up[0]);
        for (int x = 1; x < w; x++) res[x] = (uint8_t)(row[x] - codec2_predict(row[x - 1], up[x], up[x - 1]));
    }
}

void codec2_gradient_inverse(const uint8_t *residual, int w, int h, uint8_t *plane) {
    plane[0] = residual[0];
    for (int x = 1; x < w; x++) plane[x] = (uint8_t)(residual[x] + plane[x - 1]);
    for (int y = 1; y < h; y++) {
        uint8_t *row = plane + y * w;
        const uint8_t *up = row - w, *res = residual + y * w;
        row[0] = (uint8_t)(res[0] + up[0]);
        for (int x = 1; x < w; x++) row[x] = (uint8_t)(res[x] + codec2_predict(row[x - 1], up[x], up[x - 1]));
    }
}
