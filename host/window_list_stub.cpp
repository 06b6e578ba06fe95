// window_list_stub: the native stand-in for window enumeration. No windows unless a test feeds
// some; the fed windows are reported on every pass until replaced.
#include <stdlib.h>
#include <string.h>
#include "host/window_list.h"

#define FED_MAX 1024
#define FED_TITLE 256

struct FedWindows {
    WindowInfo info[FED_MAX];            // windows in enumeration order
    char titles[FED_MAX][FED_TITLE];     // their titles (info[i].title points here)
    int count;                           // windows fed
};
static FedWindows *g_fed;

void window_list_feed(const WindowInfo *windows, int count) {
    if (!g_fed) g_fed = (FedWindows *)calloc(1, sizeof *g_fed);
    if (!g_fed) return;
    if (count > FED_MAX) count = FED_MAX;
    g_fed->count = count < 0 ? 0 : count;
    for (int i = 0; i < g_fed->count; i++) {
        WindowInfo w = windows[i];
        int n = w.title_len < 0 ? 0 : (w.title_len > FED_TITLE ? FED_TITLE : w.title_len);
        if (w.title && n) memcpy(g_fed->titles[i], w.title, (size_t)n);
        w.title = g_fed->titles[i];
        w.title_len = w.title_len > n ? n : w.title_len;
        g_fed->info[i] = w;
    }
}

void window_list_enumerate(void) {
    if (!g_fed) return;
    for (int i = 0; i < g_fed->count; i++)
        if (!window_list_add(&g_fed->info[i])) break;
}
