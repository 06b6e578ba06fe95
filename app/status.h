// status: the texts of the host panel, built from the host core's values: the ID in three
// groups of three digits and the one-line status for each host state.
#pragma once
#include <stddef.h>

#define APP_TEXT_BYTES 200   // every panel text fits in this buffer (at most 199 characters)

// "ddd ddd ddd" from the first nine characters of id; "--- --- ---" when it is shorter.
void app_format_id(char *out, size_t cap, const char *id);
// The status line for host state `state` (HOST_* of host/host.h).
void app_status_text(char *out, size_t cap, int state, const char *viewer, const char *relay_host,
                     const char *computer);
