// client_cmdline: the vo_client command line read into a plain options record, the target of the
// session (host or relay, port) worked out from it, and the usage text.
// Nothing here touches the network: the program passes the record to the viewer session.
#pragma once
#include <stddef.h>

#define CLIENT_DEFAULT_PORT "7777"
#define CLIENT_DEFAULT_RELAY_PORT "7000"
#define CLIENT_DEFAULT_ID "vo-demo"
#define CLIENT_ID_MAX 18          // characters kept of a relay ID
#define CLIENT_RELAY_WORD_MAX 127 // characters kept of a relayhost[:port] word

#ifndef VO_DEFAULT_RELAY_HOST
#define VO_DEFAULT_RELAY_HOST "localhost"
#endif

// One parsed command line. The pointers point into argv (or at string constants), so the record
// is valid while argv is.
struct client_options {
    int relay;                  // 1 after "-r ID": connect through the relay
    char peer_id[CLIENT_ID_MAX + 1];  // the relay ID; "vo-demo" unless "-r" named one
    const char *password;       // "-p" value, or "" when none was given
    int v2_only;                // 1 after "-v2": refuse a host that offers only the version 1 login
    const char *host_word;      // the first positional word, or null
    const char *port_word;      // the last later positional word, or null
    char relay_host[CLIENT_RELAY_WORD_MAX + 1];  // relay mode: relay host (before the last ':')
    char relay_port[CLIENT_RELAY_WORD_MAX + 1];  // relay mode: relay port text, "7000" by default
    int noclip;                 // 1 after "-noclip": the clipboard is not shared
};

// Reads argv[1..argc-1] into o. Returns 1 when a session can run, 0 when the program must print
// the usage text and exit with 1 (no arguments, or a direct connection without a host).
int client_parse_args(client_options *o, int argc, const char *const *argv);

// What the viewer session is called with: in relay mode the relay server, else the host itself.
const char *client_target_host(const client_options *o);
const char *client_target_port(const client_options *o);

// The login policy for the viewer session (a CHANNEL_LOGIN_* value).
int client_login(const client_options *o);

// The usage text with the default relay address; length written, or -1 when cap is too small.
int client_usage_text(char *out, size_t cap);
