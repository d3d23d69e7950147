// Recording what the walk could not take in: each directory left without
// all of its children counted by kind for polls from any thread, and kept
// in the walk's list for the documents.
#include "walk_internal.h"

void add_count(std::atomic<uint64_t> &counter, uint64_t n)
{
    if (n == 0)
        return;
    uint64_t old = counter.load(std::memory_order_relaxed);
    while (!counter.compare_exchange_weak(old, qv_sat_add(old, n), std::memory_order_relaxed)) {
    }
}

// Keeps a directory that stays in the tree without all of its children in
// the list of problems, and counts it.
void note_problem(qv_walk_ctx *ctx, qv_entry *dir, int32_t kind, int32_t err)
{
    switch (kind) {
    case QV_PROBLEM_LOOP:
        add_count(ctx->problems.loop_dirs, 1);
        break;
    case QV_PROBLEM_PSEUDO_FS:
        add_count(ctx->problems.pseudo_fs_dirs, 1);
        break;
    case QV_PROBLEM_STALLED:
        add_count(ctx->problems.stalled_dirs, 1);
        break;
    case QV_PROBLEM_OTHER_FS:
    case QV_PROBLEM_CACHE:
        break;  // asked for, not a problem
    default:
        add_count(ctx->problems.unreadable_dirs, 1);
        break;
    }
    qv_mutex_lock(&ctx->own.lock);
    // Without memory the directory is still counted, only not listed.
    ctx->problems.list.push({dir, kind, err});
    qv_mutex_unlock(&ctx->own.lock);
}

// A subdirectory whose path would pass SCAN_PATH_MAX bytes.
void note_unwalkable(qv_walk_ctx *ctx, qv_entry *e)
{
    note_problem(ctx, e, QV_PROBLEM_UNREADABLE, QV_ERR_NAMETOOLONG);
}

qv_problem_list qv_walk_problem_list(const qv_walk_ctx *w)
{
    return {w->problems.list.items, w->problems.list.size()};
}
