// relay_options: vo_relay's command line and its --help text.
#pragma once
#include "relay/relay_server.h"

enum { RELAY_ARGS_RUN = 1, RELAY_ARGS_HELP = 2, RELAY_ARGS_VERSION = 3, RELAY_ARGS_BAD = 0 };

// Fills cfg (already holding the defaults) from argv. On RELAY_ARGS_BAD, err says what was wrong.
int relay_parse_args(int argc, char **argv, relay_config *cfg, char *err, size_t cap);
// The --help text: every option and how the relay behaves.
const char *relay_usage(void);
