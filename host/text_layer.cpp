// text_layer: the portable half of the console text layer: which rows changed, the row records,
// the compressed MSG_TEXT_LAYER message, the off message and the covered-tile test.
#include "host/text_layer.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "protocol/messages.h"

TextLayerState g_text_layer;

// Grows a buffer of `size`-byte items to at least n items; 1, or 0 when memory ran out.
static int grow(void **buf, size_t *cap, size_t n, size_t size) {
    if (n <= *cap) return 1;
    void *p = realloc(*buf, n * size);
    if (!p) return 0;
    *buf = p;
    *cap = n;
    return 1;
}

text_cell *text_layer_read_buffer(size_t n) {
    TextLayerState *t = &g_text_layer;
    if (!grow((void **)&t->read, &t->read_cap, n, sizeof(text_cell))) return nullptr;
    return t->read;
}

void text_layer_session_reset(void) { g_text_layer.text_active = 0; }

int text_layer_covers_tile(int32_t tx, int32_t ty) {
    const TextLayerState *t = &g_text_layer;
    if (!t->text_active) return 0;
    int64_t x = (int64_t)tx * 64, y = (int64_t)ty * 64;
    return t->text_rect.left <= x && t->text_rect.top <= y && x + 63 < t->text_rect.right &&
           y + 63 < t->text_rect.bottom;
}

void text_layer_off(void) {
    static const uint8_t zeros[TEXT_LAYER_HEADER_BYTES] = {0};
    if (!g_text_layer.text_active) return;
    // Without room for the message the layer stays active and the next pass tries again.
    if (out_append_msg(MSG_TEXT_LAYER, zeros, TEXT_LAYER_HEADER_BYTES)) g_text_layer.text_active = 0;
}

// Writes the record of row r into dst: u16 row index, then per cell u16 unit and u8 colours.
static uint8_t *put_row(uint8_t *dst, const text_cell *row, int32_t cols, int32_t r) {
    put_u16(dst, (uint16_t)r);
    dst += 2;
    for (int32_t c = 0; c < cols; c++) {
        put_u16(dst, row[c].ch);
        dst[2] = (uint8_t)row[c].attr;
        dst += 3;
    }
    return dst;
}

// Builds the body from the rows to send; *records gets their count. Returns the body length.
static size_t build_body(const text_cell *cells, int32_t cols, int32_t rows, int all, int *records) {
    const TextLayerState *t = &g_text_layer;
    size_t row_bytes = (size_t)cols * sizeof(text_cell);
    uint8_t *p = t->body;
    *records = 0;
    for (int32_t r = 0; r < rows; r++) {
        const text_cell *row = cells + (size_t)r * cols;
        if (!all && memcmp(row, t->text_cells + (size_t)r * cols, row_bytes) == 0) continue;
        p = put_row(p, row, cols, r);
        (*records)++;
    }
    return (size_t)(p - t->body);
}

// Appends MSG_TEXT_LAYER: fixed header, then the body compressed straight into the output buffer.
static int append_message(const text_rect_t *rect, int32_t cols, int32_t rows, int records, size_t body_len) {
    size_t bound = codec_bound(body_len);
    uint8_t *dst = out_reserve(HEADER_BYTES + TEXT_LAYER_HEADER_BYTES + bound);
    if (!dst) return 0;
    uint8_t *h = dst + HEADER_BYTES;
    int m = codec_compress(g_text_layer.body, body_len, h + TEXT_LAYER_HEADER_BYTES, bound);
    if (m < 0) return 0;
    header_put(dst, MSG_TEXT_LAYER, (uint32_t)(TEXT_LAYER_HEADER_BYTES + m));
    put_i32(h, rect->left);
    put_i32(h + 4, rect->top);
    put_i32(h + 8, rect->right - rect->left);
    put_i32(h + 12, rect->bottom - rect->top);
    put_u16(h + 16, (uint16_t)cols);
    put_u16(h + 18, (uint16_t)rows);
    put_u16(h + 20, (uint16_t)records);
    put_u32(h + 22, (uint32_t)body_len);
    g_out.len += HEADER_BYTES + TEXT_LAYER_HEADER_BYTES + (size_t)m;
    return 1;
}

int text_layer_apply(const text_cell *cells, int32_t cols, int32_t rows, const text_rect_t *rect) {
    TextLayerState *t = &g_text_layer;
    if (!cells || cols < 1 || cols > TEXT_MAX_COLS || rows < 1 || rows > TEXT_MAX_ROWS) return 0;
    size_t n = (size_t)cols * rows;
    // Room for the snapshot and the largest body first, so nothing is sent that cannot be recorded.
    if (!grow((void **)&t->text_cells, &t->cells_cap, n, sizeof(text_cell)) ||
        !grow((void **)&t->body, &t->body_cap, (size_t)rows * (cols * 3 + 2), 1))
        return 0;
    int same = t->text_active && cols == t->text_cols && rows == t->text_rows &&
               memcmp(rect, &t->text_rect, sizeof *rect) == 0;
    int records = 0;
    size_t body_len = build_body(cells, cols, rows, !same, &records);
    if (records == 0) return 1;   // unchanged console: nothing to send, the layer stays
    if (!append_message(rect, cols, rows, records, body_len)) return 0;
    memcpy(t->text_cells, cells, n * sizeof(text_cell));
    t->text_cols = cols;
    t->text_rows = rows;
    t->text_rect = *rect;
    t->text_active = 1;
    return 1;
}

void text_layer_pass(void) {
    int32_t cols = 0, rows = 0;
    text_rect_t rect;
    if (!text_console_read(&cols, &rows, &rect) || !text_layer_apply(g_text_layer.read, cols, rows, &rect))
        text_layer_off();
}
