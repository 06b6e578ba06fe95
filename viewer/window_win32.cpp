// window_win32: the "voviewer" window. Paints the host picture scaled to fit (never enlarged),
// centred on black through a back buffer, draws the console text layer over it, shows statistics
// in the title each second, tells the session when the tile cache is due for its periodic save,
// and sends mouse and keys to the host.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "viewer/clipboard.h"
#include "viewer/layout.h"
#include "viewer/outbox.h"
#include "viewer/viewer.h"
#include "viewer/window.h"

#define TIMER_TITLE 1
#define TIMER_SAVE 2   // the loop hands it to the session: time to save the cache

// Window-thread state, kept between sessions.
static struct {
    HWND hwnd;              // the current session's window
    HDC mem_dc;             // back buffer device context (made at the first paint)
    HBITMAP bitmap;         // back buffer bitmap of the client size
    int bmp_w, bmp_h;       // its size
    HFONT font;             // text-layer font and the cell size it was made for
    int font_w, font_h;
    viewer_layout layout;   // layout of the last paint
    uint32_t last_frames;   // counters at the previous title update
    uint32_t last_bytes;
} W32;

static const COLORREF PALETTE[16] = {
    RGB(12, 12, 12),    RGB(0, 55, 218),    RGB(19, 161, 14),   RGB(58, 150, 221),
    RGB(197, 15, 31),   RGB(136, 23, 152),  RGB(193, 156, 0),   RGB(204, 204, 204),
    RGB(118, 118, 118), RGB(59, 120, 255),  RGB(22, 198, 12),   RGB(97, 214, 214),
    RGB(231, 72, 86),   RGB(180, 0, 158),   RGB(249, 241, 165), RGB(242, 242, 242)};

// Back buffer of the client size; 1 when it was (re)made.
static int back_buffer_fit(HDC dc, int cw, int ch) {
    if (!W32.mem_dc) W32.mem_dc = CreateCompatibleDC(dc);
    if (W32.bitmap && W32.bmp_w == cw && W32.bmp_h == ch) return 0;
    HBITMAP bmp = CreateCompatibleBitmap(dc, cw > 0 ? cw : 1, ch > 0 ? ch : 1);
    SelectObject(W32.mem_dc, bmp);
    if (W32.bitmap) DeleteObject(W32.bitmap);
    W32.bitmap = bmp;
    W32.bmp_w = cw;
    W32.bmp_h = ch;
    return 1;
}

static void paint_picture(const RECT *area) {
    const viewer_layout *L = &W32.layout;
    int sx0, sy0, sx1, sy1;
    if (!layout_source_rect(L, g_viewer.width, g_viewer.height, area->left, area->top, area->right, area->bottom,
                            &sx0, &sy0, &sx1, &sy1))
        return;
    SetStretchBltMode(W32.mem_dc, L->scale < 1.0 ? HALFTONE : COLORONCOLOR);
    if (L->scale < 1.0) SetBrushOrgEx(W32.mem_dc, 0, 0, nullptr);
    BITMAPINFO bi;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = 40;
    bi.bmiHeader.biWidth = g_viewer.pad_width;
    bi.bmiHeader.biHeight = -g_viewer.pad_height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    int dx, dy, dw, dh;
    layout_dest_rect(L, sx0, sy0, sx1, sy1, &dx, &dy, &dw, &dh);
    StretchDIBits(W32.mem_dc, dx, dy, dw, dh, sx0, g_viewer.pad_height - sy1, sx1 - sx0, sy1 - sy0, g_viewer.fb, &bi,
                  DIB_RGB_COLORS, SRCCOPY);
}

static void text_font_fit(int cellw, int cellh) {
    if (W32.font && W32.font_w == cellw && W32.font_h == cellh) return;
    if (W32.font) DeleteObject(W32.font);
    W32.font = CreateFontW(-cellh, cellw, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FIXED_PITCH, L"Consolas");
    W32.font_w = cellw;
    W32.font_h = cellh;
}

static void paint_text_layer(void) {
    const viewer_text *t = &g_viewer.text;
    if (!t->active || !t->cols || !t->rows || !t->grid) return;
    const viewer_layout *L = &W32.layout;
    int cellw, cellh, gx, gy;
    layout_text_cells(L, t->left, t->top, t->width, t->height, t->cols, t->rows, &cellw, &cellh, &gx, &gy);
    text_font_fit(cellw, cellh);
    SelectObject(W32.mem_dc, W32.font);
    SetBkMode(W32.mem_dc, OPAQUE);
    WCHAR run[LAYOUT_TEXT_RUN_MAX];
    for (int r = 0; r < t->rows; r++) {
        const uint8_t *row = t->grid + (size_t)r * t->cols * 3;
        int top = gy + r * cellh;
        for (int c = 0; c < t->cols;) {
            int k = layout_text_run(row, c, t->cols);
            uint8_t attr = row[c * 3 + 2];
            for (int i = 0; i < k; i++) {
                WCHAR ch = (WCHAR)get_u16(row + (c + i) * 3);
                run[i] = ch ? ch : L' ';
            }
            SetTextColor(W32.mem_dc, PALETTE[attr & 15]);
            SetBkColor(W32.mem_dc, PALETTE[attr >> 4]);
            RECT clip = {gx + c * cellw, top, gx + (c + k) * cellw, top + cellh};
            ExtTextOutW(W32.mem_dc, clip.left, top, ETO_OPAQUE | ETO_CLIPPED, &clip, run, (UINT)k, nullptr);
            c += k;
        }
    }
}

static void on_paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    int cw = client.right, ch = client.bottom;
    int fresh = back_buffer_fit(dc, cw, ch);
    viewer_layout next;
    layout_compute(&next, cw, ch, g_viewer.width, g_viewer.height);
    RECT area = ps.rcPaint;
    if (fresh || next.sw != W32.layout.sw || next.sh != W32.layout.sh) {
        RECT all = {0, 0, cw, ch};
        FillRect(W32.mem_dc, &all, (HBRUSH)GetStockObject(BLACK_BRUSH));
        area = all;
    }
    W32.layout = next;
    lock_enter(&g_viewer.lock);
    if (g_viewer.fb) paint_picture(&area);
    paint_text_layer();
    lock_leave(&g_viewer.lock);
    BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, W32.mem_dc, area.left,
           area.top, SRCCOPY);
    EndPaint(hwnd, &ps);
}

static void on_repaint_request(HWND hwnd) {
    int32_t l, t, r, b;
    lock_enter(&g_viewer.lock);
    int had = viewer_dirty_take(&l, &t, &r, &b);
    lock_leave(&g_viewer.lock);
    if (!had) return;
    RECT rc;
    layout_invalidate_rect(&W32.layout, l, t, r, b, (int *)&rc.left, (int *)&rc.top, (int *)&rc.right,
                           (int *)&rc.bottom);
    InvalidateRect(hwnd, &rc, FALSE);
}

static void on_title_tick(HWND hwnd) {
    char title[256];
    uint32_t frames = g_viewer.frames.load(), bytes = g_viewer.bytes_received.load();
    layout_title(title, sizeof title, g_viewer.host_name, g_viewer.width, g_viewer.height, (long)(frames - W32.last_frames),
                 (long)((bytes - W32.last_bytes) / 1024), (long)g_viewer.cache_hits.load(),
                 (long)g_viewer.cache_misses.load(), g_viewer.text.active);
    SetWindowTextA(hwnd, title);
    W32.last_frames = frames;
    W32.last_bytes = bytes;
}

static void send_mouse(int cx, int cy, uint8_t action, uint8_t button, int16_t wheel) {
    int32_t hx, hy;
    if (!layout_map_mouse(&W32.layout, g_viewer.width, g_viewer.height, cx, cy, &hx, &hy)) return;
    MouseMsg m = {hx, hy, action, button, wheel};
    uint8_t msg[HEADER_BYTES + MOUSE_BYTES];
    viewer_send(msg, msg_pack_mouse(msg, &m), 0);
}

static void send_key(WPARAM wp, uint8_t down) {
    KeyMsg k = {(uint16_t)LOWORD(wp), down};
    uint8_t msg[HEADER_BYTES + KEY_BYTES];
    viewer_send(msg, msg_pack_key(msg, &k), 0);
}

// Mouse messages; 1 when handled.
static int on_mouse(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    int cx = (short)LOWORD(lp), cy = (short)HIWORD(lp);
    switch (msg) {
    case WM_MOUSEMOVE: send_mouse(cx, cy, 0, 0, 0); return 1;
    case WM_LBUTTONDOWN: SetCapture(hwnd); send_mouse(cx, cy, 1, 0, 0); return 1;
    case WM_LBUTTONUP: ReleaseCapture(); send_mouse(cx, cy, 2, 0, 0); return 1;
    case WM_RBUTTONDOWN: send_mouse(cx, cy, 1, 1, 0); return 1;
    case WM_RBUTTONUP: send_mouse(cx, cy, 2, 1, 0); return 1;
    case WM_MBUTTONDOWN: send_mouse(cx, cy, 1, 2, 0); return 1;
    case WM_MBUTTONUP: send_mouse(cx, cy, 2, 2, 0); return 1;
    case WM_MOUSEWHEEL: {
        POINT p = {cx, cy};
        ScreenToClient(hwnd, &p);
        send_mouse(p.x, p.y, 3, 0, (int16_t)HIWORD(wp));
        return 1;
    }
    }
    return 0;
}

static LRESULT CALLBACK viewer_wndproc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: on_paint(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SIZE: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    case WM_USER: on_repaint_request(hwnd); return 0;
    case WM_TIMER:
        if (wp == TIMER_TITLE) on_title_tick(hwnd);
        return 0;
    case WM_DESTROY:
        viewer_clipboard_window_closed();
        PostQuitMessage(0);
        return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: send_key(wp, 1); return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP: send_key(wp, 0); return 0;
    }
    if (on_mouse(hwnd, msg, wp, lp)) return 0;
    if (viewer_clipboard_window_message(hwnd, msg, wp)) return 0;
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Receive-thread hooks: repaint after a frame end, close when the connection ended.
static void win32_on_frame(void) {
    HWND h = W32.hwnd;
    if (h) PostMessageA(h, WM_USER, 0, 0);
}
static void win32_on_close(void) {
    HWND h = W32.hwnd;
    if (h) PostMessageA(h, WM_CLOSE, 0, 0);
}

void viewer_window_close(void) { win32_on_close(); }

int viewer_window_open(void) {
    SetProcessDPIAware();
    HINSTANCE inst = GetModuleHandleA(nullptr);
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = viewer_wndproc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = "voviewer";
    RegisterClassA(&wc);   // a second session's registration fails harmlessly

    int cw, ch;
    layout_initial_client(g_viewer.width, g_viewer.height, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), &cw, &ch);
    RECT r = {0, 0, cw, ch};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    memset(&W32.layout, 0, sizeof W32.layout);
    W32.layout.scale = 1.0;
    W32.last_frames = W32.last_bytes = 0;
    g_viewer.on_frame = win32_on_frame;
    g_viewer.on_close = win32_on_close;
    W32.hwnd = CreateWindowExA(0, "voviewer", g_viewer.host_name, WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                               CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, inst, nullptr);
    if (!W32.hwnd) return 0;
    SetTimer(W32.hwnd, TIMER_TITLE, 1000, nullptr);
    SetTimer(W32.hwnd, TIMER_SAVE, 300000, nullptr);
    viewer_clipboard_window_open(W32.hwnd);
    return 1;
}

int viewer_window_loop(void) {
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (m.message == WM_TIMER && m.hwnd == W32.hwnd && m.wParam == TIMER_SAVE) return 1;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    W32.hwnd = nullptr;
    return 0;
}
