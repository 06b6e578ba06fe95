// vo_webhost: the native host core over the synthetic screen, in relay mode, driven by a browser
// test over standard input: it answers "picture PATH" (writes the host's screen as a PPM file),
// "input" (prints the input events the host injected, one per line, then "end") and "quit".
//   vo_webhost RELAY_PORT ROOM PASSWORD WIDTH HEIGHT
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "host/host.h"
#include "host/input.h"
#include "host/synth.h"
#include "platform/clock.h"
#include "platform/thread.h"

static unsigned host_entry(void *settings) {
    host_run((const HostSettings *)settings);
    return 0;
}

static void write_picture(const char *path) {
    FILE *f = fopen(path, "wb");
    if (!f) return;
    fprintf(f, "P6\n%d %d\n255\n", g_synth.width, g_synth.height);
    for (int32_t i = 0; i < g_synth.width * g_synth.height; i++) {
        const uint8_t *p = g_synth.pixels + (size_t)i * 4;
        uint8_t rgb[3] = {p[2], p[1], p[0]};
        fwrite(rgb, 1, 3, f);
    }
    fclose(f);
}

static void print_input(void) {
    input_event e;
    for (int i = 0; input_recorded(i, &e); i++)
        printf("%s vk=%u scan=%u flags=%u x=%d y=%d wheel=%d\n", e.kind == INPUT_KIND_MOUSE ? "mouse" : "key",
               e.vk, e.scan, e.flags, e.dx, e.dy, (int)e.mouse_data);
    printf("end\n");
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: vo_webhost RELAY_PORT ROOM PASSWORD WIDTH HEIGHT\n");
        return 2;
    }
    char dir[512];   // the host's data folder: VO_DATA_DIR when the caller gives one
    const char *given = getenv("VO_DATA_DIR");
    if (given && given[0]) snprintf(dir, sizeof dir, "%s", given);
    else snprintf(dir, sizeof dir, "/tmp/vo-webhost-%d", (int)getpid());
    setenv("VO_DATA_DIR", dir, 1);
    synth_open(atoi(argv[4]), atoi(argv[5]));
    HostSettings hs;
    host_settings_default(&hs);
    hs.force_gdi = 1;
    hs.use_relay = 1;
    snprintf(hs.relay_host, sizeof hs.relay_host, "127.0.0.1");
    hs.relay_port = atoi(argv[1]);
    snprintf(hs.room_name, sizeof hs.room_name, "%s", argv[2]);
    hs.room_given = 1;
    host_identity_init(&hs);
    host_set_password(argv[3]);
    char log[600];
    snprintf(log, sizeof log, "%s/webhost.log", dir);
    host_log_open_path(log);
    thread_handle t = thread_create(host_entry, &hs);
    while (host_get_state() == HOST_STARTING) clock_sleep(5);
    printf("ready\n");
    fflush(stdout);
    char line[600];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!strncmp(line, "picture ", 8)) write_picture(line + 8), printf("ok\n");
        else if (!strcmp(line, "input")) print_input();
        else if (!strcmp(line, "quit")) break;
        fflush(stdout);
    }
    host_stop();
    thread_wait(t, 10000);
    thread_close(t);
    synth_close();
    return 0;
}
