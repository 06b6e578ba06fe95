// vnc_reference: what a lossless VNC server would send for the same screen changes, computed our
// own way for bench_bandwidth: one FramebufferUpdate per frame, a CopyRect per move, and every dirty
// rectangle in ZRLE's manner (64 x 64 tiles as solid, packed palette, palette RLE, plain RLE or raw
// 3-byte pixels, the smallest, all through one zlib stream per connection, flushed per rectangle),
// and once more in Tight's lossless manner (fill, palette or gradient filter into zlib).
#pragma once
#include <stdint.h>
#include <string.h>
#include <vector>
#include <zlib.h>

struct VncRef {
    z_stream zrle, tight;          // one stream each per connection, as the encodings keep them
    std::vector<uint8_t> raw, out;  // subencoded rectangle, compressed output
    uint64_t zrle_bytes;            // FramebufferUpdate bytes with ZRLE rectangles
    uint64_t tight_bytes;           // the same with Tight rectangles
};

static void vnc_ref_open(VncRef *v) {
    memset(&v->zrle, 0, sizeof v->zrle);
    memset(&v->tight, 0, sizeof v->tight);
    deflateInit(&v->zrle, 6);
    deflateInit(&v->tight, 6);
    v->zrle_bytes = v->tight_bytes = 0;
}

static void vnc_ref_close(VncRef *v) {
    deflateEnd(&v->zrle);
    deflateEnd(&v->tight);
}

static size_t vnc_ref_deflate(VncRef *v, z_stream *z) {
    v->out.resize(deflateBound(z, (uLong)v->raw.size()) + 64);
    z->next_in = v->raw.data();
    z->avail_in = (uInt)v->raw.size();
    z->next_out = v->out.data();
    z->avail_out = (uInt)v->out.size();
    deflate(z, Z_SYNC_FLUSH);
    return v->out.size() - z->avail_out;
}

static inline uint32_t vnc_px(const uint8_t *pix, int32_t stride, int32_t x, int32_t y) {
    uint32_t c;
    memcpy(&c, pix + (size_t)y * stride + (size_t)x * 4, 4);
    return c & 0xFFFFFF;
}

static void vnc_put_cpixel(std::vector<uint8_t> &o, uint32_t c) {
    o.push_back((uint8_t)c);
    o.push_back((uint8_t)(c >> 8));
    o.push_back((uint8_t)(c >> 16));
}

static void vnc_put_run(std::vector<uint8_t> &o, int32_t len) {
    for (len -= 1; len >= 255; len -= 255) o.push_back(255);
    o.push_back((uint8_t)len);
}

// One ZRLE tile (x, y, w, h) appended to v->raw in the smallest subencoding.
static void vnc_zrle_tile(VncRef *v, const uint8_t *pix, int32_t stride, int32_t x0, int32_t y0, int32_t w, int32_t h) {
    std::vector<uint32_t> pal, px;
    std::vector<int32_t> idx;
    for (int32_t y = y0; y < y0 + h; y++)
        for (int32_t x = x0; x < x0 + w; x++) px.push_back(vnc_px(pix, stride, x, y));
    for (uint32_t c : px) {
        size_t i = 0;
        while (i < pal.size() && pal[i] != c) i++;
        if (i == pal.size() && pal.size() <= 127) pal.push_back(c);
        idx.push_back(i < 128 ? (int32_t)i : 127);
        if (pal.size() > 127) break;
    }
    std::vector<uint8_t> best, cand;
    best.push_back(0);   // raw
    for (uint32_t c : px) vnc_put_cpixel(best, c);
    if (pal.size() == 1) best = {1, (uint8_t)pal[0], (uint8_t)(pal[0] >> 8), (uint8_t)(pal[0] >> 16)};
    size_t n = pal.size();
    if (n >= 2 && n <= 16) {   // packed palette
        int bits = n <= 2 ? 1 : n <= 4 ? 2 : 4;
        cand = {(uint8_t)n};
        for (uint32_t c : pal) vnc_put_cpixel(cand, c);
        for (int32_t y = 0; y < h; y++) {
            unsigned acc = 0, nb = 0;
            for (int32_t x = 0; x < w; x++) {
                acc = acc << bits | (unsigned)idx[(size_t)(y * w + x)];
                nb += bits;
                if (nb == 8) { cand.push_back((uint8_t)acc); acc = nb = 0; }
            }
            if (nb) cand.push_back((uint8_t)(acc << (8 - nb)));
        }
        if (cand.size() < best.size()) best = cand;
    }
    if (n >= 2 && n <= 127) {   // palette RLE
        cand = {(uint8_t)(128 + n)};
        for (uint32_t c : pal) vnc_put_cpixel(cand, c);
        for (size_t i = 0; i < px.size();) {
            size_t j = i;
            while (j < px.size() && px[j] == px[i]) j++;
            cand.push_back((uint8_t)(idx[i] | (j - i > 1 ? 128 : 0)));
            if (j - i > 1) vnc_put_run(cand, (int32_t)(j - i));
            i = j;
        }
        if (cand.size() < best.size()) best = cand;
    }
    cand = {128};   // plain RLE
    for (size_t i = 0; i < px.size() && cand.size() < best.size();) {
        size_t j = i;
        while (j < px.size() && px[j] == px[i]) j++;
        vnc_put_cpixel(cand, px[i]);
        vnc_put_run(cand, (int32_t)(j - i));
        i = j;
    }
    if (cand.size() < best.size()) best = cand;
    v->raw.insert(v->raw.end(), best.begin(), best.end());
}

// Tight's lossless path for a rectangle: one colour as a fill, up to 256 colours as a palette
// (1-bit rows for two colours, else a byte per pixel), else 3-byte pixels through the gradient
// filter; the bytes for zlib go to v->raw. Returns the bytes sent outside zlib (control, filter, palette).
static size_t vnc_tight_rect(VncRef *v, const uint8_t *pix, int32_t stride, int32_t x0, int32_t y0, int32_t w, int32_t h) {
    std::vector<uint32_t> pal;
    v->raw.clear();
    for (int32_t y = y0; y < y0 + h && pal.size() <= 256; y++)
        for (int32_t x = x0; x < x0 + w && pal.size() <= 256; x++) {
            uint32_t c = vnc_px(pix, stride, x, y);
            size_t i = 0;
            while (i < pal.size() && pal[i] != c) i++;
            if (i == pal.size()) pal.push_back(c);
        }
    if (pal.size() == 1) return 1 + 3;
    if (pal.size() <= 256) {
        for (int32_t y = y0; y < y0 + h; y++) {
            unsigned acc = 0, nb = 0;
            for (int32_t x = x0; x < x0 + w; x++) {
                uint32_t c = vnc_px(pix, stride, x, y);
                size_t i = 0;
                while (pal[i] != c) i++;
                if (pal.size() > 2) { v->raw.push_back((uint8_t)i); continue; }
                acc = acc << 1 | (unsigned)i;
                if (++nb == 8) { v->raw.push_back((uint8_t)acc); acc = nb = 0; }
            }
            if (nb) v->raw.push_back((uint8_t)(acc << (8 - nb)));
        }
        return 2 + 1 + 3 * pal.size();
    }
    for (int32_t y = y0; y < y0 + h; y++)
        for (int32_t x = x0; x < x0 + w; x++)
            for (int s = 0; s < 24; s += 8) {
                int c = (int)(vnc_px(pix, stride, x, y) >> s & 0xFF);
                int l = x > x0 ? (int)(vnc_px(pix, stride, x - 1, y) >> s & 0xFF) : 0;
                int u = y > y0 ? (int)(vnc_px(pix, stride, x, y - 1) >> s & 0xFF) : 0;
                int ul = x > x0 && y > y0 ? (int)(vnc_px(pix, stride, x - 1, y - 1) >> s & 0xFF) : 0;
                int p = l + u - ul;
                p = p < 0 ? 0 : p > 255 ? 255 : p;
                v->raw.push_back((uint8_t)(c - p));
            }
    return 2;
}

// One dirty rectangle, once as ZRLE (12-byte rectangle header, 4-byte length, zlib data) and once
// as Tight (rectangles of at most 65536 pixels, each with its header, control bytes and 1-3 length bytes).
static void vnc_ref_rect(VncRef *v, const uint8_t *pix, int32_t stride, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    if (x1 <= x0 || y1 <= y0) return;
    v->raw.clear();
    for (int32_t y = y0; y < y1; y += 64)
        for (int32_t x = x0; x < x1; x += 64)
            vnc_zrle_tile(v, pix, stride, x, y, x1 - x < 64 ? x1 - x : 64, y1 - y < 64 ? y1 - y : 64);
    v->zrle_bytes += 12 + 4 + vnc_ref_deflate(v, &v->zrle);
    int32_t w = x1 - x0, band = 65536 / (w < 2048 ? w : 2048);
    for (int32_t y = y0; y < y1; y += band)
        for (int32_t x = x0; x < x1; x += 2048) {
            int32_t cw = x1 - x < 2048 ? x1 - x : 2048, ch = y1 - y < band ? y1 - y : band;
            size_t head = vnc_tight_rect(v, pix, stride, x, y, cw, ch), tz = 0;
            if (!v->raw.empty()) tz = v->raw.size() < 12 ? v->raw.size() : vnc_ref_deflate(v, &v->tight);
            v->tight_bytes += 12 + head + (v->raw.empty() ? 0 : tz < 128 ? 1 : tz < 16384 ? 2 : 3) + tz;
        }
}

// One frame: the update header, a CopyRect per move (rectangles follow with vnc_ref_rect).
static void vnc_ref_frame(VncRef *v, int moves, int rects) {
    if (moves + rects == 0) return;
    uint64_t b = 4 + (uint64_t)moves * 16;
    v->zrle_bytes += b;
    v->tight_bytes += b;
}
