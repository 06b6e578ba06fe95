// workers: the helper threads, woken per job by one event each; items are claimed from one atomic word.
#include "host/workers.h"

#include <atomic>
#include <stdint.h>
#include "platform/thread.h"

// The pool. A job is published in one atomic word (items << 32 | next item), after its function
// and context: a helper that claims an item by moving `next` on sees them, and they stay until
// every claimed item is done. A helper woken late finds nothing left and sleeps again, so the
// caller never waits for a helper the scheduler has not yet run, only for items under way.
struct WorkerPool {
    int helpers;                        // threads running
    int started;                        // workers_ensure ran or a start was asked for
    std::atomic<int> stopping;          // helpers end when woken with this set
    thread_handle threads[WORKERS_MAX];
    plat_event go[WORKERS_MAX];         // wakes one helper
    plat_event finish;                  // a helper found no item left (its last one is done)
    workers_fn fn;
    void *ctx;
    int items;                          // the caller's copy of the job's size
    std::atomic<uint64_t> job;          // items << 32 | next item to take
    std::atomic<int> done;              // items of the job finished
};
static WorkerPool s_pool;

// Claims the next item of the job: its index, or -1 when none is left.
static int workers_claim(void) {
    uint64_t w = s_pool.job.load(std::memory_order_acquire);
    for (;;) {
        uint32_t next = (uint32_t)w, items = (uint32_t)(w >> 32);
        if (next >= items) return -1;
        if (s_pool.job.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            return (int)next;
    }
}

// Runs items until none is left; a helper then tells a caller that may be waiting for its last.
static void workers_take(int worker) {
    for (int k; (k = workers_claim()) >= 0;) {
        s_pool.fn(s_pool.ctx, k, worker);
        s_pool.done.fetch_add(1, std::memory_order_acq_rel);
    }
    if (worker) event_set(&s_pool.finish);
}

static unsigned workers_main(void *arg) {
    int w = (int)(intptr_t)arg;
    for (;;) {
        while (!event_wait(&s_pool.go[w - 1], THREAD_INFINITE)) {
        }
        if (s_pool.stopping.load()) return 0;
        workers_take(w);
    }
}

int workers_default(void) {
    int n = thread_cpu_count() - 1;
    return n < 0 ? 0 : n > WORKERS_MAX ? WORKERS_MAX : n;
}

void workers_stop(void) {
    s_pool.stopping.store(1);
    for (int k = 0; k < s_pool.helpers; k++) {
        event_set(&s_pool.go[k]);
        thread_wait(s_pool.threads[k], THREAD_INFINITE);
        thread_close(s_pool.threads[k]);
        event_free(&s_pool.go[k]);
    }
    if (s_pool.helpers) event_free(&s_pool.finish);
    s_pool.helpers = 0;
    s_pool.stopping.store(0);
}

int workers_start(int helpers) {
    workers_stop();
    s_pool.started = 1;
    if (helpers > WORKERS_MAX) helpers = WORKERS_MAX;
    if (helpers > 0) event_init(&s_pool.finish);
    for (int k = 0; k < helpers; k++) {
        event_init(&s_pool.go[k]);
        s_pool.threads[k] = thread_create(workers_main, (void *)(intptr_t)(k + 1));
        if (!s_pool.threads[k]) {
            event_free(&s_pool.go[k]);
            break;
        }
        s_pool.helpers = k + 1;
    }
    if (helpers > 0 && s_pool.helpers == 0) event_free(&s_pool.finish);
    return s_pool.helpers;
}

int workers_ensure(void) { return s_pool.started ? s_pool.helpers : workers_start(workers_default()); }

int workers_helpers(void) { return s_pool.helpers; }

void workers_begin(workers_fn fn, void *ctx, int items) {
    s_pool.fn = fn;
    s_pool.ctx = ctx;
    s_pool.items = items;
    s_pool.done.store(0);
    s_pool.job.store((uint64_t)(uint32_t)items << 32, std::memory_order_release);
    if (items > 1)   // a single item stays with the caller
        for (int k = 0; k < s_pool.helpers; k++) event_set(&s_pool.go[k]);
}

// Waits until `claimed` items are done.
static void workers_wait(int claimed) {
    while (s_pool.done.load(std::memory_order_acquire) < claimed) event_wait(&s_pool.finish, 1);
}

void workers_join(void) {
    workers_take(0);
    workers_wait(s_pool.items);
}

void workers_cancel(void) {
    uint64_t w = s_pool.job.exchange((uint64_t)(uint32_t)s_pool.items << 32 | (uint32_t)s_pool.items);
    uint32_t next = (uint32_t)w;
    workers_wait(next < (uint32_t)s_pool.items ? (int)next : s_pool.items);
}
