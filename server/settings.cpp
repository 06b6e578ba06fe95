// server_settings: the one place where the console server's options meet the host core's globals.
#include "server/settings.h"

#include <string.h>
#include "host/auth.h"
#include "host/clipboard.h"
#include "host/identity.h"
#include "protocol/channel_v2.h"

// Copies at most cap - 1 characters and terminates.
static void copy_into(char *dst, size_t cap, const char *src) {
    size_t n = strlen(src);
    if (n >= cap) n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void server_apply_options(const server_options *o) {
    listen_port = o->listen_port;
    force_gdi = o->force_gdi;
    text_layer_enabled = o->text_layer_enabled;
    window_tracking_enabled = o->window_tracking_enabled;
    host_clipboard_enabled = o->clipboard_enabled;
    use_relay = o->use_relay;
    copy_into(relay_host, sizeof relay_host, o->relay_host);
    relay_port = o->relay_port;
    copy_into(room_name, sizeof room_name, o->room_name);
    room_given = o->room_given;
    rotate_hours = o->rotate_hours;
    host_login_mode = o->v2_only ? CHANNEL_LOGIN_V2_ONLY : CHANNEL_LOGIN_V2_PREFERRED;
    // Single-threaded start-up: the password is set before the identity lock has any other user,
    // and host_identity_init then keeps a fixed one instead of making a temporary one.
    password_fixed = o->password_fixed;
    if (o->password_fixed) copy_into(password, sizeof password, o->password);
}

void server_read_identity(server_options *o) {
    copy_into(o->room_name, sizeof o->room_name, room_name);
    host_copy_password(o->password, sizeof o->password);
}
