// sysinfo_win32: GetComputerNameA, %PROGRAMDATA%\vo for the host, local app data\vo for viewer and app.
#include "platform/sysinfo.h"
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int sysinfo_computer_name(char *out, size_t cap) {
    char name[32];
    DWORD n = sizeof name;
    if (cap == 0 || !GetComputerNameA(name, &n)) return 0;
    name[sizeof name - 1] = 0;
    snprintf(out, cap, "%s", name);
    return 1;
}

int sysinfo_host_dir(char *out, size_t cap) {
    const char *pd = getenv("PROGRAMDATA");
    int n = snprintf(out, cap, "%s\\vo", pd && *pd ? pd : "C:\\ProgramData");
    return n > 0 && (size_t)n < cap;
}

int sysinfo_app_dir(char *out, size_t cap) {
    char base[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base) != S_OK) return 0;
    int n = snprintf(out, cap, "%s\\vo", base);
    return n > 0 && (size_t)n < cap;
}

int sysinfo_make_dir(const char *path) {
    if (CreateDirectoryA(path, nullptr)) return 1;
    return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0;
}

char sysinfo_path_sep(void) { return '\\'; }
