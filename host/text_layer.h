// text_layer: while a console window is in front, the host sends its visible characters and
// colours as compressed row records (MSG_TEXT_LAYER) so the viewer can draw crisp text over the
// picture; only changed rows go out, and the layer is switched off with a 26-zero-byte message
// when the console leaves the foreground. The console is read by a platform backend.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct FrameWriter;

#define TEXT_MAX_COLS 512
#define TEXT_MAX_ROWS 256

// One console cell as the console API gives it (CHAR_INFO): UTF-16 unit and attribute word.
struct text_cell {
    uint16_t ch;     // UTF-16 code unit
    uint16_t attr;   // attribute word; its low byte holds foreground and background colour
};

// A rectangle in screen pixels (right and bottom exclusive).
struct text_rect_t {
    int32_t left, top, right, bottom;
};

// What the viewer was last sent, and the scratch buffers. One per process.
struct TextLayerState {
    int text_active;          // 1 while the viewer shows a text layer
    text_rect_t text_rect;    // console client area (screen pixels) when last sent
    int32_t text_cols;        // console window width in cells when last sent
    int32_t text_rows;        // console window height in cells when last sent
    text_cell *text_cells;    // text_cols * text_rows cells as last sent
    size_t cells_cap;         // cells allocated in text_cells
    text_cell *read;          // the cells just read from the console
    size_t read_cap;          // cells allocated in read
    uint8_t *body;            // row records of one message before compression
    size_t body_cap;          // bytes allocated in body
};
extern TextLayerState g_text_layer;

// Encoder, picture lock held. Call text_layer_pass only when the text layer setting is on and the
// viewer's caps have bit 0; otherwise call text_layer_off, which switches an active layer off.
void text_layer_pass(FrameWriter *out);
void text_layer_off(FrameWriter *out);
// Session start: text_active = 0 (the next pass sends the whole console, if one is in front).
void text_layer_session_reset(void);
// 1 when the layer is active and tile (tx, ty) lies wholly inside its rectangle: such a tile
// is not sent while the layer is shown.
int text_layer_covers_tile(int32_t tx, int32_t ty);
// 1 when tile (tx, ty) lies wholly inside rectangle r (the test above, for any rectangle).
int text_rect_covers_tile(const text_rect_t *r, int32_t tx, int32_t ty);

// Applies one console reading: appends MSG_TEXT_LAYER with the rows that differ from what was
// last sent (all rows when the size or rectangle changed; nothing when no row changed) and
// stores the snapshot. cols 1..512, rows 1..256, cells hold cols * rows cells; 0 otherwise.
int text_layer_apply(FrameWriter *out, const text_cell *cells, int32_t cols, int32_t rows, const text_rect_t *rect);
// Room for n cells in the read scratch (grown as needed), or NULL when memory ran out.
text_cell *text_layer_read_buffer(size_t n);

// Backend: reads the foreground console's visible window into text_layer_read_buffer(cols *
// rows). 1 with cols, rows and its client rectangle set; 0 when no readable console is in front.
int text_console_read(int32_t *cols, int32_t *rows, text_rect_t *rect);

// Native stand-in only: the console the next passes read (copied), or cells NULL for none.
void text_console_feed(const text_cell *cells, int32_t cols, int32_t rows, const text_rect_t *rect);
