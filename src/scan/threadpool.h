// Worker threads that share work on demand. Each worker keeps its own work
// and walks it alone; it hands items to the pool only while another worker
// waits for some, so sharing costs nothing on the path that does the work.
//
// The pool starts with one worker per core. While the workers that hold
// work spend most of their time waiting (on storage: a network share, a
// cold disk) rather than on a processor, it lets more work at once, up to
// its ceiling, so that more requests are in flight; once the processors are
// busy again, workers beyond the first ones park when their work is done.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

// Header of a work item; the owner embeds it first in its own record.
struct qv_pool_item {
    qv_pool_item *next;
};

struct qv_pool;
// Body of every worker: takes items with qv_pool_take until it gives null.
// index numbers the worker from 0.
typedef void (*qv_pool_worker)(qv_pool *pool, int32_t index, void *ctx);
// Whether resources allow more workers at once (non-zero: yes).
typedef int (*qv_pool_room)(void *ctx);
// Called by the thread running the pool at every look (about every 5 ms),
// and again and again while a cancelled run waits for its workers to
// return (cancelling set): the owner's chance to give up on workers stuck
// in calls (qv_pool_give_up).
typedef void (*qv_pool_tick)(qv_pool *pool, void *ctx, bool cancelling);

struct qv_pool {
    qv_mutex mutex;
    qv_cond work_cond;  // workers allowed to take items, waiting for one
    // Workers beyond those allowed, waiting for leave to work. Apart from
    // work_cond so that the one wake an item sends never lands on a worker
    // that may not take it.
    qv_cond park_cond;
    qv_cond done_cond;  // the thread running the pool
    qv_pool_item *head;
    qv_pool_item *tail;
    std::atomic<int32_t> queued;   // items in the queue; changed under mutex
    std::atomic<int32_t> waiting;  // workers waiting for an item; changed under mutex
    int32_t busy;                  // workers holding an item; under mutex
    int32_t allowed;               // workers with leave to take items; under mutex
    int32_t started;               // threads started
    int32_t base;
    int32_t max;
    uint8_t done;                  // under mutex
    qv_thread *threads;            // max, those started
    uint8_t *left;                 // per thread: given up on, detached (not joined)
    int32_t running;               // threads started and not yet returned, less those given up on; under mutex
    uint64_t *cpu_seen;            // per thread: CPU time at the last look
    qv_pool_worker fn;
    qv_pool_room room;  // null: no limit but max
    qv_pool_tick tick;  // null: none; set before qv_pool_run
    void *ctx;
    std::atomic<int32_t> *cancel;
    int32_t peak_allowed;  // most workers allowed at once, for reports
    int32_t busy_looks;    // looks in a row that found the processors busy
};

// A pool of base workers that may grow to max (base <= max; with max 1 the
// one worker runs on the thread that calls qv_pool_run), and only while
// room (if given) says so; while it does not, extra workers park. cancel,
// when it turns non-zero, ends the run early. Null when memory is short.
qv_pool *qv_pool_create(int32_t base, int32_t max, qv_pool_worker fn, qv_pool_room room, void *ctx,
                        std::atomic<int32_t> *cancel);
// Queues an item for any worker to take.
void qv_pool_put(qv_pool *pool, qv_pool_item *item);
// How many workers wait for items beyond those already queued; read
// without a lock, so only a hint for when to share.
inline int32_t qv_pool_hungry(const qv_pool *pool)
{
    return pool->waiting.load(std::memory_order_relaxed) - pool->queued.load(std::memory_order_relaxed);
}
// The next item for worker index, waiting while other workers still hold
// work; null once no worker holds work and none is queued (or the run was
// cancelled). finished says the worker is done with the item it last took.
// Items left in the queue by a cancel are handed out no more: the caller
// of qv_pool_run frees them (qv_pool_drain).
qv_pool_item *qv_pool_take(qv_pool *pool, int32_t index, bool finished);
// Starts the workers and returns once the work is done (or cancelled) and
// every worker has returned. Returns the number of workers that ran.
int32_t qv_pool_run(qv_pool *pool);
// From the tick only: the worker index is stuck in a call and its owner
// has taken over what it held. The pool stops counting it (its item is
// done with), leaves its thread to end by itself, and starts another in its
// place unless the run is ending.
void qv_pool_give_up(qv_pool *pool, int32_t index);
// The thread of worker index, for the tick (e.g. to cancel its call).
inline qv_thread *qv_pool_thread(qv_pool *pool, int32_t index)
{
    return &pool->threads[index];
}
// Takes out what a cancelled run left queued; null when nothing is left.
qv_pool_item *qv_pool_drain(qv_pool *pool);
void qv_pool_destroy(qv_pool *pool);
