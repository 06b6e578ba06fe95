// sysinfo_posix: gethostname and data folders under $VO_DATA_DIR (default $HOME/.vo).
#include "platform/sysinfo.h"
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int sysinfo_computer_name(char *out, size_t cap) {
    char name[256];
    if (cap == 0 || gethostname(name, sizeof name) != 0) return 0;
    name[sizeof name - 1] = 0;
    // Same limit as the 32-byte buffer used on Windows: at most 31 characters.
    size_t n = strlen(name);
    if (n > 31) n = 31;
    if (n >= cap) n = cap - 1;
    memcpy(out, name, n);
    out[n] = 0;
    return 1;
}

static int base_dir(char *out, size_t cap) {
    const char *d = getenv("VO_DATA_DIR");
    int n;
    if (d && *d) n = snprintf(out, cap, "%s", d);
    else {
        const char *home = getenv("HOME");
        n = snprintf(out, cap, "%s/.vo", home && *home ? home : "/tmp");
    }
    return n > 0 && (size_t)n < cap;
}

int sysinfo_host_dir(char *out, size_t cap) {
    char base[1024];
    if (!base_dir(base, sizeof base)) return 0;
    int n = snprintf(out, cap, "%s/host", base);
    return n > 0 && (size_t)n < cap;
}

int sysinfo_app_dir(char *out, size_t cap) { return base_dir(out, cap); }

int sysinfo_make_dir(const char *path) {
    if (mkdir(path, 0755) == 0 || errno == EEXIST) return 1;
    // Create missing parents once, then retry.
    char tmp[1024];
    snprintf(tmp, sizeof tmp, "%s", path);
    for (char *p = tmp + 1; *p; p++) {
        if (*p != '/') continue;
        *p = 0;
        mkdir(tmp, 0755);
        *p = '/';
    }
    return mkdir(path, 0755) == 0 || errno == EEXIST;
}

char sysinfo_path_sep(void) { return '/'; }

int sysinfo_make_private_dir(const char *path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST && !sysinfo_make_dir(path)) return 0;
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return 0;
    if ((st.st_mode & 077) && chmod(path, 0700) != 0) return 0;
    return 1;
}

FILE *sysinfo_open_private(const char *path, int write) {
    int flags = write ? O_WRONLY | O_CREAT : O_RDONLY;
    int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat st;
    int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Truncated only after the checks, so a file that is also another name is left alone.
    if (ok && write) ok = st.st_nlink == 1 && st.st_uid == geteuid() && fchmod(fd, 0600) == 0 && ftruncate(fd, 0) == 0;
    FILE *f = ok ? fdopen(fd, write ? "wb" : "rb") : nullptr;
    if (!f) close(fd);
    return f;
}
