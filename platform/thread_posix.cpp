// thread_posix: pthreads and a mutex behind thread.h; waiting with a time-out uses a done flag
// and a condition variable because pthread_join cannot time out portably.
#include "platform/thread.h"
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

struct posix_thread {
    pthread_t id;
    thread_fn fn;
    void *arg;
    pthread_mutex_t mu;
    pthread_cond_t cv;
    int done;     // set by the thread as its last act
    int joined;   // pthread_join already called
};

static void *thread_entry(void *p) {
    posix_thread *t = (posix_thread *)p;
    t->fn(t->arg);
    pthread_mutex_lock(&t->mu);
    t->done = 1;
    pthread_cond_broadcast(&t->cv);
    pthread_mutex_unlock(&t->mu);
    return nullptr;
}

thread_handle thread_create(thread_fn fn, void *arg) {
    posix_thread *t = (posix_thread *)calloc(1, sizeof *t);
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    pthread_mutex_init(&t->mu, nullptr);
    pthread_cond_init(&t->cv, nullptr);
    if (pthread_create(&t->id, nullptr, thread_entry, t) != 0) {
        pthread_cond_destroy(&t->cv);
        pthread_mutex_destroy(&t->mu);
        free(t);
        return nullptr;
    }
    return t;
}

// The CLOCK_REALTIME time ms from now, as pthread_cond_timedwait takes it.
static timespec deadline_after(uint32_t ms) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}

int thread_wait(thread_handle h, uint32_t timeout_ms) {
    posix_thread *t = (posix_thread *)h;
    if (!t) return 1;
    pthread_mutex_lock(&t->mu);
    if (timeout_ms == THREAD_INFINITE) {
        while (!t->done) pthread_cond_wait(&t->cv, &t->mu);
    } else {
        timespec until = deadline_after(timeout_ms);
        while (!t->done) {
            if (pthread_cond_timedwait(&t->cv, &t->mu, &until) == ETIMEDOUT) break;
        }
    }
    int done = t->done;
    pthread_mutex_unlock(&t->mu);
    if (done && !t->joined) {
        pthread_join(t->id, nullptr);
        t->joined = 1;
    }
    return done;
}

void thread_close(thread_handle h) {
    posix_thread *t = (posix_thread *)h;
    if (!t) return;
    if (!t->joined) pthread_detach(t->id);   // still running: let it finish on its own
    else {
        pthread_cond_destroy(&t->cv);
        pthread_mutex_destroy(&t->mu);
        free(t);
        return;
    }
    // A detached thread still touches its record: leak it rather than free it under the thread.
}

int thread_cpu_count(void) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > 1024 ? 1024 : (int)n;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(((plat_lock *)0)->opaque), "lock storage too small");

void lock_init(plat_lock *l) { pthread_mutex_init((pthread_mutex_t *)l->opaque, nullptr); }
void lock_enter(plat_lock *l) { pthread_mutex_lock((pthread_mutex_t *)l->opaque); }
void lock_leave(plat_lock *l) { pthread_mutex_unlock((pthread_mutex_t *)l->opaque); }
void lock_free(plat_lock *l) { pthread_mutex_destroy((pthread_mutex_t *)l->opaque); }

// The event: a flag under a mutex, and a condition variable to wait for it.
struct posix_event {
    pthread_mutex_t mu;
    pthread_cond_t cv;
    int set;
};
static_assert(sizeof(posix_event) <= sizeof(((plat_event *)0)->opaque), "event storage too small");

void event_init(plat_event *e) {
    posix_event *p = (posix_event *)e->opaque;
    pthread_mutex_init(&p->mu, nullptr);
    pthread_cond_init(&p->cv, nullptr);
    p->set = 0;
}

void event_set(plat_event *e) {
    posix_event *p = (posix_event *)e->opaque;
    pthread_mutex_lock(&p->mu);
    p->set = 1;
    pthread_cond_signal(&p->cv);
    pthread_mutex_unlock(&p->mu);
}

int event_wait(plat_event *e, uint32_t timeout_ms) {
    posix_event *p = (posix_event *)e->opaque;
    timespec until = deadline_after(timeout_ms);
    pthread_mutex_lock(&p->mu);
    while (!p->set)
        if (pthread_cond_timedwait(&p->cv, &p->mu, &until) == ETIMEDOUT) break;
    int was = p->set;
    p->set = 0;
    pthread_mutex_unlock(&p->mu);
    return was;
}

void event_free(plat_event *e) {
    posix_event *p = (posix_event *)e->opaque;
    pthread_cond_destroy(&p->cv);
    pthread_mutex_destroy(&p->mu);
}
