// vo_relay's pure parts: the join parser fed in pieces, safe printing of rooms and names, options.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "relay/relay_join.h"
#include "relay/relay_options.h"

TEST(RelayJoin, EveryPrefixOfAGoodJoinIsPartialThenTheWholeIsOk) {
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, 'V', "123456789012345678", "my-computer");
    for (size_t n = 0; n < RELAY_JOIN_BYTES; n++) EXPECT_EQ(relay_parse_join(j, n, nullptr), RELAY_JOIN_PARTIAL) << n;
    relay_join_info info;
    ASSERT_EQ(relay_parse_join(j, sizeof j, &info), RELAY_JOIN_OK);
    EXPECT_EQ(info.role, 'V');
    EXPECT_EQ(memcmp(info.room, "123456789012345678", 18), 0);  // 18 characters, no terminator
    EXPECT_EQ(memcmp(info.name, "my-computer\0\0", 13), 0);
    relay_build_join(j, 'H', "", "");
    ASSERT_EQ(relay_parse_join(j, sizeof j, &info), RELAY_JOIN_OK);
    EXPECT_EQ(info.role, 'H');
}

TEST(RelayJoin, BadMagicVersionOrRoleIsReportedAsSoonAsTheByteArrives) {
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, 'H', "1", "x");
    struct { int at; uint8_t value; int want; } cases[] = {
        {0, 'v', RELAY_JOIN_BAD_MAGIC}, {3, 0, RELAY_JOIN_BAD_MAGIC},
        {4, 1, RELAY_JOIN_BAD_VERSION}, {4, 3, RELAY_JOIN_BAD_VERSION},
        {5, 'h', RELAY_JOIN_BAD_ROLE}, {5, 0, RELAY_JOIN_BAD_ROLE},
    };
    for (auto &c : cases) {
        uint8_t b[RELAY_JOIN_BYTES];
        memcpy(b, j, sizeof b);
        b[c.at] = c.value;
        EXPECT_EQ(relay_parse_join(b, (size_t)c.at, nullptr), RELAY_JOIN_PARTIAL);
        EXPECT_EQ(relay_parse_join(b, (size_t)c.at + 1, nullptr), c.want) << c.at;
        EXPECT_EQ(relay_parse_join(b, sizeof b, nullptr), c.want) << c.at;
    }
    EXPECT_STREQ(relay_join_error(RELAY_JOIN_BAD_ROLE), "bad role");
}

TEST(RelayJoin, FieldsPrintWithoutControlBytesAndDistinctRoomsPrintDistinctly) {
    char out[RELAY_FIELD_TEXT_MAX];
    uint8_t room[18] = {'a', 'b', 'c'};
    relay_format_field(room, 18, out, sizeof out);
    EXPECT_STREQ(out, "abc");
    uint8_t inner[18] = {'a', 'b', 'c', 0, 'x'};
    relay_format_field(inner, 18, out, sizeof out);
    EXPECT_STREQ(out, "abc\\x00x");
    uint8_t nasty[18] = {'\r', '\n', 0x1b, 0x7f, 0xff, '\\', '\'', ' ', '~'};
    relay_format_field(nasty, 18, out, sizeof out);
    EXPECT_STREQ(out, "\\x0d\\x0a\\x1b\\x7f\\xff\\x5c\\x27 ~");
    // The widest field, every byte escaped, fits; a small buffer is cut cleanly and terminated.
    uint8_t name[RELAY_NAME_BYTES];
    memset(name, 1, sizeof name);
    EXPECT_EQ(relay_format_field(name, sizeof name, out, sizeof out), (size_t)RELAY_NAME_BYTES * 4);
    char small[7];
    EXPECT_EQ(relay_format_field(name, sizeof name, small, sizeof small), 4u);
    EXPECT_STREQ(small, "\\x01");
}

static int parse(std::initializer_list<const char *> args, relay_config *cfg, char *err) {
    char *argv[16];
    int argc = 0;
    argv[argc++] = (char *)"vo_relay";
    for (const char *a : args) argv[argc++] = (char *)a;
    relay_config_defaults(cfg);
    return relay_parse_args(argc, argv, cfg, err, 200);
}

TEST(RelayOptions, DefaultsValuesAndRejections) {
    relay_config cfg;
    char err[200];
    ASSERT_EQ(parse({}, &cfg, err), RELAY_ARGS_RUN);
    EXPECT_STREQ(cfg.bind_ip, "0.0.0.0");
    EXPECT_EQ(cfg.port, 7000);
    EXPECT_EQ(cfg.viewer_wait_ms, 30000u);
    EXPECT_EQ(cfg.join_timeout_ms, 10000u);
    ASSERT_EQ(parse({"--bind", "127.0.0.1", "--port", "0", "--max-conns", "500", "--join-timeout", "2.5",
                     "--viewer-wait", "5", "--viewer-queue", "0", "--keepalive", "0"}, &cfg, err), RELAY_ARGS_RUN);
    EXPECT_STREQ(cfg.bind_ip, "127.0.0.1");
    EXPECT_EQ(cfg.port, 0);
    EXPECT_EQ(cfg.max_conns, 500);
    EXPECT_EQ(cfg.join_timeout_ms, 2500u);
    EXPECT_EQ(cfg.viewer_wait_ms, 5000u);
    EXPECT_EQ(cfg.viewer_queue_bytes, 0u);
    EXPECT_EQ(cfg.keepalive_s, 0u);
    EXPECT_EQ(cfg.ws_port, -1);   // the WebSocket front is off unless asked for
    ASSERT_EQ(parse({"--ws-port", "8080", "--ws-root", "/srv/vo-web"}, &cfg, err), RELAY_ARGS_RUN);
    EXPECT_EQ(cfg.ws_port, 8080);
    EXPECT_STREQ(cfg.ws_root, "/srv/vo-web");
    for (auto bad : {std::initializer_list<const char *>{"--port", "70000"}, {"--port"}, {"--port", "7x"},
                     {"--bind", "example"}, {"--viewer-wait", "0"}, {"--join-timeout", "-1"},
                     {"--max-conns", "0"}, {"--frobnicate"}, {"--ws-port", "-1"}, {"--ws-root", ""}}) {
        EXPECT_EQ(parse(bad, &cfg, err), RELAY_ARGS_BAD) << *bad.begin();
        EXPECT_NE(strstr(err, "--help"), nullptr);
    }
    EXPECT_EQ(parse({"--port", "1", "--help"}, &cfg, err), RELAY_ARGS_HELP);
    EXPECT_EQ(parse({"--port", "1", "--version"}, &cfg, err), RELAY_ARGS_VERSION);
    EXPECT_NE(strstr(relay_usage(), "--version"), nullptr);
}

TEST(RelayOptions, HelpDescribesEveryOption) {
    const char *u = relay_usage();
    for (const char *opt : {"--bind", "--port", "--max-conns", "--join-timeout", "--viewer-wait",
                            "--viewer-queue", "--keepalive", "--ws-port", "--ws-root", "reverse", "--help", "7000",
                            "replaces", "refused"})
        EXPECT_NE(strstr(u, opt), nullptr) << opt;
}
