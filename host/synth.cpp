// synth: the synthetic screen: desktop drawing, the six workloads, and the rectangles each frame reports.
#include "host/synth.h"

#include <stdlib.h>
#include <string.h>

SynthScreen g_synth;

struct SynthBox {
    int32_t x0, y0, x1, y1;
};

static uint16_t synth_glyphs[96][16];   // 8 x 16 glyph bitmaps, bit b = pixel column b
static int synth_glyphs_ready;          // 1 once the glyphs were generated

static uint32_t synth_hash(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

static void synth_make_glyphs(void) {
    if (synth_glyphs_ready) return;
    for (int g = 0; g < 96; g++)
        for (int r = 0; r < 16; r++) {
            uint32_t bits = (r >= 3 && r < 13) ? synth_hash(g, r, 77) & synth_hash(g, r, 78) & 0x7E : 0;
            if (r >= 3 && r < 13 && (synth_hash(g, 0, 79) & 1)) bits |= 0x04;   // a stem, like many letters
            synth_glyphs[g][r] = (uint16_t)bits;
        }
    synth_glyphs_ready = 1;
}

static inline uint8_t *synth_px(int32_t x, int32_t y) {
    return g_synth.pixels + ((size_t)y * g_synth.width + x) * 4;
}

static inline void synth_store(uint8_t *p, uint32_t rgb) {
    p[0] = (uint8_t)rgb;
    p[1] = (uint8_t)(rgb >> 8);
    p[2] = (uint8_t)(rgb >> 16);
    p[3] = 0xFF;
}

static SynthBox synth_clip(SynthBox b) {
    if (b.x0 < 0) b.x0 = 0;
    if (b.y0 < 0) b.y0 = 0;
    if (b.x1 > g_synth.width) b.x1 = g_synth.width;
    if (b.y1 > g_synth.height) b.y1 = g_synth.height;
    if (b.x1 < b.x0) b.x1 = b.x0;
    if (b.y1 < b.y0) b.y1 = b.y0;
    return b;
}

static void synth_fill(SynthBox b, uint32_t rgb) {
    b = synth_clip(b);
    for (int32_t y = b.y0; y < b.y1; y++)
        for (int32_t x = b.x0; x < b.x1; x++) synth_store(synth_px(x, y), rgb);
}

// Layout of the desktop for the current size.
static SynthBox synth_editor(void) {
    int32_t w = g_synth.width, h = g_synth.height;
    return {w / 32, h / 16, w / 32 + w * 7 / 16, h / 16 + h * 5 / 8};
}
static SynthBox synth_page(void) {
    int32_t w = g_synth.width, h = g_synth.height;
    return {w / 2, h / 16, w - w / 32, h - h / 16 - (h >= 160 ? 40 : 0)};
}
static SynthBox synth_video(void) {
    int32_t w = g_synth.width, h = g_synth.height;
    return {w / 16, h * 23 / 32, w / 16 + w / 3, h * 23 / 32 + h / 6};
}
// The client area of a window: below a title bar of up to 24 rows.
static SynthBox synth_client(SynthBox win) {
    int32_t bar = (win.y1 - win.y0) / 4;
    if (bar > 24) bar = 24;
    return {win.x0, win.y0 + bar, win.x1, win.y1};
}
// The page's text column, left of its scroll bar.
static SynthBox synth_page_text(void) {
    SynthBox c = synth_client(synth_page());
    if (c.x1 - c.x0 > 48) c.x1 -= 12;
    return c;
}

// Character at (line, col) of document `seed`: 0 for a space or past the end of the line.
static uint32_t synth_doc_char(uint32_t seed, int32_t line, int32_t col) {
    if (line % 7 == 6) return 0;   // paragraph break
    int32_t len = 20 + (int32_t)(synth_hash(seed, (uint32_t)line, 1) % 70);
    if (col >= len) return 0;
    uint32_t c = synth_hash(seed, (uint32_t)line, (uint32_t)col + 1000);
    if ((c & 7) == 0) return 0;
    return 33 + (c >> 3) % 62;
}

// One pixel row of a document (row doc_y) drawn into screen row y, columns x0..x1-1.
static void synth_doc_row(uint32_t seed, int32_t doc_y, int32_t y, int32_t x0, int32_t x1) {
    if (y < 0 || y >= g_synth.height) return;
    SynthBox b = synth_clip({x0, y, x1, y + 1});
    for (int32_t x = b.x0; x < b.x1; x++) synth_store(synth_px(x, y), 0xFFFFFF);
    int32_t line = doc_y / 16, gy = doc_y % 16;
    uint32_t ink = (line % 20 == 0) ? 0x1A4FA0 : 0x202020;   // headings in blue
    for (int32_t col = 0; x0 + 8 + col * 8 + 8 <= b.x1; col++) {
        uint32_t ch = synth_doc_char(seed, line, col);
        if (!ch) continue;
        uint16_t bits = synth_glyphs[ch][gy];
        for (int32_t bx = 0; bx < 8; bx++) {
            int32_t x = x0 + 8 + col * 8 + bx;
            if ((bits >> bx & 1) && x >= b.x0) synth_store(synth_px(x, y), ink);
        }
    }
}

// Wallpaper: a photo-like picture, smooth colour fields from a 48-pixel grid plus sensor noise.
static uint32_t synth_background(int32_t x, int32_t y) {
    uint32_t v = g_synth.variant, gx = (uint32_t)x / 48, gy = (uint32_t)y / 48;
    uint32_t fx = (uint32_t)x % 48, fy = (uint32_t)y % 48;
    uint32_t c00 = synth_hash(gx, gy, v), c10 = synth_hash(gx + 1, gy, v);
    uint32_t c01 = synth_hash(gx, gy + 1, v), c11 = synth_hash(gx + 1, gy + 1, v);
    uint32_t noise = synth_hash((uint32_t)x, (uint32_t)y, v + 99), rgb = 0;
    for (int sh = 0; sh < 24; sh += 8) {
        uint32_t top = ((c00 >> sh & 0xFF) * (48 - fx) + (c10 >> sh & 0xFF) * fx) / 48;
        uint32_t bottom = ((c01 >> sh & 0xFF) * (48 - fx) + (c11 >> sh & 0xFF) * fx) / 48;
        int32_t ch = (int32_t)((top * (48 - fy) + bottom * fy) / 48) / 2 + 40 + (int32_t)(noise >> sh & 7) - 3;
        rgb |= (uint32_t)(ch < 0 ? 0 : ch > 255 ? 255 : ch) << sh;
    }
    return rgb;
}

static void synth_window(SynthBox win, uint32_t title_rgb, uint32_t seed, int32_t text_rows) {
    SynthBox c = synth_client(win);
    synth_fill({win.x0, win.y0, win.x1, c.y0}, title_rgb);
    for (int32_t y = c.y0; y < c.y1; y++) {
        if (y - c.y0 < text_rows)
            synth_doc_row(seed, y - c.y0, y, c.x0, c.x1);
        else
            synth_fill({c.x0, y, c.x1, y + 1}, 0xFFFFFF);
    }
}

static void synth_video_frame(uint32_t t) {
    SynthBox v = synth_clip(synth_video());
    for (int32_t y = v.y0; y < v.y1; y++)
        for (int32_t x = v.x0; x < v.x1; x++) {
            uint32_t noise = synth_hash((uint32_t)x, (uint32_t)y, t) & 7;
            uint32_t r = ((uint32_t)x * 2 + t * 3) & 0xFF, g = ((uint32_t)y * 2 + t * 5) & 0xFF;
            uint32_t b = (((uint32_t)(x + y) + t * 7) & 0xFF) ^ noise;
            synth_store(synth_px(x, y), (r << 16) | (g << 8) | b);
        }
}

static void synth_scrollbar(void) {
    SynthBox c = synth_client(synth_page()), t = synth_page_text();
    if (t.x1 == c.x1) return;
    synth_fill({t.x1, c.y0, c.x1, c.y1}, 0xE0E0E0);
    int32_t span = c.y1 - c.y0, thumb = span / 8 + 1;
    int32_t pos = span > thumb ? (g_synth.page_offset / 16) % (span - thumb) : 0;
    synth_fill({t.x1 + 2, c.y0 + pos, c.x1 - 2, c.y0 + pos + thumb}, 0x808080);
}

static void synth_page_rows(int32_t y0, int32_t y1) {
    SynthBox t = synth_page_text();
    for (int32_t y = y0; y < y1; y++) synth_doc_row(200 + g_synth.variant, g_synth.page_offset + y - t.y0, y, t.x0, t.x1);
}

// The whole desktop for the current variant.
static void synth_scene(void) {
    int32_t w = g_synth.width, h = g_synth.height;
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) synth_store(synth_px(x, y), synth_background(x, y));
    for (int32_t i = 0; 16 + i * 80 + 48 < h / 2; i++)   // desktop icons
        synth_fill({16, 16 + i * 80, 64, 64 + i * 80}, synth_hash(i, g_synth.variant, 5) & 0xFFFFFF);
    if (h >= 160) synth_fill({0, h - 40, w, h}, 0x303038);   // taskbar
    SynthBox e = synth_editor();
    synth_window(e, 0x3060A0, 100 + g_synth.variant, (e.y1 - e.y0) / 2);
    SynthBox p = synth_page();
    synth_fill({p.x0, p.y0, p.x1, synth_client(p).y0}, 0x505050);
    SynthBox t = synth_page_text();
    synth_page_rows(t.y0, t.y1);
    synth_scrollbar();
    synth_video_frame(g_synth.variant * 1000);
    g_synth.type_line = ((synth_client(e).y1 - synth_client(e).y0) / 2 + 15) / 16;
    g_synth.type_col = 0;
}

static void synth_add_dirty(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    SynthBox b = synth_clip({x0, y0, x1, y1});
    if (b.x1 <= b.x0 || b.y1 <= b.y0 || g_synth.dirty_count >= SYNTH_MAX_DIRTY) return;
    g_synth.dirty[g_synth.dirty_count++] = {b.x0, b.y0, b.x1, b.y1};
}

// A move of the screen area (sx, sy, w, h) to (dx, dy), or its destination as dirty without moves.
static void synth_add_move(int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) {
    if (w <= 0 || h <= 0) return;
    if (!g_synth.moves_enabled || g_synth.move_count >= SYNTH_MAX_MOVES) {
        synth_add_dirty(dx, dy, dx + w, dy + h);
        return;
    }
    g_synth.moves[g_synth.move_count++] = {sx, sy, dx, dy, dx + w, dy + h};
}

// Screen rows copied within the screen, overlap-safe in both directions.
static void synth_copy_area(int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) {
    size_t bytes = (size_t)w * 4;
    if (dy > sy)
        for (int32_t r = h - 1; r >= 0; r--) memmove(synth_px(dx, dy + r), synth_px(sx, sy + r), bytes);
    else
        for (int32_t r = 0; r < h; r++) memmove(synth_px(dx, dy + r), synth_px(sx, sy + r), bytes);
}

static void synth_cell(int32_t x, int32_t y, uint32_t ch) {
    synth_fill({x, y, x + 8, y + 16}, 0xFFFFFF);
    for (int32_t r = 0; r < 16 && ch; r++)
        for (int32_t b = 0; b < 8; b++)
            if ((synth_glyphs[ch][r] >> b & 1) && x + b < g_synth.width && y + r < g_synth.height)
                synth_store(synth_px(x + b, y + r), 0x202020);
}

static void synth_step_typing(void) {
    SynthBox c = synth_client(synth_editor());
    int32_t cols = (c.x1 - c.x0 - 16) / 8, lines = (c.y1 - c.y0) / 16;
    if (cols > 60) cols = 60;
    if (cols < 2 || lines < 1) return;
    if (g_synth.type_line >= lines) g_synth.type_line = 0;
    if (g_synth.type_col >= cols) {   // wrap: drop the old caret, clear the next line
        int32_t cx = c.x0 + 8 + g_synth.type_col * 8, cy = c.y0 + g_synth.type_line * 16;
        synth_fill({cx, cy, cx + 1, cy + 16}, 0xFFFFFF);
        synth_add_dirty(cx, cy, cx + 1, cy + 16);
        g_synth.type_col = 0;
        g_synth.type_line = (g_synth.type_line + 1) % lines;
        cy = c.y0 + g_synth.type_line * 16;
        synth_fill({c.x0, cy, c.x1, cy + 16}, 0xFFFFFF);
        synth_add_dirty(c.x0, cy, c.x1, cy + 16);
    }
    int32_t x = c.x0 + 8 + g_synth.type_col * 8, y = c.y0 + g_synth.type_line * 16;
    synth_cell(x, y, synth_doc_char(7 + g_synth.variant, g_synth.type_line, g_synth.type_col));
    synth_fill({x + 8, y, x + 9, y + 16}, 0x000000);   // caret
    synth_add_dirty(x, y, x + 9, y + 16);
    g_synth.type_col++;
}

static void synth_step_scroll(void) {
    SynthBox t = synth_page_text(), c = synth_client(synth_page());
    int32_t w = t.x1 - t.x0, h = t.y1 - t.y0, s = g_synth.scroll_step > 0 ? g_synth.scroll_step : 1;
    if (w <= 0 || h <= 0) return;
    if (s > h) s = h;
    g_synth.page_offset += s;
    synth_copy_area(t.x0, t.y0 + s, t.x0, t.y0, w, h - s);
    synth_page_rows(t.y1 - s, t.y1);
    synth_add_move(t.x0, t.y0 + s, t.x0, t.y0, w, h - s);
    synth_add_dirty(t.x0, t.y1 - s, t.x1, t.y1);
    synth_scrollbar();
    synth_add_dirty(t.x1, c.y0, c.x1, c.y1);
}

static void synth_restore(SynthBox b) {
    b = synth_clip(b);
    for (int32_t y = b.y0; y < b.y1 && b.x1 > b.x0; y++)
        memcpy(synth_px(b.x0, y), g_synth.base + ((size_t)y * g_synth.width + b.x0) * 4, (size_t)(b.x1 - b.x0) * 4);
    synth_add_dirty(b.x0, b.y0, b.x1, b.y1);
}

// Next position along one axis, bouncing off the screen edges.
static int32_t synth_bounce(int32_t pos, int32_t *delta, int32_t size, int32_t limit) {
    if (pos + *delta < 0 || pos + *delta + size > limit) *delta = -*delta;
    int32_t next = pos + *delta;
    if (next < 0) next = 0;
    if (next + size > limit) next = limit - size;
    return next;
}

static void synth_step_drag(void) {
    int32_t w = g_synth.width, h = g_synth.height, dw = w / 5, dh = h / 5;
    if (dw < 4 || dh < 4 || !g_synth.base) return;
    if (g_synth.step == 0) {
        memcpy(g_synth.base, g_synth.pixels, (size_t)w * h * 4);
        g_synth.drag_x = w / 3;
        g_synth.drag_y = h / 3;
        synth_window({g_synth.drag_x, g_synth.drag_y, g_synth.drag_x + dw, g_synth.drag_y + dh}, 0xA03030, 300, dh);
        synth_add_dirty(g_synth.drag_x, g_synth.drag_y, g_synth.drag_x + dw, g_synth.drag_y + dh);
        return;
    }
    int32_t ox = g_synth.drag_x, oy = g_synth.drag_y;
    int32_t nx = synth_bounce(ox, &g_synth.drag_dx, dw, w), ny = synth_bounce(oy, &g_synth.drag_dy, dh, h);
    synth_copy_area(ox, oy, nx, ny, dw, dh);
    synth_add_move(ox, oy, nx, ny, dw, dh);
    if (nx > ox) synth_restore({ox, oy, nx < ox + dw ? nx : ox + dw, oy + dh});
    if (nx < ox) synth_restore({nx + dw > ox ? nx + dw : ox, oy, ox + dw, oy + dh});
    if (ny > oy) synth_restore({ox, oy, ox + dw, ny < oy + dh ? ny : oy + dh});
    if (ny < oy) synth_restore({ox, ny + dh > oy ? ny + dh : oy, ox + dw, oy + dh});
    g_synth.drag_x = nx;
    g_synth.drag_y = ny;
}

// The terminal window of the terminal workloads: where the editor stands, 8 x 16 character cells.
static SynthBox synth_term(void) { return synth_client(synth_editor()); }

static void synth_term_cell(int32_t x, int32_t y, uint32_t ch, uint32_t ink) {
    synth_fill({x, y, x + 8, y + 16}, 0x0C0C0C);
    for (int32_t r = 0; r < 16 && ch; r++)
        for (int32_t b = 0; b < 8; b++)
            if ((synth_glyphs[ch][r] >> b & 1) && x + b < g_synth.width && y + r < g_synth.height)
                synth_store(synth_px(x + b, y + r), ink);
}

// One line of terminal output at screen row y: a prompt or listing, some words coloured.
static void synth_term_line(int32_t y, uint32_t line) {
    SynthBox c = synth_term();
    synth_fill({c.x0, y, c.x1, y + 16}, 0x0C0C0C);
    for (int32_t col = 0; c.x0 + 4 + col * 8 + 8 <= c.x1; col++) {
        uint32_t ch = synth_doc_char(500, (int32_t)line, col);
        uint32_t word = synth_hash(line, (uint32_t)col / 12, 501) % 6;
        uint32_t ink = line % 5 == 0 && col < 18 ? 0x16C60C : word == 0 ? 0x3B78FF : word == 1 ? 0x13A10E : 0xCCCCCC;
        if (ch) synth_term_cell(c.x0 + 4 + col * 8, y, ch, ink);
    }
}

// The start of a terminal workload: the window with a screenful of earlier output.
static void synth_term_open(void) {
    SynthBox e = synth_editor(), c = synth_term();
    synth_fill({e.x0, e.y0, e.x1, c.y0}, 0x2B2B2B);
    synth_fill(c, 0x0C0C0C);
    for (int32_t y = c.y0; y + 16 <= c.y1; y += 16) synth_term_line(y, (uint32_t)(y - c.y0) / 16);
    synth_add_dirty(e.x0, e.y0, e.x1, e.y1);
    g_synth.type_line = 0;
    g_synth.type_col = 0;
}

static void synth_step_term_typing(void) {
    SynthBox c = synth_term();
    int32_t cols = (c.x1 - c.x0 - 8) / 8, lines = (c.y1 - c.y0) / 16;
    if (cols > 80) cols = 80;
    if (g_synth.step == 0) {
        synth_term_open();
        g_synth.type_line = lines - 1;
        synth_fill({c.x0, c.y0 + g_synth.type_line * 16, c.x1, c.y0 + g_synth.type_line * 16 + 16}, 0x0C0C0C);
        return;
    }
    if (cols < 2 || lines < 1) return;
    int32_t y = c.y0 + g_synth.type_line * 16, x = c.x0 + 4 + g_synth.type_col * 8;
    if (g_synth.type_col >= cols) {   // the line is full: start it again
        synth_fill({c.x0, y, c.x1, y + 16}, 0x0C0C0C);
        synth_add_dirty(c.x0, y, c.x1, y + 16);
        g_synth.type_col = 0;
        x = c.x0 + 4;
    }
    synth_term_cell(x, y, synth_doc_char(9, g_synth.type_line + (int32_t)g_synth.step / 80, g_synth.type_col), 0xCCCCCC);
    synth_fill({x + 8, y, x + 16, y + 16}, 0xCCCCCC);   // block caret
    synth_add_dirty(x, y, x + 16, y + 16);
    g_synth.type_col++;
}

static void synth_step_term_scroll(void) {
    SynthBox c = synth_term();
    int32_t lines = (c.y1 - c.y0) / 16, h = lines * 16;
    if (g_synth.step == 0) {
        synth_term_open();
        return;
    }
    if (lines < 2) return;
    synth_copy_area(c.x0, c.y0 + 16, c.x0, c.y0, c.x1 - c.x0, h - 16);
    synth_add_move(c.x0, c.y0 + 16, c.x0, c.y0, c.x1 - c.x0, h - 16);
    synth_term_line(c.y0 + h - 16, (uint32_t)lines + g_synth.step);
    synth_add_dirty(c.x0, c.y0 + h - 16, c.x1, c.y0 + h);
}

// A new full-screen photo every frame.
static void synth_step_slideshow(void) {
    g_synth.variant++;
    for (int32_t y = 0; y < g_synth.height; y++)
        for (int32_t x = 0; x < g_synth.width; x++) synth_store(synth_px(x, y), synth_background(x, y));
    synth_add_dirty(0, 0, g_synth.width, g_synth.height);
}

void synth_step(void) {
    g_synth.move_count = g_synth.dirty_count = 0;
    if (!g_synth.pixels) return;
    switch (g_synth.workload) {
    case SYNTH_TYPING: synth_step_typing(); break;
    case SYNTH_SCROLL: synth_step_scroll(); break;
    case SYNTH_DRAG: synth_step_drag(); break;
    case SYNTH_VIDEO:
        synth_video_frame(g_synth.variant * 1000 + g_synth.step + 1);
        synth_add_dirty(synth_video().x0, synth_video().y0, synth_video().x1, synth_video().y1);
        break;
    case SYNTH_FULL:
        g_synth.variant++;
        synth_scene();
        synth_add_dirty(0, 0, g_synth.width, g_synth.height);
        break;
    case SYNTH_TERM_TYPING: synth_step_term_typing(); break;
    case SYNTH_TERM_SCROLL: synth_step_term_scroll(); break;
    case SYNTH_SLIDESHOW: synth_step_slideshow(); break;
    default: break;
    }
    if (g_synth.mark_pending) {
        g_synth.mark_pending = 0;
        int32_t x = g_synth.mark_x, y = g_synth.mark_y, e = g_synth.mark_edge;
        synth_fill({x, y, x + e, y + e}, g_synth.mark_rgb);
        synth_add_dirty(x, y, x + e, y + e);
    }
    g_synth.presented = g_synth.move_count + g_synth.dirty_count > 0;
    g_synth.step++;
}

static int synth_alloc(int32_t w, int32_t h) {
    free(g_synth.pixels);
    free(g_synth.base);
    g_synth.pixels = g_synth.base = NULL;
    g_synth.width = g_synth.height = 0;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return 0;
    g_synth.pixels = (uint8_t *)calloc((size_t)w * h, 4);
    g_synth.base = (uint8_t *)calloc((size_t)w * h, 4);
    if (!g_synth.pixels || !g_synth.base) {
        free(g_synth.pixels);
        free(g_synth.base);
        g_synth.pixels = g_synth.base = NULL;
        return 0;
    }
    g_synth.width = w;
    g_synth.height = h;
    synth_make_glyphs();
    synth_scene();
    return 1;
}

int synth_open(int32_t w, int32_t h) {
    synth_close();
    g_synth.moves_enabled = 1;
    g_synth.wait_ms = 2;
    g_synth.gdi_pause_ms = 16;
    g_synth.scroll_step = 16;
    g_synth.drag_dx = 12;
    g_synth.drag_dy = 5;
    return synth_alloc(w, h);
}

void synth_close(void) {
    free(g_synth.pixels);
    free(g_synth.base);
    memset(&g_synth, 0, sizeof g_synth);
}

int synth_resize(int32_t w, int32_t h) {
    g_synth.step = 0;
    g_synth.fail_next = 1;
    return synth_alloc(w, h);
}

void synth_set_workload(int workload) {
    g_synth.workload = (workload >= 0 && workload < SYNTH_ALL_WORKLOADS) ? workload : SYNTH_IDLE;
    g_synth.step = 0;
}

const char *synth_workload_name(int workload) {
    static const char *names[SYNTH_ALL_WORKLOADS] = {"idle", "typing", "scroll", "drag", "video", "full",
                                                     "term-typing", "term-scroll", "slideshow"};
    return (workload >= 0 && workload < SYNTH_ALL_WORKLOADS) ? names[workload] : "?";
}
