// window_stub: the headless viewer window of the native build. It "shows" nothing: its loop runs
// until the connection ends or viewer_window_close is called, and never asks for the periodic
// cache save. Tests read the framebuffer in between.
#include <atomic>
#include "platform/clock.h"
#include "viewer/viewer.h"
#include "viewer/window.h"

static std::atomic<int> g_window_open{0};     // 1 while a session's window runs
static std::atomic<int> g_close_asked{0};     // set by the receive thread or viewer_window_close

static void headless_on_close(void) { g_close_asked.store(1); }

void viewer_window_close(void) {
    if (g_window_open.load()) g_close_asked.store(1);
}

int viewer_window_open(void) {
    g_close_asked.store(0);
    g_viewer.on_frame = nullptr;
    g_viewer.on_close = headless_on_close;
    g_window_open.store(1);
    return 1;
}

int viewer_window_loop(void) {
    while (!g_close_asked.load()) clock_sleep(2);
    g_window_open.store(0);
    return 0;
}
