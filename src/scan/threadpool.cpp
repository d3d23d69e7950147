// Worker threads sharing items on demand, and the watch that lets more of
// them work while those at work wait on storage.
#include "threadpool.h"

#include <cstdlib>
#include <new>

// How often the running thread looks at the workers' processor time.
#ifdef _WIN32
#define WATCH_MS 32  // thread times advance in clock ticks of about 16 ms
#else
#define WATCH_MS 5
#endif
// The workers holding work used less than this share of the processors
// they could have used: they mostly wait, so more may work at once (twice
// as many; four times as many below the second share, which a cold disk or
// a network share gives from the first look).
#define WAITING_SHARE 0.5
#define IDLE_SHARE 0.25
// They used more than this, look after look for BUSY_LOOKS looks: the
// processors are busy, a quarter of the extra workers park. (A disk that
// answers quickly keeps the processors busy only while many requests are
// in flight: parking at the first busy look would starve it again.)
#define BUSY_SHARE 0.95
#define BUSY_LOOKS 8

struct worker_start {
    qv_pool *pool;
    int32_t index;
};

static int worker_main(void *arg)
{
    auto *start = static_cast<worker_start *>(arg);
    qv_pool *pool = start->pool;
    int32_t index = start->index;
    free(start);
    pool->fn(pool, index, pool->ctx);
    qv_mutex_lock(&pool->mutex);
    pool->running--;
    qv_cond_signal(&pool->done_cond);
    qv_mutex_unlock(&pool->mutex);
    return 0;
}

static bool cancelled(const qv_pool *pool)
{
    return pool->cancel && pool->cancel->load(std::memory_order_relaxed) != 0;
}

qv_pool *qv_pool_create(int32_t base, int32_t max, qv_pool_worker fn, qv_pool_room room, void *ctx,
                        std::atomic<int32_t> *cancel)
{
    if (max < 1)
        max = 1;
    if (base < 1)
        base = 1;
    if (base > max)
        base = max;
    auto *pool = static_cast<qv_pool *>(calloc(1, sizeof(qv_pool)));
    if (!pool)
        return nullptr;
    new (pool) qv_pool{};
    pool->threads = static_cast<qv_thread *>(calloc((size_t)max, sizeof(qv_thread)));
    pool->cpu_seen = static_cast<uint64_t *>(calloc((size_t)max, sizeof(uint64_t)));
    pool->left = static_cast<uint8_t *>(calloc((size_t)max, 1));
    bool ok = pool->threads && pool->cpu_seen && pool->left;
    if (ok && qv_mutex_init(&pool->mutex) != 0)
        ok = false;
    if (ok && qv_cond_init(&pool->work_cond) != 0)
        ok = false;
    if (ok && qv_cond_init(&pool->park_cond) != 0)
        ok = false;
    if (ok && qv_cond_init(&pool->done_cond) != 0)
        ok = false;
    if (!ok) {
        qv_pool_destroy(pool);
        return nullptr;
    }
    pool->base = base;
    pool->max = max;
    pool->allowed = base;
    pool->peak_allowed = base;
    pool->fn = fn;
    pool->room = room;
    pool->ctx = ctx;
    pool->cancel = cancel;
    return pool;
}

void qv_pool_put(qv_pool *pool, qv_pool_item *item)
{
    item->next = nullptr;
    qv_mutex_lock(&pool->mutex);
    if (pool->tail)
        pool->tail->next = item;
    else
        pool->head = item;
    pool->tail = item;
    pool->queued.store(pool->queued.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    qv_cond_signal(&pool->work_cond);
    qv_mutex_unlock(&pool->mutex);
}

// Ends the run: wakes every waiting worker and the running thread.
static void finish(qv_pool *pool)
{
    pool->done = 1;
    qv_cond_broadcast(&pool->work_cond);
    qv_cond_broadcast(&pool->park_cond);
    qv_cond_signal(&pool->done_cond);
}

qv_pool_item *qv_pool_take(qv_pool *pool, int32_t index, bool finished)
{
    qv_mutex_lock(&pool->mutex);
    if (finished)
        pool->busy--;
    qv_pool_item *item = nullptr;
    for (;;) {
        if (pool->done)
            break;
        if (cancelled(pool)) {
            finish(pool);
            break;
        }
        if (index < pool->allowed && pool->head) {
            item = pool->head;
            pool->head = item->next;
            if (!pool->head)
                pool->tail = nullptr;
            pool->queued.store(pool->queued.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
            pool->busy++;
            break;
        }
        if (pool->busy == 0 && !pool->head) {
            finish(pool);
            break;
        }
        if (index < pool->allowed) {
            pool->waiting.store(pool->waiting.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            qv_cond_wait(&pool->work_cond, &pool->mutex);
            pool->waiting.store(pool->waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else {
            // Parked, and not counted as waiting: nobody should share work
            // with it. It may have been woken on work_cond by an item while
            // it was still allowed: that wake goes on to a worker that is.
            if (pool->head)
                qv_cond_signal(&pool->work_cond);
            qv_cond_wait(&pool->park_cond, &pool->mutex);
        }
    }
    qv_mutex_unlock(&pool->mutex);
    return item;
}

// Starts the thread of worker index; false when it cannot be had.
static bool start_worker(qv_pool *pool, int32_t index)
{
    auto *start = static_cast<worker_start *>(malloc(sizeof(worker_start)));
    if (!start)
        return false;
    start->pool = pool;
    start->index = index;
    qv_mutex_lock(&pool->mutex);
    pool->running++;
    qv_mutex_unlock(&pool->mutex);
    if (qv_thread_create(&pool->threads[index], worker_main, start) != 0) {
        free(start);
        qv_mutex_lock(&pool->mutex);
        pool->running--;
        qv_mutex_unlock(&pool->mutex);
        return false;
    }
    pool->cpu_seen[index] = 0;
    pool->left[index] = 0;
    return true;
}

static void start_workers(qv_pool *pool, int32_t upto)
{
    while (pool->started < upto && start_worker(pool, pool->started))
        pool->started++;
}

void qv_pool_give_up(qv_pool *pool, int32_t index)
{
    qv_thread_detach(&pool->threads[index]);
    pool->left[index] = 1;
    qv_mutex_lock(&pool->mutex);
    pool->busy--;
    pool->running--;
    bool ending = pool->done || cancelled(pool);
    if (!ending && pool->busy == 0 && !pool->head) {
        finish(pool);  // it held the last of the work
        ending = true;
    }
    qv_mutex_unlock(&pool->mutex);
    // Without a thread in its place the run goes on with one fewer.
    if (!ending)
        start_worker(pool, index);
}

// Looks at the processor time the workers used since the last look and
// lets more of them work, or fewer, by the rule in the header.
static void watch(qv_pool *pool, uint64_t elapsed_ns, int32_t cores)
{
    uint64_t used = 0;
    for (int32_t i = 0; i < pool->started; i++) {
        if (pool->left[i])
            continue;  // its thread may be gone: its handle names nothing
        uint64_t now = qv_thread_cpu_ns(&pool->threads[i]);
        if (now > pool->cpu_seen[i])
            used += now - pool->cpu_seen[i];
        pool->cpu_seen[i] = now;
    }
    bool room = !pool->room || pool->room(pool->ctx);
    qv_mutex_lock(&pool->mutex);
    int32_t busy = pool->busy;
    int32_t could = busy < cores ? busy : cores;
    if (!room) {
        pool->allowed = pool->base;
    } else if (busy > 0 && elapsed_ns > 0 && !pool->done) {
        double share = (double)used / ((double)elapsed_ns * could);
        if (share < WAITING_SHARE && pool->allowed < pool->max) {
            int32_t grown = pool->allowed * (share < IDLE_SHARE ? 4 : 2);
            pool->allowed = grown < pool->max ? grown : pool->max;
            if (pool->allowed > pool->peak_allowed)
                pool->peak_allowed = pool->allowed;
            qv_cond_broadcast(&pool->park_cond);
            pool->busy_looks = 0;
        } else if (share > BUSY_SHARE && pool->allowed > pool->base) {
            if (++pool->busy_looks >= BUSY_LOOKS) {
                int32_t fewer = pool->allowed - pool->allowed / 4;
                pool->allowed = fewer > pool->base ? fewer : pool->base;
                pool->busy_looks = 0;
            }
        } else {
            pool->busy_looks = 0;
        }
    }
    int32_t want = pool->allowed;
    qv_mutex_unlock(&pool->mutex);
    if (want > pool->started)
        start_workers(pool, want);
}

int32_t qv_pool_run(qv_pool *pool)
{
    if (pool->max == 1) {
        pool->fn(pool, 0, pool->ctx);
        return 1;
    }
    start_workers(pool, pool->base);
    if (pool->started == 0) {
        // No thread could be started: the work is still done, here.
        pool->fn(pool, 0, pool->ctx);
        return 1;
    }
    int32_t cores = qv_cpu_count();
    if (cores < 1)
        cores = 1;
    uint64_t last = qv_time_ms();
    qv_mutex_lock(&pool->mutex);
    while (!pool->done) {
        qv_cond_wait_ms(&pool->done_cond, &pool->mutex, WATCH_MS);
        if (pool->done)
            break;
        if (cancelled(pool)) {
            finish(pool);
            break;
        }
        uint64_t now = qv_time_ms();
        if (now - last < WATCH_MS)
            continue;
        qv_mutex_unlock(&pool->mutex);
        watch(pool, (now - last) * 1000000u, cores);
        if (pool->tick)
            pool->tick(pool, pool->ctx, false);
        last = now;
        qv_mutex_lock(&pool->mutex);
    }
    // Every worker returns at once now, but one inside a call that storage
    // does not answer: once cancelled, the tick gives up on those.
    while (pool->running > 0) {
        bool cancelling = cancelled(pool);
        qv_mutex_unlock(&pool->mutex);
        if (cancelling && pool->tick)
            pool->tick(pool, pool->ctx, true);
        qv_mutex_lock(&pool->mutex);
        if (pool->running > 0)
            qv_cond_wait_ms(&pool->done_cond, &pool->mutex, cancelling ? 2 : WATCH_MS);
    }
    qv_mutex_unlock(&pool->mutex);
    for (int32_t i = 0; i < pool->started; i++)
        if (!pool->left[i])
            qv_thread_join(&pool->threads[i], nullptr);
    return pool->started;
}

qv_pool_item *qv_pool_drain(qv_pool *pool)
{
    qv_pool_item *item = pool->head;
    if (item) {
        pool->head = item->next;
        if (!pool->head)
            pool->tail = nullptr;
        pool->queued.store(pool->queued.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    return item;
}

void qv_pool_destroy(qv_pool *pool)
{
    if (!pool)
        return;
    qv_cond_destroy(&pool->done_cond);
    qv_cond_destroy(&pool->park_cond);
    qv_cond_destroy(&pool->work_cond);
    qv_mutex_destroy(&pool->mutex);
    free(pool->threads);
    free(pool->cpu_seen);
    free(pool->left);
    pool->~qv_pool();
    free(pool);
}
