// text_layer: the portable half of the console text layer: which rows changed, the row records,
// the compressed MSG_TEXT_LAYER message, the off message and the covered-tile test.
#include "host/text_layer.h"
#include <stdlib.h>
#include <string.h>
#include "protocol/codec.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

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

int text_rect_covers_tile(const text_rect_t *r, int32_t tx, int32_t ty) {
    int64_t x = (int64_t)tx * TILE_EDGE, y = (int64_t)ty * TILE_EDGE;
    return r->left <= x && r->top <= y && x + TILE_EDGE - 1 < r->right && y + TILE_EDGE - 1 < r->bottom;
}

int text_layer_covers_tile(int32_t tx, int32_t ty) {
    return g_text_layer.text_active && text_rect_covers_tile(&g_text_layer.text_rect, tx, ty);
}

void text_layer_off(FrameWriter *out) {
    if (!g_text_layer.text_active) return;
    // Without room for the message the layer stays active and the next pass tries again.
    uint8_t *dst = writer_reserve(out, HEADER_BYTES + TEXT_LAYER_HEADER_BYTES);
    if (!dst) return;
    TextLayerHeader off;
    memset(&off, 0, sizeof off);   // no grid: the layer is off
    writer_commit(out, msg_pack_text_layer(dst, &off, 0));
    g_text_layer.text_active = 0;
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
static int append_message(FrameWriter *out, const text_rect_t *rect, int32_t cols, int32_t rows, int records,
                          size_t body_len) {
    size_t bound = codec_bound(body_len);
    uint8_t *dst = writer_reserve(out, HEADER_BYTES + TEXT_LAYER_HEADER_BYTES + bound);
    if (!dst) return 0;
    int m = codec_compress(g_text_layer.body, body_len, dst + HEADER_BYTES + TEXT_LAYER_HEADER_BYTES, bound);
    if (m < 0) return 0;
    TextLayerHeader h = {rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                         (uint16_t)cols, (uint16_t)rows, (uint16_t)records, (uint32_t)body_len};
    writer_commit(out, msg_pack_text_layer(dst, &h, (uint32_t)m) + (size_t)m);
    return 1;
}

int text_layer_apply(FrameWriter *out, const text_cell *cells, int32_t cols, int32_t rows, const text_rect_t *rect) {
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
    if (!append_message(out, rect, cols, rows, records, body_len)) return 0;
    memcpy(t->text_cells, cells, n * sizeof(text_cell));
    t->text_cols = cols;
    t->text_rows = rows;
    t->text_rect = *rect;
    t->text_active = 1;
    return 1;
}

void text_layer_pass(FrameWriter *out) {
    int32_t cols = 0, rows = 0;
    text_rect_t rect;
    if (!text_console_read(&cols, &rows, &rect) || !text_layer_apply(out, g_text_layer.read, cols, rows, &rect))
        text_layer_off(out);
}
