// sysrand_win32: BCryptGenRandom with the system-preferred generator.
#include "platform/sysrand.h"
#include <windows.h>
#include <bcrypt.h>

#ifndef BCRYPT_USE_SYSTEM_PREFERRED_RNG
#define BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002
#endif

int sysrand_os_bytes(void *buf, size_t n) {
    unsigned char *p = (unsigned char *)buf;
    while (n > 0) {
        ULONG chunk = n > 0x10000000 ? 0x10000000 : (ULONG)n;
        if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return 0;
        p += chunk;
        n -= chunk;
    }
    return 1;
}
