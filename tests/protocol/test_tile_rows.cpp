// Tile row sweeps: both vector widths, with streamed rows aligned or not, against a byte-at-a-time
// model, and nothing outside the tile's rows is touched.
#include <gtest/gtest.h>
#include <string.h>
#include <vector>
#include "protocol/messages.h"
#include "protocol/tile_rows.h"

enum { ROW = TILE_EDGE * 4, STRIDE = 3 * ROW + 64 };   // a picture three tiles wide, and a margin

static std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n + 128);
    for (size_t i = 0; i < v.size(); i++) v[i] = (uint8_t)((i * 131 + seed * 7919) >> 3 ^ seed);
    return v;
}

static uint8_t *at64(std::vector<uint8_t> &v, size_t skew) {
    return (uint8_t *)(((uintptr_t)v.data() + 63) / 64 * 64) + skew;
}

TEST(TileRows, DeltaMatchesTheModelAtEitherWidth) {
    for (int wide = 0; wide <= 1; wide++) {
        if (tile_rows_wide(wide) != wide) continue;
        for (int mode = 0; mode < 8; mode++)   // take, zero, tile
            for (size_t skew : {0, 16, 4}) {
                int take = mode & 1, zero = mode >> 1 & 1, with_tile = mode >> 2;
                size_t pic = (size_t)STRIDE * TILE_EDGE;
                std::vector<uint8_t> cv = pattern(pic, 1), sv = pattern(pic, zero ? 0 : 2), before;
                uint8_t *cur = at64(cv, skew), *snt = at64(sv, skew) + ROW;   // the second tile of the row
                if (zero)
                    for (int r = 0; r < TILE_EDGE; r++) memset(snt + r * STRIDE, 0, ROW);
                before = sv;
                std::vector<uint8_t> delta(TILE_BYTES), tile(TILE_BYTES, 0xEE);
                tile_rows_delta(cur + ROW, snt, STRIDE, with_tile ? tile.data() : nullptr, delta.data(), take, zero);
                for (int r = 0; r < TILE_EDGE; r++)
                    for (int j = 0; j < ROW; j++) {
                        uint8_t c = cur[ROW + r * STRIDE + j], s = before[(size_t)(snt - sv.data()) + r * STRIDE + j];
                        ASSERT_EQ(delta[r * ROW + j], (uint8_t)(c ^ s)) << wide << mode << skew;
                        ASSERT_EQ(snt[r * STRIDE + j], take ? c : s);
                        if (with_tile) {
                            ASSERT_EQ(tile[r * ROW + j], c);
                        }
                        snt[r * STRIDE + j] = s;
                    }
                EXPECT_TRUE(sv == before) << "a byte outside the tile's rows changed";
            }
    }
    tile_rows_wide(-1);
}

TEST(TileRows, XorInMatchesTheModelAtEitherWidth) {
    for (int wide = 0; wide <= 1; wide++) {
        if (tile_rows_wide(wide) != wide) continue;
        for (int cached = 0; cached <= 1; cached++)
            for (size_t skew : {0, 16, 4}) {
                std::vector<uint8_t> fv = pattern((size_t)STRIDE * TILE_EDGE, 3), diff = pattern(TILE_BYTES, 4);
                std::vector<uint8_t> cv(TILE_BYTES + 192, 0x5A), before = fv;
                uint8_t *dst = at64(fv, skew), *cache = cached ? at64(cv, skew) : nullptr;
                tile_rows_xor_in(dst, STRIDE, diff.data(), cache);
                tile_rows_fence();
                for (int r = 0; r < TILE_EDGE; r++)
                    for (int j = 0; j < ROW; j++) {
                        size_t k = (size_t)(dst - fv.data()) + r * STRIDE + j;
                        uint8_t want = (uint8_t)(before[k] ^ diff[r * ROW + j]);
                        ASSERT_EQ(fv[k], want) << wide << cached << skew;
                        if (cache) {
                            ASSERT_EQ(cache[r * ROW + j], want);
                        }
                        fv[k] = before[k];
                    }
                EXPECT_TRUE(fv == before) << "a byte outside the tile's rows changed";
                if (cache) {
                    EXPECT_EQ(cache[TILE_BYTES], 0x5A);
                }
            }
    }
    tile_rows_wide(-1);
}
