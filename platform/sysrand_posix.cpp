// sysrand_posix: getrandom(2), retried on interruption; any other failure is reported.
#include "platform/sysrand.h"
#include <atomic>
#include <errno.h>
#include <sys/random.h>

static std::atomic<int> g_fail_next{0};   // tests: calls still to fail

void sysrand_fail_next(int count) { g_fail_next.store(count); }

int sysrand_bytes(void *buf, size_t n) {
    if (g_fail_next.load() > 0) {
        g_fail_next.fetch_sub(1);
        return 0;
    }
    unsigned char *p = (unsigned char *)buf;
    while (n > 0) {
        ssize_t r = getrandom(p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        p += r;
        n -= (size_t)r;
    }
    return 1;
}
