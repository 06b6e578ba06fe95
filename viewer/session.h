// session: one whole viewing session in one call — connect (directly or through the relay),
// authenticate, exchange hellos, set up the framebuffer and the tile cache, open the window, run
// it until it is gone, tear down. Sessions in one process run one after the other.
#pragma once
#include <stddef.h>

// Optional: called once the host hello has been read, with the host name and the peer ID.
typedef void (*viewer_connected_fn)(const char *host_name, const char *peer_id);
extern viewer_connected_fn viewer_on_connected;

// 0 when a session was established and has ended; 1 when it failed before the window opened
// (the reason printed as one line and, when err is given, copied into it, cut to err_size).
int viewer_session_run(const char *host, const char *port, int relay, const char *peer_id,
                       const char *password, char *err, int err_size);

// The same with a login policy: a CHANNEL_LOGIN_* value of protocol/channel_v2.h, or
// VIEWER_LOGIN_PINNED (version 2 or nothing, because this host spoke version 2 before). A refused
// version 1 host fails with VIEWER_TEXT_REFUSED_V2 (CHANNEL_LOGIN_V2_ONLY) or VIEWER_TEXT_PINNED.
// viewer_session_run is this with CHANNEL_LOGIN_V2_PREFERRED.
#define VIEWER_LOGIN_PINNED 3
#define VIEWER_TEXT_REFUSED_V2 "the host offers only the older login (version 1); refused (-v2)"
#define VIEWER_TEXT_PINNED "this computer used a stronger login before; refusing a weaker one"
int viewer_session_run_login(const char *host, const char *port, int relay, const char *peer_id,
                             const char *password, int login, char *err, int err_size);
// The login version of the current (or last) session: 1 or 2, 0 before any login.
int viewer_login_version(void);

// The peer ID of the current session (at most 18 characters; "" when none was given).
const char *viewer_peer_id(void);

// Window backends (window_win32.cpp; window_posix.cpp is headless).
// Create the window for the current session and run it until it is destroyed.
void viewer_window_run(void);
// Start the receive thread; the window backends call it once the window exists.
void viewer_start_receiving(void);
// Ask the current session's window to close (any thread); nothing when there is none.
void viewer_window_close(void);
