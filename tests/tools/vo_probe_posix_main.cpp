// vo_probe: a native test viewer for the end-to-end checks. Views a host through the real viewer
// core (headless window), waits until frames stop arriving, writes the framebuffer as a PPM file,
// optionally sends a mouse move or a key, and closes. Exit 0 when a session ran.
//   vo_probe HOST PORT PASSWORD OUT.ppm [--settle MS] [--mouse X Y] [--key VK] [--relay ID]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "platform/clock.h"
#include "platform/thread.h"
#include "viewer/session.h"
#include "viewer/viewer.h"

static struct {
    const char *out;        // PPM path
    uint32_t settle_ms;     // quiet time after the last frame before the picture is taken
    int mouse;              // 1: send a move to (mx, my) after the picture
    int32_t mx, my;
    int key;                // virtual-key code to press and release, or 0
    int wrote;              // 1 once the picture was written
} P = {nullptr, 1500, 0, 0, 0, 0, 0};

static void write_ppm(void) {
    FILE *f = fopen(P.out, "wb");
    if (!f) return;
    lock_enter(&g_viewer.lock);
    fprintf(f, "P6\n%d %d\n255\n", g_viewer.width, g_viewer.height);
    for (int32_t y = 0; y < g_viewer.height; y++)
        for (int32_t x = 0; x < g_viewer.width; x++) {
            const uint8_t *p = g_viewer.fb + (size_t)y * g_viewer.stride + (size_t)x * 4;
            uint8_t rgb[3] = {p[2], p[1], p[0]};
            fwrite(rgb, 1, 3, f);
        }
    lock_leave(&g_viewer.lock);
    fclose(f);
    P.wrote = 1;
}

static void send_msg(const uint8_t *m, size_t len) {
    if (g_viewer.ch) channel_send(g_viewer.ch, m, len);
}

// Watches the frame counter; once it has been still for settle_ms, takes the picture and acts.
static unsigned watcher(void *) {
    uint32_t last = 0xFFFFFFFFu, since = clock_tick();
    for (int waited = 0; waited < 60000; waited += 50) {
        clock_sleep(50);
        if (!g_viewer.fb) continue;
        uint32_t f = g_viewer.frames.load();
        if (f != last) {
            last = f;
            since = clock_tick();
        } else if (f > 0 && clock_tick() - since >= P.settle_ms) {
            break;
        }
    }
    write_ppm();
    uint8_t m[HEADER_BYTES + MOUSE_BYTES];
    if (P.mouse) {
        MouseMsg mouse = {P.mx, P.my, 0, 0, 0};
        send_msg(m, msg_pack_mouse(m, &mouse));
    }
    if (P.key) {
        KeyMsg key = {(uint16_t)P.key, 1};
        send_msg(m, msg_pack_key(m, &key));
        key.down = 0;
        send_msg(m, msg_pack_key(m, &key));
    }
    clock_sleep(500);
    printf("probe: %u frames, %u bytes, picture %dx%d\n", g_viewer.frames.load(), g_viewer.bytes_received.load(),
           g_viewer.width, g_viewer.height);
    fflush(stdout);
    viewer_window_close();
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: vo_probe HOST PORT PASSWORD OUT.ppm [--settle MS] [--mouse X Y] [--key VK] [--relay ID]\n");
        return 2;
    }
    P.out = argv[4];
    const char *relay_id = nullptr;
    for (int i = 5; i < argc; i++) {
        if (!strcmp(argv[i], "--settle") && i + 1 < argc) P.settle_ms = (uint32_t)atoi(argv[++i]);
        else if (!strcmp(argv[i], "--mouse") && i + 2 < argc) {
            P.mouse = 1;
            P.mx = atoi(argv[++i]);
            P.my = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--key") && i + 1 < argc) P.key = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--relay") && i + 1 < argc) relay_id = argv[++i];
    }
    thread_handle w = thread_create(watcher, nullptr);
    viewer_session_options o;
    viewer_session_defaults(&o);
    o.host = argv[1];
    o.port = argv[2];
    o.relay = relay_id != nullptr;
    o.peer_id = relay_id;
    o.password = argv[3];
    int r = viewer_session_run(&o, nullptr, 0);
    if (thread_wait(w, r == 0 ? THREAD_INFINITE : 0)) thread_close(w);   // one still waiting ends with us
    return r == 0 && P.wrote ? 0 : 1;
}
