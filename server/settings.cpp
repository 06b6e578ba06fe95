// server_settings: the one place where the console server's options meet the host core's settings.
#include "server/settings.h"

#include <string.h>
#include "host/identity.h"
#include "protocol/channel_v2.h"

// Copies at most cap - 1 characters and terminates.
static void copy_into(char *dst, size_t cap, const char *src) {
    size_t n = strlen(src);
    if (n >= cap) n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void server_host_settings(const server_options *o, HostSettings *s) {
    host_settings_default(s);
    s->listen_port = o->listen_port;
    s->force_gdi = o->force_gdi;
    s->text_layer_enabled = o->text_layer_enabled;
    s->window_tracking_enabled = o->window_tracking_enabled;
    s->clipboard_enabled = o->clipboard_enabled;
    s->use_relay = o->use_relay;
    copy_into(s->relay_host, sizeof s->relay_host, o->relay_host);
    s->relay_port = o->relay_port;
    copy_into(s->room_name, sizeof s->room_name, o->room_name);
    s->room_given = o->room_given;
    s->rotate_hours = o->rotate_hours;
    s->login_mode = o->v2_only ? CHANNEL_LOGIN_V2_ONLY : CHANNEL_LOGIN_V2_PREFERRED;
    s->password_fixed = o->password_fixed;
    if (o->password_fixed) copy_into(s->password, sizeof s->password, o->password);
}

void server_read_identity(server_options *o, const HostSettings *s) {
    copy_into(o->room_name, sizeof o->room_name, s->room_name);
    host_copy_password(o->password, sizeof o->password);
}
