// session_win32: the host measures the screen in physical pixels, and how host_stop ends a
// blocking receive on Windows.
#include "host/host.h"
#include <windows.h>

void host_platform_init(void) { SetProcessDPIAware(); }

// A shutdown does not wake a receive already blocked in another thread here; only closing the
// socket does. It is taken out of the slot first, so the session loop's close finds nothing
// left to close.
void host_end_current_sock(std::atomic<net_sock> *slot) {
    net_sock s = slot->exchange(NET_INVALID);
    if (s == NET_INVALID) return;
    net_shutdown(s);
    net_close(s);
}
