// host: the host core's chief header. A front-end sets the settings (host/identity.h), calls
// host_identity_init, opens the log (host/log.h) and then host_run, which serves one viewer after
// another until start-up fails, the listening socket breaks, or host_stop is called.
#pragma once
#include "host/identity.h"
#include "host/log.h"

// 1 when the listening socket cannot be set up, else 0.
int host_run(void);

// How long a new peer has to finish the handshake and its hello (from the accept, or in relay mode
// from the viewer's first byte) before the host gives up on it and serves the next: 10000 ms.
extern uint32_t host_hello_deadline_ms;

// Platform start-up of the host process: DPI awareness on Windows, nothing elsewhere.
void host_platform_init(void);
