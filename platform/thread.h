// thread: threads, one lock type, a wake-up event, and the atomics helpers every threaded module uses.
#pragma once
#include <stdint.h>

typedef void *thread_handle;                    // NULL when creation failed
typedef unsigned (*thread_fn)(void *arg);

thread_handle thread_create(thread_fn fn, void *arg);
int thread_wait(thread_handle t, uint32_t timeout_ms);  // 1 when it ended; 0 on time-out
void thread_close(thread_handle t);                     // release the handle (after wait)
#define THREAD_INFINITE 0xFFFFFFFFu
int thread_cpu_count(void);                             // processors this process may run on; at least 1

// A lock is a critical section on Windows and a mutex on POSIX; storage big enough for both.
struct plat_lock {
    alignas(8) unsigned char opaque[64];
};
void lock_init(plat_lock *l);
void lock_enter(plat_lock *l);
void lock_leave(plat_lock *l);
void lock_free(plat_lock *l);

// An auto-reset event: event_set wakes one waiter, or the next thread to wait if none waits now.
struct plat_event {
    alignas(8) unsigned char opaque[128];
};
void event_init(plat_event *e);
void event_set(plat_event *e);
int event_wait(plat_event *e, uint32_t timeout_ms);   // 1 when set; 0 on time-out
void event_free(plat_event *e);
