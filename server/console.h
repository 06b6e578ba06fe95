// console: letting go of the console once the foreground banner is out.
#pragma once

void server_free_console(void);   // FreeConsole on Windows; nothing elsewhere
