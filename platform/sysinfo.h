// sysinfo: the computer name and the two data folders.
// Host data: %PROGRAMDATA%\vo (or C:\ProgramData\vo). Viewer and app: <local app data>\vo.
// On POSIX both live under $VO_DATA_DIR (default $HOME/.vo), host data in its "host" subfolder,
// so tests point them at temporary folders.
// The host data folder holds the password in host.txt: it is made private (POSIX: mode 0700;
// Windows: SYSTEM, Administrators and the creating account only) and its files are opened
// without following links.
#pragma once
#include <stddef.h>
#include <stdio.h>

int sysinfo_computer_name(char *out, size_t cap);   // GetComputerNameA with a 32-byte buffer; 1/0
int sysinfo_host_dir(char *out, size_t cap);        // path without trailing separator; 1/0
int sysinfo_app_dir(char *out, size_t cap);         // path without trailing separator; 1/0
int sysinfo_make_dir(const char *path);             // create if missing; 1 when it exists after
char sysinfo_path_sep(void);                        // '\\' or '/'

// Creates the folder private to this system's administrators and this account, or checks the one
// that is there: 1 when it is a real folder (no link) owned by SYSTEM, the Administrators or this
// account; an older one that others could read is made private. 0: do not use it.
int sysinfo_make_private_dir(const char *path);
// Opens a file in such a folder for reading (write = 0) or for writing from the start (write = 1,
// created private when missing). Refuses a link, a folder, and for writing a file with a second
// name (hard link) or another owner. NULL when refused or it cannot be opened.
FILE *sysinfo_open_private(const char *path, int write);
