// Host identity: id.txt reading and creation, temporary and fixed passwords with their
// rotation rules, host.txt, the room rule, a failing random source, and the settings' defaults.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "test_files.h"
#include "host/host.h"
#include "host/log.h"
#include "platform/clock.h"
#include "platform/sysrand.h"

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

// The identity's values, copied out.
struct identity_copy {
    char id[HOST_ID_BYTES], password[PASSWORD_MAX + 1];
};
static identity_copy now(void) {
    identity_copy c;
    host_copy_id(c.id, sizeof c.id);
    host_copy_password(c.password, sizeof c.password);
    return c;
}

// Each test gets a fresh data folder, fresh identity values and default settings.
struct HostIdentity : ::testing::Test {
    std::string dir;
    HostSettings set;
    void SetUp() override {
        dir = test_point_data_dir(test_temp_dir("vo_id"));
        host_identity_reset();
        host_settings_default(&set);
        host_identity_configure(&set);
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
    set.password_fixed = 1;
    ASSERT_EQ(host_identity_init(&set), 1);
    EXPECT_EQ(host_password_is_fixed(), 0);
    EXPECT_TRUE(temp_password_ok(now().password)) << now().password;
}

TEST_F(HostIdentity, NewIdIsWrittenWithoutLineEndAndReadBack) {
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(now().id), 9u);
    EXPECT_TRUE(all_digits(now().id));
    std::string first = now().id;
    EXPECT_EQ(test_read_file(file("id.txt")), first);   // nine digits, no line end
    host_identity_reset();
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(first, now().id);
}

TEST_F(HostIdentity, ShortIdIsReplaced) {
    host_load_id();   // creates the folder
    write_all(file("id.txt"), "12345678");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(now().id), 9u);
    EXPECT_TRUE(all_digits(now().id));
    EXPECT_EQ(test_read_file(file("id.txt")), std::string(now().id));
}

TEST_F(HostIdentity, LongWordIsTruncatedAndFileKept) {
    host_load_id();
    write_all(file("id.txt"), "abcdefghijklmnopqrst");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_STREQ(now().id, "abcdefghijklmno");
    EXPECT_EQ(test_read_file(file("id.txt")), "abcdefghijklmnopqrst");
}

TEST_F(HostIdentity, LeadingBlankLinesAreSkipped) {
    host_load_id();
    write_all(file("id.txt"), "\n\r\n  \t\n987654321\nrest");
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_STREQ(now().id, "987654321");
}

TEST_F(HostIdentity, FailingRandomSourceIsRetriedThenRefused) {
    sysrand_fail_next(2);   // recovers within the retries
    ASSERT_EQ(host_load_id(), 1);
    EXPECT_EQ(strlen(now().id), 9u);

    write_all(file("id.txt"), "");
    sysrand_fail_next(1000);   // never recovers: no ID from unset bytes, file untouched
    EXPECT_EQ(host_load_id(), 0);
    EXPECT_STREQ(now().id, "");
    EXPECT_TRUE(test_file_exists(file("id.txt")));
    EXPECT_EQ(test_read_file(file("id.txt")), "");
    EXPECT_EQ(host_log_count("random source failed"), 1);
    sysrand_fail_next(0);

    ASSERT_EQ(host_rotate_password(1), 1);   // a temporary password to keep
    std::string kept = now().password;
    host_log_capture_start();
    set.rotate_hours = 0;
    host_identity_configure(&set);
    sysrand_fail_next(1000);
    EXPECT_EQ(host_rotate_password(1), 0);
    EXPECT_EQ(std::string(now().password), kept);
    EXPECT_EQ(host_log_count("password rotated"), 0);
}

TEST_F(HostIdentity, TemporaryPasswordAndHostTxt) {
    host_set_computer_name("DESK");
    host_load_id();   // creates the folder
    write_all(file("id.txt"), "123456789");
    ASSERT_EQ(host_load_id(), 1);
    ASSERT_EQ(host_rotate_password(1), 1);
    std::string password = now().password;
    EXPECT_TRUE(temp_password_ok(password.c_str())) << password;
    std::string want = std::string("id=123456789\npassword=") + password + "\nrelay=" + set.relay_host +
                       ":7000\nname=DESK\n";
    EXPECT_EQ(test_read_file(file("host.txt")), want);
    EXPECT_EQ(host_log_count("password rotated (next in 6h)"), 1);
}

TEST_F(HostIdentity, RotationOnlyWhenDue) {
    ASSERT_EQ(host_rotate_password(1), 1);
    std::string first = now().password;
    EXPECT_EQ(host_rotate_password(0), 1);   // not due: kept
    EXPECT_EQ(first, now().password);
    // Due: the period has passed, also across the tick counter's wrap.
    host_set_rotation_tick(clock_tick() - 6u * 3600000u - 1u);
    host_rotate_password(0);
    EXPECT_NE(first, now().password);
    EXPECT_TRUE(temp_password_ok(now().password));
    EXPECT_EQ(host_log_count("password rotated"), 2);
}

TEST_F(HostIdentity, ZeroHoursRotatesOnEveryCheck) {
    set.rotate_hours = 0;
    host_identity_configure(&set);
    host_rotate_password(1);
    int changes = 0;
    for (int i = 0; i < 5; i++) {
        std::string before = now().password;
        host_rotate_password(0);
        changes += before != now().password;
    }
    EXPECT_GE(changes, 4);   // a repeat of the same 8 characters is a 1 in 55^8 chance
    EXPECT_EQ(host_log_count("password rotated (next in 0h)"), 6);
}

TEST_F(HostIdentity, FixedPasswordKeeps32AndNeverRotates) {
    std::string forty(40, 'x');
    forty[31] = 'Y';
    ASSERT_EQ(host_set_password(forty.c_str()), 1);
    EXPECT_EQ(std::string(now().password), forty.substr(0, 32));
    EXPECT_EQ(host_password_is_fixed(), 1);
    EXPECT_EQ(host_log_count("password set by user"), 1);
    EXPECT_NE(test_read_file(file("host.txt")).find("password=" + forty.substr(0, 32) + "\n"),
              std::string::npos);
    set.rotate_hours = 0;
    host_identity_configure(&set);
    host_rotate_password(1);
    EXPECT_EQ(std::string(now().password), forty.substr(0, 32));
}

TEST_F(HostIdentity, BackToTemporaryMakesOneAtOnce) {
    host_set_password("my-own-secret");
    host_log_capture_start();
    ASSERT_EQ(host_set_password(""), 1);
    EXPECT_EQ(host_password_is_fixed(), 0);
    EXPECT_TRUE(temp_password_ok(now().password));
    EXPECT_EQ(host_log_count("password rotated (next in 6h)"), 1);
    EXPECT_NE(test_read_file(file("host.txt")).find(std::string("password=") + now().password + "\n"),
              std::string::npos);
    host_set_password("again");
    EXPECT_EQ(host_set_password(nullptr), 1);
    EXPECT_TRUE(temp_password_ok(now().password));
}

TEST_F(HostIdentity, BackToTemporaryKeepsFixedWhenRandomFails) {
    host_set_password("my-own-secret");
    sysrand_fail_next(1000);
    EXPECT_EQ(host_set_password(""), 0);
    EXPECT_STREQ(now().password, "my-own-secret");
    EXPECT_EQ(host_password_is_fixed(), 1);
}

TEST_F(HostIdentity, RelayRoomIsTheIdUnlessGiven) {
    set.use_relay = 1;
    ASSERT_EQ(host_identity_init(&set), 1);
    EXPECT_STREQ(set.room_name, now().id);
    EXPECT_TRUE(temp_password_ok(now().password));

    write_all(file("id.txt"), "abcdefghijklmnopqrstuvw");
    ASSERT_EQ(host_identity_init(&set), 1);
    EXPECT_STREQ(set.room_name, "abcdefghijklmno");   // the ID is 15 characters at most anyway

    set.room_given = 1;
    strcpy(set.room_name, "myroom");
    host_identity_init(&set);
    EXPECT_STREQ(set.room_name, "myroom");
}

TEST_F(HostIdentity, FixedPasswordFromCommandLineSkipsHostTxt) {
    strcpy(set.password, "cli-pass");
    set.password_fixed = 1;
    ASSERT_EQ(host_identity_init(&set), 1);
    EXPECT_STREQ(now().password, "cli-pass");
    EXPECT_FALSE(test_file_exists(file("host.txt")));
}

TEST_F(HostIdentity, AppInitSetsItsFixedChoices) {
    set.text_layer_enabled = 0;
    set.window_tracking_enabled = 1;
    ASSERT_EQ(host_app_init(&set, 1), 1);
    EXPECT_EQ(set.text_layer_enabled, 1);
    EXPECT_EQ(set.window_tracking_enabled, 0);
    EXPECT_EQ(set.use_relay, 1);
    EXPECT_STREQ(set.room_name, now().id);
    EXPECT_EQ(strlen(now().id), 9u);
    EXPECT_TRUE(temp_password_ok(now().password));
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
    host_copy_viewer_name(copy, sizeof copy);
    EXPECT_STREQ(copy, "bob");
    host_set_viewer_name(nullptr, 0);
    host_copy_viewer_name(copy, sizeof copy);
    EXPECT_STREQ(copy, "");
}

TEST(HostDefaults, SettingsAndStatus) {
    HostSettings d;
    host_settings_default(&d);
    EXPECT_EQ(d.listen_port, 7777);
    EXPECT_EQ(d.relay_port, 7000);
    EXPECT_STREQ(d.relay_host, VO_DEFAULT_RELAY_HOST);
    EXPECT_EQ(d.rotate_hours, 6);
    EXPECT_EQ(host_get_state(), HOST_STARTING);
    EXPECT_EQ(HOST_WAITING, 1);
    EXPECT_EQ(HOST_VIEWER_CONNECTED, 2);
}
