// Viewer window arithmetic: first window size, scaling and centring, mouse mapping, text runs, title.
#include <gtest/gtest.h>
#include <string.h>
#include "viewer/layout.h"

TEST(Layout, FirstWindowSizeIsAtMostNineTenthsOfTheScreen) {
    int cw, ch;
    layout_initial_client(3840, 2160, 1920, 1080, &cw, &ch);
    EXPECT_EQ(cw, 1728);
    EXPECT_EQ(ch, 972);
    layout_initial_client(800, 600, 1920, 1080, &cw, &ch);
    EXPECT_EQ(cw, 800);
    EXPECT_EQ(ch, 600);
}

TEST(Layout, PictureIsNeverEnlargedAndKeepsItsAspect) {
    viewer_layout L;
    layout_compute(&L, 1000, 800, 800, 600);   // larger client: 1:1, centred
    EXPECT_EQ(L.scale, 1.0);
    EXPECT_EQ(L.sw, 800);
    EXPECT_EQ(L.sh, 600);
    EXPECT_EQ(L.ox, 100);
    EXPECT_EQ(L.oy, 100);
    layout_compute(&L, 960, 1000, 1920, 1080);   // narrower client: width decides
    EXPECT_DOUBLE_EQ(L.scale, 0.5);
    EXPECT_EQ(L.sw, 960);
    EXPECT_EQ(L.sh, 540);
    EXPECT_EQ(L.ox, 0);
    EXPECT_EQ(L.oy, 230);
}

TEST(Layout, SourceRectangleCoversTheAreaWithAMargin) {
    viewer_layout L;
    layout_compute(&L, 960, 540, 1920, 1080);
    int x0, y0, x1, y1;
    ASSERT_TRUE(layout_source_rect(&L, 1920, 1080, 100, 100, 200, 150, &x0, &y0, &x1, &y1));
    EXPECT_EQ(x0, 198);
    EXPECT_EQ(y0, 198);
    EXPECT_EQ(x1, 403);
    EXPECT_EQ(y1, 303);
    ASSERT_TRUE(layout_source_rect(&L, 1920, 1080, 0, 0, 960, 540, &x0, &y0, &x1, &y1));
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(x1, 1920);   // clamped to the picture
    EXPECT_EQ(y1, 1080);
    layout_compute(&L, 1000, 600, 800, 600);   // black margin left and right of the picture
    EXPECT_FALSE(layout_source_rect(&L, 800, 600, 0, 0, 90, 600, &x0, &y0, &x1, &y1));
}

TEST(Layout, MouseMapsToTheHostAndClampsInTheMargin) {
    viewer_layout L;
    memset(&L, 0, sizeof L);
    L.scale = 1.0;
    int32_t hx = -1, hy = -1;
    EXPECT_FALSE(layout_map_mouse(&L, 800, 600, 10, 10, &hx, &hy));   // before the first paint
    layout_compute(&L, 1000, 600, 800, 600);
    ASSERT_TRUE(layout_map_mouse(&L, 800, 600, 990, 300, &hx, &hy));   // right margin
    EXPECT_EQ(hx, 799);
    EXPECT_EQ(hy, 300);
    ASSERT_TRUE(layout_map_mouse(&L, 800, 600, 5, -20, &hx, &hy));     // left margin, above
    EXPECT_EQ(hx, 0);
    EXPECT_EQ(hy, 0);
    layout_compute(&L, 960, 540, 1920, 1080);
    ASSERT_TRUE(layout_map_mouse(&L, 1920, 1080, 480, 270, &hx, &hy));
    EXPECT_EQ(hx, 960);
    EXPECT_EQ(hy, 540);
}

TEST(Layout, TextRunsStopAtAttributeChangesAnd512Cells) {
    static uint8_t row[600 * 3];
    memset(row, 0, sizeof row);
    for (int c = 0; c < 600; c++) row[c * 3 + 2] = 0x07;
    EXPECT_EQ(layout_text_run(row, 0, 600), 512);
    EXPECT_EQ(layout_text_run(row, 512, 600), 88);
    row[10 * 3 + 2] = 0x1F;
    EXPECT_EQ(layout_text_run(row, 0, 600), 10);
    EXPECT_EQ(layout_text_run(row, 10, 600), 1);
    int cw, ch, gx, gy;
    viewer_layout L;
    layout_compute(&L, 960, 540, 1920, 1080);
    layout_text_cells(&L, 100, 50, 960, 600, 120, 30, &cw, &ch, &gx, &gy);
    EXPECT_EQ(cw, 4);
    EXPECT_EQ(ch, 10);
    EXPECT_EQ(gx, 50);
    EXPECT_EQ(gy, 25);
    layout_text_cells(&L, 0, 0, 10, 10, 120, 30, &cw, &ch, &gx, &gy);
    EXPECT_EQ(cw, 1);   // never below one pixel
    EXPECT_EQ(ch, 1);
}

TEST(Layout, TitleCarriesTheStatisticsAndTheTextLayerMark) {
    char t[256];
    layout_title(t, sizeof t, "HOST-PC", 1920, 1080, 30, 512, 7, 2, 0);
    EXPECT_STREQ(t, "vo - HOST-PC  1920x1080  30 fps  512 KB/s  cache hits 7  misses 2");
    layout_title(t, sizeof t, "HOST-PC", 1920, 1080, 0, 0, 0, 0, 1);
    EXPECT_STREQ(t, "vo - HOST-PC  1920x1080  0 fps  0 KB/s  cache hits 0  misses 0  [text layer]");
}
