// The private host data folder on Windows: its access list (SYSTEM, Administrators and this
// account, nothing inherited), an older open folder closed up, and links planted in its place.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string>
#include "test_files.h"
#include "platform/sysinfo.h"

// The access list of path as "protected" plus one SID string per allow entry, in order.
static std::string access_text(const std::string &path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return "unreadable";
    SECURITY_DESCRIPTOR_CONTROL ctl = 0;
    DWORD rev = 0;
    GetSecurityDescriptorControl(sd, &ctl, &rev);
    std::string out = (ctl & SE_DACL_PROTECTED) ? "protected" : "inherits";
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (!GetAce(dacl, i, (void **)&ace)) continue;
        char *sid = nullptr;
        ConvertSidToStringSidA((PSID)&ace->SidStart, &sid);
        out += std::string(" ") + (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "+" : "-") + (sid ? sid : "?");
        if (ace->Mask != FILE_ALL_ACCESS) out += "(partial)";
        LocalFree(sid);
    }
    LocalFree(sd);
    return out;
}

static std::string own_sid(void) {
    HANDLE tok;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tok);
    alignas(TOKEN_USER) BYTE buf[256];
    DWORD n = 0;
    char *text = nullptr;
    if (GetTokenInformation(tok, TokenUser, buf, sizeof buf, &n))
        ConvertSidToStringSidA(((TOKEN_USER *)buf)->User.Sid, &text);
    CloseHandle(tok);
    std::string s = text ? text : "";
    LocalFree(text);
    return s;
}

// Wine keeps no access lists on files: it answers with one made from the Unix mode bits.
static bool under_wine(void) {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// No entry for Everyone, Users or Authenticated Users.
static bool closed_to_others(const std::string &acl) {
    return acl.find("S-1-1-0") == std::string::npos && acl.find("S-1-5-32-545") == std::string::npos &&
           acl.find("S-1-5-11") == std::string::npos;
}

// Under Wine only what the mode bits can say is checked: nothing for other users.
static void expect_private(const std::string &path) {
    std::string acl = access_text(path);
    if (under_wine()) EXPECT_TRUE(closed_to_others(acl)) << path << ": " << acl;
    else EXPECT_EQ(acl, "protected +S-1-5-18 +S-1-5-32-544 +" + own_sid()) << path;
}

TEST(SysinfoWin32, FolderAndFilesAreForSystemAdministratorsAndThisAccountOnly) {
    std::string dir = test_temp_dir("vo_acl") + "\\vo";
    ASSERT_EQ(sysinfo_make_private_dir(dir.c_str()), 1);
    FILE *f = sysinfo_open_private((dir + "\\host.txt").c_str(), 1);
    ASSERT_NE(f, nullptr);
    fclose(f);
    expect_private(dir);
    expect_private(dir + "\\host.txt");

    // A folder made before (inheriting the open access of its parent) is closed up, files too.
    std::string old = test_temp_dir("vo_acl") + "\\vo";
    ASSERT_TRUE(CreateDirectoryA(old.c_str(), nullptr));
    FILE *o = fopen((old + "\\host.txt").c_str(), "wb");
    ASSERT_NE(o, nullptr);
    fclose(o);
    ASSERT_EQ(sysinfo_make_private_dir(old.c_str()), 1);
    o = sysinfo_open_private((old + "\\host.txt").c_str(), 1);
    ASSERT_NE(o, nullptr);
    fclose(o);
    if (under_wine()) {
        printf("note: Wine keeps no access list set on an existing file or folder; not checked\n");
        return;
    }
    expect_private(old);
    expect_private(old + "\\host.txt");
}

TEST(SysinfoWin32, LinksPlantedInThePlaceOfFolderOrFileAreRefused) {
    std::string base = test_temp_dir("vo_link");
    std::string elsewhere = base + "\\elsewhere", dir = base + "\\vo";
    ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
    // Wine 8 reports success here without making a link: the checks run only where one exists.
    if (CreateSymbolicLinkA(dir.c_str(), elsewhere.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_EQ(sysinfo_make_private_dir(dir.c_str()), 0);
        RemoveDirectoryA(dir.c_str());
    } else {
        printf("note: no directory link could be planted here (error %lu)\n", GetLastError());
    }
    ASSERT_EQ(sysinfo_make_private_dir(dir.c_str()), 1);
    std::string target = elsewhere + "\\target", file = dir + "\\host.txt";
    FILE *t = fopen(target.c_str(), "wb");
    ASSERT_NE(t, nullptr);
    fputs("keep", t);
    fclose(t);
    if (CreateSymbolicLinkA(file.c_str(), target.c_str(), 0) && GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_EQ(sysinfo_open_private(file.c_str(), 1), nullptr);
        EXPECT_EQ(sysinfo_open_private(file.c_str(), 0), nullptr);
        DeleteFileA(file.c_str());
    } else {
        printf("note: no file link could be planted here (error %lu)\n", GetLastError());
    }
    ASSERT_TRUE(CreateHardLinkA(file.c_str(), target.c_str(), nullptr)) << GetLastError();
    FILE *f = sysinfo_open_private(file.c_str(), 1);
    EXPECT_EQ(f, nullptr);
    if (f) fclose(f);
    EXPECT_EQ(test_read_file(target), "keep");
}
