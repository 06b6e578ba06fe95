// bigmem on Windows: committed pages from VirtualAlloc (zeroed by the system).
#include "platform/bigmem.h"
#include <windows.h>

void *bigmem_alloc(size_t bytes) {
    if (!bytes) return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void bigmem_free(void *p, size_t bytes) {
    (void)bytes;
    if (p) VirtualFree(p, 0, MEM_RELEASE);
}
