// Clipboard messages: packing and unpacking round trips (non-ASCII, the 1 MiB limit), the empty
// text, malformed UTF-8, bad streams and lengths, and the UTF-16 conversions.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "protocol/clipboard.h"
#include "protocol/messages.h"

static std::string pack(const std::string &t, uint8_t type = MSG_CLIPBOARD_VIEWER) {
    clip_buf b = {nullptr, 0};
    long n = clip_pack(type, (const uint8_t *)t.data(), t.size(), &b);
    std::string m = n > 0 ? std::string((const char *)b.data, (size_t)n) : std::string();
    clip_buf_free(&b);
    return m;
}

// The text of a payload, or "<bad>".
static std::string unpack(const std::string &payload) {
    clip_buf b = {nullptr, 0};
    long n = clip_unpack((const uint8_t *)payload.data(), payload.size(), &b);
    std::string t = n >= 0 ? std::string((const char *)b.data, (size_t)n) : std::string("<bad>");
    clip_buf_free(&b);
    return t;
}

// A payload with the given length field around the compressed bytes of body.
static std::string payload_of(uint32_t declared, const std::string &body) {
    std::vector<uint8_t> z(codec_bound(body.size()));
    int k = codec_compress((const uint8_t *)body.data(), body.size(), z.data(), z.size());
    std::string p(4, '\0');
    put_u32((uint8_t *)&p[0], declared);
    return p + std::string((const char *)z.data(), (size_t)k);
}

TEST(Clipboard, RoundTripsTextUpToTheLimitAndRefusesMoreOrNothing) {
    std::string t = "h\xC3\xA9llo \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80\r\nend";   // é, 中文, an emoji
    std::string m = pack(t, MSG_CLIPBOARD_HOST);
    ASSERT_GT(m.size(), (size_t)HEADER_BYTES + 4);
    MessageHeader h = header_get((const uint8_t *)m.data());
    EXPECT_EQ(h.type, MSG_CLIPBOARD_HOST);
    EXPECT_EQ(h.length, m.size() - HEADER_BYTES);
    EXPECT_EQ(get_u32((const uint8_t *)m.data() + HEADER_BYTES), t.size());
    EXPECT_EQ(unpack(m.substr(HEADER_BYTES)), t);

    std::string big(CLIP_MAX_TEXT, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = (char)('a' + i % 23);
    m = pack(big);
    ASSERT_FALSE(m.empty());
    EXPECT_LE(m.size() - HEADER_BYTES, (size_t)CLIP_MAX_PAYLOAD);
    EXPECT_EQ(unpack(m.substr(HEADER_BYTES)), big);
    EXPECT_EQ(pack(big + "y"), "");
    EXPECT_EQ(pack(""), "");
    // A zero length field is refused even with a well-formed (empty) stream behind it.
    EXPECT_EQ(unpack(payload_of(0, "")), "<bad>");
    EXPECT_EQ(CLIP_MAX_PAYLOAD, 1052708u);
}

TEST(Clipboard, MalformedUtf8IsRefusedOnBothSides) {
    const char *bad[] = {
        "\xC0\x80",                 // overlong NUL
        "\xC1\xBF",                 // overlong two-byte
        "\xE0\x80\xAF",             // overlong three-byte
        "\xF0\x80\x80\xAF",         // overlong four-byte
        "\xED\xA0\x80",             // high surrogate
        "\xED\xBF\xBF",             // low surrogate
        "\xF4\x90\x80\x80",         // U+110000
        "\xF5\x80\x80\x80",         // beyond any plane
        "ab\xE4\xB8",               // cut sequence at the end
        "\x80x",                    // stray continuation byte
        "\xE4\x41\xAD",             // continuation missing
    };
    for (const char *b : bad) {
        std::string s(b);
        EXPECT_EQ(clip_utf8_valid((const uint8_t *)s.data(), s.size()), 0) << s;
        EXPECT_EQ(pack(s), "") << s;
        EXPECT_EQ(unpack(payload_of((uint32_t)s.size(), s)), "<bad>") << s;
    }
    std::string nul("a\0b", 3);
    EXPECT_EQ(unpack(payload_of(3, nul)), "<bad>");
    std::string edge = "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xC2\x80";   // U+D7FF, U+E000, U+10FFFF, U+0080
    EXPECT_EQ(unpack(payload_of((uint32_t)edge.size(), edge)), edge);
}

TEST(Clipboard, BadStreamsAndLengthsAreDropped) {
    std::string good = payload_of(5, "hello");
    EXPECT_EQ(unpack(good), "hello");
    EXPECT_EQ(unpack(payload_of(4, "hello")), "<bad>");                  // stream longer than declared
    EXPECT_EQ(unpack(payload_of(6, "hello")), "<bad>");                  // shorter
    EXPECT_EQ(unpack(payload_of(CLIP_MAX_TEXT + 1, "hello")), "<bad>");  // over the limit
    EXPECT_EQ(unpack(good.substr(0, good.size() - 1)), "<bad>");        // cut stream
    EXPECT_EQ(unpack(good.substr(0, 3)), "<bad>");                      // no room for the length
    EXPECT_EQ(unpack(std::string("\x05\0\0\0\x0F\x00\x00", 7)), "<bad>");   // a match reaching before the start
    EXPECT_EQ(unpack(std::string("\x05\0\0\0", 4)), "<bad>");            // no stream at all
}

TEST(Clipboard, Utf16ConversionsKeepPairsAndReplaceLoneSurrogates) {
    const uint16_t w[] = {'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00, 0xD800, 'b', 0xDC00};
    uint8_t u[3 * 8];
    size_t n = clip_utf16_to_utf8(w, 8, u);
    EXPECT_EQ(std::string((const char *)u, n), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(clip_utf8_valid(u, n), 1);
    uint16_t back[32];
    size_t k = clip_utf8_to_utf16(u, n, back);
    const uint16_t want[] = {'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00, 0xFFFD, 'b', 0xFFFD};
    ASSERT_EQ(k, 8u);
    EXPECT_EQ(memcmp(back, want, sizeof want), 0);
}
