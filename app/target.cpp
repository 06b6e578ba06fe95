// target: turning the typed target into a relay or direct connection request.
#include "app/target.h"
#include <stdio.h>
#include <string.h>

int app_target_is_id(const char *text) {
    if (!text || !text[0]) return 0;
    for (const char *p = text; *p; p++)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

void app_parse_target(connect_request *r, const char *target, const char *relay_host) {
    if (app_target_is_id(target)) {
        snprintf(r->host, sizeof r->host, "%s", relay_host);
        snprintf(r->port, sizeof r->port, "%d", APP_RELAY_PORT);
        r->relay = 1;
    } else {
        snprintf(r->host, sizeof r->host, "%s", target);
        char *colon = strrchr(r->host, ':');
        if (colon) {
            *colon = 0;
            snprintf(r->port, sizeof r->port, "%s", colon + 1);
        } else {
            snprintf(r->port, sizeof r->port, "%d", APP_DIRECT_PORT);
        }
        r->relay = 0;
    }
    snprintf(r->target, sizeof r->target, "%s", target);
}
