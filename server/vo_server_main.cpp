// vo_server: the console host. Parses the command line into the host settings, sets up the
// identity, then prints the usage, installs or removes the service, runs as the service, or
// hosts in the foreground: banner, let go of the console, log to vo_server.log, run the host.
#include <stdio.h>
#include "host/host.h"
#include "server/cmdline.h"
#include "server/console.h"
#include "server/service.h"
#include "server/settings.h"

int server_run_host(const server_options *) { return host_run(); }

static int server_foreground(const server_options *o) {
    char banner[1024];
    server_banner_text(banner, sizeof banner, o, host_get_id(), o->password);
    fputs(banner, stdout);
    fflush(stdout);
    server_free_console();
    host_log_open_path("vo_server.log");
    return host_run();
}

int main(int argc, char **argv) {
    static server_options o;   // outlives main's frame for the service thread
    server_options_default(&o);
    if (server_parse_args(&o, argc, (const char *const *)argv)) {
        char usage[1024];
        server_usage_text(usage, sizeof usage);
        fputs(usage, stdout);
        return 0;
    }
    server_apply_options(&o);
    if (!host_identity_init()) {
        printf("vo_server: the system random source failed; no ID or password could be made\n");
        return 1;
    }
    server_read_identity(&o);
    switch (server_choose_mode(&o)) {
    case SERVER_MODE_INSTALL: return service_install(&o);
    case SERVER_MODE_UNINSTALL: return service_uninstall();
    case SERVER_MODE_SERVICE: return service_run(&o);
    default: return server_foreground(&o);
    }
}
