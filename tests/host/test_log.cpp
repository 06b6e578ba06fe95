// Host log: lines reach the file whole and at once, nothing is written without a log, a second
// open keeps the first file, and concurrent writers never split a line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "host/log.h"
#include "platform/thread.h"

static std::string read_all(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

#ifdef _WIN32
#include <direct.h>
#include <process.h>
static std::string temp_dir() {
    static int seq = 0;
    const char *base = getenv("TEMP");
    char path[512];
    snprintf(path, sizeof path, "%s\\vo_log_%d_%d", base ? base : ".", _getpid(), seq++);
    _mkdir(path);
    return path;
}
// The host data folder is <dir>\vo.
static std::string point_data_dir(const std::string &dir) {
    _putenv_s("PROGRAMDATA", dir.c_str());
    return dir + "\\vo";
}
#define SEP "\\"
#else
#include <unistd.h>
static std::string temp_dir() {
    char tmpl[] = "/tmp/vo_log_XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}
// The host data folder is <dir>/host.
static std::string point_data_dir(const std::string &dir) {
    setenv("VO_DATA_DIR", dir.c_str(), 1);
    return dir + "/host";
}
#define SEP "/"
#endif

TEST(HostLog, NoLogOpenDropsLines) {
    host_log_close();
    host_log("dropped %d", 1);   // must not crash or write anywhere
    EXPECT_EQ(host_log_file, nullptr);
}

TEST(HostLog, LinesAreFlushedAtOnceAndSecondOpenKeepsFirst) {
    std::string dir = temp_dir();
    std::string a = dir + SEP "a.log", b = dir + SEP "b.log";
    ASSERT_EQ(host_log_open_path(a.c_str()), 1);
    host_log("server up on port %d, dxgi=%d", 7777, 0);
    EXPECT_EQ(read_all(a), "server up on port 7777, dxgi=0\n");   // readable before any close
    EXPECT_EQ(host_log_open_path(b.c_str()), 1);
    host_log("client disconnected");
    EXPECT_EQ(read_all(a), "server up on port 7777, dxgi=0\nclient disconnected\n");
    EXPECT_EQ(read_all(b), "");
    host_log_close();
}

TEST(HostLog, OpenTruncatesAnEarlierRun) {
    std::string path = temp_dir() + SEP "run.log";
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    host_log("first run");
    host_log_close();
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    host_log("second run");
    host_log_close();
    EXPECT_EQ(read_all(path), "second run\n");
}

TEST(HostLog, OpenLogUsesHostDataFolder) {
    std::string host_dir = point_data_dir(temp_dir());
    host_log_close();
    host_open_log();
    host_log("password set by user");
    host_log_close();
    EXPECT_EQ(read_all(host_dir + SEP "vo_server.log"), "password set by user\n");
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
    std::string path = temp_dir() + SEP "mt.log";
    ASSERT_EQ(host_log_open_path(path.c_str()), 1);
    thread_handle t1 = thread_create(writer, (void *)(intptr_t)1);
    thread_handle t2 = thread_create(writer, (void *)(intptr_t)2);
    ASSERT_TRUE(t1 && t2);
    thread_wait(t1, THREAD_INFINITE);
    thread_wait(t2, THREAD_INFINITE);
    thread_close(t1);
    thread_close(t2);
    host_log_close();
    std::string s = read_all(path);
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
