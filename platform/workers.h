// workers: a few helper threads that share the items of one job with the thread that starts it.
// One job at a time per pool, begun and joined by the same thread; items are taken in turns from a
// shared counter, so a helper slow to wake costs nothing but its share. With no helpers every item
// runs on the caller, in the join; a helper the scheduler runs late is not waited for.
// Each user keeps its own pool record (a host and a viewer can run in one process at once, each on
// its own thread); the workers_* calls without a pool act on the host encoder's process-wide pool,
// kept once started.
#pragma once
#include <stdint.h>
#include <atomic>
#include "platform/thread.h"

#define WORKERS_MAX 7   // helper threads at most

// One item of a job: `worker` is 0 on the calling thread, 1..helpers on a helper (for scratch
// space kept per thread).
typedef void (*workers_fn)(void *ctx, int item, int worker);

struct workers_pool;
struct workers_helper {   // what one helper thread is given: its pool and its number (1..)
    workers_pool *pool;
    int index;
    uint32_t jobs;   // the pool's job count when it started: it looks out for the next
};

// A pool: zero-filled it is a pool that has not started. A job is published in one atomic word
// (items << 32 | next item), after its function and context: a helper that claims an item by
// moving `next` sees them, and they stay until every claimed item is done.
struct workers_pool {
    int helpers;                        // threads running
    int started;                        // an ensure ran or a start was asked for
    std::atomic<int> stopping;          // helpers end when woken with this set
    thread_handle threads[WORKERS_MAX];
    workers_helper args[WORKERS_MAX];
    plat_event go[WORKERS_MAX];         // wakes one helper
    plat_event finish;                  // a helper found no item left (its last one is done)
    workers_fn fn;
    void *ctx;
    int items;                          // the caller's copy of the job's size
    std::atomic<uint64_t> job;          // items << 32 | next item to take
    std::atomic<int> done;              // items of the job finished
    std::atomic<int> waiting;           // the caller sleeps on finish: a helper done with its items sets it
    std::atomic<uint32_t> jobs;         // jobs begun: a helper looking out for the next watches it
    std::atomic<int> asleep[WORKERS_MAX];   // helper k+1 sleeps (or is about to) on go[k]
};

// A helper that ran out of items looks out for the next job for this long before it sleeps, and a
// caller waiting for helpers' last items looks this long before it sleeps: in a run of jobs the
// next one mostly comes sooner, and neither pays a wake-up through the kernel.
#define WORKERS_SPIN_US 50

// Helpers the machine warrants: one fewer than its processors (the caller is the other), 0..WORKERS_MAX.
int workers_default(void);

// Stops the pool if one runs, then starts `helpers` helper threads (clamped to 0..WORKERS_MAX).
// Returns how many run (fewer when a thread could not be created).
int workers_pool_start(workers_pool *p, int helpers);
// Starts the default number of helpers the first time it is called; returns the helpers running.
int workers_pool_ensure(workers_pool *p);
void workers_pool_stop(workers_pool *p);   // ends the helper threads (no job may be under way)
// Helpers start on items 0..items-1 of fn; the caller then does its own work and joins.
void workers_pool_begin(workers_pool *p, workers_fn fn, void *ctx, int items);
// The caller takes items too until none is left, then waits for the helpers' last ones.
void workers_pool_join(workers_pool *p);
// No further item starts; waits only for the ones under way. Which ran is the job's to record.
void workers_pool_cancel(workers_pool *p);

// The same on the host encoder's pool.
int workers_start(int helpers);
int workers_ensure(void);
int workers_helpers(void);   // helpers running (0 before any start)
void workers_stop(void);
void workers_begin(workers_fn fn, void *ctx, int items);
void workers_join(void);
void workers_cancel(void);
