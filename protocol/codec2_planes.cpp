// codec2_planes: the reversible byte transforms in front of zstd: pixels split into byte planes
// and back, and the gradient predictor (left + up - up-left, clamped) over one 64 x 64 plane.
#include <string.h>
#include "protocol/codec2.h"

#define EDGE 64
#define PIXELS (EDGE * EDGE)

void codec2_split_planes(const uint8_t *px, uint8_t *planes, int planes_count) {
    uint8_t *b = planes, *g = planes + PIXELS, *r = planes + 2 * PIXELS, *x = planes + 3 * PIXELS;
    if (planes_count == 4) {
        for (int k = 0; k < PIXELS; k++) {
            b[k] = px[4 * k];
            g[k] = px[4 * k + 1];
            r[k] = px[4 * k + 2];
            x[k] = px[4 * k + 3];
        }
        return;
    }
    for (int k = 0; k < PIXELS; k++) {
        b[k] = px[4 * k];
        g[k] = px[4 * k + 1];
        r[k] = px[4 * k + 2];
    }
}

static inline uint8_t codec2_predict(int left, int up, int up_left) {
    int p = left + up - up_left;
    return (uint8_t)(p < 0 ? 0 : p > 255 ? 255 : p);
}

void codec2_gradient_forward(const uint8_t *plane, uint8_t *residual) {
    residual[0] = plane[0];
    for (int x = 1; x < EDGE; x++) residual[x] = (uint8_t)(plane[x] - plane[x - 1]);
    for (int y = 1; y < EDGE; y++) {
        const uint8_t *row = plane + y * EDGE, *up = row - EDGE;
        uint8_t *res = residual + y * EDGE;
        res[0] = (uint8_t)(row[0] - up[0]);
        for (int x = 1; x < EDGE; x++) res[x] = (uint8_t)(row[x] - codec2_predict(row[x - 1], up[x], up[x - 1]));
    }
}

void codec2_gradient_inverse(const uint8_t *residual, uint8_t *plane) {
    plane[0] = residual[0];
    for (int x = 1; x < EDGE; x++) plane[x] = (uint8_t)(residual[x] + plane[x - 1]);
    for (int y = 1; y < EDGE; y++) {
        uint8_t *row = plane + y * EDGE;
        const uint8_t *up = row - EDGE, *res = residual + y * EDGE;
        row[0] = (uint8_t)(res[0] + up[0]);
        for (int x = 1; x < EDGE; x++) row[x] = (uint8_t)(res[x] + codec2_predict(row[x - 1], up[x], up[x - 1]));
    }
}
