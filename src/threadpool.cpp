// Worker pool: a FIFO task queue served by a fixed set of threads.
#include "threadpool.h"

#include <cstdlib>
#include <new>

static int worker_func(void *arg)
{
    auto *pool = static_cast<qv_threadpool *>(arg);
    for (;;) {
        qv_mutex_lock(&pool->mutex);
        // The queue is tested before the flag: shutting down drains the queue.
        while (!pool->queue_head) {
            if (pool->shutdown) {
                qv_mutex_unlock(&pool->mutex);
                return 0;
            }
            qv_cond_wait(&pool->work_cond, &pool->mutex);
        }
        qv_task *task = pool->queue_head;
        pool->queue_head = task->next;
        if (!pool->queue_head)
            pool->queue_tail = nullptr;
        pool->pending--;
        pool->active.fetch_add(1);
        qv_mutex_unlock(&pool->mutex);

        task->fn(task->arg);
        free(task);

        qv_mutex_lock(&pool->mutex);
        pool->active.fetch_sub(1);
        if (pool->pending == 0 && pool->active.load() == 0)
            qv_cond_signal(&pool->done_cond);
        qv_mutex_unlock(&pool->mutex);
    }
}

static void release_pool(qv_threadpool *pool)
{
    qv_cond_destroy(&pool->done_cond);
    qv_cond_destroy(&pool->work_cond);
    qv_mutex_destroy(&pool->mutex);
    free(pool->threads);
    pool->~qv_threadpool();
    free(pool);
}

qv_threadpool *qv_threadpool_create(int32_t n)
{
    void *mem = calloc(1, sizeof(qv_threadpool));
    if (!mem)
        return nullptr;
    auto *pool = new (mem) qv_threadpool{};
    int32_t want = n > 0 ? n : 1;
    pool->active.exchange(0);
    if (qv_mutex_init(&pool->mutex) != 0 || qv_cond_init(&pool->work_cond) != 0 ||
        qv_cond_init(&pool->done_cond) != 0) {
        release_pool(pool);
        return nullptr;
    }
    pool->threads = static_cast<qv_thread *>(calloc((size_t)want, sizeof(qv_thread)));
    if (!pool->threads) {
        release_pool(pool);
        return nullptr;
    }
    // Runs with the workers that did start; only a pool without any fails.
    int32_t started = 0;
    for (int32_t i = 0; i < want; i++) {
        if (qv_thread_create(&pool->threads[started], worker_func, pool) == 0)
            started++;
    }
    pool->thread_count = started;
    if (started == 0) {
        release_pool(pool);
        return nullptr;
    }
    return pool;
}

int qv_threadpool_submit(qv_threadpool *pool, qv_task_fn fn, void *arg)
{
    auto *task = static_cast<qv_task *>(malloc(sizeof(qv_task)));
    if (!task)
        return -1;
    task->fn = fn;
    task->arg = arg;
    task->next = nullptr;
    qv_mutex_lock(&pool->mutex);
    if (pool->queue_tail)
        pool->queue_tail->next = task;
    else
        pool->queue_head = task;
    pool->queue_tail = task;
    pool->pending++;
    qv_cond_signal(&pool->work_cond);
    qv_mutex_unlock(&pool->mutex);
    return 0;
}

void qv_threadpool_wait(qv_threadpool *pool)
{
    qv_mutex_lock(&pool->mutex);
    while (pool->pending > 0 || pool->active.load() > 0)
        qv_cond_wait(&pool->done_cond, &pool->mutex);
    qv_mutex_unlock(&pool->mutex);
}

void qv_threadpool_destroy(qv_threadpool *pool)
{
    if (!pool)
        return;
    qv_mutex_lock(&pool->mutex);
    pool->shutdown = 1;
    qv_cond_broadcast(&pool->work_cond);
    qv_mutex_unlock(&pool->mutex);
    for (int32_t i = 0; i < pool->thread_count; i++)
        qv_thread_join(&pool->threads[i], nullptr);
    qv_task *t = pool->queue_head;
    while (t) {
        qv_task *next = t->next;
        free(t);
        t = next;
    }
    release_pool(pool);
}
