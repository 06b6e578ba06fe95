// vo_app: the desktop program's entry. Takes no arguments; everything happens in app_main.
#include "app/app_win32.h"

// A console of our own (the program is linked as a console program) is let go at once, so no
// empty console window stays open beside the app; a console shared with a shell is kept.
static void drop_own_console(void) {
    DWORD ids[2];
    if (GetConsoleWindow() && GetConsoleProcessList(ids, 2) == 1) FreeConsole();
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    drop_own_console();
    return app_main(instance);
}
