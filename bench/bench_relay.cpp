// vo_relay against the nginx stream proxy: forwarding throughput at 100 concurrent pairs (both ways at
// once, then a half-close; one nginx process with proxy_half_close against the one relay thread) as a
// ratio (>= 1.00x is the target), and vo_relay's resident memory with 10,000 idle waiting hosts
// (target <= 64 MiB), and the worst-case resident memory one connection can make the relay hold
// (waiting viewers with full queues; paired connections whose peers never read, through buffers
// and through pipes).
// vo_relay is taken from beside this program; nginx runs unprivileged from a temporary prefix.
// VO_BENCH_WORST_ONLY=1 runs only the worst-case memory part (no nginx needed).
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include "platform/net.h"
#include "protocol/relay.h"
#include "relay/relay_server.h"

#define PAIRS 100
#define BYTES_EACH_WAY (8u << 20)
#define IDLE_HOSTS 10000
#define ROUNDS 3
#define WORST_CONNS 400   // connections per worst-case run

// One socket of the traffic test.
struct bench_end {
    int fd;
    uint64_t sent;   // data bytes sent
    uint64_t got;    // data bytes received
    int ready;       // the peer's ready byte was already taken
    int eof;         // the peer's FIN arrived
};

static char g_dir[256];         // temporary folder for the nginx prefix and the relay log
static char g_exe_dir[512];     // where vo_relay is
static uint8_t g_data[1 << 18]; // what every end sends, over and over
static uint8_t g_scratch[1 << 18];

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// Loopback connections through the platform layer (descriptors, since the loops below use epoll).
static int tcp_connect(int port) {
    net_sock s = net_connect("127.0.0.1", port);
    if (s == NET_INVALID) return -1;
    net_set_nodelay(s, 1);
    return (int)s;
}

static int tcp_listen(int *port) {
    net_sock s = net_listen("127.0.0.1", 0, 4096);
    if (s == NET_INVALID) return -1;
    *port = net_local_port(s);
    return (int)s;
}

static int free_port(void) {
    int port = 0, s = tcp_listen(&port);
    close(s);
    return port;
}

static void send_join(int s, char role, int room) {
    char name[20];
    snprintf(name, sizeof name, "%09d", room);
    uint8_t j[RELAY_JOIN_BYTES];
    relay_build_join(j, role, name, "bench");
    if (send(s, j, sizeof j, MSG_NOSIGNAL) != (ssize_t)sizeof j) fprintf(stderr, "join not sent\n");
}

// Starts a program with its output in out_path; returns its pid or -1.
static pid_t spawn(char *const argv[], const char *out_path, int drop_root) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
    }
    if (drop_root && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    execv(argv[0], argv);
    _exit(127);
}

static void stop_child(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

// Waits until the child just started accepts on port; its pid, or -1 (child stopped) if it never does.
static pid_t wait_accepting(pid_t pid, int port) {
    for (int i = 0; i < 500; i++) {
        int s = tcp_connect(port);
        if (s >= 0) {
            close(s);
            return pid;
        }
        usleep(10000);
    }
    stop_child(pid);
    return -1;
}

static pid_t start_relay(int port, const char *log_name) {
    char exe[600], port_s[16], log_path[300];
    snprintf(exe, sizeof exe, "%s/vo_relay", g_exe_dir);
    snprintf(port_s, sizeof port_s, "%d", port);
    snprintf(log_path, sizeof log_path, "%s/%s", g_dir, log_name);
    // Every bench client comes from 127.0.0.1.
    char *argv[] = {exe, (char *)"--bind", (char *)"127.0.0.1", (char *)"--port", port_s,
                    (char *)"--max-per-address", (char *)"0", nullptr};
    pid_t pid = spawn(argv, log_path, 0);
    return wait_accepting(pid, port);
}

// nginx as one unprivileged process (no master, no daemon) proxying port to sink_port.
static pid_t start_nginx(int port, int sink_port) {
    char conf[300], err[300];
    snprintf(conf, sizeof conf, "%s/nginx.conf", g_dir);
    snprintf(err, sizeof err, "%s/error.log", g_dir);
    FILE *f = fopen(conf, "w");
    if (!f) return -1;
    fprintf(f, "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
               "daemon off;\nmaster_process off;\nworker_processes 1;\nworker_rlimit_nofile 4096;\n"
               "pid %s/nginx.pid;\nerror_log %s warn;\n"
               "events { worker_connections 2048; }\n"
               "stream { server { listen 127.0.0.1:%d; proxy_pass 127.0.0.1:%d; proxy_half_close on; } }\n",
            g_dir, err, port, sink_port);
    fclose(f);
    char out[300];
    snprintf(out, sizeof out, "%s/nginx.out", g_dir);
    char *argv[] = {(char *)"/usr/sbin/nginx", (char *)"-p", g_dir, (char *)"-c", conf, (char *)"-e", err, nullptr};
    pid_t pid = spawn(argv, out, 1);
    return wait_accepting(pid, port);
}

// Moves what one end can move now; 0 when the socket failed.
static int end_pump(bench_end *e) {
    while (e->sent < BYTES_EACH_WAY) {
        size_t off = (size_t)(e->sent % sizeof g_data);
        size_t n = sizeof g_data - off;
        if (n > BYTES_EACH_WAY - e->sent) n = (size_t)(BYTES_EACH_WAY - e->sent);
        ssize_t k = send(e->fd, g_data + off, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EAGAIN) break;
        if (k <= 0) return 0;
        e->sent += (uint64_t)k;
        if (e->sent == BYTES_EACH_WAY) shutdown(e->fd, SHUT_WR);
    }
    while (!e->eof) {
        ssize_t k = recv(e->fd, g_scratch, sizeof g_scratch, 0);
        if (k < 0 && errno == EAGAIN) break;
        if (k < 0) return 0;
        if (k == 0) e->eof = 1;
        e->got += (uint64_t)k;
    }
    return 1;
}

// Every end has sent one ready byte; waits for the peer's, then sends BYTES_EACH_WAY while receiving
// and half-closes. Returns data bytes per second through the proxy, or -1.
static double run_traffic(bench_end *ends, int n) {
    for (int i = 0; i < n; i++) {
        char r;
        if (!ends[i].ready && recv(ends[i].fd, &r, 1, MSG_WAITALL) != 1) {
            fprintf(stderr, "bench_relay: no ready byte on end %d\n", i);
            return -1;
        }
        fcntl(ends[i].fd, F_SETFL, fcntl(ends[i].fd, F_GETFL) | O_NONBLOCK);
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < n; i++) {
        epoll_event ev;
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u32 = (uint32_t)i;
        epoll_ctl(ep, EPOLL_CTL_ADD, ends[i].fd, &ev);
    }
    double t0 = now_s();
    int done = 0, ok = 1;
    epoll_event evs[256];
    while (done < n && ok && now_s() - t0 < 300) {
        int k = epoll_wait(ep, evs, 256, 1000);
        for (int j = 0; j < k; j++) {
            bench_end *e = &ends[evs[j].data.u32];
            int was = e->eof && e->sent == BYTES_EACH_WAY;
            ok &= end_pump(e);
            if (!was && e->eof && e->sent == BYTES_EACH_WAY) done++;
        }
    }
    double secs = now_s() - t0;
    close(ep);
    uint64_t total = 0;
    for (int i = 0; i < n; i++) total += ends[i].got;
    if (!ok || done < n || total != (uint64_t)n * BYTES_EACH_WAY) {
        fprintf(stderr, "bench_relay: traffic stopped (ok %d, %d of %d ends done, %llu bytes)\n", ok, done, n,
                (unsigned long long)total);
        return -1;
    }
    return (double)total / secs;
}

static void close_ends(bench_end *ends, int n) {
    for (int i = 0; i < n; i++)
        if (ends[i].fd >= 0) close(ends[i].fd);
    memset(ends, 0, sizeof(bench_end) * (size_t)n);
}

// 100 hosts and 100 viewers through vo_relay.
static double relay_round(int port) {
    static bench_end ends[2 * PAIRS];
    for (int i = 0; i < 2 * PAIRS; i++) {
        ends[i].fd = tcp_connect(port);
        if (ends[i].fd < 0) return -1;
        send_join(ends[i].fd, i < PAIRS ? 'H' : 'V', i % PAIRS);
        send(ends[i].fd, "R", 1, MSG_NOSIGNAL);
    }
    double r = run_traffic(ends, 2 * PAIRS);
    close_ends(ends, 2 * PAIRS);
    return r;
}

// 100 clients through nginx to 100 sink connections accepted here.
static double nginx_round(int port, int sink) {
    static bench_end ends[2 * PAIRS];
    for (int i = 0; i < PAIRS; i++) {
        ends[i].fd = tcp_connect(port);
        if (ends[i].fd < 0) {
            fprintf(stderr, "bench_relay: cannot connect to nginx\n");
            return -1;
        }
        send(ends[i].fd, "R", 1, MSG_NOSIGNAL);
    }
    for (int i = PAIRS; i < 2 * PAIRS;) {
        int s = accept4(sink, nullptr, nullptr, SOCK_CLOEXEC);
        char r;
        if (s < 0) {
            fprintf(stderr, "bench_relay: sink accept failed\n");
            return -1;
        }
        if (recv(s, &r, 1, MSG_WAITALL) != 1) {  // a start-up probe, not one of ours
            close(s);
            continue;
        }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        send(s, "R", 1, MSG_NOSIGNAL);
        ends[i++].fd = s;
    }
    for (int i = PAIRS; i < 2 * PAIRS; i++) ends[i].ready = 1;  // took its peer's ready byte above
    double r = run_traffic(ends, 2 * PAIRS);
    close_ends(ends, 2 * PAIRS);
    return r;
}

static long rss_kib(pid_t pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    long kib = -1;
    while (f && fgets(line, sizeof line, f))
        if (!strncmp(line, "VmRSS:", 6)) kib = atol(line + 6);
    if (f) fclose(f);
    return kib;
}

static int count_lines_with(const char *path, const char *what) {
    FILE *f = fopen(path, "r");
    char line[512];
    int n = 0;
    while (f && fgets(line, sizeof line, f)) n += strstr(line, what) != nullptr;
    if (f) fclose(f);
    return n;
}

// vo_relay's resident memory with IDLE_HOSTS hosts waiting in distinct rooms; -1 on failure.
static long idle_hosts_rss(long *base_kib) {
    int port = free_port();
    pid_t pid = start_relay(port, "idle.log");
    if (pid < 0) return -1;
    *base_kib = rss_kib(pid);
    static int fds[IDLE_HOSTS];
    int opened = 0;
    for (; opened < IDLE_HOSTS; opened++) {
        fds[opened] = tcp_connect(port);
        if (fds[opened] < 0) break;
        send_join(fds[opened], 'H', opened);
    }
    char log_path[300];
    snprintf(log_path, sizeof log_path, "%s/idle.log", g_dir);
    for (int i = 0; i < 300 && count_lines_with(log_path, "host waiting") < opened; i++) usleep(100000);
    long kib = count_lines_with(log_path, "host waiting") == IDLE_HOSTS ? rss_kib(pid) : -1;
    for (int i = 0; i < opened; i++) close(fds[i]);
    stop_child(pid);
    return kib;
}

// The relay's own loop in a child process, so buffers-only forwarding can be chosen.
static pid_t start_inproc_relay(int port, int buffers_only) {
    pid_t pid = fork();
    if (pid == 0) {
        relay_config cfg;
        relay_config_defaults(&cfg);
        snprintf(cfg.bind_ip, sizeof cfg.bind_ip, "127.0.0.1");
        cfg.port = port;
        cfg.max_per_address = 0;
        cfg.buffers_only = buffers_only;
        cfg.join_timeout_ms = 120000;
        cfg.viewer_wait_ms = 120000;
        cfg.log = nullptr;
        if (relay_server_open(&cfg) < 0) _exit(1);
        relay_server_loop();
        _exit(0);
    }
    return pid < 0 ? -1 : wait_accepting(pid, port);
}

// Resident size once it has stopped growing (the relay has taken in what was sent).
static long settled_rss(pid_t pid) {
    long last = rss_kib(pid);
    for (int i = 0; i < 100; i++) {
        usleep(100000);
        long now = rss_kib(pid);
        if (now == last) return now;
        last = now;
    }
    return last;
}

// Sends as much of n bytes as the socket takes now (it is left non-blocking).
static void push_bytes(int fd, size_t n) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (n) {
        ssize_t k = send(fd, g_data, n < sizeof g_data ? n : sizeof g_data, MSG_NOSIGNAL);
        if (k <= 0) return;
        n -= (size_t)k;
    }
}

// KiB of resident memory per connection: WORST_CONNS viewers waiting with a full viewer queue
// (mode 0), or WORST_CONNS / 2 pairs whose both ends send and never read (1: buffers, 2: pipes).
static double worst_kib_per_conn(int mode) {
    int port = free_port();
    pid_t pid = start_inproc_relay(port, mode == 1);
    if (pid < 0) return -1;
    long base = settled_rss(pid);
    static int fds[WORST_CONNS];
    for (int i = 0; i < WORST_CONNS; i++) {
        fds[i] = tcp_connect(port);
        if (fds[i] < 0) return -1;
        int pairs = WORST_CONNS / 2;
        send_join(fds[i], mode == 0 || i >= pairs ? 'V' : 'H', mode == 0 ? i : i % pairs);
    }
    for (int i = 0; i < WORST_CONNS; i++) push_bytes(fds[i], mode == 0 ? 65536 : 4u << 20);
    long kib = settled_rss(pid);
    for (int i = 0; i < WORST_CONNS; i++) close(fds[i]);
    stop_child(pid);
    return (double)(kib - base) / WORST_CONNS;
}

static int worst_case_memory(void) {
    const char *what[] = {"waiting viewer, full 64 KiB queue", "paired, peer never reads, buffers",
                          "paired, peer never reads, pipes (pipe pages are kernel memory, not counted)"};
    for (int mode = 0; mode < 3; mode++) {
        double kib = worst_kib_per_conn(mode);
        if (kib < 0) {
            fprintf(stderr, "bench_relay: worst-case run %d failed\n", mode);
            return 0;
        }
        printf("relay_worst_resident_per_conn[%s]: %.1f KiB, 64 KiB / that = %.2fx (anchor: one flow buffer)\n",
               what[mode], kib, 64.0 / kib);
    }
    return 1;
}

static void find_exe_dir(const char *argv0) {
    char self[512];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) n = (ssize_t)snprintf(self, sizeof self, "%s", argv0);
    self[n] = 0;
    char *slash = strrchr(self, '/');
    if (slash) *slash = 0;
    snprintf(g_exe_dir, sizeof g_exe_dir, "%s", slash ? self : ".");
}

static double best_of(double a, double b) { return a > b ? a : b; }

static int throughput(void) {
    int relay_port = free_port(), nginx_port = free_port(), sink_port = 0;
    int sink = tcp_listen(&sink_port);
    pid_t relay = start_relay(relay_port, "relay.log");
    pid_t nginx = start_nginx(nginx_port, sink_port);
    if (relay < 0 || nginx < 0 || sink < 0) {
        fprintf(stderr, "bench_relay: cannot start %s\n", relay < 0 ? "vo_relay" : "nginx (see its error.log)");
        stop_child(relay);
        stop_child(nginx);
        return 0;
    }
    double ours = -1, theirs = -1;
    for (int r = 0; r < ROUNDS; r++) {  // interleaved, best of each, so a busy moment hits both alike
        ours = best_of(ours, relay_round(relay_port));
        theirs = best_of(theirs, nginx_round(nginx_port, sink));
    }
    stop_child(relay);
    stop_child(nginx);
    close(sink);
    if (ours <= 0 || theirs <= 0) {
        fprintf(stderr, "bench_relay: a traffic round failed (vo_relay %.0f, nginx %.0f)\n", ours, theirs);
        return 0;
    }
    printf("relay_throughput_%dpairs: vo_relay %.1f MB/s, nginx stream %.1f MB/s, ratio %.2fx (target >= 1.00x)\n",
           PAIRS, ours / 1e6, theirs / 1e6, ours / theirs);
    return 1;
}

static int idle_memory(void) {
    long base = 0, kib = idle_hosts_rss(&base);
    if (kib <= 0) {
        fprintf(stderr, "bench_relay: the idle-host run failed\n");
        return 0;
    }
    printf("relay_idle_hosts_%d: %.1f MiB resident (%.1f MiB at start), 64 MiB / that = %.2fx (target >= 1.00x)\n",
           IDLE_HOSTS, kib / 1024.0, base / 1024.0, 64.0 * 1024.0 / (double)kib);
    return 1;
}

int main(int, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    find_exe_dir(argv[0]);
    snprintf(g_dir, sizeof g_dir, "/tmp/vo_bench_relay.XXXXXX");
    if (!mkdtemp(g_dir)) return 1;
    chmod(g_dir, 0777);  // nginx runs as nobody and writes its pid and log here
    uint64_t x = 0x243F6A8885A308D3ull;
    for (size_t i = 0; i < sizeof g_data; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        g_data[i] = (uint8_t)x;
    }
    int ok = getenv("VO_BENCH_WORST_ONLY") ? 1 : throughput();
    if (!getenv("VO_BENCH_WORST_ONLY")) ok &= idle_memory();
    ok &= worst_case_memory();
    char cmd[300];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", g_dir);
    if (!getenv("VO_BENCH_KEEP") && system(cmd) != 0) fprintf(stderr, "bench_relay: could not remove %s\n", g_dir);
    return ok ? 0 : 1;
}
