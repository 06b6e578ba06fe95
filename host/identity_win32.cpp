// identity_win32: how host_stop ends a blocking receive on the current connection on Windows.
#include "host/identity.h"

// A shutdown does not wake a receive already blocked in another thread here; only closing the
// socket does. It is taken out of the slot first, so the session loop's host_close_sock finds
// nothing left to close.
void host_end_current_sock(std::atomic<net_sock> *slot) {
    net_sock s = slot->exchange(NET_INVALID);
    if (s == NET_INVALID) return;
    net_shutdown(s);
    net_close(s);
}
