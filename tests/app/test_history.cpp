// Desktop app history: history.txt loading (short, long and hostile lines), recording a
// connection, the 256-entry limit, rename and remove with their saves, list cells; plus the
// connect panel's target rules and the host panel's texts.
#include <gtest/gtest.h>
#include "test_files.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "app/history.h"
#include "app/status.h"
#include "app/target.h"
#include "host/host.h"

static std::string temp_path(const char *name) {
    static int seq = 0;
    const char *base = getenv("TEMP");
    if (!base) base = getenv("TMPDIR");
    if (!base) base = "/tmp";
    char path[512];
    snprintf(path, sizeof path, "%s/vo_hist_%d_%s", base, seq++, name);
    return path;
}

static void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}


static void use_file(const std::string &path) {
    snprintf(g_history.path, sizeof g_history.path, "%s", path.c_str());
    app_load_history();
}

static int lines_in(const std::string &s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

TEST(History, LoadSkipsShortLinesAndTheyVanishAtNextSave) {
    std::string p = temp_path("short.txt");
    write_file(p, "111\tpc1\tnick\t2024-01-02 03:04\n"
                  "only\ttwo\ttabs\n"
                  "\n"
                  "222\tpc2\t\t2024-01-01 00:00\r\n"
                  "333\tpc3\tx\ty\tz\n");
    use_file(p);
    ASSERT_EQ(g_history.count, 3);
    EXPECT_STREQ(g_history.entries[0].nickname, "nick");
    EXPECT_STREQ(g_history.entries[0].last_connected, "2024-01-02 03:04");
    EXPECT_STREQ(g_history.entries[1].id, "222");
    EXPECT_STREQ(g_history.entries[1].last_connected, "2024-01-01 00:00");   // CR cut
    EXPECT_STREQ(g_history.entries[2].last_connected, "y?z");               // the rest, a tab cleaned
    EXPECT_TRUE(history_rename(1, "second"));
    EXPECT_EQ(test_read_file(p), "111\tpc1\tnick\t2024-01-02 03:04\n"
                            "222\tpc2\tsecond\t2024-01-01 00:00\n"
                            "333\tpc3\tx\ty?z\n");
    remove(p.c_str());
}

TEST(History, LongLineReadInPiecesAndFieldsCut) {
    std::string p = temp_path("long.txt");
    // 300 characters before the line feed: the first 299 make one entry, the rest is a piece
    // without tabs and is skipped.
    std::string id(70, '9'), comp(40, 'c'), nick(70, 'n');
    std::string line = id + "\t" + comp + "\t" + nick + "\t";
    line += std::string(300 - line.size(), 't');
    ASSERT_EQ(line.size(), 300u);
    // A second long line whose overflow piece has three tabs of its own adds a second entry.
    std::string line2 = std::string(299, 'x') + "a\tb\tc\td";
    write_file(p, line + "\n" + line2 + "\n");
    use_file(p);
    ASSERT_EQ(g_history.count, 2);
    EXPECT_EQ(strlen(g_history.entries[0].id), 63u);
    EXPECT_EQ(strlen(g_history.entries[0].computer), 32u);
    EXPECT_EQ(strlen(g_history.entries[0].nickname), 63u);
    EXPECT_EQ(std::string(g_history.entries[0].last_connected), std::string(23, 't'));
    EXPECT_STREQ(g_history.entries[1].id, "a");
    EXPECT_STREQ(g_history.entries[1].last_connected, "d");
    remove(p.c_str());
}

TEST(History, MissingFileIsEmptyAndLoadStopsAt256) {
    use_file(temp_path("absent.txt"));
    EXPECT_EQ(g_history.count, 0);
    std::string p = temp_path("many.txt"), text;
    for (int i = 0; i < 300; i++) text += std::to_string(i) + "\tpc\t\tt\n";
    write_file(p, text);
    use_file(p);
    EXPECT_EQ(g_history.count, HISTORY_MAX);
    EXPECT_STREQ(g_history.entries[255].id, "255");
    remove(p.c_str());
}

TEST(History, RecordAddsMovesToFrontAndKeepsNickname) {
    std::string p = temp_path("record.txt");
    write_file(p, "111\tpc1\t\t2020-01-01 00:00\n222\tpc2\tmine\t2020-01-01 00:00\n333\tpc3\t\t2020-01-01 00:00\n");
    use_file(p);
    time_t t = 1700000000;
    ASSERT_TRUE(history_record("333", "PC3-NEW", t));
    ASSERT_EQ(g_history.count, 3);
    EXPECT_STREQ(g_history.entries[0].id, "333");
    EXPECT_STREQ(g_history.entries[0].computer, "PC3-NEW");
    EXPECT_STREQ(g_history.entries[1].id, "111");   // those before it moved down one place
    EXPECT_STREQ(g_history.entries[2].id, "222");
    char expect[24];
    strftime(expect, sizeof expect, "%Y-%m-%d %H:%M", localtime(&t));
    EXPECT_STREQ(g_history.entries[0].last_connected, expect);

    ASSERT_TRUE(history_record("222", "", t));      // an empty name keeps the old one
    EXPECT_STREQ(g_history.entries[0].id, "222");
    EXPECT_STREQ(g_history.entries[0].computer, "pc2");
    EXPECT_STREQ(g_history.entries[0].nickname, "mine");
    ASSERT_TRUE(history_record("444", "pc4", t));   // new computer at the top
    EXPECT_EQ(g_history.count, 4);
    EXPECT_STREQ(g_history.entries[0].id, "444");
    EXPECT_STREQ(g_history.entries[0].nickname, "");
    ASSERT_TRUE(history_record("22", "other", t));  // ids match exactly, not by prefix
    EXPECT_EQ(g_history.count, 5);
    EXPECT_EQ(history_find("22"), 0);
    EXPECT_EQ(history_find("222"), 2);
    EXPECT_EQ(history_find("2"), -1);

    std::string saved = test_read_file(p);   // saved after every change, in table order
    EXPECT_EQ(lines_in(saved), 5);
    EXPECT_EQ(saved.rfind("22\tother\t\t", 0), 0u);
    use_file(p);
    EXPECT_EQ(g_history.count, 5);
    EXPECT_STREQ(g_history.entries[2].nickname, "mine");
    remove(p.c_str());
}

TEST(History, FullTableRecordsOnlyRememberedComputers) {
    std::string p = temp_path("full.txt"), text;
    for (int i = 0; i < HISTORY_MAX; i++) text += "id" + std::to_string(i) + "\tpc\t\t2020-01-01 00:00\n";
    write_file(p, text);
    use_file(p);
    ASSERT_EQ(g_history.count, HISTORY_MAX);
    EXPECT_FALSE(history_record("brand-new", "pc", 1700000000));
    EXPECT_EQ(g_history.count, HISTORY_MAX);
    EXPECT_EQ(test_read_file(p), text);   // nothing saved
    EXPECT_TRUE(history_record("id200", "pc200", 1700000000));
    EXPECT_EQ(g_history.count, HISTORY_MAX);
    EXPECT_STREQ(g_history.entries[0].id, "id200");
    EXPECT_STREQ(g_history.entries[1].id, "id0");
    EXPECT_STREQ(g_history.entries[200].id, "id199");
    EXPECT_STREQ(g_history.entries[201].id, "id201");
    remove(p.c_str());
}

TEST(History, HostileNamesCannotSplitOrForgeLines) {
    std::string p = temp_path("hostile.txt");
    write_file(p, "");
    use_file(p);
    ASSERT_TRUE(history_record("123456789", "EVIL\t1\t2\n666666666\tforged\tx\ty\r", 1700000000));
    ASSERT_TRUE(history_record("id\twith\ttabs\n", "pc", 1700000000));
    ASSERT_TRUE(history_rename(1, "nick\nname\t\x7f"));
    std::string saved = test_read_file(p);
    EXPECT_EQ(lines_in(saved), 2);
    use_file(p);
    ASSERT_EQ(g_history.count, 2);
    EXPECT_STREQ(g_history.entries[0].id, "id?with?tabs?");
    EXPECT_STREQ(g_history.entries[1].computer, "EVIL?1?2?666666666?forged?x?y?");   // cut at 32
    EXPECT_STREQ(g_history.entries[1].nickname, "nick?name??");
    // Recording the same typed text again finds the cleaned entry instead of adding one.
    ASSERT_TRUE(history_record("id\twith\ttabs\n", "pc", 1700000000));
    EXPECT_EQ(g_history.count, 2);
    remove(p.c_str());
}

TEST(History, RenameRemoveAndCells) {
    std::string p = temp_path("edit.txt");
    write_file(p, "1\t\t\ta\n2\tpc2\tnick2\tb\n3\tpc3\t\tc\n");
    use_file(p);
    EXPECT_STREQ(history_cell(0, 0), "-");
    EXPECT_STREQ(history_cell(0, 1), "?");
    EXPECT_STREQ(history_cell(1, 0), "nick2");
    EXPECT_STREQ(history_cell(1, 1), "pc2");
    EXPECT_STREQ(history_cell(1, 2), "2");
    EXPECT_STREQ(history_cell(1, 3), "b");
    EXPECT_FALSE(history_rename(3, "x"));
    EXPECT_FALSE(history_rename(-1, "x"));
    EXPECT_FALSE(history_remove(3));
    EXPECT_FALSE(history_remove(-1));
    EXPECT_TRUE(history_rename(1, ""));              // empty text clears, the entry keeps its place
    EXPECT_STREQ(history_cell(1, 0), "-");
    EXPECT_TRUE(history_rename(2, std::string(80, 'n').c_str()));
    EXPECT_EQ(strlen(g_history.entries[2].nickname), 63u);
    EXPECT_TRUE(history_remove(0));
    EXPECT_EQ(g_history.count, 2);
    EXPECT_STREQ(g_history.entries[0].id, "2");
    EXPECT_EQ(test_read_file(p), "2\tpc2\t\tb\n3\tpc3\t" + std::string(63, 'n') + "\tc\n");
    EXPECT_TRUE(history_remove(1));
    EXPECT_TRUE(history_remove(0));
    EXPECT_EQ(test_read_file(p), "");
    remove(p.c_str());
}

TEST(History, UnwritableFileKeepsWorkingInMemory) {
    snprintf(g_history.path, sizeof g_history.path, "%s", "/nonexistent-dir/x/history.txt");
    app_load_history();
    EXPECT_EQ(g_history.count, 0);
    EXPECT_FALSE(app_save_history());
    EXPECT_TRUE(history_record("5", "pc", 1700000000));
    EXPECT_EQ(g_history.count, 1);
    EXPECT_TRUE(history_remove(0));
    EXPECT_EQ(g_history.count, 0);
}

TEST(Target, DigitsGoThroughTheRelayOtherTextDirect) {
    connect_request r;
    memset(&r, 0, sizeof r);
    app_parse_target(&r, "123456789", "relay.example");
    EXPECT_EQ(r.relay, 1);
    EXPECT_STREQ(r.host, "relay.example");
    EXPECT_STREQ(r.port, "7000");
    EXPECT_STREQ(r.target, "123456789");

    memset(&r, 0, sizeof r);
    app_parse_target(&r, "123 456 789", "relay.example");   // grouped as displayed: a host name
    EXPECT_EQ(r.relay, 0);
    EXPECT_STREQ(r.host, "123 456 789");
    EXPECT_STREQ(r.port, "7777");

    memset(&r, 0, sizeof r);
    app_parse_target(&r, "fe80::1:8000", "r");   // cut at the last ':', port as typed
    EXPECT_STREQ(r.host, "fe80::1");
    EXPECT_STREQ(r.port, "8000");
    memset(&r, 0, sizeof r);
    app_parse_target(&r, "pc:not-a-port-and-much-too-long", "r");
    EXPECT_STREQ(r.host, "pc");
    EXPECT_STREQ(r.port, "not-a-port-and-");   // at most 15 characters
    memset(&r, 0, sizeof r);
    std::string huge(200, 'h');
    app_parse_target(&r, huge.c_str(), "r");
    EXPECT_EQ(strlen(r.host), 127u);
    EXPECT_EQ(strlen(r.target), 63u);

    EXPECT_FALSE(app_target_is_id(""));
    EXPECT_FALSE(app_target_is_id("12a"));
    EXPECT_TRUE(app_target_is_id("0"));
}

TEST(Status, IdGroupingAndStateTexts) {
    char buf[APP_TEXT_BYTES];
    app_format_id(buf, sizeof buf, "012345678");
    EXPECT_STREQ(buf, "012 345 678");
    app_format_id(buf, sizeof buf, "0123456789abc");
    EXPECT_STREQ(buf, "012 345 678");
    app_format_id(buf, sizeof buf, "");
    EXPECT_STREQ(buf, "--- --- ---");
    app_status_text(buf, sizeof buf, HOST_STARTING, "", "localhost", "PC");
    EXPECT_STREQ(buf, "Starting...");
    app_status_text(buf, sizeof buf, HOST_WAITING, "", "localhost", "PC");
    EXPECT_STREQ(buf, "Online via localhost, waiting for a viewer  (PC)");
    app_status_text(buf, sizeof buf, HOST_VIEWER_CONNECTED, "VIEWER", "localhost", "PC");
    EXPECT_STREQ(buf, "Connected: VIEWER is viewing this computer");
    std::string longname(300, 'x');
    app_status_text(buf, sizeof buf, HOST_WAITING, "", longname.c_str(), "PC");
    EXPECT_EQ(strlen(buf), 199u);
}

// The version 2 mark: kept across save and load in login_v2.txt beside the history, which keeps its
// exact format, and found by target.
TEST(History, V2MarkSurvivesSavingAndLeavesHistoryTxtAsItWas) {
    std::string path = temp_path("v2.txt");
    std::string pins = path.substr(0, path.find_last_of('/') + 1) + "login_v2.txt";
    remove(pins.c_str());
    write_file(path, "123456789\tPC-A\tlab\t2026-01-02 03:04\n10.0.0.5:7777\tPC-B\t\t2026-01-01 00:00\r\n");
    use_file(path);
    ASSERT_EQ(g_history.count, 2);
    EXPECT_EQ(g_history.entries[0].v2 + g_history.entries[1].v2, 0);
    EXPECT_EQ(history_pinned("123456789"), 0);
    EXPECT_EQ(history_mark_v2("123456789"), 1);
    EXPECT_EQ(history_mark_v2("nobody"), 0);
    std::string text = test_read_file(path);
    EXPECT_EQ(text, "123456789\tPC-A\tlab\t2026-01-02 03:04\n10.0.0.5:7777\tPC-B\t\t2026-01-01 00:00\n");
    EXPECT_EQ(test_read_file(pins), "123456789\n");
    use_file(path);
    ASSERT_EQ(g_history.count, 2);
    EXPECT_STREQ(g_history.entries[0].last_connected, "2026-01-02 03:04");
    EXPECT_EQ(g_history.entries[0].v2, 1);
    EXPECT_EQ(history_pinned("123456789"), 1);
    EXPECT_EQ(history_pinned("10.0.0.5:7777"), 0);
    // A long direct target is recorded, and so found, by its first 18 characters.
    history_record("a-very-long-host-n", "PC-C", 0);
    history_mark_v2("a-very-long-host-n");
    EXPECT_EQ(history_pinned("a-very-long-host-name:7777"), 1);
    remove(path.c_str());
    remove(pins.c_str());
}
