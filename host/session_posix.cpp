// session_posix: the host's platform start-up and how host_stop ends a blocking receive here.
#include "host/host.h"

void host_platform_init(void) {}

// A shutdown wakes a blocked receive at once; the descriptor stays with the session loop,
// which closes it, so its number can never be reused under a thread still reading it.
void host_end_current_sock(std::atomic<net_sock> *slot) {
    net_sock s = slot->load();
    if (s != NET_INVALID) net_shutdown(s);
}
