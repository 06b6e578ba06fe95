// cache_file_posix: how the tile cache file reaches the disk on POSIX: fsync, then rename over the
// old file (atomic on one file system, so a reader sees the old file or the new one, never a part).
#include "viewer/cache.h"
#include <stdio.h>
#include <unistd.h>

int cache_file_sync(void *file) { return fsync(fileno((FILE *)file)) == 0; }

int cache_file_replace(const char *tmp, const char *dst) { return rename(tmp, dst) == 0; }
