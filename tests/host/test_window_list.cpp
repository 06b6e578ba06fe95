// Window list: skip rules, record layout and flags, the 16384-byte limit, FNV-1a change detection
// and the empty list.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "host/window_list.h"
#include "protocol/messages.h"
#include "protocol/writer.h"

static FrameWriter s_out;   // the frame the passes write into, as the session's own

namespace {

WindowInfo win(uint32_t handle, const char *title, int32_t left = 10, int32_t top = 20) {
    WindowInfo w = {};
    w.handle = handle;
    w.visible = 1;
    w.left = left;
    w.top = top;
    w.right = left + 300;
    w.bottom = top + 200;
    w.title = title;
    w.title_len = (int)strlen(title);
    return w;
}

// Builds and finishes one list from `ws`; returns the number of messages appended.
int run_pass(const std::vector<WindowInfo> &ws) {
    writer_reset(&s_out);
    window_list_begin();
    for (const WindowInfo &w : ws)
        if (!window_list_add(&w)) break;
    window_list_finish(&s_out);
    int n = 0;
    for (size_t pos = 0; pos + HEADER_BYTES <= s_out.len; n++) {
        MessageHeader h = header_get(s_out.data + pos);
        EXPECT_EQ(h.type, MSG_WINDOW_LIST);
        pos += HEADER_BYTES + h.length;
    }
    return n;
}

class WindowList : public ::testing::Test {
  protected:
    void SetUp() override { window_list_session_reset(); }
    void TearDown() override { writer_reset(&s_out); }
};

}  // namespace

TEST(WindowListHash, Fnv1a) {
    EXPECT_EQ(window_list_fnv1a(nullptr, 0), 0x811C9DC5u);
    EXPECT_EQ(window_list_fnv1a((const uint8_t *)"a", 1), 0xE40C292Cu);
    EXPECT_EQ(window_list_fnv1a((const uint8_t *)"foobar", 6), 0xBF9CF968u);
}

TEST_F(WindowList, SkipRulesLayoutAndFlags) {
    WindowInfo hidden = win(1, "hidden"), untitled = win(2, ""), cloaked = win(3, "cloaked");
    hidden.visible = 0;
    cloaked.cloaked = 1;
    WindowInfo front = win(0xCAFE0004, "Editor", -8, -8);
    front.foreground = 1;
    front.minimized = 1;
    WindowInfo other = win(5, "Mail");
    ASSERT_EQ(run_pass({hidden, untitled, cloaked, front, other}), 1);
    const uint8_t *p = s_out.data + HEADER_BYTES;
    EXPECT_EQ(get_u32(s_out.data + 4), 2u + (22 + 6) + (22 + 4));
    EXPECT_EQ(get_u16(p), 2);
    p += 2;
    EXPECT_EQ(get_u32(p), 0xCAFE0004u);
    EXPECT_EQ(get_i32(p + 4), -8);
    EXPECT_EQ(get_i32(p + 8), -8);
    EXPECT_EQ(get_i32(p + 12), 300);
    EXPECT_EQ(get_i32(p + 16), 200);
    EXPECT_EQ(p[20], 3);   // minimized foreground window
    EXPECT_EQ(p[21], 6);
    EXPECT_EQ(memcmp(p + 22, "Editor", 6), 0);
    p += 28;
    EXPECT_EQ(get_u32(p), 5u);
    EXPECT_EQ(p[20], 0);
    EXPECT_EQ(memcmp(p + 22, "Mail", 4), 0);
}

TEST_F(WindowList, SentOnlyWhenItChanges) {
    std::vector<WindowInfo> ws = {win(1, "Editor"), win(2, "Mail")};
    EXPECT_EQ(run_pass(ws), 1);
    EXPECT_EQ(run_pass(ws), 0);
    ws[1].title = "Mail (1)";
    ws[1].title_len = 8;
    EXPECT_EQ(run_pass(ws), 1);
    EXPECT_EQ(run_pass(ws), 0);
    ws[0].left += 1;   // one pixel
    ws[0].right += 1;
    EXPECT_EQ(run_pass(ws), 1);
    // All windows gone: one empty list (count 0), then nothing.
    EXPECT_EQ(run_pass({}), 1);
    EXPECT_EQ(get_u32(s_out.data + 4), 2u);
    EXPECT_EQ(get_u16(s_out.data + HEADER_BYTES), 0);
    EXPECT_EQ(run_pass({}), 0);
    // A new session always starts with a list, even an empty one.
    window_list_session_reset();
    EXPECT_EQ(run_pass({}), 1);
    EXPECT_EQ(s_out.len, (size_t)HEADER_BYTES + 2);
}

TEST_F(WindowList, ByteLimitEndsTheEnumerationAndLongTitlesAreCut) {
    std::string t199(199, 'x'), t250(250, 'y');
    std::vector<WindowInfo> ws;
    WindowInfo longest = win(1000, "");
    longest.title = t250.c_str();
    longest.title_len = 250;
    ws.push_back(longest);
    for (uint32_t i = 0; i < 100; i++) {
        WindowInfo w = win(i, "");
        w.title = t199.c_str();
        w.title_len = 199;
        ws.push_back(w);
    }
    ws.push_back(win(7777, "short"));   // after the list is full: not listed either
    ASSERT_EQ(run_pass(ws), 1);
    // 221 bytes per record: 74 fit in 16384 (16354), the 75th would not.
    uint32_t len = get_u32(s_out.data + 4);
    EXPECT_EQ(get_u16(s_out.data + HEADER_BYTES), 74);
    EXPECT_EQ(len, 2u + 74 * 221);
    EXPECT_EQ(s_out.data[HEADER_BYTES + 2 + 21], 199);   // the 250-byte title cut to 199
    EXPECT_LE(len - 2, (uint32_t)WINDOW_LIST_MAX);
}

#ifndef _WIN32
TEST_F(WindowList, PassUsesTheFedWindows) {
    writer_reset(&s_out);
    window_list_feed(nullptr, 0);
    window_list_pass(&s_out);   // first pass of a session: the empty list
    EXPECT_EQ(s_out.len, (size_t)HEADER_BYTES + 2);
    WindowInfo ws[2] = {win(1, "Terminal"), win(2, "Browser")};
    window_list_feed(ws, 2);
    writer_reset(&s_out);
    window_list_pass(&s_out);
    ASSERT_GT(s_out.len, 0u);
    EXPECT_EQ(get_u16(s_out.data + HEADER_BYTES), 2);
    writer_reset(&s_out);
    window_list_pass(&s_out);
    EXPECT_EQ(s_out.len, 0u);
}
#endif

#ifdef _WIN32
// The real enumeration: whatever windows exist, the list is well formed and within its limits.
TEST_F(WindowList, EnumeratedListIsWellFormed) {
    writer_reset(&s_out);
    window_list_pass(&s_out);   // first pass of a session: always a list
    ASSERT_GE(s_out.len, (size_t)HEADER_BYTES + 2);
    uint32_t len = get_u32(s_out.data + 4);
    ASSERT_EQ(s_out.len, HEADER_BYTES + (size_t)len);
    int count = get_u16(s_out.data + HEADER_BYTES), seen = 0;
    size_t pos = HEADER_BYTES + 2;
    while (pos < s_out.len) {
        int L = s_out.data[pos + 21];
        EXPECT_GE(L, 1);
        EXPECT_LE(L, 199);
        pos += 22 + (size_t)L;
        seen++;
    }
    EXPECT_EQ(pos, s_out.len);
    EXPECT_EQ(seen, count);
    EXPECT_LE(len - 2, (uint32_t)WINDOW_LIST_MAX);
}
#endif
