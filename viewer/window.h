// window: what the session asks of a window backend (window_win32.cpp; window_stub.cpp is
// headless). The session's thread is the window thread: it opens the window, starts the receive
// and sender threads, and runs the message loop until the window is gone. The backend paints and
// sends input; the cache, the threads and the connection stay the session's.
#pragma once

// Create the window for the current session and hook it to the receive thread (repaint after a
// frame end, close when the connection has ended). 0 when it cannot be made: nothing to run.
int viewer_window_open(void);
// Run the message loop. 1 when it is time for the periodic cache save (call again afterwards);
// 0 once the window has been destroyed.
int viewer_window_loop(void);
// Ask the current session's window to close (any thread); nothing when there is none.
void viewer_window_close(void);
