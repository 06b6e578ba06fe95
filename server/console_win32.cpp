// console_win32: the foreground host detaches from its console after the banner.
#include "server/console.h"
#include <windows.h>

void server_free_console(void) { FreeConsole(); }
