// service_stub: the service modes exist only on Windows; the native build says so and fails.
#include <stdio.h>
#include "server/service.h"

static int service_unavailable(void) {
    printf("vo_server: Windows service mode is not available on this system\n");
    return 1;
}

int service_install(const server_options *) { return service_unavailable(); }
int service_uninstall(void) { return service_unavailable(); }
int service_run(const server_options *) { return service_unavailable(); }
