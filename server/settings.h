// server_settings: turns the parsed vo_server options into the host core's settings record, and
// reads the values that identity set-up decided (room, password) back for the banner and the
// service line.
#pragma once
#include "host/settings.h"
#include "server/cmdline.h"

// Fills s from o (the fixed password too: host_identity_init takes it out and wipes it).
void server_host_settings(const server_options *o, HostSettings *s);

// After host_identity_init(s): copies the room (the ID in relay mode without "-room") and the
// password in effect into o.
void server_read_identity(server_options *o, const HostSettings *s);
