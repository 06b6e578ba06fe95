// log: one lock across format, line feed and flush, so lines from the session loop and the
// receive thread never interleave; an optional memory capture for tests.
#include "host/log.h"
#include <stdarg.h>
#include <string.h>
#include "platform/sysinfo.h"
#include "platform/thread.h"

#define LOG_CAPTURE_BYTES 65536
#define LOG_LINE_BYTES 1024

FILE *host_log_file = nullptr;

// Log state: the lock and the test capture.
static struct {
    plat_lock lock;                        // guards host_log_file and the capture
    int capturing;                         // 1 while lines are also kept in memory
    size_t captured;                       // bytes held in capture (without terminator)
    char capture[LOG_CAPTURE_BYTES];       // captured lines, each ending in a line feed
} g_log;

// The lock must exist before any thread logs; static initialisation runs before main.
static int g_log_lock_ready = (lock_init(&g_log.lock), 1);

static void capture_line(const char *fmt, va_list ap) {
    char line[LOG_LINE_BYTES];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) return;
    size_t len = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
    if (g_log.captured + len + 2 > LOG_CAPTURE_BYTES) return;   // full: later lines dropped
    memcpy(g_log.capture + g_log.captured, line, len);
    g_log.captured += len;
    g_log.capture[g_log.captured++] = '\n';
    g_log.capture[g_log.captured] = 0;
}

void host_log(const char *fmt, ...) {
    (void)g_log_lock_ready;
    lock_enter(&g_log.lock);
    if (g_log.capturing) {
        va_list ap;
        va_start(ap, fmt);
        capture_line(fmt, ap);
        va_end(ap);
    }
    if (host_log_file) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(host_log_file, fmt, ap);
        va_end(ap);
        fputc('\n', host_log_file);
        fflush(host_log_file);
    }
    lock_leave(&g_log.lock);
}

int host_log_open_path(const char *path) {
    lock_enter(&g_log.lock);
    // Binary mode: each line ends in exactly one line feed on every platform.
    if (!host_log_file && path) host_log_file = fopen(path, "wb");
    int open = host_log_file != nullptr;
    lock_leave(&g_log.lock);
    return open;
}

void host_open_log(void) {
    char dir[512], path[600];
    if (!sysinfo_host_dir(dir, sizeof dir) || !sysinfo_make_private_dir(dir)) return;
    int n = snprintf(path, sizeof path, "%s%cvo_server.log", dir, sysinfo_path_sep());
    if (n <= 0 || (size_t)n >= sizeof path) return;
    host_log_open_path(path);
}

void host_log_close(void) {
    lock_enter(&g_log.lock);
    if (host_log_file) fclose(host_log_file);
    host_log_file = nullptr;
    lock_leave(&g_log.lock);
}

void host_log_capture_start(void) {
    lock_enter(&g_log.lock);
    g_log.captured = 0;
    g_log.capture[0] = 0;
    g_log.capturing = 1;
    lock_leave(&g_log.lock);
}

void host_log_capture_stop(void) {
    lock_enter(&g_log.lock);
    g_log.capturing = 0;
    lock_leave(&g_log.lock);
}

size_t host_log_captured(char *out, size_t cap) {
    if (!out || cap == 0) return 0;
    lock_enter(&g_log.lock);
    size_t n = g_log.captured < cap - 1 ? g_log.captured : cap - 1;
    memcpy(out, g_log.capture, n);
    out[n] = 0;
    lock_leave(&g_log.lock);
    return n;
}

int host_log_count(const char *needle) {
    int count = 0;
    lock_enter(&g_log.lock);
    const char *line = g_log.capture;
    const char *end = g_log.capture + g_log.captured;
    while (line < end) {
        const char *lf = (const char *)memchr(line, '\n', (size_t)(end - line));
        size_t len = lf ? (size_t)(lf - line) : (size_t)(end - line);
        size_t nlen = strlen(needle);
        for (size_t i = 0; nlen <= len && i + nlen <= len; i++) {
            if (memcmp(line + i, needle, nlen) == 0) {
                count++;
                break;
            }
        }
        line += len + 1;
    }
    lock_leave(&g_log.lock);
    return count;
}
