// vo_client: the console viewer. Reads the command line, runs one viewer session (directly or
// through the relay) and exits with its result. Natively the window is headless.
#include <stdio.h>
#include "client/cmdline.h"
#include "viewer/clipboard.h"
#include "viewer/session.h"

int main(int argc, char **argv) {
    client_options o;
    if (!client_parse_args(&o, argc, (const char *const *)argv)) {
        char usage[512];
        client_usage_text(usage, sizeof usage);
        fputs(usage, stdout);
        return 1;
    }
    viewer_clipboard_enabled = !o.noclip;
    return viewer_session_run_login(client_target_host(&o), client_target_port(&o), o.relay, o.peer_id, o.password,
                                    client_login(&o), nullptr, 0);
}
