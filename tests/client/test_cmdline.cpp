// vo_client command line: direct and relay targets, word order, cuts and the usage cases.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "client/cmdline.h"
#include "protocol/channel_v2.h"

struct client_case {
    std::vector<const char *> args;
    int runs;             // 0: usage text and exit code 1
    int relay;
    const char *host;     // what the session is called with
    const char *port;
    const char *id;
    const char *password;
};

static std::string show(const std::vector<const char *> &args) {
    std::string s;
    for (const char *a : args) s += std::string(a) + " ";
    return s;
}

static void check(const client_case &c) {
    std::vector<const char *> argv = c.args;
    argv.insert(argv.begin(), "vo_client.exe");
    client_options o;
    int runs = client_parse_args(&o, (int)argv.size(), argv.data());
    std::string what = show(c.args);
    ASSERT_EQ(runs, c.runs) << what;
    if (!runs) return;
    EXPECT_EQ(o.relay, c.relay) << what;
    EXPECT_STREQ(client_target_host(&o), c.host) << what;
    EXPECT_STREQ(client_target_port(&o), c.port) << what;
    EXPECT_STREQ(o.peer_id, c.id) << what;
    EXPECT_STREQ(o.password, c.password) << what;
}

TEST(ClientCmdline, UsageWhenThereIsNothingToConnectTo) {
    client_case cases[] = {
        {{}, 0, 0, "", "", "", ""},
        {{"-p", "secret"}, 0, 0, "", "", "", ""},
    };
    for (auto &c : cases) check(c);
}

TEST(ClientCmdline, DirectConnection) {
    client_case cases[] = {
        {{"pc1"}, 1, 0, "pc1", "7777", "vo-demo", ""},
        {{"pc1", "8000", "-p", "pw"}, 1, 0, "pc1", "8000", "vo-demo", "pw"},
        {{"-p", "pw", "pc1", "8000"}, 1, 0, "pc1", "8000", "vo-demo", "pw"},
        {{"pc1", "-p", "pw", "8000"}, 1, 0, "pc1", "8000", "vo-demo", "pw"},
        {{"pc1", "8000", "9000"}, 1, 0, "pc1", "9000", "vo-demo", ""},  // a later word replaces the port
        {{"pc1:9000"}, 1, 0, "pc1:9000", "7777", "vo-demo", ""},         // not split in direct mode
        {{"pc1:9000", "8000"}, 1, 0, "pc1:9000", "8000", "vo-demo", ""},
        {{"pc1", "-p"}, 1, 0, "pc1", "-p", "vo-demo", ""},                // a last "-p" is a word
        {{"-r"}, 1, 0, "-r", "7777", "vo-demo", ""},                      // so is a last "-r"
        {{"-p", "a", "-p", "b", "pc1"}, 1, 0, "pc1", "7777", "vo-demo", "b"},
        {{"-p", "-r", "pc1"}, 1, 0, "pc1", "7777", "vo-demo", "-r"},     // a value is taken as it is
    };
    for (auto &c : cases) check(c);
}

TEST(ClientCmdline, NoclipIsAFlagAnywhere) {
    const char *argv[] = {"vo_client.exe", "pc1", "-noclip", "8000", "-p", "pw"};
    client_options o;
    ASSERT_EQ(client_parse_args(&o, 6, argv), 1);
    EXPECT_EQ(o.noclip, 1);
    EXPECT_STREQ(client_target_host(&o), "pc1");
    EXPECT_STREQ(client_target_port(&o), "8000");
    ASSERT_EQ(client_parse_args(&o, 2, argv), 1);
    EXPECT_EQ(o.noclip, 0);
}

TEST(ClientCmdline, RelayConnection) {
    client_case cases[] = {
        {{"-r", "123456789", "-p", "pw"}, 1, 1, VO_DEFAULT_RELAY_HOST, "7000", "123456789", "pw"},
        {{"-r", "123456789", "relay.example:7100"}, 1, 1, "relay.example", "7100", "123456789", ""},
        {{"-r", "123456789", "relay.example", "7100"}, 1, 1, "relay.example", "7000", "123456789", ""},
        {{"relay.example:7100", "-p", "pw", "-r", "42"}, 1, 1, "relay.example", "7100", "42", "pw"},
        {{"-r", "1", "a:b:7100"}, 1, 1, "a:b", "7100", "1", ""},         // cut at the last ':'
        {{"-r", "1", "relay.example:"}, 1, 1, "relay.example", "", "1", ""},
        {{"-r", "1", "-r", "2"}, 1, 1, VO_DEFAULT_RELAY_HOST, "7000", "2", ""},
        {{"-r", "1234567890123456789012345"}, 1, 1, VO_DEFAULT_RELAY_HOST, "7000", "123456789012345678", ""},
    };
    for (auto &c : cases) check(c);
}

TEST(ClientCmdline, LongRelayWordIsCutBeforeItIsSplit) {
    std::string far = std::string(124, 'h') + ":7100";  // the cut keeps ":71"
    std::string longer = std::string(200, 'h') + ":7100";
    client_case cases[] = {
        {{"-r", "1", far.c_str()}, 1, 1, "", "71", "1", ""},
        {{"-r", "1", longer.c_str()}, 1, 1, "", "7000", "1", ""},
    };
    std::string h124(124, 'h'), h127(127, 'h');
    cases[0].host = h124.c_str();
    cases[1].host = h127.c_str();
    for (auto &c : cases) check(c);
}

TEST(ClientCmdline, UsageText) {
    char out[512];
    int n = client_usage_text(out, sizeof out);
    std::string want = std::string(
        "usage: vo_client <host> [port] -p <password>          direct\n"
        "       vo_client -r <ID> [relayhost[:port]] -p <password>   via relay (default ") +
        VO_DEFAULT_RELAY_HOST + ":7000)\n";
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(n, (int)want.size());
    EXPECT_EQ(client_usage_text(out, 10), -1);
    EXPECT_EQ(strlen(out), 9u);
}

TEST(ClientCmdline, V2RefusesTheOlderLogin) {
    const char *argv[] = {"vo_client", "pc1", "-v2", "-p", "pw"};
    client_options o;
    ASSERT_EQ(client_parse_args(&o, 5, argv), 1);
    EXPECT_EQ(o.v2_only, 1);
    EXPECT_STREQ(client_target_host(&o), "pc1");
    EXPECT_EQ(client_login(&o), CHANNEL_LOGIN_V2_ONLY);
    const char *plain[] = {"vo_client", "pc1", "-p", "-v2"};   // a value is taken as it is
    ASSERT_EQ(client_parse_args(&o, 4, plain), 1);
    EXPECT_EQ(client_login(&o), CHANNEL_LOGIN_V2_PREFERRED);
    const char *alone[] = {"vo_client", "-v2"};
    EXPECT_EQ(client_parse_args(&o, 2, alone), 0);
}
