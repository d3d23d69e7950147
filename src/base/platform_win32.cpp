// Win32 platform layer: critical sections and condition variables in storage
// from the process heap, CreateThread, GetSystemInfo, GetTickCount64.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <cstring>

static_assert(sizeof(HANDLE) <= sizeof(uintptr_t), "a thread handle must fit qv_thread");
static_assert(sizeof(INIT_ONCE) == sizeof(void *), "an INIT_ONCE must fit qv_once");

static void *heap_alloc(size_t n) { return HeapAlloc(GetProcessHeap(), 0, n); }
static void heap_free(void *p) { HeapFree(GetProcessHeap(), 0, p); }

int qv_mutex_init(qv_mutex *m)
{
    auto *cs = static_cast<CRITICAL_SECTION *>(heap_alloc(sizeof(CRITICAL_SECTION)));
    if (!cs) {
        m->h = nullptr;
        return -1;
    }
    InitializeCriticalSection(cs);
    m->h = cs;
    return 0;
}

void qv_mutex_lock(qv_mutex *m) { EnterCriticalSection(static_cast<CRITICAL_SECTION *>(m->h)); }
void qv_mutex_unlock(qv_mutex *m) { LeaveCriticalSection(static_cast<CRITICAL_SECTION *>(m->h)); }

void qv_mutex_destroy(qv_mutex *m)
{
    if (!m->h)
        return;
    DeleteCriticalSection(static_cast<CRITICAL_SECTION *>(m->h));
    heap_free(m->h);
    m->h = nullptr;
}

int qv_cond_init(qv_cond *cv)
{
    auto *c = static_cast<CONDITION_VARIABLE *>(heap_alloc(sizeof(CONDITION_VARIABLE)));
    if (!c) {
        cv->h = nullptr;
        return -1;
    }
    InitializeConditionVariable(c);
    cv->h = c;
    return 0;
}

void qv_cond_wait(qv_cond *cv, qv_mutex *m)
{
    SleepConditionVariableCS(static_cast<CONDITION_VARIABLE *>(cv->h), static_cast<CRITICAL_SECTION *>(m->h),
                             INFINITE);
}

void qv_cond_wait_ms(qv_cond *cv, qv_mutex *m, uint32_t ms)
{
    SleepConditionVariableCS(static_cast<CONDITION_VARIABLE *>(cv->h), static_cast<CRITICAL_SECTION *>(m->h), ms);
}

void qv_cond_signal(qv_cond *cv) { WakeConditionVariable(static_cast<CONDITION_VARIABLE *>(cv->h)); }
void qv_cond_broadcast(qv_cond *cv) { WakeAllConditionVariable(static_cast<CONDITION_VARIABLE *>(cv->h)); }

// A condition variable holds no system resource: only its storage goes back.
void qv_cond_destroy(qv_cond *cv)
{
    if (!cv->h)
        return;
    heap_free(cv->h);
    cv->h = nullptr;
}

namespace {
struct thread_start {
    qv_thread_body body;
    void *arg;
};
}

// CreateThread wants a DWORD WINAPI (LPVOID) routine; the body's own result
// is not collected.
static DWORD WINAPI thread_trampoline(LPVOID p)
{
    thread_start start = *static_cast<thread_start *>(p);
    heap_free(p);
    start.body(start.arg);
    return 0;
}

int qv_thread_create(qv_thread *t, qv_thread_body body, void *arg)
{
    auto *start = static_cast<thread_start *>(heap_alloc(sizeof(thread_start)));
    if (!start)
        return -1;
    start->body = body;
    start->arg = arg;
    HANDLE h = CreateThread(nullptr, 0, thread_trampoline, start, 0, nullptr);
    if (!h) {
        heap_free(start);
        return -1;
    }
    t->h = (uintptr_t)h;
    return 0;
}

int qv_thread_join(qv_thread *t, void **out)
{
    HANDLE h = (HANDLE)t->h;
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    t->h = 0;
    if (out)
        *out = nullptr;
    return 0;
}

void qv_thread_detach(qv_thread *t)
{
    CloseHandle((HANDLE)t->h);
    t->h = 0;
}

void qv_thread_exit(void)
{
    ExitThread(0);
}

void qv_thread_cancel_io(const qv_thread *t)
{
    CancelSynchronousIo((HANDLE)t->h);
}

void qv_pin_library(void)
{
    HMODULE self;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&qv_pin_library), &self);
}

static BOOL CALLBACK run_once_body(PINIT_ONCE, PVOID fn, PVOID *)
{
    reinterpret_cast<void (*)(void)>(fn)();
    return TRUE;
}

// A zeroed qv_once is INIT_ONCE_STATIC_INIT.
void qv_once_run(qv_once *once, void (*fn)(void))
{
    InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(&once->h), run_once_body, reinterpret_cast<PVOID>(fn),
                        nullptr);
}

int qv_cpu_count(void)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors > 0 ? (int)si.dwNumberOfProcessors : 1;
}

void qv_sleep_us(uint32_t us)
{
    Sleep((us + 999) / 1000);
}

uint64_t qv_thread_cpu_ns(const qv_thread *t)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes((HANDLE)t->h, &created, &exited, &kernel, &user))
        return 0;
    uint64_t k = ((uint64_t)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    uint64_t u = ((uint64_t)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (k + u) * 100u;  // 100 ns units
}

uint64_t qv_time_ms(void) { return (uint64_t)GetTickCount64(); }

const char *qv_platform_name(void) { return "windows"; }

char *qv_real_path(const char *)
{
    return nullptr;
}

static char *copy_text(const char *text)
{
    size_t n = strlen(text) + 1;
    auto *c = static_cast<char *>(malloc(n));
    if (c)
        memcpy(c, text, n);
    return c;
}

// GetFullPathNameW resolves a relative or drive-relative path against the
// current directory (of that drive) by text alone, and makes it normal as
// Windows does before it opens a path: "." and ".." taken out, separators
// made single backslashes, trailing dots and spaces dropped. The listing
// then uses its long form, in which Windows would do none of that.
char *qv_absolute_path(const char *path)
{
    // Already in long form: the host asked for the path as it is.
    if (path[0] == '\0' || strncmp(path, "\\\\?\\", 4) == 0)
        return copy_text(path);
    // A bare drive letter names the drive's root, as it always has here,
    // not the current directory of that drive.
    if (path[1] == ':' && path[2] == '\0') {
        char root[4] = {path[0], ':', '\\', '\0'};
        return copy_text(root);
    }
    int wn = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (wn <= 0)
        return copy_text(path);
    auto *wpath = static_cast<wchar_t *>(malloc((size_t)wn * sizeof(wchar_t)));
    auto *wfull = static_cast<wchar_t *>(malloc(32768 * sizeof(wchar_t)));
    char *out = nullptr;
    if (wpath && wfull && MultiByteToWideChar(CP_UTF8, 0, path, -1, wpath, wn) > 0) {
        DWORD n = GetFullPathNameW(wpath, 32768, wfull, nullptr);
        if (n > 0 && n < 32768) {
            int un = WideCharToMultiByte(CP_UTF8, 0, wfull, -1, nullptr, 0, nullptr, nullptr);
            if (un > 0 && (out = static_cast<char *>(malloc((size_t)un))) != nullptr &&
                WideCharToMultiByte(CP_UTF8, 0, wfull, -1, out, un, nullptr, nullptr) <= 0) {
                free(out);
                out = nullptr;
            }
        }
    }
    free(wpath);
    free(wfull);
    return out ? out : copy_text(path);
}
