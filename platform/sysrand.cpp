// sysrand: the portable front of the random source, with the failure switch tests use.
#include "platform/sysrand.h"
#include <atomic>

static std::atomic<int> g_fail_next{0};   // tests: calls still to fail

void sysrand_fail_next(int count) { g_fail_next.store(count); }

int sysrand_bytes(void *buf, size_t n) {
    if (g_fail_next.load() > 0) {
        g_fail_next.fetch_sub(1);
        return 0;
    }
    return sysrand_os_bytes(buf, n);
}
