// identity: the host's ID, password, computer name and the connected viewer's name. The state is
// this module's own; the user interface thread and the host's threads reach it only through these
// functions, which copy in and out under the identity lock.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "host/settings.h"

#define TEMP_PASSWORD_LEN 8
#define HOST_ID_DIGITS 9
#define HOST_ID_BYTES 16                 // an ID of at most 15 characters and its terminator
#define HOST_NAME_BYTES 32               // a computer name of at most 31 characters and its terminator
#define VIEWER_NAME_BYTES 33             // a viewer name of at most 32 characters and its terminator
extern const char PASSWORD_ALPHABET[];   // 55 characters: no 0, 1, i, l, o, I, O

// Start-up, before any host thread exists: the computer name, the ID, the room (the ID in relay
// mode when none was given: written into s->room_name), and the first password: the fixed one
// from s (then wiped from s) or a new temporary one. Also takes the rotation period and the relay
// address written to host.txt. 1, or 0 when the system random source kept failing (then nothing
// is made from unset bytes: the ID stays empty / no password is made).
int host_identity_init(HostSettings *s);
// The desktop app's choices (text layer on, window tracking off, the relay flag) into s, then
// host_identity_init(s).
int host_app_init(HostSettings *s, int relay);
// Only the rotation period and the relay address for host.txt, from s (host_identity_init does it).
void host_identity_configure(const HostSettings *s);

int host_load_id(void);                  // read id.txt, or make and write a new nine-digit ID
void host_write_info(void);              // write host.txt
int host_rotate_password(int force);     // make a new temporary password when due (or forced)
int host_set_password(const char *text); // fixed password, or NULL/"" for temporary ones again

// A temporary password from random bytes: each byte below 220 (4 x 55) gives the alphabet
// character at (byte % 55), every other byte is skipped, so each character is equally likely.
// Writes 8 characters and a terminator into out and returns how many bytes it used, or 0 when
// the bytes ran out first (out is then left empty).
size_t host_password_from_bytes(char out[TEMP_PASSWORD_LEN + 1], const unsigned char *rnd, size_t n);

// Copies for any thread (at most cap - 1 characters, always terminated). Wipe password copies.
void host_copy_id(char *out, size_t cap);
void host_copy_password(char *out, size_t cap);
void host_copy_computer_name(char *out, size_t cap);
void host_copy_viewer_name(char *out, size_t cap);
int host_password_is_fixed(void);        // 1 while the password is a chosen one

// Stores a viewer name of up to `n` bytes (stops at a zero byte, at most 32), with control
// characters replaced by '?'; NULL or n = 0 empties it.
void host_set_viewer_name(const char *name, size_t n);
// The name the host gives itself (at most 31 characters); host_identity_init reads the system's.
void host_set_computer_name(const char *name);

// Tests: forget the ID, the password and the viewer name, as at process start; and move the tick
// the temporary password was made at.
void host_identity_reset(void);
void host_set_rotation_tick(uint32_t tick);
