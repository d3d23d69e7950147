// Storage that stops answering: the thread running the pool watches every
// worker's calls and gives up on one stuck past the stall timeout (or on
// every worker in a call once the scan is cancelled). What the stuck worker
// held is taken over, its seat is left behind until its call returns, and
// another thread takes its place.
#include <cstdlib>
#include <new>

#include "walk_internal.h"

#ifdef _WIN32
// After asking the system to cancel a stalled call, how long to wait for
// it to come back before giving up on its thread.
#define QV_STALL_CANCEL_GRACE_MS 1000
#endif

// A seat ends with its last holder. A seat given up on still holds the
// listing of its stuck call, which may return any time: it gives its
// descriptors back to the process, as the scan may be over and freed.
void release_seat(worker_seat *s)
{
    if (s->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    free_walker_buffers(&s->w);
    qv_dirlist_discard(s->w.list);
    free(s->own_chunk);
    free(s->w.filling);  // never handed out: nobody else holds it
    free_shared(static_cast<shared_dir *>(s->item));
    s->~worker_seat();
    free(s);
}

// Runs on a worker whose call returned after the walk gave up on it:
// everything it held is the walk's or freed; the thread ends.
static void seat_given_up(qv_call_watch *watch)
{
    release_seat(reinterpret_cast<worker_seat *>(watch));
    qv_thread_exit();
}

worker_seat *new_seat(int32_t index)
{
    // From the heap as every record of the library is: operator new would
    // bring in the exception runtime's thread-local storage on Windows.
    void *mem = calloc(1, sizeof(worker_seat));
    if (!mem)
        return nullptr;
    auto *s = new (mem) worker_seat();
    qv_call_watch_init(&s->watch, seat_given_up);
    s->refs.store(2, std::memory_order_relaxed);  // the thread and the walk's table
    s->index = index;
    s->w.seat = s;
    return s;
}

// A helper stuck looking at a file of another worker's listing: that file
// and the rest of its chunk are left out, and the directory is counted
// stalled (its other chunks are left out too: their looks would likely
// stall as well); the lister, which waits for the chunk, goes on.
static void settle_chunk(qv_walk_ctx *ctx, stat_chunk *c, bool cancelling)
{
    stat_tally *t = &c->owner->tally;
    for (uint32_t i = c->at; i < c->n; i++)
        c->entries[i]->file_count = FILE_GONE;
    c->gone += c->n - c->at;
    if (!t->stall_noted.exchange(1, std::memory_order_relaxed) && !cancelling)
        note_problem(ctx, t->dir, QV_PROBLEM_STALLED, 0);
    tally_chunk(c);
    drop_chunk(c);  // the hold of the worker given up on
}

// A directory whose lister was given up on while files of it may still
// wait for a look, pruned once the walk is over.
static void keep_unfinished(qv_walk_ctx *ctx, qv_entry *dir)
{
    qv_mutex_lock(&ctx->own.lock);
    ctx->own.unfinished.push(dir);
    qv_mutex_unlock(&ctx->own.lock);
}

// Once every worker has ended: the files of such directories that were
// never looked at, or found gone, are taken out (their sizes are unknown).
void prune_unfinished(qv_walk_ctx *ctx)
{
    for (qv_entry *dir : ctx->own.unfinished) {
        qv_entry **at = &dir->first_child;
        while (*at) {
            qv_entry *e = *at;
            if (!e->is_dir && e->file_count != 0)
                *at = e->next_sibling;
            else
                at = &e->next_sibling;
        }
    }
    ctx->own.unfinished.reset();
}

// The watch gave up on seat s, stuck in a call: what it held is taken
// over, the directory it was on is counted stalled, what it had stacked
// goes back to the pool, and another thread takes its place.
static void take_over(qv_walk_ctx *ctx, qv_pool *pool, worker_seat *s, bool cancelling)
{
    qv_pin_library();  // its thread may come back into this code at any time
    ctx->own.seats[s->index].store(nullptr, std::memory_order_relaxed);
    walker *w = &s->w;
    if (s->dir) {
        if (!cancelling && s->depth == 0 && s->opening)
            ctx->problems.root_error.store(QV_ERR_TIMEDOUT);
        else if (!cancelling && !s->tally.stall_noted.exchange(1, std::memory_order_relaxed))
            note_problem(ctx, s->dir, QV_PROBLEM_STALLED, 0);
        if (!s->opening)
            keep_unfinished(ctx, s->dir);
    } else if (s->chunk) {
        settle_chunk(ctx, s->chunk, cancelling);
    }
    if (!cancelling) {
        for (size_t i = w->bottom; i < w->items.size(); i++)
            share_item(w, w->items[i], false);  // its listing is the stuck thread's
    }
    w->bottom = 0;
    w->items.clear();
    // Its hold on the chunks of its listing: helpers still looking at them
    // keep its seat (and listing) until they are done.
    for (stat_chunk *c : w->handed)
        drop_chunk(c);
    w->handed.clear();
    merge_links(w);
    qv_pool_give_up(pool, s->index);
    release_seat(s);  // the walk's table
}

// The tick of the pool: gives up on workers inside a call that has not
// returned within the stall timeout, or on every worker inside a call once
// the scan is cancelled.
void watch_calls(qv_pool *pool, void *arg, bool cancelling)
{
    auto *ctx = static_cast<qv_walk_ctx *>(arg);
    uint32_t stall_ms = qv_stall_ms(ctx->opts);
    if (!cancelling && stall_ms == 0)
        return;
    uint64_t now = qv_time_ms();
    for (int32_t i = 0; i < ctx->own.nseats; i++) {
        auto *s = static_cast<worker_seat *>(ctx->own.seats[i].load(std::memory_order_acquire));
        if (!s)
            continue;
        uint64_t state = s->watch.state.load(std::memory_order_acquire);
        if (state != s->seen) {
            s->seen = state;
            s->since_ms = now;
            s->cancel_tried = 0;
        }
        if (!(state & QV_CALL_INSIDE))
            continue;
        uint64_t waited = now - s->since_ms;
        if (!cancelling && waited < stall_ms)
            continue;
#ifdef _WIN32
        // The system may cancel the call: the worker then goes on, and
        // counts its directory stalled. Given up on only if it does not.
        if (!s->cancel_tried) {
            s->cancel_tried = 1;
            s->watch.cancels.fetch_add(1, std::memory_order_relaxed);
            if (s->watch.state.load(std::memory_order_acquire) == state)  // still the same call
                qv_thread_cancel_io(qv_pool_thread(pool, i));
            if (!cancelling)
                continue;
        } else if (!cancelling && waited < stall_ms + QV_STALL_CANCEL_GRACE_MS) {
            continue;
        }
#endif
        if (!qv_call_give_up(&s->watch, state))
            continue;
        if (!cancelling && ++ctx->own.given_up > QV_STALL_LIMIT)
            ctx->own.gave_up.store(1, std::memory_order_relaxed);
        take_over(ctx, pool, s, cancelling);
    }
}
