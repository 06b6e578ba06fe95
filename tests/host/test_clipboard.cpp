// Host clipboard: negotiation, the no-echo rule (text just taken from the viewer, or already
// sent, is not sent again), the newest change winning, and the limit.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "host/clipboard.h"
#include "host/log.h"
#include "protocol/clipboard.h"
#include "protocol/messages.h"

static void local(const std::string &t) { host_clipboard_local_text((const uint8_t *)t.data(), t.size()); }

static int viewer_text(const std::string &t) {
    clip_buf b = {nullptr, 0};
    long n = clip_pack(MSG_CLIPBOARD_VIEWER, (const uint8_t *)t.data(), t.size(), &b);
    int r = n > 0 && host_clipboard_apply(b.data + HEADER_BYTES, (uint32_t)(n - HEADER_BYTES));
    clip_buf_free(&b);
    return r;
}

TEST(HostClipboard, OnlyBothBitsShareAndNothingGoesBack) {
    EXPECT_EQ(host_clipboard_session_begin(3, 1), 0);
    local("ignored");
    EXPECT_EQ(host_clipboard_pending(), 0);
    EXPECT_EQ(viewer_text("ignored"), 0);
    host_clipboard_session_end();
    EXPECT_EQ(host_clipboard_session_begin(7, 0), 0);
    host_clipboard_session_end();
    ASSERT_EQ(host_clipboard_session_begin(7, 1), CAPS_CLIPBOARD);

    uint32_t before = 0;
    host_clipboard_stub_text(nullptr, 0, &before);
    ASSERT_EQ(viewer_text("from the viewer \xE4\xB8\xAD"), 1);   // the stand-in reports it back at once
#ifndef _WIN32   // the Windows build puts it on the real clipboard instead
    uint8_t got[64];
    uint32_t after = 0;
    size_t n = host_clipboard_stub_text(got, sizeof got, &after);
    EXPECT_EQ(after, before + 1);
    EXPECT_EQ(std::string((const char *)got, n), "from the viewer \xE4\xB8\xAD");
#endif
    EXPECT_EQ(host_clipboard_pending(), 0);   // no echo
    local("from the viewer \xE4\xB8\xAD");
    EXPECT_EQ(host_clipboard_pending(), 0);
    local("copied here");
    EXPECT_EQ(host_clipboard_pending(), 1);
    ASSERT_EQ(viewer_text("newer from the viewer"), 1);   // the viewer's newer text wins
    EXPECT_EQ(host_clipboard_pending(), 0);
    EXPECT_EQ(viewer_text(std::string("bad \xC0\x80", 6)), 0);
    host_clipboard_session_end();
}

TEST(HostClipboard, TooBigIsNotSentAndSaidOnce) {
    host_log_capture_start();
    ASSERT_EQ(host_clipboard_session_begin(CAPS_CLIPBOARD, 1), CAPS_CLIPBOARD);
    std::string big(CLIP_MAX_TEXT + 1, 'a');
    local(big);
    host_clipboard_local_text(nullptr, CLIP_MAX_TEXT + 5);
    EXPECT_EQ(host_clipboard_pending(), 0);
    EXPECT_EQ(host_log_count("clipboard: 1048577 bytes of text is over the 1 MiB limit, not sent"), 1);
    EXPECT_EQ(host_log_count("clipboard: "), 1);
    big.pop_back();
    local(big);
    EXPECT_EQ(host_clipboard_pending(), 1);
    host_clipboard_session_end();
    EXPECT_EQ(host_clipboard_pending(), 0);
    host_log_capture_stop();
}
