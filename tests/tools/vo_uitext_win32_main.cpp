// vo_uitext: a Windows test tool for the end-to-end checks of the desktop app. It looks at
// another program's window from outside, the way a screen reader would: the window's state and
// its controls' texts, the clipboard, and it can post a message to it (as the title bar would).
//   vo_uitext dump CLASS            window line, then one line per child: id, enabled, text
//   vo_uitext watch CLASS N MS      every change of child N's text within MS milliseconds
//   vo_uitext focus CLASS           id of the control with the keyboard focus in that window's thread
//   vo_uitext clip                  the clipboard's text
//   vo_uitext post CLASS MSG WP LP  post a message (numbers in C notation) to the window
// Exit 0 when the window (or clipboard text) was found, 1 otherwise.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND wait_window(const char *cls, DWORD ms) {
    for (DWORD waited = 0;; waited += 50) {
        HWND w = FindWindowA(cls, NULL);
        if (w || waited >= ms) return w;
        Sleep(50);
    }
}

// The n-th child in creation order (0-based), or NULL.
static HWND nth_child(HWND w, int n) {
    HWND c = GetWindow(w, GW_CHILD);
    for (int i = 0; c && i < n; i++) c = GetWindow(c, GW_HWNDNEXT);
    return c;
}

static int dump(const char *cls) {
    HWND w = wait_window(cls, 5000);
    if (!w) return 1;
    char text[512];
    GetWindowTextA(w, text, sizeof text);
    printf("window\t%d\t%d\t%s\n", IsWindowVisible(w) ? 1 : 0, IsIconic(w) ? 1 : 0, text);
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        text[0] = 0;
        SendMessageTimeoutA(c, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, NULL);
        printf("%d\t%d\t%s\n", GetDlgCtrlID(c), IsWindowEnabled(c) ? 1 : 0, text);
    }
    return 0;
}

static int watch(const char *cls, int n, DWORD ms) {
    char last[512] = "\x01", text[512];
    DWORD start = GetTickCount();
    HWND w = wait_window(cls, ms);
    if (!w) return 1;
    while (GetTickCount() - start < ms) {
        HWND c = nth_child(w, n);   // NULL while the window is still making its controls
        text[0] = 0;
        if (c) SendMessageTimeoutA(c, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 1000, NULL);
        if (c && strcmp(text, last) != 0) {
            printf("%lu\t%s\n", (unsigned long)(GetTickCount() - start), text);
            fflush(stdout);
            strcpy(last, text);
        }
        Sleep(20);
    }
    return 0;
}

static int focus(const char *cls) {
    HWND w = wait_window(cls, 5000);
    if (!w) return 1;
    GUITHREADINFO gi = {};
    gi.cbSize = sizeof gi;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(w, NULL), &gi) || !gi.hwndFocus) return 1;
    printf("%d\n", GetDlgCtrlID(gi.hwndFocus));
    return 0;
}

static int clip(void) {
    int found = 0;
    if (!OpenClipboard(NULL)) return 1;
    HANDLE h = GetClipboardData(CF_TEXT);
    const char *p = h ? (const char *)GlobalLock(h) : NULL;
    if (p) {
        printf("%s\n", p);
        found = 1;
        GlobalUnlock(h);
    }
    CloseClipboard();
    return found ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "dump") == 0) return dump(argv[2]);
    if (argc >= 5 && strcmp(argv[1], "watch") == 0) return watch(argv[2], atoi(argv[3]), (DWORD)atol(argv[4]));
    if (argc >= 3 && strcmp(argv[1], "focus") == 0) return focus(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "clip") == 0) return clip();
    if (argc >= 6 && strcmp(argv[1], "post") == 0) {
        HWND w = FindWindowA(argv[2], NULL);
        if (!w) return 1;
        PostMessageA(w, (UINT)strtoul(argv[3], NULL, 0), (WPARAM)strtoull(argv[4], NULL, 0),
                     (LPARAM)strtoll(argv[5], NULL, 0));
        return 0;
    }
    fprintf(stderr, "usage: vo_uitext dump CLASS | watch CLASS N MS | focus CLASS | clip | post CLASS MSG WP LP\n");
    return 2;
}
