// client_cmdline: parsing of the vo_client arguments into the session's host, port, relay flag,
// ID and password. Plain string work only, tested natively.
#include "client/cmdline.h"
#include "protocol/channel_v2.h"

#include <stdio.h>
#include <string.h>

// Copies at most max characters of src into dst (which holds max + 1) and terminates it.
static void copy_cut(char *dst, const char *src, size_t max) {
    size_t n = strlen(src);
    if (n > max) n = max;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Relay mode: the first word (or the default relay host) names the relay, split at its last ':'.
static void client_split_relay(client_options *o) {
    copy_cut(o->relay_host, o->host_word ? o->host_word : VO_DEFAULT_RELAY_HOST, CLIENT_RELAY_WORD_MAX);
    char *colon = strrchr(o->relay_host, ':');
    if (colon) {
        copy_cut(o->relay_port, colon + 1, CLIENT_RELAY_WORD_MAX);
        *colon = 0;
    } else {
        copy_cut(o->relay_port, CLIENT_DEFAULT_RELAY_PORT, CLIENT_RELAY_WORD_MAX);
    }
}

int client_parse_args(client_options *o, int argc, const char *const *argv) {
    memset(o, 0, sizeof *o);
    copy_cut(o->peer_id, CLIENT_DEFAULT_ID, CLIENT_ID_MAX);
    o->password = "";
    if (argc < 2) return 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        int has_next = i + 1 < argc;
        if (!strcmp(a, "-r") && has_next) {
            o->relay = 1;
            copy_cut(o->peer_id, argv[++i], CLIENT_ID_MAX);
        } else if (!strcmp(a, "-p") && has_next) {
            o->password = argv[++i];
        } else if (!strcmp(a, "-v2")) {
            o->v2_only = 1;
        } else if (!strcmp(a, "-noclip")) {
            o->noclip = 1;
        } else if (!o->host_word) {
            o->host_word = a;
        } else {
            o->port_word = a;
        }
    }
    if (o->relay) {
        client_split_relay(o);
        return 1;
    }
    return o->host_word != nullptr;
}

const char *client_target_host(const client_options *o) {
    return o->relay ? o->relay_host : o->host_word;
}

const char *client_target_port(const client_options *o) {
    if (o->relay) return o->relay_port;
    return o->port_word ? o->port_word : CLIENT_DEFAULT_PORT;
}

int client_login(const client_options *o) {
    return o->v2_only ? CHANNEL_LOGIN_V2_ONLY : CHANNEL_LOGIN_V2_PREFERRED;
}

int client_usage_text(char *out, size_t cap) {
    int n = snprintf(out, cap,
        "usage: vo_client <host> [port] -p <password>          direct\n"
        "       vo_client -r <ID> [relayhost[:port]] -p <password>   via relay (default %s:%d)\n",
        VO_DEFAULT_RELAY_HOST, 7000);
    return (n < 0 || (size_t)n >= cap) ? -1 : n;
}
