// service: vo_server as a Windows service of itself. "-install" registers the program with the
// Service Control Manager (automatic start, command line with "-svc" and the chosen options),
// "-uninstall" stops and removes it, "-svc" runs the host on the service thread the manager gives.
// Every function returns the program's exit status and prints its messages to standard output.
#pragma once
#include "server/cmdline.h"

#define SERVER_SERVICE_NAME "vo_server"
#define SERVER_SERVICE_DISPLAY_NAME "vo remote desktop server"
#define SERVER_SERVICE_LOG_PATH "C:\\ProgramData\\vo_server.log"

// o must hold the values after identity set-up (server_read_identity): port, relay address,
// room and fixed password go into the stored command line. 0 when the service was created, else 1.
int service_install(const server_options *o);

// 0 when the service was found, asked to stop and marked for deletion, else 1.
int service_uninstall(void);

// Reads back the command line stored for the installed service. 1 when found, else 0.
int service_stored_cmdline(char *out, size_t cap);

// Hands the main thread to the service control dispatcher until the service has stopped.
// 0 when the dispatcher ran and returned, 1 when it could not start (e.g. run from a console).
// o must stay valid until then; the service thread passes it to server_run_host.
int service_run(const server_options *o);

// Supplied by the program's main file: runs the host session loop (host_run) on the calling
// thread until it ends and returns its result. The service thread calls it after reporting
// the service as running.
int server_run_host(const server_options *o);
