// status: host panel texts (ID grouping and the status line).
#include "app/status.h"
#include <stdio.h>
#include <string.h>
#include "host/host.h"

void app_format_id(char *out, size_t cap, const char *id) {
    if (!id || strlen(id) < 9) {
        snprintf(out, cap, "--- --- ---");
        return;
    }
    snprintf(out, cap, "%c%c%c %c%c%c %c%c%c", id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8]);
}

void app_status_text(char *out, size_t cap, int state, const char *viewer, const char *relay_host,
                     const char *computer) {
    if (state == HOST_VIEWER_CONNECTED)
        snprintf(out, cap, "Connected: %s is viewing this computer", viewer);
    else if (state == HOST_WAITING)
        snprintf(out, cap, "Online via %s, waiting for a viewer  (%s)", relay_host, computer);
    else
        snprintf(out, cap, "Starting...");
}
