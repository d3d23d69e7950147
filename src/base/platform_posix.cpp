// POSIX platform layer: pthreads, sysconf, CLOCK_MONOTONIC.
#include "platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "pthread_t must fit a handle");
static_assert(sizeof(pthread_once_t) <= sizeof(void *) && alignof(pthread_once_t) <= alignof(void *),
              "a pthread_once_t must fit qv_once");

int qv_mutex_init(qv_mutex *m)
{
    auto *p = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
    if (!p || pthread_mutex_init(p, nullptr) != 0) {
        free(p);
        m->h = nullptr;
        return -1;
    }
    m->h = p;
    return 0;
}

void qv_mutex_lock(qv_mutex *m) { pthread_mutex_lock(static_cast<pthread_mutex_t *>(m->h)); }
void qv_mutex_unlock(qv_mutex *m) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m->h)); }

void qv_mutex_destroy(qv_mutex *m)
{
    if (!m->h)
        return;
    pthread_mutex_destroy(static_cast<pthread_mutex_t *>(m->h));
    free(m->h);
    m->h = nullptr;
}

int qv_cond_init(qv_cond *cv)
{
    auto *p = static_cast<pthread_cond_t *>(malloc(sizeof(pthread_cond_t)));
    if (!p || pthread_cond_init(p, nullptr) != 0) {
        free(p);
        cv->h = nullptr;
        return -1;
    }
    cv->h = p;
    return 0;
}

void qv_cond_wait(qv_cond *cv, qv_mutex *m)
{
    pthread_cond_wait(static_cast<pthread_cond_t *>(cv->h), static_cast<pthread_mutex_t *>(m->h));
}
void qv_cond_wait_ms(qv_cond *cv, qv_mutex *m, uint32_t ms)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(static_cast<pthread_cond_t *>(cv->h), static_cast<pthread_mutex_t *>(m->h), &ts);
}

void qv_cond_signal(qv_cond *cv) { pthread_cond_signal(static_cast<pthread_cond_t *>(cv->h)); }
void qv_cond_broadcast(qv_cond *cv) { pthread_cond_broadcast(static_cast<pthread_cond_t *>(cv->h)); }

void qv_cond_destroy(qv_cond *cv)
{
    if (!cv->h)
        return;
    pthread_cond_destroy(static_cast<pthread_cond_t *>(cv->h));
    free(cv->h);
    cv->h = nullptr;
}

namespace {
struct thread_start {
    qv_thread_body body;
    void *arg;
};
}

static void *thread_trampoline(void *p)
{
    thread_start start = *static_cast<thread_start *>(p);
    free(p);
    start.body(start.arg);
    return nullptr;
}

int qv_thread_create(qv_thread *t, qv_thread_body body, void *arg)
{
    auto *start = static_cast<thread_start *>(malloc(sizeof(thread_start)));
    if (!start)
        return -1;
    start->body = body;
    start->arg = arg;
    // The thread starts with every asynchronous signal blocked (it inherits
    // the mask), so the host's handlers run on the host's own threads and
    // never interrupt the walk. Faults still reach their handlers.
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
        sigdelset(&all, sig);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, thread_trampoline, start);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        free(start);
        return -1;
    }
    t->h = (uintptr_t)tid;
    return 0;
}

int qv_thread_join(qv_thread *t, void **out)
{
    pthread_join((pthread_t)t->h, nullptr);
    t->h = 0;
    if (out)
        *out = nullptr;
    return 0;
}

void qv_thread_detach(qv_thread *t)
{
    pthread_detach((pthread_t)t->h);
    t->h = 0;
}

void qv_thread_exit(void)
{
    pthread_exit(nullptr);
}

void qv_thread_cancel_io(const qv_thread *) {}

void qv_pin_library(void)
{
    // Opening ourselves again with RTLD_NODELETE makes every later dlclose
    // leave the code mapped; the handle is kept on purpose.
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&qv_pin_library), &info) && info.dli_fname)
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// A zeroed qv_once is an unused pthread_once_t (PTHREAD_ONCE_INIT is 0).
void qv_once_run(qv_once *once, void (*fn)(void))
{
    static_assert(PTHREAD_ONCE_INIT == 0, "a zeroed qv_once must be PTHREAD_ONCE_INIT");
    pthread_once(reinterpret_cast<pthread_once_t *>(&once->h), fn);
}

int qv_cpu_count(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

void qv_sleep_us(uint32_t us)
{
    timespec ts{(time_t)(us / 1000000u), (long)(us % 1000000u) * 1000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t qv_thread_cpu_ns(const qv_thread *t)
{
    clockid_t id;
    timespec ts;
    if (pthread_getcpuclockid((pthread_t)t->h, &id) != 0 || clock_gettime(id, &ts) != 0)
        return 0;
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

uint64_t qv_time_ms(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

const char *qv_platform_name(void) { return "linux"; }

char *qv_real_path(const char *path)
{
    return realpath(path, nullptr);
}

char *qv_absolute_path(const char *path)
{
    size_t len = strlen(path);
    if (path[0] == '/' || path[0] == '\0') {
        char *copy = static_cast<char *>(malloc(len + 1));
        if (copy)
            memcpy(copy, path, len + 1);
        return copy;
    }
    char *cwd = getcwd(nullptr, 0);
    if (!cwd)
        return nullptr;
    size_t n = strlen(cwd);
    bool sep = n == 0 || cwd[n - 1] != '/';
    char *abs = static_cast<char *>(malloc(n + (sep ? 1 : 0) + len + 1));
    if (abs) {
        memcpy(abs, cwd, n);
        if (sep)
            abs[n++] = '/';
        memcpy(abs + n, path, len + 1);
    }
    free(cwd);
    return abs;
}
