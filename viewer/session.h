// session: one whole viewing session in one call, and the owner of everything it holds. It
// connects (directly or through the relay), authenticates, exchanges hellos, sets up the viewer
// state, opens and advertises the tile cache, opens the window and starts the receive and sender
// threads, runs the window until it is gone, then saves and closes the cache and tears down.
// Sessions in one process run one after the other.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "viewer/window.h"   // viewer_window_close: the user closing the window

// How long the viewer waits on the network (tests shorten them).
struct viewer_limits {
    uint32_t hello_ms;        // the host's part of the handshake and its hello: 10000
    uint32_t relay_wait_ms;   // through the relay, the longest wait for the host to come first: 30000
    uint32_t send_stall_ms;   // a message the host does not take for this long ends the session: 30000
};

// Called once on the session's thread when the host hello has been read, with the host name and
// the peer ID.
typedef void (*viewer_connected_fn)(const char *host_name, const char *peer_id);

// What one session needs from its caller. viewer_session_defaults fills everything but the target.
struct viewer_session_options {
    const char *host;            // the host, or the relay when relay is 1
    const char *port;            // its port as decimal text
    int relay;                   // 1: through the relay to the host with ID peer_id
    const char *peer_id;         // relay ID (NULL: none)
    const char *password;
    int login;                   // CHANNEL_LOGIN_* of protocol/channel_v2.h or VIEWER_LOGIN_PINNED
    int clipboard;               // 1: offer the shared clipboard; 0 after vo_client -noclip
    viewer_limits limits;
    viewer_connected_fn on_connected;   // optional
};

// Empty target, CHANNEL_LOGIN_V2_PREFERRED, clipboard offered, limits 10000 / 30000 / 30000 ms.
void viewer_session_defaults(viewer_session_options *o);

// 0 when a session was established and has ended; 1 when it failed before the window opened
// (the reason printed as one line and, when err is given, copied into it, cut to err_size).
// Login policy VIEWER_LOGIN_PINNED means version 2 or nothing, because this host spoke version 2
// before. A refused version 1 host fails with VIEWER_TEXT_REFUSED_V2 (CHANNEL_LOGIN_V2_ONLY) or
// VIEWER_TEXT_PINNED.
#define VIEWER_LOGIN_PINNED 3
#define VIEWER_TEXT_REFUSED_V2 "the host offers only the older login (version 1); refused (-v2)"
#define VIEWER_TEXT_PINNED "this computer used a stronger login before; refusing a weaker one"
int viewer_session_run(const viewer_session_options *o, char *err, int err_size);

// The login version of the current (or last) session: 1 or 2, 0 before any login.
int viewer_login_version(void);

// The peer ID of the current session (at most 18 characters; "" when none was given).
const char *viewer_peer_id(void);
