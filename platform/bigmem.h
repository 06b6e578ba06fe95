// bigmem: large zeroed blocks that a program fills soon after taking them (the viewer's tile cache).
// Where the system allows, the pages are made present at once and in large pages, so the first
// write to each one does not pay a page fault: filling fresh 4 KiB pages one fault at a time costs
// far more than the copy into them on virtual machines.
#pragma once
#include <stddef.h>

void *bigmem_alloc(size_t bytes);        // zeroed memory, or NULL
void bigmem_free(void *p, size_t bytes);  // bytes as given to bigmem_alloc; NULL is ignored
