// host settings: everything a front-end chooses for the host core, in one record. The front-end
// (vo_server's command line, the desktop app, a test) fills it from host_settings_default, hands it
// to host_identity_init (which takes the fixed password out of it and decides the room) and then to
// host_run, which keeps its own copy for the whole run: nothing in here changes while a host runs.
#pragma once
#include <stdint.h>

#ifndef VO_DEFAULT_RELAY_HOST
#define VO_DEFAULT_RELAY_HOST "localhost"
#endif

#define ROTATE_HOURS_DEFAULT 6
#define PASSWORD_MAX 32

struct HostSettings {
    int listen_port;                 // direct mode TCP port, 7777 by default
    int use_relay;                   // 1: connect out through the relay instead of listening
    char relay_host[128];            // relay host name, at most 127 characters (VO_DEFAULT_RELAY_HOST)
    int relay_port;                  // relay TCP port, 7000 by default
    char room_name[20];              // relay room, at most 18 characters, "vo-demo" by default; in
                                     // relay mode without room_given identity set-up makes it the ID
    int room_given;                  // 1 when the room was named explicitly (vo_server -room)
    int force_gdi;                   // 1: skip desktop duplication, capture with GDI only
    int text_layer_enabled;          // 1: offer the console text layer (0 by default)
    int window_tracking_enabled;     // 1: send the window list (0 by default)
    int clipboard_enabled;           // 1: share the clipboard with a viewer that asks (0 after -noclip)
    int login_mode;                  // CHANNEL_LOGIN_V2_PREFERRED; -v2only: CHANNEL_LOGIN_V2_ONLY;
                                     // tests: CHANNEL_LOGIN_V1_ONLY plays a host from before version 2
    uint32_t hello_deadline_ms;      // time a new peer has to finish the handshake and its hello
                                     // (from the accept, or from its first byte via the relay): 10000
    int rotate_hours;                // temporary password period in hours, ROTATE_HOURS_DEFAULT
    char password[PASSWORD_MAX + 1]; // fixed password when password_fixed (host_identity_init wipes it)
    int password_fixed;              // 1: the password above is chosen and never rotates
};

// The defaults above.
void host_settings_default(HostSettings *s);
