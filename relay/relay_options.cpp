// relay_options: parsing vo_relay's options; values are checked so the loop never sees nonsense.
#include "relay/relay_options.h"
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char g_usage[] =
    "usage: vo_relay [options]\n"
    "\n"
    "Relay server for vo: a host and a viewer that both connect here and send a join naming\n"
    "the same room are joined, and their bytes are passed unchanged both ways.\n"
    "\n"
    "options:\n"
    "  --bind ADDR          IPv4 address to listen on (default 0.0.0.0, every interface)\n"
    "  --port N             TCP port to listen on (default 7000; 0 = any free port)\n"
    "  --max-conns N        most connections open at once, in any state; further ones are\n"
    "                       accepted and closed at once (default: the open-file limit less 64)\n"
    "  --max-per-address N  most connections one source address may hold at once, in any state;\n"
    "                       further ones from it are closed at once (logged at most once a second\n"
    "                       per address) while other addresses are still served. 0 = no limit\n"
    "                       (default 256: an office of some hundred computers behind one NAT\n"
    "                       address fits, each waiting host holding one connection and each session\n"
    "                       one more per side, while a single address can make the relay hold at\n"
    "                       most 256 x about 65 KiB = about 16 MiB of memory)\n"
    "  --join-timeout SEC   time a new connection has to send its whole 56-byte join\n"
    "                       (default 10)\n"
    "  --viewer-wait SEC    time a viewer waits for its host before it is closed (default 30)\n"
    "  --viewer-queue BYTES bytes a viewer may send before its host arrives; they are held and\n"
    "                       delivered first once the host is there (default 65536)\n"
    "  --keepalive SEC      TCP keep-alive idle time on every connection, so dead peers are\n"
    "                       found; 0 = off (default 60)\n"
    "  --ws-port N          also accept browsers on this TCP port (off by default): HTTP/1.1\n"
    "                       serves the viewer page (GET /) and upgrades /relay to a WebSocket\n"
    "                       whose binary messages carry the same bytes as a TCP connection here\n"
    "  --ws-root DIR        serve the viewer page from DIR instead of the copy built in\n"
    "  --help               this text\n"
    "  --version            the version of this vo_relay\n"
    "\n"
    "behaviour:\n"
    "  - Every connection first sends a 56-byte join: \"VORL\", version 2, role 'H' (host) or\n"
    "    'V' (viewer), an 18-byte room and a 32-byte computer name. Rooms match on all 18 bytes.\n"
    "    The join is never passed on. A join with a wrong magic, version or role, or one not\n"
    "    complete within the join time-out, is closed.\n"
    "  - A host waits for its viewer for as long as it stays connected. A new host for a room\n"
    "    that already has a waiting host replaces it only when it comes from the same source\n"
    "    address (hosts reconnect after every failed handshake, so the newest one is the live\n"
    "    one): the old connection is closed. A new host from another address is refused while\n"
    "    the waiting host stays connected; keep-alive finds a waiting host that has vanished.\n"
    "  - A viewer is paired with its room's waiting host, or waits for one at most the viewer\n"
    "    wait. What it sends meanwhile is held (at most the viewer queue; more closes it) and\n"
    "    delivered to the host first, in order. A viewer for a room that already has a viewer,\n"
    "    waiting or paired, is refused (closed).\n"
    "  - Paired connections are forwarded unchanged both ways. When one side ends its sending\n"
    "    (FIN), everything it sent is delivered and then the other side's receiving is ended the\n"
    "    same way; the pair closes once both directions are finished, or at once when a side\n"
    "    fails. A waiting host or viewer that disconnects is dropped.\n"
    "  - A pair is closed when its viewer has sent nothing within the join time-out of pairing\n"
    "    (a silent viewer would hold its host and the room), or when one direction has finished\n"
    "    and the other is still open a join time-out later.\n"
    "  - What one connection can make the relay hold is bounded: its join (56 bytes), a waiting\n"
    "    viewer's early bytes (the viewer queue), and once paired one 64 KiB pipe or buffer per\n"
    "    direction; a side that does not read stops the relay reading from the other.\n"
    "  - One line per event on standard output, UTC timestamps: listening, host/viewer waiting,\n"
    "    host replaced, paired, unpaired (with the bytes each way and the duration), refusals\n"
    "    with their reason, leavers. Room and name bytes outside printable ASCII are written\n"
    "    as \\xNN.\n"
    "  - WebSocket front: every limit above applies to a browser's connection as to any other.\n"
    "    The relay speaks plain HTTP and ws:// only. For https:// and wss:// put a TLS reverse\n"
    "    proxy in front (nginx, Caddy, HAProxy) that forwards to --ws-port with the Upgrade and\n"
    "    Connection headers passed on, and bind --ws-port to 127.0.0.1 (see docs/relay.md). The\n"
    "    relay does not terminate TLS itself: the vo channel inside is already end-to-end\n"
    "    encrypted, and certificates, their renewal and TLS libraries stay with a tool made for it.\n"
    "  - The open-file limit is raised to its hard limit at start. SIGINT or SIGTERM stops the\n"
    "    relay and closes every connection.\n";

const char *relay_usage(void) { return g_usage; }

// A whole number in [lo, hi]; 1 on success.
static int parse_int(const char *s, long lo, long hi, long *out) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return 0;
    *out = v;
    return 1;
}

// Seconds, fractions allowed, to milliseconds in [1, 30 days].
static int parse_seconds(const char *s, uint32_t *ms) {
    char *end = nullptr;
    double v = strtod(s, &end);
    if (!*s || *end || !(v >= 0.001 && v <= 2592000.0)) return 0;
    *ms = (uint32_t)(v * 1000.0 + 0.5);
    return 1;
}

static int set_option(const char *opt, const char *val, relay_config *cfg) {
    long v;
    if (!strcmp(opt, "--bind")) {
        in_addr a;
        if (strlen(val) >= sizeof cfg->bind_ip || inet_pton(AF_INET, val, &a) != 1) return 0;
        strcpy(cfg->bind_ip, val);
        return 1;
    }
    if (!strcmp(opt, "--port") && parse_int(val, 0, 65535, &v)) return cfg->port = (int)v, 1;
    if (!strcmp(opt, "--max-conns") && parse_int(val, 1, 100000000, &v)) return cfg->max_conns = (int)v, 1;
    if (!strcmp(opt, "--max-per-address") && parse_int(val, 0, 100000000, &v))
        return cfg->max_per_address = (int)v, 1;
    if (!strcmp(opt, "--join-timeout")) return parse_seconds(val, &cfg->join_timeout_ms);
    if (!strcmp(opt, "--viewer-wait")) return parse_seconds(val, &cfg->viewer_wait_ms);
    if (!strcmp(opt, "--viewer-queue") && parse_int(val, 0, 1 << 24, &v))
        return cfg->viewer_queue_bytes = (uint32_t)v, 1;
    if (!strcmp(opt, "--ws-port") && parse_int(val, 0, 65535, &v)) return cfg->ws_port = (int)v, 1;
    if (!strcmp(opt, "--ws-root")) {
        if (!val[0] || strlen(val) >= sizeof cfg->ws_root) return 0;
        strcpy(cfg->ws_root, val);
        return 1;
    }
    if (!strcmp(opt, "--keepalive") && parse_int(val, 0, 86400, &v)) return cfg->keepalive_s = (uint32_t)v, 1;
    return 0;
}

int relay_parse_args(int argc, char **argv, relay_config *cfg, char *err, size_t cap) {
    static const char *known[] = {"--bind", "--port", "--max-conns", "--max-per-address", "--join-timeout",
                                  "--viewer-wait", "--viewer-queue", "--keepalive", "--ws-port", "--ws-root"};
    for (int i = 1; i < argc; i += 2) {
        const char *a = argv[i];
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) return RELAY_ARGS_HELP;
        if (!strcmp(a, "--version")) return RELAY_ARGS_VERSION;
        int found = 0;
        for (const char *k : known) found |= !strcmp(a, k);
        if (!found) {
            snprintf(err, cap, "unknown option '%s' (see --help)", a);
            return RELAY_ARGS_BAD;
        }
        if (i + 1 >= argc || !set_option(a, argv[i + 1], cfg)) {
            snprintf(err, cap, "bad or missing value for %s (see --help)", a);
            return RELAY_ARGS_BAD;
        }
    }
    return RELAY_ARGS_RUN;
}
