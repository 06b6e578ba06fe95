// server_settings: hands the parsed vo_server options to the host core's settings, and reads the
// values that identity set-up decided (room, password) back for the banner and the service line.
#pragma once
#include "server/cmdline.h"

// Writes every host setting from o. Call once at start-up, before host_identity_init and before
// any host thread exists.
void server_apply_options(const server_options *o);

// After host_identity_init: copies the room (the ID in relay mode without "-room") and the
// password in effect into o.
void server_read_identity(server_options *o);
