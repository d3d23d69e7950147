// The worker pool: every task runs once, waits and shutdown drain the queue.
#include <gtest/gtest.h>

#include <atomic>

#include "threadpool.h"

namespace {
struct Counter {
    std::atomic<int> runs{0};
    qv_threadpool *pool = nullptr;
    std::atomic<int> depth_left{0};
};

void bump(void *arg)
{
    static_cast<Counter *>(arg)->runs++;
}

// A task that queues two more until its budget is spent, as walks do.
void fan_out(void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    c->runs++;
    if (c->depth_left.fetch_sub(1) > 0) {
        qv_threadpool_submit(c->pool, fan_out, c);
        qv_threadpool_submit(c->pool, fan_out, c);
    }
}
}  // namespace

TEST(ThreadPool, WorkerCountFloorAndIdleWait)
{
    for (int n : {0, -5, 1, 3}) {
        qv_threadpool *pool = qv_threadpool_create(n);
        ASSERT_NE(pool, nullptr);
        EXPECT_EQ(pool->thread_count, n > 0 ? n : 1);
        qv_threadpool_wait(pool);  // never received a task: returns at once
        qv_threadpool_destroy(pool);
    }
    qv_threadpool_destroy(nullptr);
}

TEST(ThreadPool, WaitCoversTasksQueuedByTasks)
{
    Counter c;
    c.pool = qv_threadpool_create(3);
    c.depth_left = 500;
    qv_threadpool_submit(c.pool, fan_out, &c);
    qv_threadpool_wait(c.pool);
    // 500 runs found budget left and queued two each: 1 + 2 * 500 runs,
    // all of them finished once the wait returns.
    EXPECT_EQ(c.runs.load(), 1001);
    qv_threadpool_destroy(c.pool);
}

TEST(ThreadPool, DestroyRunsWhatIsStillQueued)
{
    Counter c;
    qv_threadpool *pool = qv_threadpool_create(2);
    for (int i = 0; i < 1000; i++)
        qv_threadpool_submit(pool, bump, &c);
    qv_threadpool_destroy(pool);
    EXPECT_EQ(c.runs.load(), 1000);
}
