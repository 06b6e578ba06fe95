// vo_soak: many sequential loopback sessions against one host_run (synthetic screen, typing), each
// a handshake, the hellos, a few frames and a close; prints resident memory along the way so a
// leak per session shows as growth. `make soak` runs 1000 sessions.
//   vo_soak [SESSIONS] [FRAMES]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "host/host.h"
#include "host/synth.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "protocol/channel.h"
#include "protocol/messages.h"

static long rss_kib(void) {
    FILE *f = fopen("/proc/self/statm", "r");
    long pages = 0, rss = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

static unsigned host_entry(void *settings) {
    host_run((const HostSettings *)settings);
    return 0;
}

// One viewer session: 1 when it saw `frames` frame ends.
static int one_session(int port, int frames) {
    net_sock s = net_connect("127.0.0.1", port);
    if (s == NET_INVALID) return 0;
    channel ch;
    channel_init(&ch, s, 1);
    int ok = channel_handshake_viewer(&ch, "soak");
    ClientHello hello;
    memset(&hello, 0, sizeof hello);
    hello.caps = 3;
    memcpy(hello.name, "SOAK", 4);
    uint8_t msg[HEADER_BYTES + CLIENT_HELLO_BYTES];
    ok = ok && channel_send(&ch, msg, msg_pack_client_hello(msg, &hello));
    static uint8_t payload[1 << 20];
    int seen = 0;
    while (ok && seen < frames) {
        uint8_t head[HEADER_BYTES];
        if (!channel_recv(&ch, head, sizeof head)) break;
        MessageHeader h = header_get(head);
        if (h.length > sizeof payload || (h.length && !channel_recv(&ch, payload, h.length))) break;
        if (h.type == MSG_FRAME_END) {
            FrameEnd end;
            msg_unpack_frame_end(payload, h.length, &end);
            uint8_t ack[HEADER_BYTES + FRAME_ACK_BYTES];
            channel_send(&ch, ack, msg_pack_frame_ack(ack, &end));
            seen++;
        }
    }
    net_shutdown(s);
    net_close(s);
    channel_free(&ch);
    return seen == frames;
}

int main(int argc, char **argv) {
    int sessions = argc > 1 ? atoi(argv[1]) : 1000, frames = argc > 2 ? atoi(argv[2]) : 3;
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vo-soak-%d", (int)getpid());
    setenv("VO_DATA_DIR", dir, 1);
    net_init();
    HostSettings hs;
    host_settings_default(&hs);
    net_sock probe = net_listen("127.0.0.1", 0, 1);
    hs.listen_port = net_local_port(probe);
    net_close(probe);
    synth_open(1280, 720);
    synth_set_workload(SYNTH_TYPING);
    g_synth.gdi_pause_ms = 1;
    hs.force_gdi = 1;
    host_identity_init(&hs);
    host_set_password("soak");
    thread_handle t = thread_create(host_entry, &hs);
    while (host_get_state() != HOST_WAITING) clock_sleep(5);
    int failed = 0;
    for (int i = 1; i <= sessions; i++) {
        if (!one_session(hs.listen_port, frames)) failed++;
        while (host_get_state() != HOST_WAITING) clock_sleep(1);
        if (i == 10 || i == 100 || i % 250 == 0 || i == sessions)
            printf("after %4d sessions: resident %ld KiB (%d failed)\n", i, rss_kib(), failed);
        fflush(stdout);
    }
    host_stop();
    thread_wait(t, 10000);
    return failed ? 1 : 0;
}
