// The descriptor budget shared by the scans of the process.
#include "fdbudget.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform.h"

#define FD_BUDGET_MIN (1 + QV_FD_SPARE)
#define FD_BUDGET_MAX (1 << 19)
#define FD_WAIT_MS 10

namespace {
struct fd_budget {
    std::atomic<int64_t> left;
    std::atomic<int32_t> waiters;  // threads that may sleep on cv
    std::mutex m;
    std::condition_variable cv;
};
}  // namespace

static int64_t fd_budget_size()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur / 2 > FD_BUDGET_MAX)
        return FD_BUDGET_MAX;
    int64_t n = (int64_t)(rl.rlim_cur / 2);
    return n < FD_BUDGET_MIN ? FD_BUDGET_MIN : n;
}

// Never destroyed: a thread left inside a call that storage does not
// answer may still give its descriptors back while the process exits.
static fd_budget &budget()
{
    static fd_budget *b = new (calloc(1, sizeof(fd_budget))) fd_budget{{fd_budget_size()}, {0}, {}, {}};
    return *b;
}

static bool take_from_budget(int n)
{
    std::atomic<int64_t> &left = budget().left;
    int64_t have = left.load(std::memory_order_relaxed);
    while (have >= n) {
        if (left.compare_exchange_weak(have, have - n, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
    return false;
}

// Sleeps until a descriptor may have come back, at most FD_WAIT_MS.
static void nap()
{
    fd_budget &b = budget();
    b.waiters.fetch_add(1);
    {
        std::unique_lock<std::mutex> lock(b.m);
        b.cv.wait_for(lock, std::chrono::milliseconds(FD_WAIT_MS));
    }
    b.waiters.fetch_sub(1);
}

// Wakes the walkers waiting for a descriptor.
static void wake()
{
    fd_budget &b = budget();
    if (b.waiters.load() > 0) {
        std::lock_guard<std::mutex> lock(b.m);
        b.cv.notify_all();
    }
}

void qv_fd_give_to_process(int n)
{
    if (n <= 0)
        return;
    budget().left.fetch_add(n, std::memory_order_release);
    wake();
}

bool qv_fd_wait(const std::atomic<int32_t> *cancel)
{
    if (qv_cancel_set(cancel))
        return false;
    nap();
    return !qv_cancel_set(cancel);
}

int qv_fd_scarce(void)
{
    fd_budget &b = budget();
    return b.waiters.load(std::memory_order_relaxed) > 0 ||
           b.left.load(std::memory_order_relaxed) < fd_budget_size() / 4;
}

void qv_fd_budget_reset(void)
{
    budget().left.store(fd_budget_size());
}

bool qv_fd_share_open(qv_fd_share *s, const std::atomic<int32_t> *cancel)
{
    while (!take_from_budget(1 + QV_FD_SPARE)) {
        if (qv_cancel_set(cancel))
            return false;
        nap();
    }
    new (&s->spare) std::atomic<int>(QV_FD_SPARE);
    return true;
}

void qv_fd_share_close(qv_fd_share *s)
{
    qv_fd_give_to_process(1 + s->spare.load());
}

bool qv_fd_try_take(qv_fd_share *s, int n)
{
    if (take_from_budget(n))
        return true;
    int have = s->spare.load();
    while (have >= n) {
        if (s->spare.compare_exchange_weak(have, have - n))
            return true;
    }
    return false;
}

bool qv_fd_take(qv_fd_share *s, int n, const std::atomic<int32_t> *cancel)
{
    while (!qv_fd_try_take(s, n)) {
        if (qv_cancel_set(cancel))
            return false;
        nap();
    }
    return true;
}

void qv_fd_give(qv_fd_share *s, int n)
{
    int have = s->spare.load();
    while (n > 0 && have < QV_FD_SPARE) {
        if (s->spare.compare_exchange_weak(have, have + 1)) {
            have++;
            n--;
        }
    }
    if (n > 0)
        qv_fd_give_to_process(n);
    else
        wake();
}
