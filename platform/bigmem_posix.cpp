// bigmem on POSIX: an anonymous mapping, asked for transparent huge pages and then populated for
// writing in one call. Both requests are advice: a kernel without them gives ordinary pages. Under
// AddressSanitizer the blocks come from calloc instead, so overruns of them are still caught.
#include "platform/bigmem.h"
#include <stdlib.h>
#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23   // Linux 5.14 and later; older kernels refuse it harmlessly
#endif

#if defined(__SANITIZE_ADDRESS__)
#define BIGMEM_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BIGMEM_CHECKED 1
#endif
#endif

#ifdef BIGMEM_CHECKED
void *bigmem_alloc(size_t bytes) { return bytes ? calloc(1, bytes) : nullptr; }
void bigmem_free(void *p, size_t bytes) {
    (void)bytes;
    free(p);
}
#else
void *bigmem_alloc(size_t bytes) {
    if (!bytes) return nullptr;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    (void)madvise(p, bytes, MADV_HUGEPAGE);
#endif
    (void)madvise(p, bytes, MADV_POPULATE_WRITE);
    return p;
}

void bigmem_free(void *p, size_t bytes) {
    if (p) munmap(p, bytes);
}
#endif
