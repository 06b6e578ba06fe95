// server_cmdline: the vo_server command line read into a plain options record, and the texts the
// program prints (usage, start banner) and the command line it registers for its service.
// Nothing here touches disk, network or the host core: the caller applies the record afterwards.
#pragma once
#include <stddef.h>

#define SERVER_DEFAULT_PORT 7777
#define SERVER_DEFAULT_RELAY_PORT 7000
#define SERVER_DEFAULT_ROOM "vo-demo"
#define SERVER_DEFAULT_ROTATE_HOURS 6
#define SERVER_RELAY_HOST_MAX 127  // characters kept of a relay host argument
#define SERVER_ROOM_MAX 18         // characters kept of a room name
#define SERVER_PASSWORD_MAX 32     // characters kept of a fixed password

#ifndef VO_DEFAULT_RELAY_HOST
#define VO_DEFAULT_RELAY_HOST "localhost"
#endif

// Everything the command line can set, with the host core's names for the host settings.
struct server_options {
    int listen_port;              // TCP port in direct mode; a bare argument, 7777 by default
    int force_gdi;                // "-gdi": capture with GDI only
    int text_layer_enabled;       // 0 after "-notext"
    int window_tracking_enabled;  // 0 after "-nowin"
    int clipboard_enabled;        // 0 after "-noclip": the clipboard is not shared
    int use_relay;                // "-relay": connect out through the relay
    char relay_host[SERVER_RELAY_HOST_MAX + 1];  // relay host name
    int relay_port;               // relay TCP port, 7000 by default
    char room_name[SERVER_ROOM_MAX + 1];         // relay room, "vo-demo" by default
    int room_given;               // 1 when "-room" named the room
    char password[SERVER_PASSWORD_MAX + 1];      // fixed password (empty unless "-pass")
    int password_fixed;           // 1 when "-pass" gave the password
    int rotate_hours;             // temporary password period in hours, 6 by default
    int v2_only;                  // "-v2only": refuse viewers that offer only the version 1 login
    int install;                  // "-install": register the service
    int uninstall;                // "-uninstall": remove the service
    int service;                  // "-svc": run under the Service Control Manager
    int help;                     // "-h" / "--help": print the usage and exit 0 (parsing stopped there)
};

// What the program does after parsing and identity set-up; the first that applies wins.
enum server_mode { SERVER_MODE_HELP, SERVER_MODE_INSTALL, SERVER_MODE_UNINSTALL, SERVER_MODE_SERVICE,
                   SERVER_MODE_FOREGROUND };

void server_options_default(server_options *o);

// Reads argv[1..argc-1] left to right into o (which starts from the defaults). Stops at once at
// "-h" or "--help" with o->help set. Returns o->help.
int server_parse_args(server_options *o, int argc, const char *const *argv);

server_mode server_choose_mode(const server_options *o);

// An empty fixed password ("-pass \"\"") would let anyone with the ID in. 1 when the options hold
// one; the program then prints server_empty_password_text and exits 1 before anything else runs.
int server_password_refused(const server_options *o);
#define SERVER_EMPTY_PASSWORD_TEXT \
    "vo_server: -pass needs a password that is not empty (leave -pass out for a random temporary one)\n"

// Text builders: write a terminated string into out and return its length, or -1 (out holds as much
// as fitted) when cap is too small.
int server_usage_text(char *out, size_t cap);

// The two-line start banner. id and password are the host's live values; o carries the relay
// address, the room (the ID in relay mode without "-room") and the port in effect.
int server_banner_text(char *out, size_t cap, const server_options *o, const char *id, const char *password);

// The command line stored for the service: the quoted program path, "-svc", the port, and in relay
// mode the relay address and room, then any fixed password, then "-v2only" and "-noclip" when set.
// Other options are not carried over. -1 also when the options hold an empty fixed password: the
// service never gets one.
int server_service_cmdline(char *out, size_t cap, const char *exe_path, const server_options *o);
