// Platform layer: loopback sockets, threads with time-outs, locks, ticks, random source, folders.
#include <gtest/gtest.h>
#include <atomic>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "test_files.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sysinfo.h"
#include "platform/sysrand.h"
#include "platform/thread.h"

static unsigned accept_and_echo(void *arg) {
    net_sock l = *(net_sock *)arg;
    net_sock s = net_accept(l);
    char buf[100000];
    if (s != NET_INVALID && net_recv_all(s, buf, sizeof buf)) net_send_all(s, buf, sizeof buf);
    net_close(s);
    return 0;
}

TEST(Net, LoopbackExactLengthBothWays) {
    ASSERT_EQ(net_init(), 1);
    net_sock l = net_listen("127.0.0.1", 0, 4);
    ASSERT_NE(l, NET_INVALID);
    int port = net_local_port(l);
    ASSERT_GT(port, 0);
    thread_handle t = thread_create(accept_and_echo, &l);
    ASSERT_NE(t, nullptr);
    net_sock c = net_connect("127.0.0.1", port);
    ASSERT_NE(c, NET_INVALID);
    EXPECT_EQ(net_set_nodelay(c, 1), 1);
    EXPECT_EQ(net_set_keepalive(c, 1), 1);
    EXPECT_EQ(net_set_buffers(c, 1 << 20, 1 << 20), 1);
    static char out[100000], in[100000];
    for (size_t i = 0; i < sizeof out; i++) out[i] = (char)(i * 7);
    ASSERT_EQ(net_send_all(c, out, sizeof out), 1);
    ASSERT_EQ(net_recv_all(c, in, sizeof in), 1);
    EXPECT_EQ(memcmp(in, out, sizeof in), 0);
    // The peer closed: a further exact read fails instead of blocking.
    EXPECT_EQ(net_recv_all(c, in, 1), 0);
    EXPECT_EQ(thread_wait(t, 5000), 1);
    thread_close(t);
    net_close(c);
    net_close(l);
}

TEST(Net, ResolveAndRefusedConnect) {
    net_init();
    net_addr a[4];
    ASSERT_GE(net_resolve("127.0.0.1", 7000, a, 4), 1);
    EXPECT_EQ(a[0].ip, 0x7F000001u);
    EXPECT_EQ(a[0].port, 7000);
    char ip[32];
    net_format_ip(a[0].ip, ip, sizeof ip);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(net_resolve("no-such-host.invalid", 1, a, 4), 0);
    // A port nobody listens on: grab one, close it, connect.
    net_sock l = net_listen("127.0.0.1", 0, 1);
    int port = net_local_port(l);
    net_close(l);
    EXPECT_EQ(net_connect("127.0.0.1", port), NET_INVALID);
}

// A connected loopback pair whose far end never reads nor writes.
struct quiet_pair {
    net_sock listener, near, far;
};
static void quiet_pair_open(quiet_pair *p) {
    net_init();
    p->listener = net_listen("127.0.0.1", 0, 1);
    p->near = net_connect("127.0.0.1", net_local_port(p->listener));
    p->far = net_accept(p->listener);
}
static void quiet_pair_close(quiet_pair *p) {
    net_close(p->near);
    net_close(p->far);
    net_close(p->listener);
}

struct watched_read {
    net_sock sock;
    std::atomic<int> cancel{0};
    int result = 0;
};
static unsigned read_until_cancelled(void *arg) {
    watched_read *w = (watched_read *)arg;
    net_watch watch = {0, 0, 0, &w->cancel};
    net_watch_set(&watch);
    char c;
    w->result = net_recv(w->sock, &c, 1);
    net_watch_set(nullptr);
    return 0;
}

// The watch ends what a shutdown cannot end everywhere: a receive blocked in another thread (on
// Windows), a wait past a deadline, and a send the peer never makes room for.
TEST(Net, WatchEndsBlockedCallsOnCancelDeadlineAndSendStall) {
    quiet_pair p;
    quiet_pair_open(&p);
    ASSERT_NE(p.far, NET_INVALID);
    watched_read w;
    w.sock = p.near;
    thread_handle t = thread_create(read_until_cancelled, &w);
    clock_sleep(150);
    EXPECT_EQ(thread_wait(t, 0), 0);   // still blocked
    w.cancel.store(1);
    EXPECT_EQ(thread_wait(t, 10000), 1);
    thread_close(t);
    EXPECT_EQ(w.result, -1);

    net_watch deadline = {1, clock_tick() + 150, 0, nullptr};
    net_watch_set(&deadline);
    char c;
    EXPECT_EQ(net_recv(p.near, &c, 1), -1);
    EXPECT_EQ(net_wait_readable(p.near), 0);
    EXPECT_EQ(net_watch_expired(&deadline), 1);

    // A non-blocking socket still waits for room, until the stall limit.
    net_watch stall = {0, 0, 200, nullptr};
    net_watch_set(&stall);
    ASSERT_EQ(net_set_nonblocking(p.near, 1), 1);
    static char block[65536];
    int sent = 0;
    while (net_send_all(p.near, block, sizeof block)) sent++;
    EXPECT_GT(sent, 0);
    net_watch_set(nullptr);
    quiet_pair_close(&p);
}

static unsigned sleeper(void *arg) {
    clock_sleep(*(uint32_t *)arg);
    return 0;
}

TEST(Thread, WaitTimesOutThenSucceeds) {
    uint32_t ms = 300;
    thread_handle t = thread_create(sleeper, &ms);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(thread_wait(t, 10), 0);
    EXPECT_EQ(thread_wait(t, THREAD_INFINITE), 1);
    thread_close(t);
}

struct counter_arg {
    plat_lock lock;
    long value;
};

static unsigned bump(void *arg) {
    counter_arg *c = (counter_arg *)arg;
    for (int i = 0; i < 100000; i++) {
        lock_enter(&c->lock);
        c->value++;
        lock_leave(&c->lock);
    }
    return 0;
}

TEST(Thread, LockSerialisesIncrements) {
    counter_arg c;
    lock_init(&c.lock);
    c.value = 0;
    thread_handle a = thread_create(bump, &c), b = thread_create(bump, &c);
    thread_wait(a, THREAD_INFINITE);
    thread_wait(b, THREAD_INFINITE);
    thread_close(a);
    thread_close(b);
    EXPECT_EQ(c.value, 200000);
    lock_free(&c.lock);
}

TEST(Clock, TickAdvancesWithSleep) {
    uint32_t t0 = clock_tick();
    clock_sleep(50);
    uint32_t dt = clock_tick() - t0;
    EXPECT_GE(dt, 40u);
    EXPECT_LT(dt, 5000u);
}

TEST(Sysrand, FillsAndReportsFailure) {
    uint8_t a[64] = {0}, b[64] = {0};
    ASSERT_EQ(sysrand_bytes(a, sizeof a), 1);
    ASSERT_EQ(sysrand_bytes(b, sizeof b), 1);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    sysrand_fail_next(1);
    EXPECT_EQ(sysrand_bytes(a, sizeof a), 0);
    EXPECT_EQ(sysrand_bytes(a, sizeof a), 1);
}

TEST(Sysinfo, NameAndFolders) {
    char name[32];
    ASSERT_EQ(sysinfo_computer_name(name, sizeof name), 1);
    EXPECT_GT(strlen(name), 0u);
    EXPECT_LT(strlen(name), 32u);
    char host[512], app[512];
    ASSERT_EQ(sysinfo_host_dir(host, sizeof host), 1);
    ASSERT_EQ(sysinfo_app_dir(app, sizeof app), 1);
    EXPECT_NE(strcmp(host, app), 0);
    // Windows: ...\\vo for both roots; POSIX: $VO_DATA_DIR and its "host" subfolder.
    const char *tail = sysinfo_path_sep() == '/' ? "/host" : "\\vo";
    size_t n = strlen(host), t = strlen(tail);
    ASSERT_GE(n, t);
    EXPECT_STREQ(host + n - t, tail);
}

// The host data folder and its files: made private, written from the start, read back.
TEST(Sysinfo, PrivateFolderAndFiles) {
    std::string dir = test_temp_dir("vo_priv") + SEP "vo";
    ASSERT_EQ(sysinfo_make_private_dir(dir.c_str()), 1);
    ASSERT_EQ(sysinfo_make_private_dir(dir.c_str()), 1);   // an existing one of ours is fine
    std::string file = dir + SEP "host.txt";
    for (const char *text : {"a longer first text", "short"}) {
        FILE *f = sysinfo_open_private(file.c_str(), 1);
        ASSERT_NE(f, nullptr);
        fputs(text, f);
        fclose(f);
    }
    EXPECT_EQ(test_read_file(file), "short");
    FILE *f = sysinfo_open_private(dir.c_str(), 0);   // a folder is no file
    EXPECT_EQ(f, nullptr);
    if (f) fclose(f);
}

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
// Links planted in the folder's or a file's place are refused, and so is a folder of another
// owner; a folder left readable by others is closed up.
TEST(Sysinfo, PrivateFolderRefusesLinksAndStrangers) {
    std::string base = test_temp_dir("vo_priv");
    std::string dir = base + "/vo", elsewhere = base + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.c_str()), 0);
    EXPECT_EQ(sysinfo_make_private_dir(dir.c_str()), 0);
    ASSERT_EQ(unlink(dir.c_str()), 0);

    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(sysinfo_make_private_dir(dir.c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string target = elsewhere + "/target", file = dir + "/host.txt";
    FILE *t = fopen(target.c_str(), "wb");
    ASSERT_NE(t, nullptr);
    fputs("keep", t);
    fclose(t);
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    EXPECT_EQ(sysinfo_open_private(file.c_str(), 1), nullptr);
    EXPECT_EQ(sysinfo_open_private(file.c_str(), 0), nullptr);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), file.c_str()), 0);   // a second name for someone's file
    EXPECT_EQ(sysinfo_open_private(file.c_str(), 1), nullptr);
    EXPECT_EQ(test_read_file(target), "keep");
    ASSERT_EQ(unlink(file.c_str()), 0);
    FILE *f = sysinfo_open_private(file.c_str(), 1);
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    if (geteuid() == 0) {   // only root can hand a folder to another owner
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        EXPECT_EQ(sysinfo_make_private_dir(dir.c_str()), 0);
    }
}
#endif
