// linkemu (POSIX): per direction a reader that takes bytes from the sender while the bottleneck has
// room and stamps each chunk with the moment it reaches the far end, and a writer that hands the
// chunks on at those moments. The bytes sit in one ring, the stamps in another.
#include "linkemu/linkemu.h"
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <condition_variable>
#include <mutex>

#define RING_BYTES (8u << 20)    // bytes on the link: in the queue and in flight
#define STAMPS 65536u            // chunks on the link
#define CHUNK_MIN 1500           // smallest chunk taken at once (a packet)
#define SOCKET_BUFFER 131072     // the pipe's own receive buffers: small (the sender's count), yet
                                 // big enough that small writes never wait on window updates

struct stamp {
    uint64_t end;      // ring position one past the chunk
    int64_t ready;     // when it reaches the far end (ns, monotonic)
};

struct linkemu_dir {
    net_sock from, to;
    const linkemu_params *p;
    uint8_t *ring;
    stamp *stamps;
    uint64_t head, tail;          // ring positions: taken from the sender, handed on
    uint64_t st_head, st_tail;    // stamp positions
    int64_t tx_free;              // when the link has sent everything it took
    int64_t last_ready;           // the latest stamp's ready moment (no overtaking)
    uint32_t rng;
    int eof, broken;
    std::mutex m;
    std::condition_variable cv;
    std::atomic<uint64_t> delivered;
    thread_handle reader, writer;
};

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void sleep_until(int64_t t) {
    struct timespec ts;
    ts.tv_sec = (time_t)(t / 1000000000);
    ts.tv_nsec = (long)(t % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

static int64_t ms_ns(double ms) { return (int64_t)(ms * 1e6); }

// How many bytes the reader may take now, waiting while the ring or the queue is full; 0 at the end.
static size_t dir_room(linkemu_dir *d) {
    std::unique_lock<std::mutex> g(d->m);
    int64_t queue = ms_ns(d->p->queue_ms > 0 ? d->p->queue_ms : 20.0);
    for (;;) {
        if (d->broken) return 0;
        int64_t backlog = d->tx_free - now_ns();
        if (d->head - d->tail < RING_BYTES && d->st_head - d->st_tail < STAMPS && backlog <= queue) break;
        if (backlog > queue) {
            g.unlock();
            sleep_until(d->tx_free - queue);
            g.lock();
        } else {
            d->cv.wait(g);
        }
    }
    size_t free_bytes = RING_BYTES - (size_t)(d->head - d->tail);
    size_t contiguous = RING_BYTES - (size_t)(d->head % RING_BYTES);
    size_t chunk = (size_t)(d->p->bits_per_s / 8 / 1000);   // a millisecond of the link
    if (chunk < CHUNK_MIN) chunk = CHUNK_MIN;
    size_t n = free_bytes < contiguous ? free_bytes : contiguous;
    return n < chunk ? n : chunk;
}

// A chunk of n bytes came in at t: it leaves once the link is free and has sent it, and arrives a
// delay (and jitter) later, never before the chunk ahead of it.
static void dir_stamp(linkemu_dir *d, size_t n, int64_t t) {
    std::lock_guard<std::mutex> g(d->m);
    int64_t start = d->tx_free > t ? d->tx_free : t;
    d->tx_free = start + (int64_t)((double)n * 8e9 / d->p->bits_per_s);
    int64_t ready = d->tx_free + ms_ns(d->p->delay_ms);
    if (d->p->jitter_ms > 0) {
        d->rng = d->rng * 1664525u + 1013904223u;
        ready += (int64_t)((double)(d->rng >> 8) / 16777216.0 * (double)ms_ns(d->p->jitter_ms));
    }
    if (ready < d->last_ready) ready = d->last_ready;
    d->last_ready = ready;
    d->head += n;
    d->stamps[d->st_head % STAMPS] = {d->head, ready};
    d->st_head++;
    d->cv.notify_all();
}

static unsigned dir_reader(void *arg) {
    linkemu_dir *d = (linkemu_dir *)arg;
    for (;;) {
        size_t room = dir_room(d);
        if (!room) break;
        int n = net_recv(d->from, d->ring + d->head % RING_BYTES, room);
        if (n <= 0) break;
        dir_stamp(d, (size_t)n, now_ns());
    }
    std::lock_guard<std::mutex> g(d->m);
    d->eof = 1;
    d->cv.notify_all();
    return 0;
}

// Hand on ring bytes [from, to) (they may wrap). 1/0.
static int dir_send(linkemu_dir *d, uint64_t from, uint64_t to) {
    while (from < to) {
        size_t at = (size_t)(from % RING_BYTES), n = (size_t)(to - from);
        if (n > RING_BYTES - at) n = RING_BYTES - at;
        if (!net_send_all(d->to, d->ring + at, n)) return 0;
        from += n;
        d->delivered.fetch_add(n);
    }
    return 1;
}

static unsigned dir_writer(void *arg) {
    linkemu_dir *d = (linkemu_dir *)arg;
    std::unique_lock<std::mutex> g(d->m);
    for (;;) {
        while (d->st_head == d->st_tail && !d->eof) d->cv.wait(g);
        if (d->st_head == d->st_tail) break;
        int64_t ready = d->stamps[d->st_tail % STAMPS].ready;
        g.unlock();
        sleep_until(ready);
        g.lock();
        // Everything due by now goes in one send.
        int64_t t = now_ns();
        uint64_t st = d->st_tail, end = d->tail;
        while (st < d->st_head && d->stamps[st % STAMPS].ready <= t) end = d->stamps[st++ % STAMPS].end;
        uint64_t from = d->tail;
        g.unlock();
        int ok = dir_send(d, from, end);
        g.lock();
        d->tail = end;
        d->st_tail = st;
        d->cv.notify_all();
        if (!ok) {
            d->broken = 1;
            net_shutdown(d->from);   // the reader's wait ends
            break;
        }
    }
    g.unlock();
    net_shutdown_send(d->to);
    return 0;
}

static linkemu_dir *dir_open(net_sock from, net_sock to, const linkemu_params *p, uint32_t seed) {
    linkemu_dir *d = new linkemu_dir();
    d->ring = (uint8_t *)malloc(RING_BYTES);
    d->stamps = (stamp *)malloc(STAMPS * sizeof(stamp));
    // Touched now, so the first bytes through the link do not pay for the ring's fresh pages (tens
    // of microseconds each on some virtual machines): the emulator must not slow what it measures.
    memset(d->ring, 0, RING_BYTES);
    memset(d->stamps, 0, STAMPS * sizeof(stamp));
    d->from = from;
    d->to = to;
    d->p = p;
    d->rng = seed;
    d->tx_free = d->last_ready = now_ns();
    net_set_buffers(from, 0, SOCKET_BUFFER);
    d->reader = thread_create(dir_reader, d);
    d->writer = thread_create(dir_writer, d);
    return d;
}

static void dir_close(linkemu_dir *d) {
    if (!d) return;
    thread_wait(d->reader, THREAD_INFINITE);
    thread_close(d->reader);
    thread_wait(d->writer, THREAD_INFINITE);
    thread_close(d->writer);
    free(d->ring);
    free(d->stamps);
    delete d;
}

static unsigned linkemu_main(void *arg) {
    linkemu *l = (linkemu *)arg;
    l->client = net_accept(l->listener);
    l->server = l->client == NET_INVALID ? NET_INVALID : net_connect("127.0.0.1", l->server_port);
    if (l->client == NET_INVALID || l->server == NET_INVALID) {
        l->connected.store(-1);
        return 0;
    }
    net_set_nodelay(l->client, 1);
    net_set_nodelay(l->server, 1);
    l->down = dir_open(l->server, l->client, &l->params, 12345);
    l->up = dir_open(l->client, l->server, &l->params, 54321);
    l->connected.store(1);
    return 0;
}

int linkemu_start(linkemu *l, int server_port, const linkemu_params *p) {
    l->params = *p;
    l->server_port = server_port;
    l->client = l->server = NET_INVALID;
    l->down = l->up = nullptr;
    l->connected.store(0);
    net_init();
    l->listener = net_listen("127.0.0.1", 0, 1);
    if (l->listener == NET_INVALID) return -1;
    l->main = thread_create(linkemu_main, l);
    return l->main ? net_local_port(l->listener) : -1;
}

uint64_t linkemu_down_bytes(const linkemu *l) { return l->connected.load() == 1 ? l->down->delivered.load() : 0; }
uint64_t linkemu_up_bytes(const linkemu *l) { return l->connected.load() == 1 ? l->up->delivered.load() : 0; }

void linkemu_finish(linkemu *l) {
    thread_wait(l->main, THREAD_INFINITE);
    thread_close(l->main);
    dir_close(l->down);
    dir_close(l->up);
    l->down = l->up = nullptr;
    net_close(l->listener);
    net_close(l->client);
    net_close(l->server);
}
