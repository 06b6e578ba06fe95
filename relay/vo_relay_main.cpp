// vo_relay: the relay server program; options in relay_options, the loop in relay_server.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include "platform/version.h"
#include "relay/relay_options.h"
#include "relay/relay_server.h"

static void on_signal(int) { relay_server_stop(); }

int main(int argc, char **argv) {
    relay_config cfg;
    relay_config_defaults(&cfg);
    char err[200];
    int r = relay_parse_args(argc, argv, &cfg, err, sizeof err);
    if (r == RELAY_ARGS_HELP) {
        fputs(relay_usage(), stdout);
        return 0;
    }
    if (r == RELAY_ARGS_VERSION) {
        printf("vo_relay %s\n", version_string());
        return 0;
    }
    if (r == RELAY_ARGS_BAD) {
        fprintf(stderr, "vo_relay: %s\n", err);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (relay_server_open(&cfg) < 0) return 1;
    relay_server_loop();
    return 0;
}
