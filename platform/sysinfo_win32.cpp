// sysinfo_win32: GetComputerNameA, %PROGRAMDATA%\vo for the host, local app data\vo for viewer and app.
#include "platform/sysinfo.h"
#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
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

// The account this process runs as, as a SID string (LocalFree it). NULL on failure.
static char *own_sid_text(void) {
    HANDLE tok;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tok)) return nullptr;
    alignas(TOKEN_USER) BYTE buf[256];
    DWORD n = 0;
    char *text = nullptr;
    if (GetTokenInformation(tok, TokenUser, buf, sizeof buf, &n))
        ConvertSidToStringSidA(((TOKEN_USER *)buf)->User.Sid, &text);
    CloseHandle(tok);
    return text;
}

// Full control for SYSTEM, the Administrators and this account, inherited by everything inside,
// nothing inherited from above. LocalFree the result; NULL on failure.
static PSECURITY_DESCRIPTOR private_descriptor(void) {
    char *me = own_sid_text();
    if (!me) return nullptr;
    char sddl[256];
    snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)", me);
    LocalFree(me);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) return nullptr;
    return sd;
}

// 1 when sid is SYSTEM, the Administrators group or this process's account.
static int trusted_owner(PSID sid) {
    if (!sid || !IsValidSid(sid)) return 0;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return 1;
    HANDLE tok;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tok)) return 0;
    alignas(TOKEN_USER) BYTE buf[256];
    DWORD n = 0;
    int same = GetTokenInformation(tok, TokenUser, buf, sizeof buf, &n) && EqualSid(sid, ((TOKEN_USER *)buf)->User.Sid);
    CloseHandle(tok);
    return same;
}

// The opened file or folder is what it should be: no reparse point (junction, symbolic link),
// the right kind, owned by a trusted account, and (for writing) no second name.
static int handle_is_safe(HANDLE h, int want_dir, int one_name) {
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi)) return 0;
    if (fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
    if (!(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != !want_dir) return 0;
    if (one_name && fi.nNumberOfLinks > 1) return 0;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return 0;
    int ok = trusted_owner(owner);
    LocalFree(sd);
    return ok;
}

// Puts the private access list on an open file or folder (WRITE_DAC access). 1 on success.
static int make_private(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = private_descriptor();
    if (!sd) return 0;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    int ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present &&
             SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return ok;
}

// 1 when the folder's access list is already the protected one this module sets.
static int dacl_protected(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
        return 0;
    SECURITY_DESCRIPTOR_CONTROL ctl = 0;
    DWORD rev = 0;
    int prot = GetSecurityDescriptorControl(sd, &ctl, &rev) && (ctl & SE_DACL_PROTECTED);
    LocalFree(sd);
    return prot;
}

int sysinfo_make_private_dir(const char *path) {
    PSECURITY_DESCRIPTOR sd = private_descriptor();
    if (!sd) return 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    BOOL made = CreateDirectoryA(path, &sa);
    DWORD err = GetLastError();
    LocalFree(sd);
    if (!made && err != ERROR_ALREADY_EXISTS) return 0;
    // Opened without following a link, so a junction planted in its place is seen as one.
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileA(path, READ_CONTROL | WRITE_DAC, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) h = CreateFileA(path, READ_CONTROL, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = handle_is_safe(h, 1, 0);
    // A folder from before this check (readable by every user) is made private; one that is
    // already protected is left as its creator set it.
    if (ok && !made && !dacl_protected(h)) ok = make_private(h);
    CloseHandle(h);
    return ok;
}

FILE *sysinfo_open_private(const char *path, int write) {
    DWORD access = write ? GENERIC_WRITE | READ_CONTROL | WRITE_DAC : GENERIC_READ;
    HANDLE h = CreateFileA(path, access, write ? 0 : FILE_SHARE_READ, nullptr, write ? OPEN_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int ok = write ? handle_is_safe(h, 0, 1) : handle_is_safe(h, 0, 0);
    // Truncated only after the checks; an older file keeps no wider access than its folder.
    if (ok && write) ok = make_private(h) && SetEndOfFile(h);
    int fd = ok ? _open_osfhandle((intptr_t)h, write ? _O_WRONLY | _O_BINARY : _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, write ? "wb" : "rb");
    if (!f) _close(fd);
    return f;
}
