// bench_cache_save: how long the receive thread waits for the viewer lock while the window thread
// saves a full tile cache (8192 tiles, 128 MiB). A stand-in receive thread inserts a tile under the
// lock about every 0.2 ms and records its longest wait for the lock; the anchor is a save made with
// the lock held throughout, against the save that takes the lock one chunk at a time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include "platform/clock.h"
#include "platform/thread.h"
#include "viewer/cache.h"

static plat_lock g_lock;
static tile_cache g_tiles;   // the cache being saved
static std::atomic<int> g_saving{0};
static std::atomic<int> g_quit{0};
static double g_worst_ms;   // longest wait for the lock while g_saving (receive thread only)

static double now_ms(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static unsigned receiver(void *) {
    static uint8_t tile[TILE_BYTES];
    uint64_t hash = 1;
    while (!g_quit.load()) {
        int during = g_saving.load();
        double t0 = now_ms();
        lock_enter(&g_lock);
        double waited = now_ms() - t0;
        tile[0] = (uint8_t)hash;
        cache_insert(&g_tiles, hash++ % 50000 + 1, tile);
        lock_leave(&g_lock);
        if (during && g_saving.load() && waited > g_worst_ms) g_worst_ms = waited;
        usleep(200);
    }
    return 0;
}

// One save with the receiver running; returns the receiver's longest wait and the save's length.
static double timed_save(int whole_under_lock, double *save_ms) {
    g_worst_ms = 0;
    clock_sleep(50);
    g_saving.store(1);
    double t0 = now_ms();
    if (whole_under_lock) {
        lock_enter(&g_lock);
        cache_save(&g_tiles);
        lock_leave(&g_lock);
    } else {
        cache_save_shared(&g_tiles, &g_lock);
    }
    *save_ms = now_ms() - t0;
    g_saving.store(0);
    clock_sleep(50);
    return g_worst_ms;
}

int main(void) {
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vo-bench-cache-%d", (int)getpid());
    lock_init(&g_lock);
    if (!cache_open(&g_tiles, dir)) return 1;
    static uint8_t tile[TILE_BYTES];
    for (uint64_t h = 1; h <= 3 * CACHE_SLOTS; h++) {   // every slot full
        tile[0] = (uint8_t)h;
        cache_insert(&g_tiles, h, tile);
    }
    thread_handle t = thread_create(receiver, nullptr);
    double anchor_save, chunked_save;
    double anchor = timed_save(1, &anchor_save);
    double chunked = timed_save(0, &chunked_save);
    g_quit.store(1);
    thread_wait(t, THREAD_INFINITE);
    thread_close(t);
    printf("cache save, lock held throughout (anchor): save %.0f ms, longest receive stall %.1f ms\n", anchor_save,
           anchor);
    printf("cache save, %d tiles per turn of the lock: save %.0f ms, longest receive stall %.2f ms\n",
           CACHE_SAVE_CHUNK, chunked_save, chunked);
    printf("stall ratio anchor / chunked: %.0f\n", chunked > 0 ? anchor / chunked : 0.0);
    cache_close(&g_tiles);
    char path[96];
    snprintf(path, sizeof path, "%s/tiles.bin", dir);
    remove(path);
    rmdir(dir);
    return 0;
}
