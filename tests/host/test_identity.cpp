// Host identity: id.txt reading and creation, temporary and fixed passwords with their
// rotation rules, host.txt, the room rule, a failing random source, and host_stop.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "test_files.h"
#include "host/identity.h"
#include "host/log.h"
#include "platform/clock.h"
#include "platform/sysrand.h"
#include "platform/thread.h"



static void write_all(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

static bool all_digits(const char *s) {
    for (; *s; s++)
        if (*s < '0' || *s > '9') return false;
    return true;
}

static bool temp_password_ok(const char *p) {
    if (strlen(p) != TEMP_PASSWORD_LEN) return false;
    for (; *p; p++)
        if (!strchr(PASSWORD_ALPHABET, *p)) return false;
    return true;
}

// Each test gets a fresh data folder and fresh identity values.
struct HostIdentity : ::testing::Test {
    std::string dir;
    void SetUp() override {
        dir = test_point_data_dir(test_temp_dir("vo_id"));
        host_id[0] = 0;
        password[0] = 0;
        password_fixed = 0;
        rotate_hours = ROTATE_HOURS_DEFAULT;
        use_relay = 0;
        room_given = 0;
        strcpy(room_name, "vo-demo");
        host_log_capture_start();
    }
    void TearDown() override {
        host_log_capture_stop();
        sysrand_fail_next(0);
    }
    std::string file(const char *name) { return dir + SEP + name; }
};

TEST_F(HostIdentity, AlphabetHas55UnambiguousCharacters) {
    EXPECT_EQ(strlen(PASSWORD_ALPHABET), 55u);
    EXPECT_EQ(strpbrk(PASSWORD_ALPHABET, "01ilIoO"), nullptr);
}

// Every byte value once: the 220 accepted ones give each of the 55 characters exactly four times,
// and a byte from 220 up is skipped rather than folded onto the first characters.
TEST_F(HostIdentity, PasswordCharactersAreEquallyLikely) {
    int count[256] = {};
    for (int b = 0; b < 256; b++) {
        unsigned char same[TEMP_PASSWORD_LEN];
        memset(same, b, sizeof same);
        char out[TEMP_PASSWORD_LEN + 1] = "x";
        size_t used = host_password_from_bytes(out, same, sizeof same);
        if (b >= 220) {
            EXPECT_EQ(used, 0u) << b;
            EXPECT_STREQ(out, "") << b;
            continue;
        }
        ASSERT_EQ(used, (size_t)TEMP_PASSWORD_LEN) << b;
        EXPECT_EQ(out[0], PASSWORD_ALPHABET[b % 55]) << b;
        EXPECT_EQ(std::string(out), std::string(TEMP_PASSWORD_LEN, out[0])) << b;
        count[(unsigned char)out[0]]++;
    }
    for (const char *c = PASSWORD_ALPHABET; *c; c++) EXPECT_EQ(count[(unsigned char)*c], 4) << *c;

    const unsigned char mixed[] = {255, 0, 220, 1, 2, 3, 4, 5, 6, 219, 7};
    char out[TEMP_PASSWORD_LEN + 1];
    EXPECT_EQ(host_password_from_bytes(out, mixed, sizeof mixed), 10u);
    EXPECT_STREQ(out, "2345678Z");
    EXPECT_EQ(host_password_from_bytes(out, mixed, 9), 0u);   // seven accepted: not enough
    EXPECT_STREQ(out, "");
}

// An empty "fixed" password is no password: a temporary one is made in its place.
TEST_F(HostIdentity, EmptyFixedPasswordBecomesTemporary) {
    password_fixed = 1;
    ASSERT_EQ(host_identity_init(), 1);
    EXPECT_EQ(password_fixed, 0);
    EXPECT_TRUE(temp_password_ok(password)) << password;
}

TEST_F(HostIdentity, NewIdIsWrittenWithoutLineEndAndReadBack) {
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(host_id), 9u);
    EXPECT_TRUE(all_digits(host_id));
    std::string first = host_id;
    EXPECT_EQ(test_read_file(file("id.txt")), first);   // nine digits, no line end
    host_id[0] = 0;
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(first, host_id);
}

TEST_F(HostIdentity, ShortIdIsReplaced) {
    host_load_id();   // creates the folder
    write_all(file("id.txt"), "12345678");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(host_id), 9u);
    EXPECT_TRUE(all_digits(host_id));
    EXPECT_EQ(test_read_file(file("id.txt")), std::string(host_id));
}

TEST_F(HostIdentity, LongWordIsTruncatedAndFileKept) {
    host_load_id();
    write_all(file("id.txt"), "abcdefghijklmnopqrst");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_STREQ(host_id, "abcdefghijklmno");
    EXPECT_EQ(test_read_file(file("id.txt")), "abcdefghijklmnopqrst");
}

TEST_F(HostIdentity, LeadingBlankLinesAreSkipped) {
    host_load_id();
    write_all(file("id.txt"), "\n\r\n  \t\n987654321\nrest");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_STREQ(host_id, "987654321");
}

TEST_F(HostIdentity, FailingRandomSourceIsRetriedThenRefused) {
    sysrand_fail_next(2);   // recovers within the retries
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(host_id), 9u);

    write_all(file("id.txt"), "");
    sysrand_fail_next(1000);   // never recovers: no ID from unset bytes, file untouched
    EXPECT_EQ(host_load_id(), 0);
    EXPECT_STREQ(host_id, "");
    EXPECT_TRUE(test_file_exists(file("id.txt")));
    EXPECT_EQ(test_read_file(file("id.txt")), "");
    EXPECT_EQ(host_log_count("random source failed"), 1);
    sysrand_fail_next(0);

    strcpy(password, "keepme22");
    rotate_hours = 0;
    sysrand_fail_next(1000);
    EXPECT_EQ(host_rotate_password(1), 0);
    EXPECT_STREQ(password, "keepme22");
    EXPECT_EQ(host_log_count("password rotated"), 0);
}

TEST_F(HostIdentity, TemporaryPasswordAndHostTxt) {
    strcpy(computer_name, "DESK");
    strcpy(host_id, "123456789");
    ASSERT_EQ(host_rotate_password(1), 1);
    EXPECT_TRUE(temp_password_ok(password)) << password;
    std::string want = std::string("id=123456789\npassword=") + password + "\nrelay=" + relay_host +
                       ":7000\nname=DESK\n";
    EXPECT_EQ(test_read_file(file("host.txt")), want);
    EXPECT_EQ(host_log_count("password rotated (next in 6h)"), 1);
}

TEST_F(HostIdentity, RotationOnlyWhenDue) {
    ASSERT_EQ(host_rotate_password(1), 1);
    std::string first = password;
    EXPECT_EQ(host_rotate_password(0), 1);   // not due: kept
    EXPECT_EQ(first, password);
    // Due: the period has passed, also across the tick counter's wrap.
    last_rotation_tick = clock_tick() - 6u * 3600000u - 1u;
    host_rotate_password(0);
    EXPECT_NE(first, password);
    EXPECT_TRUE(temp_password_ok(password));
    EXPECT_EQ(host_log_count("password rotated"), 2);
}

TEST_F(HostIdentity, ZeroHoursRotatesOnEveryCheck) {
    rotate_hours = 0;
    host_rotate_password(1);
    int changes = 0;
    for (int i = 0; i < 5; i++) {
        std::string before = password;
        host_rotate_password(0);
        changes += before != password;
    }
    EXPECT_GE(changes, 4);   // a repeat of the same 8 characters is a 1 in 55^8 chance
    EXPECT_EQ(host_log_count("password rotated (next in 0h)"), 6);
}

TEST_F(HostIdentity, FixedPasswordKeeps32AndNeverRotates) {
    std::string forty(40, 'x');
    forty[31] = 'Y';
    ASSERT_EQ(host_set_password(forty.c_str()), 1);
    EXPECT_EQ(std::string(password), forty.substr(0, 32));
    EXPECT_EQ(password_fixed, 1);
    EXPECT_EQ(host_log_count("password set by user"), 1);
    EXPECT_NE(test_read_file(file("host.txt")).find("password=" + forty.substr(0, 32) + "\n"),
              std::string::npos);
    rotate_hours = 0;
    host_rotate_password(1);
    EXPECT_EQ(std::string(password), forty.substr(0, 32));
}

TEST_F(HostIdentity, BackToTemporaryMakesOneAtOnce) {
    host_set_password("my-own-secret");
    host_log_capture_start();
    ASSERT_EQ(host_set_password(""), 1);
    EXPECT_EQ(password_fixed, 0);
    EXPECT_TRUE(temp_password_ok(password));
    EXPECT_EQ(host_log_count("password rotated (next in 6h)"), 1);
    EXPECT_NE(test_read_file(file("host.txt")).find(std::string("password=") + password + "\n"),
              std::string::npos);
    host_set_password("again");
    EXPECT_EQ(host_set_password(nullptr), 1);
    EXPECT_TRUE(temp_password_ok(password));
}

TEST_F(HostIdentity, BackToTemporaryKeepsFixedWhenRandomFails) {
    host_set_password("my-own-secret");
    sysrand_fail_next(1000);
    EXPECT_EQ(host_set_password(""), 0);
    EXPECT_STREQ(password, "my-own-secret");
    EXPECT_EQ(password_fixed, 1);
}

TEST_F(HostIdentity, RelayRoomIsTheIdUnlessGiven) {
    use_relay = 1;
    ASSERT_EQ(host_identity_init(), 1);
    EXPECT_STREQ(room_name, host_id);
    EXPECT_TRUE(temp_password_ok(password));

    write_all(file("id.txt"), "abcdefghijklmnopqrstuvw");
    ASSERT_EQ(host_identity_init(), 1);
    EXPECT_STREQ(room_name, "abcdefghijklmno");   // the ID is 15 characters at most anyway

    room_given = 1;
    strcpy(room_name, "myroom");
    host_identity_init();
    EXPECT_STREQ(room_name, "myroom");
}

TEST_F(HostIdentity, FixedPasswordFromCommandLineSkipsHostTxt) {
    strcpy(password, "cli-pass");
    password_fixed = 1;
    ASSERT_EQ(host_identity_init(), 1);
    EXPECT_STREQ(password, "cli-pass");
    EXPECT_FALSE(test_file_exists(file("host.txt")));
}

TEST_F(HostIdentity, AppInitSetsItsFixedChoices) {
    text_layer_enabled = 0;
    window_tracking_enabled = 1;
    ASSERT_EQ(host_app_init(1), 1);
    EXPECT_EQ(text_layer_enabled, 1);
    EXPECT_EQ(window_tracking_enabled, 0);
    EXPECT_EQ(use_relay, 1);
    EXPECT_STREQ(room_name, host_id);
    EXPECT_STREQ(host_get_id(), host_id);
    EXPECT_STREQ(host_get_password(), password);
}

TEST_F(HostIdentity, ViewerNameIsBoundedAndCleaned) {
    char raw[40];
    memset(raw, 'n', sizeof raw);
    raw[3] = '\n';
    raw[5] = '\t';
    host_set_viewer_name(raw, 32);
    char copy[33];
    host_copy_viewer_name(copy, sizeof copy);
    EXPECT_EQ(strlen(copy), 32u);
    EXPECT_EQ(copy[3], '?');
    EXPECT_EQ(copy[5], '?');
    host_set_viewer_name("bob\0junk", 32);
    EXPECT_STREQ(host_get_viewer_name(), "bob");
    host_set_viewer_name(nullptr, 0);
    EXPECT_STREQ(host_get_viewer_name(), "");
}

TEST(HostDefaults, SettingsAndStatus) {
    EXPECT_EQ(listen_port, 7777);
    EXPECT_EQ(relay_port, 7000);
    EXPECT_STREQ(relay_host, VO_DEFAULT_RELAY_HOST);
    EXPECT_EQ(rotate_hours, 6);
    EXPECT_EQ(host_get_state(), HOST_STARTING);
    EXPECT_EQ(HOST_WAITING, 1);
    EXPECT_EQ(HOST_VIEWER_CONNECTED, 2);
}

// host_stop ends a blocking accept (listening socket closed) and a blocking receive on the
// current connection (shut down, left for its owner to close).
static unsigned accept_thread(void *arg) {
    net_sock s = net_accept(host_listen_sock.load());
    *(int *)arg = s == NET_INVALID ? 1 : 2;
    if (s != NET_INVALID) net_close(s);
    return 0;
}

static unsigned recv_thread(void *arg) {
    char c;
    *(int *)arg = net_recv(host_current_sock.load(), &c, 1) <= 0 ? 1 : 2;
    return 0;
}

TEST(HostStop, EndsBlockingAcceptAndReceive) {
    ASSERT_EQ(net_init(), 1);
    net_sock lis = net_listen("127.0.0.1", 0, 1);
    ASSERT_NE(lis, NET_INVALID);
    int port = net_local_port(lis);
    host_listen_sock.store(lis);
    int accept_result = 0;
    thread_handle t = thread_create(accept_thread, &accept_result);
    ASSERT_NE(t, nullptr);
    clock_sleep(100);
    stop_requested.store(0);
    host_stop();
    EXPECT_EQ(thread_wait(t, 3000), 1);
    thread_close(t);
    EXPECT_EQ(accept_result, 1);
    EXPECT_EQ(stop_requested.load(), 1);
    EXPECT_EQ(host_listen_sock.load(), NET_INVALID);

    // A connected pair: the host side blocks in a receive until host_stop.
    net_sock lis2 = net_listen("127.0.0.1", 0, 1);
    ASSERT_NE(lis2, NET_INVALID);
    port = net_local_port(lis2);
    net_sock peer = net_connect("127.0.0.1", port);
    ASSERT_NE(peer, NET_INVALID);
    net_sock cur = net_accept(lis2);
    ASSERT_NE(cur, NET_INVALID);
    host_current_sock.store(cur);
    int recv_result = 0;
    t = thread_create(recv_thread, &recv_result);
    ASSERT_NE(t, nullptr);
    clock_sleep(100);
    host_stop();
    EXPECT_EQ(thread_wait(t, 3000), 1);
    thread_close(t);
    EXPECT_EQ(recv_result, 1);
    host_close_sock(&host_current_sock);   // the session loop's close: never a double close
    EXPECT_EQ(host_current_sock.load(), NET_INVALID);
    host_close_sock(&host_current_sock);        // a second close is harmless
    net_close(peer);
    net_close(lis2);
    stop_requested.store(0);
}
