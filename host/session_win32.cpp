// session_win32: the host measures the screen in physical pixels.
#include "host/host.h"
#include <windows.h>

void host_platform_init(void) { SetProcessDPIAware(); }
