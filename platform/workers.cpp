// workers: the helper threads of a pool, woken per job by one event each; items are claimed from
// one atomic word. A helper woken late finds nothing left and sleeps again, so the caller never
// waits for a helper the scheduler has not yet run, only for items under way. Between jobs, and
// for the last items, each side looks out briefly before it sleeps.
#include "platform/workers.h"

#include <chrono>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define WORKERS_PAUSE() _mm_pause()
#else
#define WORKERS_PAUSE() std::atomic_signal_fence(std::memory_order_seq_cst)
#endif

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

static int64_t workers_now_us(void) {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// 1 once a job after the `seen`-th began or the pool stops, looking for WORKERS_SPIN_US at most.
static int workers_spin_job(workers_pool *p, uint32_t seen) {
    int64_t until = workers_now_us() + WORKERS_SPIN_US;
    for (int k = 1;; k++) {
        if (p->jobs.load(std::memory_order_acquire) != seen || p->stopping.load(std::memory_order_relaxed)) return 1;
        if (k % 16 == 0 && workers_now_us() > until) return 0;
        WORKERS_PAUSE();
    }
}

// A helper: looks out for the next job, then sleeps on its event. It says it sleeps before it
// looks a last time, and a job's beginning counts the job before it looks at that (both in one
// total order), so the helper either sees the job or is woken for it.
static unsigned workers_main(void *arg) {
    workers_helper *h = (workers_helper *)arg;
    workers_pool *p = h->pool;
    std::atomic<int> *asleep = &p->asleep[h->index - 1];
    uint32_t seen = h->jobs;
    for (;;) {
        if (!workers_spin_job(p, seen)) {
            asleep->store(1);
            while (p->jobs.load() == seen && !p->stopping.load()) event_wait(&p->go[h->index - 1], THREAD_INFINITE);
            asleep->store(0);
        }
        if (p->stopping.load()) return 0;
        seen = p->jobs.load();
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
        p->args[k].jobs = p->jobs.load();
        p->asleep[k].store(0);
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
    if (items <= 1) return;   // a single item stays with the caller
    p->jobs.fetch_add(1);
    for (int k = 0; k < p->helpers; k++)
        if (p->asleep[k].load()) event_set(&p->go[k]);
}

// 1 once `claimed` items are done, looking for WORKERS_SPIN_US at most.
static int workers_spin_done(workers_pool *p, int claimed) {
    int64_t until = workers_now_us() + WORKERS_SPIN_US;
    for (int k = 1;; k++) {
        if (p->done.load() >= claimed) return 1;
        if (k % 16 == 0 && workers_now_us() > until) return 0;
        WORKERS_PAUSE();
    }
}

// Waits until `claimed` items are done. The caller says it sleeps before it looks at the count a
// last time, and a helper looks at that after counting its item (both in one total order), so a
// helper finishing while nobody waits spares the wake-up and none is missed.
static void workers_wait(workers_pool *p, int claimed) {
    if (p->done.load() >= claimed || workers_spin_done(p, claimed)) return;
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
