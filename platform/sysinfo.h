// sysinfo: the computer name and the two data folders.
// Host data: %PROGRAMDATA%\vo (or C:\ProgramData\vo). Viewer and app: <local app data>\vo.
// On POSIX both live under $VO_DATA_DIR (default $HOME/.vo), host data in its "host" subfolder,
// so tests point them at temporary folders.
#pragma once
#include <stddef.h>

int sysinfo_computer_name(char *out, size_t cap);   // GetComputerNameA with a 32-byte buffer; 1/0
int sysinfo_host_dir(char *out, size_t cap);        // path without trailing separator; 1/0
int sysinfo_app_dir(char *out, size_t cap);         // path without trailing separator; 1/0
int sysinfo_make_dir(const char *path);             // create if missing; 1 when it exists after
char sysinfo_path_sep(void);                        // '\\' or '/'
