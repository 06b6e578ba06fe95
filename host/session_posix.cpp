// session_posix: nothing to declare about DPI on POSIX.
#include "host/host.h"

void host_platform_init(void) {}
