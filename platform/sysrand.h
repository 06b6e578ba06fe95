// sysrand: the operating system's random source (BCryptGenRandom, system-preferred generator /
// getrandom). It reports failure; callers never use the buffer then.
#pragma once
#include <stddef.h>

int sysrand_bytes(void *buf, size_t n);   // 1 when all n bytes are random, 0 on failure

// Tests only: make the next `count` calls fail (0 = normal behaviour).
void sysrand_fail_next(int count);

// Backend (sysrand_win32.cpp / sysrand_posix.cpp): the system call itself.
int sysrand_os_bytes(void *buf, size_t n);
