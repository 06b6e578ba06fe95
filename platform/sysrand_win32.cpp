// sysrand_win32: BCryptGenRandom with the system-preferred generator.
#include "platform/sysrand.h"
#include <windows.h>
#include <bcrypt.h>
#include <atomic>

#ifndef BCRYPT_USE_SYSTEM_PREFERRED_RNG
#define BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002
#endif

static std::atomic<int> g_fail_next{0};   // tests: calls still to fail

void sysrand_fail_next(int count) { g_fail_next.store(count); }

int sysrand_bytes(void *buf, size_t n) {
    if (g_fail_next.load() > 0) {
        g_fail_next.fetch_sub(1);
        return 0;
    }
    unsigned char *p = (unsigned char *)buf;
    while (n > 0) {
        ULONG chunk = n > 0x10000000 ? 0x10000000 : (ULONG)n;
        if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return 0;
        p += chunk;
        n -= chunk;
    }
    return 1;
}
