// vo_client: the console viewer. Reads the command line, runs one viewer session (directly or
// through the relay) and exits with its result. Natively the window is headless.
#include <stdio.h>
#include "client/cmdline.h"
#include "viewer/session.h"

int main(int argc, char **argv) {
    client_options o;
    if (!client_parse_args(&o, argc, (const char *const *)argv)) {
        char usage[512];
        client_usage_text(usage, sizeof usage);
        fputs(usage, stdout);
        return 1;
    }
    viewer_session_options v;
    viewer_session_defaults(&v);
    v.host = client_target_host(&o);
    v.port = client_target_port(&o);
    v.relay = o.relay;
    v.peer_id = o.peer_id;
    v.password = o.password;
    v.login = client_login(&o);
    v.clipboard = !o.noclip;
    return viewer_session_run(&v, nullptr, 0);
}
