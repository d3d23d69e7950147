// The files of a large directory listed without a look at them, in chunks
// that waiting workers take from the pool while the lister goes on; the
// lister takes back what nobody took and waits for the rest before its
// directory's counts are final.
#include <cerrno>
#include <cstdlib>
#include <new>

#include "walk_internal.h"

void drop_chunk(stat_chunk *c)
{
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        release_seat(c->owner);
        free(c);
    }
}

// Adds what a chunk's looks found to its lister's tally; the chunk is done.
void tally_chunk(stat_chunk *c)
{
    stat_tally *t = &c->owner->tally;
    if (c->bytes) {
        uint64_t old = t->bytes.load(std::memory_order_relaxed);
        while (!t->bytes.compare_exchange_weak(old, qv_sat_add(old, c->bytes), std::memory_order_relaxed)) {
        }
    }
    t->skipped.fetch_add(c->skipped, std::memory_order_relaxed);
    t->gone.fetch_add(c->gone, std::memory_order_relaxed);
    t->pending.fetch_sub(1, std::memory_order_release);
}

// Looks at the files of a chunk from its place on: sizes, links; marks
// those gone.
static void look_at_chunk(walker *w, stat_chunk *c)
{
    qv_walk_ctx *ctx = w->ctx;
    w->seat->chunk = c;
    stat_tally &t = c->owner->tally;
    for (; c->at < c->n; c->at++) {
        qv_entry *e = c->entries[c->at];
        qv_dir_child got{};
        // Once a look in this directory has stalled, the others would
        // likely stall too, each for the whole timeout: they are left out.
        bool skip = cancelled(ctx);
        if (!skip && (t.stall_noted.load(std::memory_order_relaxed) || ctx->own.gave_up.load(std::memory_order_relaxed))) {
            skip = true;
            if (!t.stall_noted.exchange(1, std::memory_order_relaxed))
                note_problem(ctx, t.dir, QV_PROBLEM_STALLED, 0);
        }
        int rc = skip ? ECANCELED : qv_dirlist_stat(c->owner->w.list, qv_tree_get_name(e), &got, &w->seat->watch);
        if (rc != 0) {
            // Gone since the listing: nothing is lost. Anything else is.
            if (rc != ENOENT && rc != ECANCELED)
                c->skipped++;
            e->file_count = FILE_GONE;
            c->gone++;
            continue;
        }
        e->size = got.size;
        e->other_size = got.other_size;
        e->file_count = 0;
        keep_meta(w, e, got.meta);
        c->bytes = qv_sat_add(c->bytes, got.size);
        if (got.linked && ctx->opts->asked.hard_links_once)
            keep_link(w, e, got.link_id);
    }
    w->seat->chunk = nullptr;
    tally_chunk(c);
}

// Hands the filled chunk to a waiting worker, or looks at it here when
// nobody waits (or it cannot be kept for later).
static void flush_chunk(walker *w, stat_tally *t)
{
    stat_chunk *c = w->filling;
    w->filling = nullptr;
    if (!c)
        return;
    t->pending.fetch_add(1, std::memory_order_relaxed);
    // Handed out, it keeps the lister's listing (its seat) until dropped.
    if (qv_pool_hungry(w->ctx->own.pool) > 0) {
        if (w->handed.push(c)) {
            w->ctx->progress.stats_handed.fetch_add(c->n, std::memory_order_relaxed);
            w->seat->refs.fetch_add(1, std::memory_order_relaxed);
            qv_pool_put(w->ctx->own.pool, &c->head.item);
            return;
        }
    }
    c->taken.store(1, std::memory_order_relaxed);
    w->seat->own_chunk = c;
    look_at_chunk(w, c);
    w->seat->own_chunk = nullptr;
    free(c);
}

// Keeps a file listed without a look for a chunk; looks at it now when no
// chunk can be had.
// A chunk of files of the directory w lists, none yet, or null.
// Held by the pool and by the lister once handed out.
static stat_chunk *new_chunk(walker *w)
{
    auto *c = static_cast<stat_chunk *>(malloc(sizeof(stat_chunk)));
    if (c) {
        new (&c->taken) std::atomic<int>(0);
        new (&c->refs) std::atomic<int>(2);
        c->head.kind = WORK_STATS;
        c->owner = w->seat;
        c->n = c->at = c->gone = 0;
        c->bytes = c->skipped = 0;
    }
    return c;
}

void defer_stat(walker *w, qv_entry *e)
{
    stat_tally *t = &w->seat->tally;
    if (!w->filling)
        w->filling = new_chunk(w);
    if (!w->filling) {
        stat_chunk one;
        one.owner = w->seat;
        one.n = 1;
        one.at = one.gone = 0;
        one.bytes = one.skipped = 0;
        one.entries[0] = e;
        t->pending.fetch_add(1, std::memory_order_relaxed);
        look_at_chunk(w, &one);
        return;
    }
    w->filling->entries[w->filling->n++] = e;
    if (w->filling->n == STAT_CHUNK)
        flush_chunk(w, t);
}

// Once the listing is over: looks at what is left, takes back the chunks no
// worker took yet, waits for those being looked at, then takes the files
// found gone out of dir.
void finish_stats(walker *w, qv_entry *dir, stat_tally *t, listed_counts *n)
{
    flush_chunk(w, t);
    for (stat_chunk *c : w->handed) {
        int expected = 0;
        if (c->taken.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
            look_at_chunk(w, c);
    }
    while (t->pending.load(std::memory_order_acquire) != 0)
        qv_sleep_us(200);
    for (stat_chunk *c : w->handed)
        drop_chunk(c);
    w->handed.clear();
    n->bytes = qv_sat_add(n->bytes, t->bytes.load(std::memory_order_relaxed));
    n->skipped += t->skipped.load(std::memory_order_relaxed);
    uint32_t gone = t->gone.load(std::memory_order_relaxed);
    if (gone == 0)
        return;
    n->files -= gone;
    qv_entry **at = &dir->first_child;
    while (*at) {
        qv_entry *e = *at;
        if (!e->is_dir && e->file_count == FILE_GONE)
            *at = e->next_sibling;
        else
            at = &e->next_sibling;
    }
}

// A chunk taken from the pool: looked at unless its lister took it back.
void take_chunk(walker *w, stat_chunk *c)
{
    int expected = 0;
    if (c->taken.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
        look_at_chunk(w, c);
    drop_chunk(c);
}
