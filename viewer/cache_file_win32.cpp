// cache_file_win32: how the tile cache file reaches the disk on Windows: flush the file's buffers,
// then move it over the old file in one step (plain rename refuses an existing target).
#include "viewer/cache.h"
#include <windows.h>
#include <io.h>
#include <stdio.h>

int cache_file_sync(void *file) {
    HANDLE h = (HANDLE)_get_osfhandle(_fileno((FILE *)file));
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

int cache_file_replace(const char *tmp, const char *dst) {
    return MoveFileExA(tmp, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
