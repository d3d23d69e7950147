// Thin platform layer: locks, condition variables, threads, processor count,
// clock, paths. One implementation per system (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>

// Handles are plain values stored in the record that owns them. Lock and
// condition-variable storage comes from the heap.
struct qv_mutex {
    void *h;
};
struct qv_cond {
    void *h;
};
struct qv_thread {
    uintptr_t h;
};
// A one-time initialisation, zero-initialised (QV_ONCE_INIT) before first
// use. Holds no thread-local storage, so that a library loaded and unloaded
// again and again by its host takes none of the process's TLS slots.
struct qv_once {
    void *h;
};
#define QV_ONCE_INIT {nullptr}

// Whether a cancel flag (null: none) is set.
inline bool qv_cancel_set(const std::atomic<int32_t> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed) != 0;
}

// Body of a started thread. Every body returns 0; nobody reads it.
typedef int (*qv_thread_body)(void *arg);

// Returns 0, or -1 when the storage cannot be obtained (m is then left null).
int qv_mutex_init(qv_mutex *m);
void qv_mutex_lock(qv_mutex *m);
void qv_mutex_unlock(qv_mutex *m);
// Accepts a mutex that was never initialised (null handle).
void qv_mutex_destroy(qv_mutex *m);

int qv_cond_init(qv_cond *cv);
// Releases m, waits, holds m again on return. Callers re-test in a loop.
void qv_cond_wait(qv_cond *cv, qv_mutex *m);
// The same, giving up after about ms milliseconds.
void qv_cond_wait_ms(qv_cond *cv, qv_mutex *m, uint32_t ms);
void qv_cond_signal(qv_cond *cv);
void qv_cond_broadcast(qv_cond *cv);
void qv_cond_destroy(qv_cond *cv);

// Starts body(arg) on a new thread with the default stack size. Returns 0 and
// stores the handle, or returns -1 and stores nothing.
int qv_thread_create(qv_thread *t, qv_thread_body body, void *arg);
// Waits for the thread to end and closes its handle; stores null into *out
// when out is non-null. Returns 0.
int qv_thread_join(qv_thread *t, void **out);

// Lets the thread end by itself: nobody joins it, its handle is closed.
void qv_thread_detach(qv_thread *t);
// Ends the calling thread (started by qv_thread_create) at once.
[[noreturn]] void qv_thread_exit(void);
// Asks the system to cancel the synchronous I/O call the thread is inside
// (Windows); does nothing elsewhere.
void qv_thread_cancel_io(const qv_thread *t);
// Keeps this library loaded until the process ends, whatever its host
// unloads: for threads left inside calls that may return at any time.
void qv_pin_library(void);

// CPU time the thread has used so far, in nanoseconds (to the precision the
// system keeps: about 16 ms on Windows); 0 when it cannot be read.
uint64_t qv_thread_cpu_ns(const qv_thread *t);

// Sleeps for about us microseconds (at least a clock tick on Windows).
void qv_sleep_us(uint32_t us);

// Runs fn exactly once for once, however many threads call at the same
// time; every caller returns after fn has returned.
void qv_once_run(qv_once *once, void (*fn)(void));

int qv_cpu_count(void);
// Milliseconds since an arbitrary fixed point, monotonic.
uint64_t qv_time_ms(void);
// "linux" or "windows".
const char *qv_platform_name(void);
// The absolute path with every link and "." or ".." resolved, from the heap
// (free()), or null when it cannot be had (and on Windows, where it is not
// needed).
char *qv_real_path(const char *path);
// path made absolute against the current directory, from the heap (free()),
// without looking at the file system beyond the current directory; null
// when memory or the current directory cannot be had.
char *qv_absolute_path(const char *path);
