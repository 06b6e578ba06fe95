// target: what the connect panel makes of the typed target. Digits only is an ID reached
// through the relay; anything else is a direct "host[:port]" address (port 7777 by default).
#pragma once

#define APP_RELAY_PORT 7000
#define APP_DIRECT_PORT 7777

// One connection attempt, handed from the user interface thread to the viewer thread.
struct connect_request {
    char host[128];      // relay host, or the direct host name; at most 127 characters
    char port[16];       // decimal text as typed; at most 15 characters
    char target[64];     // the whole typed target; at most 63 characters
    char password[64];   // at most 63 characters
    int relay;           // 1: connect by ID through the relay
    int login;           // viewer login policy: CHANNEL_LOGIN_V2_PREFERRED, or VIEWER_LOGIN_PINNED
};

// 1 when text is one or more decimal digits and nothing else.
int app_target_is_id(const char *text);
// Fills host, port, target and relay of a zeroed request from the typed target.
void app_parse_target(connect_request *r, const char *target, const char *relay_host);
