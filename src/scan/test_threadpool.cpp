// The sharing pool: every item is taken once, the run ends only when no
// worker holds work, a cancel ends it early, and workers that mostly wait
// let more of them work.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform.h"
#include "threadpool.h"

namespace {

struct Item {
    qv_pool_item head;
    int depth;
};

struct PoolRun {
    std::atomic<int> taken{0};
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    int fan = 2;
    int max_depth = 6;
    int sleep_ms = 0;  // time an item waits, using no processor
};

Item *make_item(int depth)
{
    auto *it = static_cast<Item *>(malloc(sizeof(Item)));
    it->depth = depth;
    return it;
}

// Each item makes fan more below it until max_depth, as a walk shares
// subdirectories: items are put while the worker still holds its own.
void worker(qv_pool *pool, int32_t index, void *ctx)
{
    auto *run = static_cast<PoolRun *>(ctx);
    qv_pool_item *got = qv_pool_take(pool, index, false);
    while (got) {
        auto *it = reinterpret_cast<Item *>(got);
        run->taken++;
        int now = ++run->running;
        int seen = run->most_running.load();
        while (now > seen && !run->most_running.compare_exchange_weak(seen, now)) {
        }
        if (run->sleep_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(run->sleep_ms));
        if (it->depth < run->max_depth)
            for (int i = 0; i < run->fan; i++)
                qv_pool_put(pool, &make_item(it->depth + 1)->head);
        run->running--;
        free(it);
        got = qv_pool_take(pool, index, true);
    }
}

}  // namespace

TEST(Pool, EveryItemTakenOnceWhateverTheWorkerCount)
{
    for (int32_t workers : {1, 2, 5}) {
        PoolRun run;
        qv_pool *pool = qv_pool_create(workers, workers, worker, nullptr, &run, nullptr);
        ASSERT_NE(pool, nullptr);
        qv_pool_put(pool, &make_item(0)->head);
        EXPECT_EQ(qv_pool_run(pool), workers);
        EXPECT_EQ(run.taken.load(), (1 << 7) - 1) << workers;  // 1 + 2 + ... + 64
        EXPECT_EQ(qv_pool_drain(pool), nullptr);
        EXPECT_LE(run.most_running.load(), workers);
        qv_pool_destroy(pool);
    }
    qv_pool_destroy(nullptr);
}

TEST(Pool, CancelEndsTheRunAndLeavesTheRestToDrain)
{
    std::atomic<int32_t> cancel{0};
    PoolRun run;
    run.max_depth = 30;  // far more than could ever run
    run.sleep_ms = 1;
    qv_pool *pool = qv_pool_create(2, 2, worker, nullptr, &run, &cancel);
    ASSERT_NE(pool, nullptr);
    qv_pool_put(pool, &make_item(0)->head);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel.store(1);
    });
    qv_pool_run(pool);
    stopper.join();
    int left = 0;
    while (qv_pool_item *it = qv_pool_drain(pool)) {
        free(it);
        left++;
    }
    EXPECT_GT(left, 0);
    EXPECT_GT(run.taken.load(), 0);
    qv_pool_destroy(pool);
}

// Items that wait 20 ms each without using a processor, as listings wait on
// a slow share: the pool lets more than its two first workers take them.
TEST(Pool, WorkersThatWaitLetMoreWork)
{
    PoolRun run;
    run.fan = 4;
    run.max_depth = 3;  // 85 items
    run.sleep_ms = 20;
    qv_pool *pool = qv_pool_create(2, 16, worker, nullptr, &run, nullptr);
    ASSERT_NE(pool, nullptr);
    qv_pool_put(pool, &make_item(0)->head);
    int32_t ran = qv_pool_run(pool);
    EXPECT_EQ(run.taken.load(), 85);
    EXPECT_GT(ran, 2);
    EXPECT_GT(run.most_running.load(), 2);
    EXPECT_GT(pool->peak_allowed, 2);
    qv_pool_destroy(pool);
}

// The pool tells waiting workers from busy ones by their processor time:
// were it read as nothing, busy workers would look like waiting ones and
// the pool would grow to its ceiling.
TEST(Pool, ProcessorTimeOfAWorkerIsRead)
{
    static std::atomic<bool> stop;
    stop.store(false);
    qv_thread t;
    ASSERT_EQ(qv_thread_create(&t, [](void *) {
        while (!stop.load()) {
        }
        return 0;
    }, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint64_t used = qv_thread_cpu_ns(&t);
    stop.store(true);
    qv_thread_join(&t, nullptr);
    // It spun 200 ms; on Windows the time advances in ticks of about 16 ms.
    EXPECT_GT(used, 16u * 1000u * 1000u);
    EXPECT_LT(used, 2000u * 1000u * 1000u);
}

namespace {

// The pool lets fewer workers work (here: one) while a worker beyond them
// still holds an item and shares a part of it. The wake that sharing sends
// may reach a worker now parked; it must reach worker 0 in the end, or the
// shared part is never taken and the run never ends.
void parks_while_sharing(qv_pool *pool, int32_t index, void *ctx)
{
    auto *run = static_cast<PoolRun *>(ctx);
    if (index == 0)  // the last to wait, so the first wake goes to another
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    qv_pool_item *got = qv_pool_take(pool, index, false);
    while (got) {
        auto *it = reinterpret_cast<Item *>(got);
        if (it->depth == 0 && index != 7) {
            qv_pool_put(pool, got);  // for worker 7
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            run->taken++;
            if (it->depth == 0) {
                qv_mutex_lock(&pool->mutex);
                pool->base = pool->allowed = 1;  // and no room to grow again
                qv_mutex_unlock(&pool->mutex);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the others wait
                qv_pool_put(pool, &make_item(1)->head);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            free(it);
        }
        got = qv_pool_take(pool, index, true);
    }
}

}  // namespace

TEST(Pool, SharedWorkIsTakenAfterWorkersPark)
{
    auto no_room = [](void *) { return 0; };
    std::atomic<bool> ended{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !ended.load(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!ended.load()) {
            fprintf(stderr, "the run did not end: the shared item was never taken\n");
            abort();
        }
    });
    for (int round = 0; round < 20; round++) {
        PoolRun run;
        qv_pool *pool = qv_pool_create(8, 8, parks_while_sharing, no_room, &run, nullptr);
        ASSERT_NE(pool, nullptr);
        qv_pool_put(pool, &make_item(0)->head);
        qv_pool_run(pool);
        EXPECT_EQ(run.taken.load(), 2) << round;
        qv_pool_destroy(pool);
    }
    ended.store(true);
    watchdog.join();
}
