// vo_server: the console host. Parses the command line into the host settings record, sets up
// the identity, then prints the usage, installs or removes the service, runs as the service, or
// hosts in the foreground: banner, let go of the console, log to vo_server.log, run the host.
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include "host/host.h"
#include "server/cmdline.h"
#include "server/console.h"
#include "server/service.h"
#include "server/settings.h"

// The service thread's host: the settings again from the options, which hold the room identity
// set-up decided (the identity itself, password included, is set up already).
int server_run_host(const server_options *o) {
    HostSettings s;
    server_host_settings(o, &s);
    return host_run(&s);
}

// The banner is the last use of the options' copy of the password: the host core keeps its own.
static int server_foreground(server_options *o, const HostSettings *s) {
    char banner[1024], id[HOST_ID_BYTES];
    host_copy_id(id, sizeof id);
    server_banner_text(banner, sizeof banner, o, id, o->password);
    fputs(banner, stdout);
    fflush(stdout);
    sodium_memzero(banner, sizeof banner);
    sodium_memzero(o->password, sizeof o->password);
    server_free_console();
    host_log_open_path("vo_server.log");
    return host_run(s);
}

// The options hold their own copy of a "-pass" value: the program's copy of its arguments is
// wiped so the password lives in one place only.
static void wipe_password_args(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; i++)
        if (!strcmp(argv[i], "-pass")) sodium_memzero(argv[i + 1], strlen(argv[i + 1]));
}

int main(int argc, char **argv) {
    static server_options o;   // outlives main's frame for the service thread
    server_options_default(&o);
    int help = server_parse_args(&o, argc, (const char *const *)argv);
    wipe_password_args(argc, argv);
    if (help) {
        char usage[1024];
        server_usage_text(usage, sizeof usage);
        fputs(usage, stdout);
        return 0;
    }
    if (server_password_refused(&o)) {
        fputs(SERVER_EMPTY_PASSWORD_TEXT, stdout);
        return 1;
    }
    HostSettings s;
    server_host_settings(&o, &s);
    if (!host_identity_init(&s)) {
        printf("vo_server: the system random source failed; no ID or password could be made\n");
        return 1;
    }
    server_read_identity(&o, &s);
    int rc;
    switch (server_choose_mode(&o)) {
    case SERVER_MODE_INSTALL: rc = service_install(&o); break;
    case SERVER_MODE_UNINSTALL: rc = service_uninstall(); break;
    case SERVER_MODE_SERVICE:
        sodium_memzero(o.password, sizeof o.password);   // the service thread needs no copy
        rc = service_run(&o);
        break;
    default: rc = server_foreground(&o, &s); break;
    }
    sodium_memzero(&o, sizeof o);
    return rc;
}
