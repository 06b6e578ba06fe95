// console_stub: the native host keeps its terminal.
#include "server/console.h"

void server_free_console(void) {}
