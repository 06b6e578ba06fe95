// thread_win32: CreateThread and critical sections behind thread.h.
#include "platform/thread.h"
#include <windows.h>
#include <stdlib.h>

struct win_thread_start {
    thread_fn fn;
    void *arg;
};

static DWORD WINAPI thread_entry(LPVOID p) {
    win_thread_start s = *(win_thread_start *)p;
    free(p);
    return (DWORD)s.fn(s.arg);
}

thread_handle thread_create(thread_fn fn, void *arg) {
    win_thread_start *s = (win_thread_start *)malloc(sizeof *s);
    if (!s) return nullptr;
    s->fn = fn;
    s->arg = arg;
    HANDLE h = CreateThread(nullptr, 0, thread_entry, s, 0, nullptr);
    if (!h) {
        free(s);
        return nullptr;
    }
    return (thread_handle)h;
}

int thread_wait(thread_handle t, uint32_t timeout_ms) {
    if (!t) return 1;
    DWORD ms = timeout_ms == THREAD_INFINITE ? INFINITE : (DWORD)timeout_ms;
    return WaitForSingleObject((HANDLE)t, ms) == WAIT_OBJECT_0 ? 1 : 0;
}

void thread_close(thread_handle t) {
    if (t) CloseHandle((HANDLE)t);
}

int thread_cpu_count(void) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors < 1 ? 1 : (int)si.dwNumberOfProcessors;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(((plat_lock *)0)->opaque), "lock storage too small");

void lock_init(plat_lock *l) { InitializeCriticalSection((CRITICAL_SECTION *)l->opaque); }
void lock_enter(plat_lock *l) { EnterCriticalSection((CRITICAL_SECTION *)l->opaque); }
void lock_leave(plat_lock *l) { LeaveCriticalSection((CRITICAL_SECTION *)l->opaque); }
void lock_free(plat_lock *l) { DeleteCriticalSection((CRITICAL_SECTION *)l->opaque); }

// The event is an auto-reset event object; its handle sits in the storage.
void event_init(plat_event *e) { *(HANDLE *)e->opaque = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
void event_set(plat_event *e) { SetEvent(*(HANDLE *)e->opaque); }
int event_wait(plat_event *e, uint32_t timeout_ms) {
    return WaitForSingleObject(*(HANDLE *)e->opaque, (DWORD)timeout_ms) == WAIT_OBJECT_0 ? 1 : 0;
}
void event_free(plat_event *e) {
    CloseHandle(*(HANDLE *)e->opaque);
    *(HANDLE *)e->opaque = nullptr;
}
