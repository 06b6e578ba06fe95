// workers: a few helper threads that share the items of one job with the thread that starts it.
// One job at a time, begun and joined by the same thread; items are taken in turns from a shared
// counter, so a helper slow to wake costs nothing but its share. With no helpers every item runs
// on the caller, in workers_join; a helper the scheduler runs late is not waited for. The pool is
// process-wide and kept once started.
#pragma once

#define WORKERS_MAX 7   // helper threads at most

// One item of a job: `worker` is 0 on the calling thread, 1..helpers on a helper (for scratch
// space kept per thread).
typedef void (*workers_fn)(void *ctx, int item, int worker);

// Helpers the machine warrants: one fewer than its processors (the caller is the other), 0..WORKERS_MAX.
int workers_default(void);
// Stops the pool if one runs, then starts `helpers` helper threads (clamped to 0..WORKERS_MAX).
// Returns how many run (fewer when a thread could not be created).
int workers_start(int helpers);
// Starts the default pool the first time it is called; returns the helpers running.
int workers_ensure(void);
int workers_helpers(void);   // helpers running (0 before any start)
void workers_stop(void);     // ends the helper threads (no job may be under way)

// Helpers start on items 0..items-1 of fn; the caller then does its own work and joins.
void workers_begin(workers_fn fn, void *ctx, int items);
// The caller takes items too until none is left, then waits for the helpers' last ones.
void workers_join(void);
// No further item starts; waits only for the ones under way. Which ran is the job's to record.
void workers_cancel(void);
