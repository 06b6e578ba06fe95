// workers: the helper threads of a pool, woken per job by one event each; items are claimed from
// one atomic word. A helper woken late finds nothing left and sleeps again, so the caller never
// waits for a helper the scheduler has not yet run, only for items under way.
#include "platform/workers.h"

static workers_pool s_host_pool;   // the host encoder's pool (workers_* without a pool)

// Claims the next item of the job: its index, or -1 when none is left.
static int workers_claim(workers_pool *p) {
    uint64_t w = p->job.load(std::memory_order_acquire);
    for (;;) {
        uint32_t next = (uint32_t)w, items = (uint32_t)(w >> 32);
        if (next >= items) return -1;
        if (p->job.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            return (int)next;
    }
}

// Runs items until none is left; a helper then tells a caller that waits for its last.
static void workers_take(workers_pool *p, int worker) {
    for (int k; (k = workers_claim(p)) >= 0;) {
        p->fn(p->ctx, k, worker);
        p->done.fetch_add(1);
    }
    if (worker && p->waiting.load()) event_set(&p->finish);
}

static unsigned workers_main(void *arg) {
    workers_helper *h = (workers_helper *)arg;
    workers_pool *p = h->pool;
    for (;;) {
        while (!event_wait(&p->go[h->index - 1], THREAD_INFINITE)) {
        }
        if (p->stopping.load()) return 0;
        workers_take(p, h->index);
    }
}

int workers_default(void) {
    int n = thread_cpu_count() - 1;
    return n < 0 ? 0 : n > WORKERS_MAX ? WORKERS_MAX : n;
}

void workers_pool_stop(workers_pool *p) {
    p->stopping.store(1);
    for (int k = 0; k < p->helpers; k++) {
        event_set(&p->go[k]);
        thread_wait(p->threads[k], THREAD_INFINITE);
        thread_close(p->threads[k]);
        event_free(&p->go[k]);
    }
    if (p->helpers) event_free(&p->finish);
    p->helpers = 0;
    p->stopping.store(0);
}

int workers_pool_start(workers_pool *p, int helpers) {
    workers_pool_stop(p);
    p->started = 1;
    if (helpers > WORKERS_MAX) helpers = WORKERS_MAX;
    if (helpers > 0) event_init(&p->finish);
    for (int k = 0; k < helpers; k++) {
        event_init(&p->go[k]);
        p->args[k].pool = p;
        p->args[k].index = k + 1;
        p->threads[k] = thread_create(workers_main, &p->args[k]);
        if (!p->threads[k]) {
            event_free(&p->go[k]);
            break;
        }
        p->helpers = k + 1;
    }
    if (helpers > 0 && p->helpers == 0) event_free(&p->finish);
    return p->helpers;
}

int workers_pool_ensure(workers_pool *p) { return p->started ? p->helpers : workers_pool_start(p, workers_default()); }

void workers_pool_begin(workers_pool *p, workers_fn fn, void *ctx, int items) {
    p->fn = fn;
    p->ctx = ctx;
    p->items = items;
    p->done.store(0);
    p->job.store((uint64_t)(uint32_t)items << 32, std::memory_order_release);
    if (items > 1)   // a single item stays with the caller
        for (int k = 0; k < p->helpers; k++) event_set(&p->go[k]);
}

// Waits until `claimed` items are done. The caller says it sleeps before it looks at the count a
// last time, and a helper looks at that after counting its item (both in one total order), so a
// helper finishing while nobody waits spares the wake-up and none is missed.
static void workers_wait(workers_pool *p, int claimed) {
    if (p->done.load() >= claimed) return;
    p->waiting.store(1);
    while (p->done.load() < claimed) event_wait(&p->finish, 1);
    p->waiting.store(0);
}

void workers_pool_join(workers_pool *p) {
    workers_take(p, 0);
    workers_wait(p, p->items);
}

void workers_pool_cancel(workers_pool *p) {
    uint64_t w = p->job.exchange((uint64_t)(uint32_t)p->items << 32 | (uint32_t)p->items);
    uint32_t next = (uint32_t)w;
    workers_wait(p, next < (uint32_t)p->items ? (int)next : p->items);
}

int workers_start(int helpers) { return workers_pool_start(&s_host_pool, helpers); }
int workers_ensure(void) { return workers_pool_ensure(&s_host_pool); }
int workers_helpers(void) { return s_host_pool.helpers; }
void workers_stop(void) { workers_pool_stop(&s_host_pool); }
void workers_begin(workers_fn fn, void *ctx, int items) { workers_pool_begin(&s_host_pool, fn, ctx, items); }
void workers_join(void) { workers_pool_join(&s_host_pool); }
void workers_cancel(void) { workers_pool_cancel(&s_host_pool); }
