// Fixed set of worker threads serving a first-in, first-out task queue.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

typedef void (*qv_task_fn)(void *arg);

struct qv_task {
    qv_task_fn fn;
    void *arg;
    qv_task *next;
};

struct qv_threadpool {
    qv_thread *threads;
    int32_t thread_count;  // workers actually started, at least 1
    qv_task *queue_head;
    qv_task *queue_tail;
    int32_t pending;       // queued, not yet taken; under mutex
    qv_mutex mutex;
    qv_cond work_cond;
    qv_cond done_cond;
    std::atomic<int32_t> active;  // taken and still running; changed under mutex
    uint8_t shutdown;
};

// Starts n workers (1 when n <= 0). Runs with those that did start; null when
// none starts or memory is short.
qv_threadpool *qv_threadpool_create(int32_t n);
// Appends a task; returns 0, or -1 when nothing was queued (no memory).
int qv_threadpool_submit(qv_threadpool *pool, qv_task_fn fn, void *arg);
// Blocks until no task is queued or running.
void qv_threadpool_wait(qv_threadpool *pool);
// Runs what is still queued, joins the workers, releases the pool. Null is fine.
void qv_threadpool_destroy(qv_threadpool *pool);
