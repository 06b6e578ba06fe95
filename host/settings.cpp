// settings: the host settings' defaults.
#include "host/settings.h"
#include <string.h>
#include "protocol/channel_v2.h"

void host_settings_default(HostSettings *s) {
    memset(s, 0, sizeof *s);
    s->listen_port = 7777;
    strcpy(s->relay_host, VO_DEFAULT_RELAY_HOST);
    s->relay_port = 7000;
    strcpy(s->room_name, "vo-demo");
    s->clipboard_enabled = 1;
    s->login_mode = CHANNEL_LOGIN_V2_PREFERRED;
    s->hello_deadline_ms = 10000;
    s->rotate_hours = ROTATE_HOURS_DEFAULT;
}
