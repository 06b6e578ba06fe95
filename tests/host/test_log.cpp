// Host log: lines reach the file whole and at once, nothing is written without a log, a second
// open keeps the first file, and concurrent writers never split a line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "test_files.h"
#include "host/log.h"
#include "platform/thread.h"



TEST(HostLog, NoLogOpenDropsLines) {
    host_log_close();
    host_log("dropped %d", 1);   // must not crash or write anywhere
    EXPECT_EQ(host_log_file, nullptr);
}

TEST(HostLog, LinesAreFlushedAtOnceAndSecondOpenKeepsFirst) {
    std::string dir = test_temp_dir("vo_log");
    std::string a = dir + SEP "a.log", b = dir + SEP "b.log";
    ASSERT_EQ(host_log_open_path(a.c_str()), 1);
    host_log("server up on port %d, dxgi=%d", 7777, 0);
    EXPECT_EQ(test_read_file(a), "server up on port 7777, dxgi=0\n");   // readable before any close
    EXPECT_EQ(host_log_open_path(b.c_str()), 1);
    host_log("client disconnected");
    EXPECT_EQ(test_read_file(a), "server up on port 7777, dxgi=0\nclient disconnected\n");
    EXPECT_EQ(test_read_file(b), "");
    host_log_close();
}

TEST(HostLog, OpenTruncatesAnEarlierRun) {
    std::string path = test_temp_dir("vo_log") + SEP "run.log";
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    host_log("first run");
    host_log_close();
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    host_log("second run");
    host_log_close();
    EXPECT_EQ(test_read_file(path), "second run\n");
}

TEST(HostLog, OpenLogUsesHostDataFolder) {
    std::string host_dir = test_point_data_dir(test_temp_dir("vo_log"));
    host_log_close();
    host_open_log();
    host_log("password set by user");
    host_log_close();
    EXPECT_EQ(test_read_file(host_dir + SEP "vo_server.log"), "password set by user\n");
}

TEST(HostLog, CaptureCountsLines) {
    host_log_capture_start();
    host_log("latency: rtt=%ldms", 20L);
    host_log("session stats: %llu tiles sent, %llu as cache refs (%.0f%%)", 10ULL, 5ULL, 50.0);
    host_log_capture_stop();
    host_log("not captured");
    char buf[256];
    host_log_captured(buf, sizeof buf);
    EXPECT_STREQ(buf, "latency: rtt=20ms\nsession stats: 10 tiles sent, 5 as cache refs (50%)\n");
    EXPECT_EQ(host_log_count("latency:"), 1);
    EXPECT_EQ(host_log_count("cache refs"), 1);
    EXPECT_EQ(host_log_count("not captured"), 0);
}

static unsigned writer(void *arg) {
    long id = (long)(intptr_t)arg;
    for (int i = 0; i < 500; i++) host_log("writer %ld line %d with some padding text", id, i);
    return 0;
}

TEST(HostLog, ConcurrentWritersKeepLinesWhole) {
    std::string path = test_temp_dir("vo_log") + SEP "mt.log";
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    thread_handle t1 = thread_create(writer, (void *)(intptr_t)1);
    thread_handle t2 = thread_create(writer, (void *)(intptr_t)2);
    ASSERT_TRUE(t1 && t2);
    thread_wait(t1, THREAD_INFINITE);
    thread_wait(t2, THREAD_INFINITE);
    thread_close(t1);
    thread_close(t2);
    host_log_close();
    std::string s = test_read_file(path);
    int lines = 0;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t lf = s.find('\n', pos);
        ASSERT_NE(lf, std::string::npos);
        std::string line = s.substr(pos, lf - pos);
        EXPECT_EQ(line.rfind("writer ", 0), 0u) << line;
        EXPECT_NE(line.find(" with some padding text"), std::string::npos) << line;
        lines++;
        pos = lf + 1;
    }
    EXPECT_EQ(lines, 1000);
}
