// identity: the host's ID, password and computer name, every host setting and status value,
// and the front-ends' small control face onto the host core (start-up, stop, accessors).
// Settings are written by a front-end before the host runs; the status values and the
// password are shared with the session loop's threads, so they are atomics or guarded by the
// identity lock (use the host_copy_* functions from other threads).
#pragma once
#include <atomic>
#include <stddef.h>
#include <stdint.h>
#include "platform/net.h"

#ifndef VO_DEFAULT_RELAY_HOST
#define VO_DEFAULT_RELAY_HOST "localhost"
#endif

#define HOST_STARTING 0
#define HOST_WAITING 1
#define HOST_VIEWER_CONNECTED 2

#define ROTATE_HOURS_DEFAULT 6
#define PASSWORD_MAX 32
#define TEMP_PASSWORD_LEN 8
#define HOST_ID_DIGITS 9
extern const char PASSWORD_ALPHABET[];   // 55 characters: no 0, 1, i, l, o, I, O

// Identity.
extern char computer_name[32];           // computer name, at most 31 characters
extern char host_id[16];                 // the ID, at most 15 characters (normally 9 digits)
extern uint32_t last_rotation_tick;      // tick when the temporary password was made (lock)
extern int password_fixed;               // 1: chosen by the user, never rotates (lock)
extern char password[33];                // current password, at most 32 characters (lock)
extern int rotate_hours;                 // rotation period in hours, default 6

// Settings (front-end writes them before host_run).
extern char room_name[20];               // relay room, at most 18 characters, default "vo-demo"
extern int room_given;                   // 1 when the room was given explicitly
extern int use_relay;                    // 1: connect out through the relay
extern char relay_host[128];             // relay host name, default VO_DEFAULT_RELAY_HOST
extern int relay_port;                   // default 7000
extern int listen_port;                  // default 7777
extern int force_gdi;                    // 1: skip desktop duplication
extern int text_layer_enabled;           // 1: offer the console text layer
extern int window_tracking_enabled;      // 1: send the window list

// Status (shared between threads).
extern std::atomic<int> stop_requested;  // set by host_stop / the service handler
extern std::atomic<int> host_state;      // HOST_STARTING, HOST_WAITING or HOST_VIEWER_CONNECTED
extern char viewer_name[33];             // connected viewer's name, "" between sessions (lock)

// Sockets host_stop must end: the session loop stores them here while it uses them and closes
// them with host_close_sock (never net_close directly), which takes them out under the same
// lock that host_stop holds.
extern std::atomic<net_sock> host_listen_sock;    // direct mode listening socket; host_stop closes it
extern std::atomic<net_sock> host_current_sock;   // current connection; host_stop shuts it down
void host_close_sock(std::atomic<net_sock> *slot);  // take the socket out (NET_INVALID) and close it
// Ends a blocking receive on the socket in `slot` (host_stop calls it under the socket lock).
// POSIX shuts it down and leaves it to its owner; Windows takes it out and closes it.
void host_end_current_sock(std::atomic<net_sock> *slot);

// Identity and password. Each returns 1, or 0 when the system random source kept failing
// (then nothing is made from unset bytes: the ID stays empty / the old password stays).
int host_identity_init(void);            // computer name, ID, room, first (forced) password
int host_load_id(void);                  // read id.txt, or make and write a new nine-digit ID
void host_write_info(void);              // write host.txt
int host_rotate_password(int force);     // make a new temporary password when due (or forced)
int host_set_password(const char *text); // fixed password, or NULL/"" for temporary ones again

// A temporary password from random bytes: each byte below 220 (4 x 55) gives the alphabet
// character at (byte % 55), every other byte is skipped, so each character is equally likely.
// Writes 8 characters and a terminator into out and returns how many bytes it used, or 0 when
// the bytes ran out first (out is then left empty).
size_t host_password_from_bytes(char out[TEMP_PASSWORD_LEN + 1], const unsigned char *rnd, size_t n);

// Front-end face.
int host_app_init(int relay);            // desktop app: text layer on, tracking off, relay flag
void host_stop(void);                    // stop_requested = 1; end blocking accept and receive
const char *host_get_id(void);           // live strings: copy them to keep them
const char *host_get_password(void);
const char *host_get_computer_name(void);
const char *host_get_viewer_name(void);
int host_get_state(void);

// Thread-safe copies and the session loop's setter (identity lock held inside).
void host_copy_password(char *out, size_t cap);
void host_copy_viewer_name(char *out, size_t cap);
// Stores a viewer name of up to `n` bytes (stops at a zero byte, at most 32), with control
// characters replaced by '?'; NULL or n = 0 empties it.
void host_set_viewer_name(const char *name, size_t n);
