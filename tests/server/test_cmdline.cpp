// vo_server command line: option table, value cuts, help, mode choice, printed texts and the
// service command line (which must read back as the same settings).
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "server/cmdline.h"

static server_options parse(std::vector<const char *> args, int *help = nullptr) {
    args.insert(args.begin(), "vo_server.exe");
    server_options o;
    int h = server_parse_args(&o, (int)args.size(), args.data());
    if (help) *help = h;
    return o;
}

static std::string repeat(char c, int n) { return std::string((size_t)n, c); }

TEST(ServerCmdline, NoArgumentsGiveTheDefaults) {
    server_options o = parse({});
    EXPECT_EQ(o.listen_port, 7777);
    EXPECT_EQ(o.force_gdi, 0);
    EXPECT_EQ(o.text_layer_enabled, 1);
    EXPECT_EQ(o.window_tracking_enabled, 1);
    EXPECT_EQ(o.use_relay, 0);
    EXPECT_STREQ(o.relay_host, VO_DEFAULT_RELAY_HOST);
    EXPECT_EQ(o.relay_port, 7000);
    EXPECT_STREQ(o.room_name, "vo-demo");
    EXPECT_EQ(o.room_given, 0);
    EXPECT_STREQ(o.password, "");
    EXPECT_EQ(o.password_fixed, 0);
    EXPECT_EQ(o.rotate_hours, 6);
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_FOREGROUND);
}

TEST(ServerCmdline, AnyOtherWordSetsThePortAsAtoiReadsIt) {
    struct { std::vector<const char *> args; int port; } cases[] = {
        {{"8000"}, 8000},
        {{"web"}, 0},
        {{"12abc"}, 12},
        {{" 42"}, 42},
        {{"-5"}, -5},
        {{"8000", "9000"}, 9000},           // the last one wins
        {{"-gdi", "8000", "-nowin"}, 8000},  // wherever it stands
        {{"-GDI"}, 0},                       // case matters
        {{"-help"}, 0},
        {{"99999999999999999999"}, 2147483647},  // saturates instead of overflowing
        {{"-99999999999999999999"}, -2147483647 - 1},
    };
    for (auto &c : cases) {
        server_options o = parse(c.args);
        EXPECT_EQ(o.listen_port, c.port) << c.args[0];
        EXPECT_EQ(o.force_gdi, !strcmp(c.args[0], "-gdi")) << c.args[0];
    }
}

TEST(ServerCmdline, FlagsSetTheirSetting) {
    server_options o = parse({"-gdi", "-notext", "-nowin"});
    EXPECT_EQ(o.force_gdi, 1);
    EXPECT_EQ(o.text_layer_enabled, 0);
    EXPECT_EQ(o.window_tracking_enabled, 0);
    EXPECT_EQ(o.clipboard_enabled, 1);
    EXPECT_EQ(o.listen_port, 7777);
    o = parse({"-noclip"});
    EXPECT_EQ(o.clipboard_enabled, 0);
    EXPECT_EQ(o.listen_port, 7777);
}

TEST(ServerCmdline, RelayWithAndWithoutAddress) {
    struct { std::vector<const char *> args; const char *host; int port; const char *room; int room_given; }
    cases[] = {
        {{"-relay"}, VO_DEFAULT_RELAY_HOST, 7000, "vo-demo", 0},
        {{"-relay", "relay.example.org"}, "relay.example.org", 7000, "vo-demo", 0},
        {{"-relay", "relay.example.org:7100"}, "relay.example.org", 7100, "vo-demo", 0},
        {{"-relay", "a:b:7100"}, "a:b", 7100, "vo-demo", 0},  // cut at the last ':'
        {{"-relay", "r.example:x"}, "r.example", 0, "vo-demo", 0},
        {{"-relay", ":7200"}, "", 7200, "vo-demo", 0},
        {{"-relay", "-room", "lab"}, VO_DEFAULT_RELAY_HOST, 7000, "lab", 1},
        {{"-room", "lab", "-relay", "r:1"}, "r", 1, "lab", 1},
    };
    for (auto &c : cases) {
        server_options o = parse(c.args);
        std::string what = c.args.size() > 1 ? c.args[1] : c.args[0];
        EXPECT_EQ(o.use_relay, 1) << what;
        EXPECT_STREQ(o.relay_host, c.host) << what;
        EXPECT_EQ(o.relay_port, c.port) << what;
        EXPECT_STREQ(o.room_name, c.room) << what;
        EXPECT_EQ(o.room_given, c.room_given) << what;
        EXPECT_EQ(o.listen_port, 7777) << what;
    }
}

TEST(ServerCmdline, RelayConsumesANumberAsItsHostAndCutsLongWords) {
    server_options o = parse({"-relay", "8000"});
    EXPECT_STREQ(o.relay_host, "8000");
    EXPECT_EQ(o.listen_port, 7777);

    // The copy is cut to 127 characters before the ':' is looked for.
    std::string far = repeat('h', 124) + ":7100";
    o = parse({"-relay", far.c_str()});
    EXPECT_EQ(strlen(o.relay_host), 124u);
    EXPECT_EQ(o.relay_port, 71);
    std::string longer = repeat('h', 200) + ":7100";
    o = parse({"-relay", longer.c_str()});
    EXPECT_EQ(std::string(o.relay_host), repeat('h', 127));
    EXPECT_EQ(o.relay_port, 7000);
}

TEST(ServerCmdline, ValuesAreCutAndAMissingValueBecomesThePort) {
    std::string room30 = repeat('r', 30), pass40 = repeat('p', 40);
    server_options o = parse({"-room", room30.c_str(), "-pass", pass40.c_str(), "-rotate", "3"});
    EXPECT_EQ(std::string(o.room_name), repeat('r', 18));
    EXPECT_EQ(o.room_given, 1);
    EXPECT_EQ(std::string(o.password), repeat('p', 32));
    EXPECT_EQ(o.password_fixed, 1);
    EXPECT_EQ(o.rotate_hours, 3);
    EXPECT_EQ(o.listen_port, 7777);

    // A value is taken whatever it looks like.
    o = parse({"-pass", "-gdi", "-rotate", "x"});
    EXPECT_STREQ(o.password, "-gdi");
    EXPECT_EQ(o.force_gdi, 0);
    EXPECT_EQ(o.rotate_hours, 0);

    for (const char *last : {"-pass", "-room", "-rotate"}) {
        o = parse({"8000", last});
        EXPECT_EQ(o.listen_port, 0) << last;
        EXPECT_EQ(o.password_fixed, 0) << last;
        EXPECT_EQ(o.room_given, 0) << last;
        EXPECT_EQ(o.rotate_hours, 6) << last;
    }
}

TEST(ServerCmdline, HelpStopsParsingWhereverItStands) {
    int help = 0;
    server_options o = parse({"-gdi", "-relay", "r:1", "-h"}, &help);
    EXPECT_EQ(help, 1);
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_HELP);

    o = parse({"8000", "--help", "9000", "-install"}, &help);
    EXPECT_EQ(help, 1);
    EXPECT_EQ(o.listen_port, 8000);  // nothing after it was read
    EXPECT_EQ(o.install, 0);

    o = parse({"-relay", "-h"}, &help);  // "-relay" leaves an option word alone
    EXPECT_EQ(help, 1);

    o = parse({"-pass", "-h"}, &help);   // ...but "-pass" takes it as the password
    EXPECT_EQ(help, 0);
    EXPECT_STREQ(o.password, "-h");
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_FOREGROUND);

    o = parse({"-install", "-h"}, &help);
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_HELP);
}

TEST(ServerCmdline, ModeFirstMatchWins) {
    struct { std::vector<const char *> args; server_mode mode; } cases[] = {
        {{"-svc", "-uninstall", "-install"}, SERVER_MODE_INSTALL},
        {{"-svc", "-uninstall"}, SERVER_MODE_UNINSTALL},
        {{"-svc", "8000"}, SERVER_MODE_SERVICE},
        {{"-relay"}, SERVER_MODE_FOREGROUND},
    };
    for (auto &c : cases) {
        server_options o = parse(c.args);
        EXPECT_EQ(server_choose_mode(&o), c.mode) << c.args[0];
    }
}

TEST(ServerCmdline, UsageTextShowsTheBuiltInDefaults) {
    char out[1024];
    int n = server_usage_text(out, sizeof out);
    std::string want = std::string(
        "vo_server [port] [-gdi] [-notext] [-nowin]\n"
        "          [-relay [host[:port]]] [-room NAME]   connect out via relay (default ") +
        VO_DEFAULT_RELAY_HOST + ":7000, room vo-demo)\n"
        "          -pass P   fixed password (default: random temp password, see %PROGRAMDATA%\\vo\\host.txt)\n"
        "          -rotate H rotate the temp password every H hours (default 6)\n"
        "          -install | -uninstall               Windows service (keeps -relay/-room/-pass)\n";
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(n, (int)want.size());
    EXPECT_EQ(server_usage_text(out, 40), -1);
    EXPECT_EQ(strlen(out), 39u);
}

TEST(ServerCmdline, BannerInBothModes) {
    const char *tail =
        "           details in %PROGRAMDATA%\\vo\\host.txt, log in vo_server.log. Ctrl-C to stop.\n";
    char out[512];
    server_options o = parse({"8000"});
    int n = server_banner_text(out, sizeof out, &o, "123456789", "Ab3dEf7h");
    std::string want = std::string("vo_server: ID 123456789  password Ab3dEf7h  listening on port 8000\n") + tail;
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(n, (int)want.size());

    o = parse({"-relay", "r.example:7100", "-room", "lab"});
    server_banner_text(out, sizeof out, &o, "123456789", "pw");
    EXPECT_EQ(std::string(out),
              std::string("vo_server: ID 123456789  password pw  (relay r.example:7100, room lab)\n") + tail);
    EXPECT_EQ(server_banner_text(out, 30, &o, "123456789", "pw"), -1);
    EXPECT_EQ(server_banner_text(out, 90, &o, "123456789", "pw"), -1);  // first line fits, second not
}

// Splits a command line the way the Windows C runtime does for argv[1..]: blanks separate words,
// quotes group, 2n backslashes before a quote give n and the quote groups, 2n+1 give n and a quote.
static std::vector<std::string> split_windows(const char *s) {
    std::vector<std::string> out;
    for (;;) {
        while (*s == ' ' || *s == '\t') s++;
        if (!*s) return out;
        std::string w;
        int quoted = 0;
        while (*s && (quoted || (*s != ' ' && *s != '\t'))) {
            size_t slashes = 0;
            while (*s == '\\') slashes++, s++;
            if (*s == '"') {
                w.append(slashes / 2, '\\');
                if (slashes % 2) w += '"';
                else quoted = !quoted;
                s++;
            } else {
                w.append(slashes, '\\');
                if (slashes) continue;  // the loop test decides about the character after them
                w += *s++;
            }
        }
        out.push_back(w);
    }
}

static server_options reparse(const char *cmdline) {
    std::vector<std::string> words = split_windows(cmdline);
    std::vector<const char *> argv;
    for (auto &w : words) argv.push_back(w.c_str());
    server_options o;
    server_parse_args(&o, (int)argv.size(), argv.data());
    return o;
}

TEST(ServerCmdline, ServiceCommandLineCarriesPortRelayRoomAndPassword) {
    const char *exe = "C:\\Program Files\\vo\\vo_server.exe";
    char out[1024];
    server_options o = parse({"-install", "-relay", "-pass", "P", "-rotate", "3", "-gdi"});
    strcpy(o.room_name, "123456789");  // identity set-up makes the ID the room
    int n = server_service_cmdline(out, sizeof out, exe, &o);
    std::string want = std::string("\"C:\\Program Files\\vo\\vo_server.exe\" -svc 7777 -relay ") +
                       VO_DEFAULT_RELAY_HOST + ":7000 -room 123456789 -pass P";
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(n, (int)want.size());

    o = parse({"-install", "8000", "-notext", "-room", "lab"});
    server_service_cmdline(out, sizeof out, exe, &o);
    EXPECT_STREQ(out, "\"C:\\Program Files\\vo\\vo_server.exe\" -svc 8000");
    o = parse({"-install", "-noclip", "8000", "-pass", "P"});
    server_service_cmdline(out, sizeof out, exe, &o);
    EXPECT_STREQ(out, "\"C:\\Program Files\\vo\\vo_server.exe\" -svc 8000 -pass P -noclip");

    EXPECT_EQ(server_service_cmdline(out, 20, exe, &o), -1);
    EXPECT_LT(strlen(out), 20u);
}

TEST(ServiceCmdline, AwkwardValuesReadBackUnchanged) {
    const char *values[] = {"my pass", "", "a\"b", "tail\\", "x\\\"y", "sp ace\\", "\\\\\"", "tab\tin", "-h"};
    for (const char *v : values) {
        const char *pass = *v ? v : "P";   // an empty password is refused (see below)
        server_options o = parse({"-relay", "r.example:7100", "-room", v, "-pass", pass, "9000"});
        char out[1024];
        ASSERT_GT(server_service_cmdline(out, sizeof out, "C:\\vo\\vo_server.exe", &o), 0);
        server_options back = reparse(out);
        EXPECT_EQ(back.service, 1) << out;
        EXPECT_EQ(back.help, 0) << out;
        EXPECT_EQ(back.listen_port, 9000) << out;
        EXPECT_STREQ(back.relay_host, "r.example") << out;
        EXPECT_EQ(back.relay_port, 7100) << out;
        EXPECT_STREQ(back.room_name, v) << out;
        EXPECT_STREQ(back.password, pass) << out;
        EXPECT_EQ(back.password_fixed, 1) << out;
    }
    // Ordinary values are written exactly as given.
    server_options o = parse({"-pass", "Ab3-dE_f", "9000"});
    char out[256];
    server_service_cmdline(out, sizeof out, "C:\\vo.exe", &o);
    EXPECT_STREQ(out, "\"C:\\vo.exe\" -svc 9000 -pass Ab3-dE_f");
}

// An empty fixed password would admit anyone with the ID: the program refuses it, and no service
// line is ever built with one.
TEST(ServerCmdline, EmptyFixedPasswordIsRefused) {
    server_options o = parse({"-relay", "-pass", "", "-install"});
    EXPECT_EQ(server_password_refused(&o), 1);
    char out[1024];
    EXPECT_EQ(server_service_cmdline(out, sizeof out, "C:\\vo.exe", &o), -1);
    EXPECT_STREQ(out, "");
    EXPECT_STREQ(SERVER_EMPTY_PASSWORD_TEXT,
                 "vo_server: -pass needs a password that is not empty (leave -pass out for a random temporary one)\n");
    for (auto args : {std::vector<const char *>{}, {"-pass", " "}, {"8000", "-pass"}, {"-room", ""}}) {
        o = parse(args);
        EXPECT_EQ(server_password_refused(&o), 0);
        EXPECT_GT(server_service_cmdline(out, sizeof out, "C:\\vo.exe", &o), 0);
    }
}

// ---- Start-up against the host core: options applied, identity made, values read back. ----

#include "host/identity.h"
#include "server/service.h"
#include "server/settings.h"

#ifdef _WIN32
#include <direct.h>
#include <process.h>
static std::string fresh_data_dir() {
    static int seq = 0;
    const char *base = getenv("TEMP");
    char path[512];
    snprintf(path, sizeof path, "%s\\vo_cli_%d_%d", base ? base : ".", _getpid(), seq++);
    _mkdir(path);
    _putenv_s("PROGRAMDATA", path);
    return std::string(path) + "\\vo\\id.txt";
}
#else
#include <stdlib.h>
static std::string fresh_data_dir() {
    char tmpl[] = "/tmp/vo_cli_XXXXXX";
    const char *d = mkdtemp(tmpl);
    setenv("VO_DATA_DIR", d ? d : "/tmp", 1);
    return std::string(d ? d : "/tmp") + "/host/id.txt";
}
#endif

static bool file_exists(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f) fclose(f);
    return f != nullptr;
}

// The program's start-up up to the mode choice; returns the options as the mode sees them, and
// the host settings made from them in *s.
static server_options start_up(std::vector<const char *> args, HostSettings *s) {
    server_options o = parse(args);
    if (o.help) return o;
    server_host_settings(&o, s);
    host_identity_init(s);
    server_read_identity(&o, s);
    return o;
}

static std::string host_id(void) {
    char id[HOST_ID_BYTES];
    host_copy_id(id, sizeof id);
    return id;
}

static std::string host_password(void) {
    char pw[PASSWORD_MAX + 1];
    host_copy_password(pw, sizeof pw);
    return pw;
}

// Test stand-in for the program's host entry (the service thread would run host_run here).
int server_run_host(const server_options *) { return 0; }

TEST(ServerStartUp, InstallLineAfterIdentityHoldsTheIdAsRoom) {
    std::string id_file = fresh_data_dir();
    HostSettings s;
    server_options o = start_up({"-install", "-relay", "-pass", "P", "-rotate", "3", "-gdi"}, &s);
    ASSERT_EQ(host_id().size(), 9u);
    EXPECT_EQ(o.room_name, host_id());
    EXPECT_EQ(s.room_name, host_id());
    EXPECT_EQ(host_password(), "P");
    EXPECT_EQ(host_password_is_fixed(), 1);
    EXPECT_EQ(s.force_gdi, 1);
    EXPECT_EQ(s.rotate_hours, 3);
    EXPECT_EQ(s.use_relay, 1);
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_INSTALL);
    char line[1024];
    server_service_cmdline(line, sizeof line, "C:\\vo\\vo_server.exe", &o);
    EXPECT_EQ(std::string(line), std::string("\"C:\\vo\\vo_server.exe\" -svc 7777 -relay ") +
                                     VO_DEFAULT_RELAY_HOST + ":7000 -room " + host_id() + " -pass P");
}

TEST(ServerStartUp, ForegroundBannerShowsIdAndTemporaryPassword) {
    fresh_data_dir();
    HostSettings s;
    server_options o = start_up({}, &s);
    EXPECT_EQ(s.listen_port, 7777);
    EXPECT_EQ(s.text_layer_enabled, 1);
    EXPECT_EQ(s.window_tracking_enabled, 1);
    EXPECT_EQ(host_password_is_fixed(), 0);
    EXPECT_EQ(strlen(o.password), 8u);
    char banner[512];
    server_banner_text(banner, sizeof banner, &o, host_id().c_str(), o.password);
    std::string shown(banner);
    EXPECT_EQ(shown.substr(0, shown.find('\n') + 1),
              std::string("vo_server: ID ") + host_id() + "  password " + o.password + "  listening on port 7777\n");

    o = start_up({"-relay", "-room", "lab", "-notext"}, &s);
    EXPECT_STREQ(o.room_name, "lab");
    EXPECT_EQ(s.text_layer_enabled, 0);
}

TEST(ServerStartUp, HelpEndsBeforeTheDataFolderIsTouched) {
    std::string id_file = fresh_data_dir();
    HostSettings s;
    server_options o = start_up({"-relay", "-pass", "x", "-h"}, &s);
    EXPECT_EQ(server_choose_mode(&o), SERVER_MODE_HELP);
    EXPECT_FALSE(file_exists(id_file));
}

#ifdef _WIN32
// Runs the service functions against the real Service Control Manager and returns what they printed.
static std::string printed(int (*fn)(const server_options *), const server_options *o, int *status) {
    testing::internal::CaptureStdout();
    *status = fn(o);
    return testing::internal::GetCapturedStdout();
}
static int uninstall_any(const server_options *) { return service_uninstall(); }

TEST(ServerService, InstallTwiceUninstallTwiceAndSvcFromAConsole) {
    int st = -1;
    printed(uninstall_any, nullptr, &st);  // a leftover from an earlier run would spoil the first install
    server_options o = parse({"-install", "-relay", "r.example:7100", "-room", "lab", "-pass", "my pass", "9000"});
    std::string out = printed(service_install, &o, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(out.rfind("installed service 'vo_server' (auto-start). Note:", 0), 0u) << out;

    char line[1024];
    ASSERT_EQ(service_stored_cmdline(line, sizeof line), 1);
    std::string stored(line);
    EXPECT_EQ(stored[0], '"');
    EXPECT_NE(stored.find("server_test_cmdline.exe\" -svc 9000 -relay r.example:7100 -room lab -pass \"my pass\""),
              std::string::npos) << stored;

    out = printed(service_install, &o, &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(out, "service already exists\n");

    out = printed(uninstall_any, &o, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(out, "uninstalled service 'vo_server'\n");

    EXPECT_EQ(service_stored_cmdline(line, sizeof line), 0);
    out = printed(uninstall_any, &o, &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(out, "service not found\n");

    EXPECT_EQ(service_run(&o), 1);  // not started by the manager: the dispatcher refuses
}
#endif

TEST(ServerCmdline, V2OnlyIsAFlagTheServiceLineKeeps) {
    server_options o = parse({"-v2only", "8000"});
    EXPECT_EQ(o.v2_only, 1);
    EXPECT_EQ(o.listen_port, 8000);
    EXPECT_EQ(parse({"-pass", "-v2only"}).v2_only, 0);   // a value is taken as it is
    char out[512];
    o = parse({"-install", "-v2only", "-pass", "P"});
    server_service_cmdline(out, sizeof out, "C:\\vo.exe", &o);
    EXPECT_STREQ(out, "\"C:\\vo.exe\" -svc 7777 -pass P -v2only");
    server_options back = parse({"-svc", "7777", "-pass", "P", "-v2only"});
    EXPECT_EQ(back.v2_only, 1);
}
