// sysrand_posix: getrandom(2), retried on interruption; any other failure is reported.
#include "platform/sysrand.h"
#include <errno.h>
#include <sys/random.h>

int sysrand_os_bytes(void *buf, size_t n) {
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
