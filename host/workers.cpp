// workers: the helper threads, woken per job by one event each and answering on another.
#include "host/workers.h"

#include <atomic>
#include <stdint.h>
#include "platform/thread.h"

// The pool. Job fields are written before the helpers' go events are set and read after they
// wake; the done events carry their results back the same way.
struct WorkerPool {
    int helpers;                        // threads running
    int started;                        // workers_ensure ran or a start was asked for
    int stopping;                       // helpers end when woken with this set
    int busy;                           // a job was begun and not yet joined
    thread_handle threads[WORKERS_MAX];
    plat_event go[WORKERS_MAX];
    plat_event done[WORKERS_MAX];
    workers_fn fn;
    void *ctx;
    int items;
    std::atomic<int> next;              // next item to take
};
static WorkerPool s_pool;

static void workers_take(int worker) {
    for (;;) {
        int k = s_pool.next.fetch_add(1);
        if (k >= s_pool.items) return;
        s_pool.fn(s_pool.ctx, k, worker);
    }
}

static unsigned workers_main(void *arg) {
    int w = (int)(intptr_t)arg;
    for (;;) {
        while (!event_wait(&s_pool.go[w - 1], THREAD_INFINITE)) {
        }
        if (s_pool.stopping) {
            event_set(&s_pool.done[w - 1]);
            return 0;
        }
        workers_take(w);
        event_set(&s_pool.done[w - 1]);
    }
}

int workers_default(void) {
    int n = thread_cpu_count() - 1;
    return n < 0 ? 0 : n > WORKERS_MAX ? WORKERS_MAX : n;
}

void workers_stop(void) {
    s_pool.stopping = 1;
    for (int k = 0; k < s_pool.helpers; k++) event_set(&s_pool.go[k]);
    for (int k = 0; k < s_pool.helpers; k++) {
        while (!event_wait(&s_pool.done[k], THREAD_INFINITE)) {
        }
        thread_wait(s_pool.threads[k], THREAD_INFINITE);
        thread_close(s_pool.threads[k]);
        event_free(&s_pool.go[k]);
        event_free(&s_pool.done[k]);
    }
    s_pool.helpers = 0;
    s_pool.stopping = 0;
}

int workers_start(int helpers) {
    workers_stop();
    s_pool.started = 1;
    if (helpers > WORKERS_MAX) helpers = WORKERS_MAX;
    for (int k = 0; k < helpers; k++) {
        event_init(&s_pool.go[k]);
        event_init(&s_pool.done[k]);
        s_pool.threads[k] = thread_create(workers_main, (void *)(intptr_t)(k + 1));
        if (!s_pool.threads[k]) {
            event_free(&s_pool.go[k]);
            event_free(&s_pool.done[k]);
            break;
        }
        s_pool.helpers = k + 1;
    }
    return s_pool.helpers;
}

int workers_ensure(void) { return s_pool.started ? s_pool.helpers : workers_start(workers_default()); }

int workers_helpers(void) { return s_pool.helpers; }

void workers_begin(workers_fn fn, void *ctx, int items) {
    s_pool.fn = fn;
    s_pool.ctx = ctx;
    s_pool.items = items;
    s_pool.next.store(0);
    s_pool.busy = items > 1 && s_pool.helpers > 0;   // a single item stays with the caller
    if (s_pool.busy)
        for (int k = 0; k < s_pool.helpers; k++) event_set(&s_pool.go[k]);
}

void workers_join(void) {
    workers_take(0);
    if (!s_pool.busy) return;
    for (int k = 0; k < s_pool.helpers; k++)
        while (!event_wait(&s_pool.done[k], THREAD_INFINITE)) {
        }
    s_pool.busy = 0;
}

void workers_cancel(void) {
    s_pool.next.store(s_pool.items);
    workers_join();
}
