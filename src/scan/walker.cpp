// The walk shared by every platform: entry tests, recording, the stack of
// subdirectories still to walk and the sharing of it with idle workers.
// Only the listing of one directory (dirlist_*.cpp) differs per platform.
//
// Each worker walks depth first from a stack of its own, without a lock:
// every directory is listed by exactly one worker, which records its
// children into an arena of its own. When another worker waits for work, a
// busy one hands it the oldest directories of its stack (the shallowest,
// most likely the largest), with their paths and ancestors; that check is
// one relaxed load per directory.
//
// Nothing recurses: a tree thousands of levels deep needs no deep thread
// stack. One path buffer serves a worker's whole walk, since the parent of
// every stacked directory lies on the path being walked; paths are relative
// to the scan's root, which the listing opened once.
//
// A directory is entered only when it is not the same directory as one of
// its ancestors and does not lie on a pseudo file system; the identities of
// the directories on the path being walked sit in an array indexed by depth,
// kept valid by the same depth-first order that keeps the path buffer valid.
//
// What the walk could not take in (problems.cpp), hard links counted once
// (hardlinks.cpp), the files of large directories looked at by other
// workers (statchunks.cpp) and the watch on calls storage does not answer
// (stallwatch.cpp) sit in files of their own, sharing walk_internal.h.
#include "walker.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "fdbudget.h"
#include "match.h"
#include "pseudofs.h"
#include "vec.h"
#include "walk_internal.h"

// Children listed between two looks for idle workers while a large
// directory is listed.
#define SHARE_EVERY 64

bool cancelled(const qv_walk_ctx *ctx)
{
    return ctx->cancel && ctx->cancel->load(std::memory_order_relaxed) != 0;
}

// Room in the chain for the directories down to depth n - 1.
static bool ensure_chain(walker *w, size_t n)
{
    return n <= w->chain.size() || w->chain.resize(n);
}

static bool push_item(walker *w, qv_entry *e, int32_t depth, uint64_t listed_ino)
{
    qv_vec<walk_item> &items = w->items;
    // Items shared away from the bottom leave room to reclaim first.
    if (items.len == items.cap && w->bottom > 0) {
        memmove(items.items, items.items + w->bottom, (items.len - w->bottom) * sizeof(walk_item));
        items.len -= w->bottom;
        w->bottom = 0;
    }
    return items.push({e, listed_ino, w->path_len, depth});
}

// The joined length of the path of e below the base_len bytes of the path
// buffer; false when it would pass the limit.
static bool child_path_len(size_t base_len, const qv_entry *e, size_t *len)
{
    *len = base_len + (base_len > 0 ? 1 : 0) + e->name_len;
    return e->name_len > 0 && *len <= SCAN_PATH_MAX - 1;
}

// Writes the separator (below the root) and e's name after the base at dst.
static void put_child(char *dst, size_t base_len, const qv_entry *e)
{
    char *p = dst + base_len;
    if (base_len > 0)
        *p++ = QV_PATH_SEP;
    memcpy(p, qv_tree_get_name(e), e->name_len);
    p[e->name_len] = '\0';
}

// Hands the stacked item it to the pool, with the path and ancestors it
// needs: its parent's path is a prefix of the path buffer.
void share_item(walker *w, const walk_item &it, bool lend)
{
    size_t len;
    if (!child_path_len(it.parent_len, it.entry, &len)) {
        note_unwalkable(w->ctx, it.entry);
        return;
    }
    size_t chain_bytes = (size_t)it.depth * sizeof(qv_dir_info);
    size_t head = (sizeof(shared_dir) + len + alignof(qv_dir_info) - 1) / alignof(qv_dir_info) * alignof(qv_dir_info);
    auto *sd = static_cast<shared_dir *>(malloc(head + chain_bytes));
    if (!sd) {
        note_problem(w->ctx, it.entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        return;
    }
    sd->head.kind = WORK_DIR;
    sd->entry = it.entry;
    sd->listed_ino = it.listed_ino;
    sd->parent = lend ? qv_dirlist_lend(w->list, w->path, it.parent_len) : 0;
    sd->depth = it.depth;
    sd->path_len = (uint32_t)len;
    sd->chain = reinterpret_cast<qv_dir_info *>(reinterpret_cast<char *>(sd) + head);
    memcpy(sd->chain, w->chain.items, chain_bytes);
    memcpy(sd->path, w->path, it.parent_len);
    put_child(sd->path, it.parent_len, it.entry);
    qv_pool_put(w->ctx->own.pool, &sd->head.item);
}

void free_shared(shared_dir *sd)
{
    if (sd)
        qv_dir_loan_return(sd->parent);
    free(sd);
}

// Gives the oldest stacked directories to workers that wait for work,
// keeping at least one for this worker.
static void share_if_wanted(walker *w)
{
    qv_pool *pool = w->ctx->own.pool;
    if (!pool)
        return;
    int32_t hungry = qv_pool_hungry(pool);
    while (hungry-- > 0 && w->items.size() - w->bottom >= 2)
        share_item(w, w->items[w->bottom++], true);
    if (w->bottom == w->items.size()) {
        w->bottom = 0;
        w->items.clear();
    }
}

// Whether an exclude pattern matches the path text m (with '/' as its
// separator) or any part of it after a '/', as du --exclude matches.
static bool matches_exclude(const qv_walk_ctx *ctx, const char *m)
{
    for (int32_t i = 0; i < ctx->opts->asked.exclude_count; i++) {
        const char *pattern = ctx->opts->asked.excludes[i];
        if (qv_pattern_match(pattern, m))
            return true;
        // A leading '*' (which matches '/' too) that matches no whole path
        // matches no part of it either: the parts are not tried, which on a
        // root text of many thousand separators would cost each child a
        // match per separator.
        if (pattern[0] == '*')
            continue;
        for (const char *p = m; *p; p++)
            if (*p == '/' && p[1] != '/' && p[1] != '\0' && qv_pattern_match(pattern, p + 1))
                return true;
    }
    return false;
}

// Whether a child of the directory in the path buffer is to be left out: a
// pattern matches its path as the host would spell it (the root as given,
// then the names, joined by '/').
static bool excluded(walker *w, const char *name, size_t name_len)
{
    const qv_walk_ctx *ctx = w->ctx;
    size_t root_len = w->host_root_len;
    if (root_len + 1 + w->path_len + 1 + name_len + 1 > w->match_cap)
        return false;
    char *m = w->match, *at = m;
    memcpy(at, ctx->opts->path, root_len);
    at += root_len;
    if (root_len == 0 || (at[-1] != '/' && at[-1] != QV_PATH_SEP))
        *at++ = '/';
    memcpy(at, w->path, w->path_len);
    at += w->path_len;
    if (w->path_len > 0)
        *at++ = '/';
    memcpy(at, name, name_len);
    at[name_len] = '\0';
    if (QV_PATH_SEP != '/') {
        for (char *p = m; *p; p++)
            if (*p == QV_PATH_SEP)
                *p = '/';
    }
    return matches_exclude(ctx, m);
}

// The root too is left out (kept in the tree without children) when a
// pattern matches its own spelling, as du then counts nothing.
static bool root_excluded(const qv_walk_ctx *ctx)
{
    if (ctx->opts->asked.exclude_count == 0 || !ctx->opts->path)
        return false;
    size_t n = strlen(ctx->opts->path);
    char *m = static_cast<char *>(malloc(n + 1));
    if (!m)
        return false;
    memcpy(m, ctx->opts->path, n + 1);
    for (char *p = m; *p; p++)
        if (*p == QV_PATH_SEP)
            *p = '/';
    bool hit = matches_exclude(ctx, m);
    free(m);
    return hit;
}

static uint32_t owner_index(walker *w, uint32_t uid, uint32_t gid, uint32_t mode)
{
    qv_owner &last = w->last_owner;
    if (w->last_owner_index == 0 || last.uid != uid || last.gid != gid || last.mode != mode) {
        w->last_owner_index = qv_owner_intern(&w->ctx->result->owners, uid, gid, mode);
        last = {uid, gid, mode};
    }
    return w->last_owner_index;
}

void keep_meta(walker *w, qv_entry *e, const qv_entry_stat &s)
{
    if (!w->ctx->result->extended)
        return;
    qv_entry_meta *m = qv_tree_meta(e);
    if (s.has_time)
        m->mtime = qv_tree_clamp_time(s.mtime);
    if (s.has_owner)
        m->owner = owner_index(w, s.uid, s.gid, s.mode);
}

// Records one listed child under dir (at the head of its list, as every
// child is linked) and stacks it when it is a directory.
static void record_child(walker *w, qv_entry *dir, int32_t depth, const qv_dir_child &c, listed_counts *n)
{
    qv_walk_ctx *ctx = w->ctx;
    if (ctx->opts->asked.exclude_count > 0 && excluded(w, c.name, c.name_len))
        return;
    if (c.name_len > QV_NAME_MAX) {
        n->skipped++;  // longer than any name a file system gives
        return;
    }
    qv_entry *e = qv_tree_new_entry(w->arena, c.name, c.name_len, ctx->result->extended);
    if (!e) {
        n->skipped++;  // no memory: the child is left out, and counted
        return;
    }
    keep_meta(w, e, c.meta);
    e->is_dir = c.is_dir ? 1 : 0;
    e->size = c.is_dir ? 0 : c.size;
    e->other_size = c.is_dir ? 0 : c.other_size;
    e->depth = (uint8_t)(depth + 1);
    qv_tree_add_child(dir, e);
    if (e->is_dir) {
        n->dirs++;
        // A subdirectory that cannot be stacked stays recorded, unwalked.
        if (!push_item(w, e, depth + 1, c.dir_ino))
            note_problem(ctx, e, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
    } else {
        n->files++;
        if (c.stat_later) {
            e->file_count = FILE_UNLOOKED;
            defer_stat(w, e);
            return;
        }
        n->bytes = qv_sat_add(n->bytes, e->size);
        if (c.linked && ctx->opts->asked.hard_links_once)
            keep_link(w, e, c.link_id);
    }
}

static bool same_dir(const qv_dir_info &a, const qv_dir_info &b)
{
    return a.has_id && b.has_id && a.id.dev == b.id.dev && a.id.ino == b.id.ino;
}

// Opens the directory in the path buffer and decides whether it is to be
// entered; false (the directory keeps no children) when it is not.
// parent: the loan of its parent, if any, which the opening takes over.
static bool enter_directory(walker *w, qv_entry *dir, int32_t depth, uint64_t listed_ino, qv_dir_loan *parent)
{
    qv_walk_ctx *ctx = w->ctx;
    bool is_root = depth == 0;
    if (!is_root && qv_pseudo_rule_skips_path(&ctx->own.pseudo, w->path)) {
        note_problem(ctx, dir, QV_PROBLEM_PSEUDO_FS, 0);
        return false;
    }
    if (!ensure_chain(w, (size_t)depth + 1)) {
        note_problem(ctx, dir, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        return false;
    }
    qv_dir_info info{};
    w->seat->opening = 1;
    uint32_t cancels = w->seat->watch.cancels.load(std::memory_order_relaxed);
    // The open owns the loan from here on, even should it never return.
    qv_dir_where where{w->path, w->path_len, depth, w->chain.items, listed_ino, parent ? *parent : 0};
    if (parent)
        *parent = 0;
    int rc = qv_dirlist_open(w->list, &where, &info);
    w->seat->opening = 0;
    if (rc < 0)
        return false;  // cancelled
    if (rc > 0) {
        // Cancelled by the walk for having stalled (Windows cancels
        // synchronous I/O): stalled, not unreadable.
        bool stalled = w->seat->watch.cancels.load(std::memory_order_relaxed) != cancels;
        if (is_root)
            ctx->problems.root_error.store(stalled ? QV_ERR_TIMEDOUT : rc);
        else
            note_problem(ctx, dir, stalled ? QV_PROBLEM_STALLED : QV_PROBLEM_UNREADABLE, rc);
        return false;
    }
    keep_meta(w, dir, info.meta);
    if (qv_pseudo_rule_skips_opened(&ctx->own.pseudo, is_root, info.pseudo_fs != 0)) {
        qv_dirlist_close(w->list);
        note_problem(ctx, dir, QV_PROBLEM_PSEUDO_FS, 0);
        return false;
    }
    // A directory that repeats one of its ancestors would be walked again
    // and again: a link or a bind mount leading back up.
    for (int32_t d = 0; d < depth; d++) {
        if (same_dir(w->chain[d], info)) {
            qv_dirlist_close(w->list);
            note_problem(ctx, dir, QV_PROBLEM_LOOP, 0);
            return false;
        }
    }
    // Another file system, when the host asked to stay on the root's: du -x.
    if (ctx->opts->asked.one_file_system && !is_root && info.has_id && w->chain[0].has_id &&
        info.id.dev != w->chain[0].id.dev) {
        qv_dirlist_close(w->list);
        note_problem(ctx, dir, QV_PROBLEM_OTHER_FS, 0);
        return false;
    }
    if (ctx->opts->asked.exclude_caches && qv_dirlist_is_cache(w->list)) {
        qv_dirlist_close(w->list);
        note_problem(ctx, dir, QV_PROBLEM_CACHE, 0);
        return false;
    }
    w->chain[depth] = info;
    return true;
}

// Lists the directory whose path is in the buffer into dir and stacks its
// subdirectories.
static void list_directory(walker *w, qv_entry *dir, int32_t depth, uint64_t listed_ino, qv_dir_loan *parent)
{
    qv_walk_ctx *ctx = w->ctx;
    if (cancelled(ctx))
        return;
    if (ctx->opts->asked.max_depth > 0 && depth >= ctx->opts->asked.max_depth)
        return;
    if (ctx->own.gave_up.load(std::memory_order_relaxed)) {
        note_problem(ctx, dir, QV_PROBLEM_STALLED, 0);  // not tried: the storage is taken for dead
        return;
    }
    // The tally is this directory's from its opening on: a stall while it
    // is opened is counted against it, not against the one listed before
    // (whose chunks are all done by now).
    stat_tally &tally = w->seat->tally;
    tally.pending.store(0, std::memory_order_relaxed);
    tally.bytes.store(0, std::memory_order_relaxed);
    tally.skipped.store(0, std::memory_order_relaxed);
    tally.gone.store(0, std::memory_order_relaxed);
    tally.dir = dir;
    tally.stall_noted.store(0, std::memory_order_relaxed);
    w->seat->dir = dir;
    w->seat->depth = depth;
    uint32_t cancels = w->seat->watch.cancels.load(std::memory_order_relaxed);
    if (!enter_directory(w, dir, depth, listed_ino, parent)) {
        w->seat->dir = nullptr;
        return;
    }
    listed_counts n{0, 0, 0, 0};
    bool deferring = false;
    qv_dir_child c;
    uint32_t since_look = 0;
    while (!cancelled(ctx) && qv_dirlist_next(w->list, &c)) {
        record_child(w, dir, depth, c, &n);
        // A large directory keeps its lister long: meanwhile others may
        // take what is stacked, and look at its files.
        if (++since_look == SHARE_EVERY) {
            since_look = 0;
            share_if_wanted(w);
            if (!deferring && ctx->own.pool && qv_pool_hungry(ctx->own.pool) > 0) {
                deferring = true;
                qv_dirlist_defer_stats(w->list);
                if (ctx->hooks.deferring)
                    ctx->hooks.deferring(ctx->hooks.arg, dir);
            }
        }
    }
    if (deferring)
        finish_stats(w, dir, &tally, &n);
    int err = qv_dirlist_error(w->list);
    n.skipped += qv_dirlist_skipped(w->list);
    qv_dirlist_close(w->list);
    w->seat->dir = nullptr;
    // A call of this listing the system cancelled for having stalled (a
    // followed link, the cache tag, a batch of names) leaves it incomplete.
    bool stalled = w->seat->watch.cancels.load(std::memory_order_relaxed) != cancels;
    if ((err != 0 || stalled) && !tally.stall_noted.load(std::memory_order_relaxed))
        note_problem(ctx, dir, stalled ? QV_PROBLEM_STALLED : QV_PROBLEM_UNREADABLE, err);
    // Progress for polling hosts: one update per directory keeps it cheap.
    add_count(ctx->progress.files, n.files);
    add_count(ctx->progress.dirs, n.dirs);
    add_count(ctx->progress.bytes, n.bytes);
    add_count(ctx->problems.skipped_entries, n.skipped);
    if (ctx->hooks.listed)
        ctx->hooks.listed(ctx->hooks.arg, dir);
}

// Walks one directory taken from the pool and everything below it that
// this worker keeps.
static void walk_from(walker *w, shared_dir *sd)
{
    qv_walk_ctx *ctx = w->ctx;
    if (sd->path_len > SCAN_PATH_MAX - 1 || cancelled(ctx))
        return;
    if (!ensure_chain(w, (size_t)sd->depth + 1)) {
        note_problem(ctx, sd->entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        return;
    }
    if (sd->depth > 0)
        memcpy(w->chain.items, sd->chain, (size_t)sd->depth * sizeof(qv_dir_info));
    memcpy(w->path, sd->path, sd->path_len);
    w->path[sd->path_len] = '\0';
    w->path_len = sd->path_len;
    w->bottom = 0;
    w->items.clear();
    list_directory(w, sd->entry, sd->depth, sd->listed_ino, &sd->parent);
    share_if_wanted(w);
    // Depth-first, the last subdirectory listed first.
    while (w->items.size() > w->bottom) {
        walk_item it = w->items.pop();
        if (cancelled(ctx))
            continue;
        size_t len;
        if (!child_path_len(it.parent_len, it.entry, &len)) {
            note_unwalkable(ctx, it.entry);
            continue;
        }
        put_child(w->path, it.parent_len, it.entry);
        w->path_len = (uint32_t)len;
        list_directory(w, it.entry, it.depth, it.listed_ino, nullptr);
        share_if_wanted(w);
    }
    w->bottom = 0;
    w->items.clear();
}

static bool setup_walker(walker *w, qv_walk_ctx *ctx)
{
    w->ctx = ctx;
    int wants = (ctx->opts->asked.one_file_system ? QV_WANT_DIR_IDS : 0) | (ctx->opts->asked.hard_links_once ? QV_WANT_LINK_IDS : 0);
    // Followed links make one file of a single name reachable twice: each
    // file is then counted once as hard links are, by its identity. Without
    // links followed no file needs more than its link count tells.
    if (ctx->opts->asked.hard_links_once && ctx->opts->asked.follow_links)
        wants |= QV_WANT_FILE_IDS;
    w->list = qv_dirlist_new(ctx->own.dirroot, ctx->opts, wants, ctx->cancel, &w->seat->watch);
    w->arena = qv_scan_result_new_arena(ctx->result);
    w->path = static_cast<char *>(malloc(SCAN_PATH_MAX));
    if (ctx->opts->asked.exclude_count > 0) {
        // The root's text may be of any length; every path below it fits.
        w->host_root_len = ctx->opts->path ? strlen(ctx->opts->path) : 0;
        w->match_cap = w->host_root_len + 2 * SCAN_PATH_MAX;
        w->match = static_cast<char *>(malloc(w->match_cap));
    }
    return w->list && w->arena && w->path && (ctx->opts->asked.exclude_count == 0 || w->match);
}

// Frees the worker's own buffers (the arena belongs to the scan result).
void free_walker_buffers(walker *w)
{
    w->handed.reset();
    w->links.reset();
    w->items.reset();
    w->chain.reset();
    free(w->match);
    free(w->path);
    w->match = nullptr;
    w->path = nullptr;
}

static void teardown_walker(walker *w)
{
    merge_links(w);
    free_walker_buffers(w);
    qv_dirlist_delete(w->list);
    w->list = nullptr;
}

static void walk_worker(qv_pool *pool, int32_t index, void *arg)
{
    auto *ctx = static_cast<qv_walk_ctx *>(arg);
    worker_seat *seat = new_seat(index);
    if (!seat) {
        // Without a seat nothing can be walked: items are passed on as unwalkable.
        qv_pool_item *item = qv_pool_take(pool, index, false);
        for (; item; item = qv_pool_take(pool, index, true)) {
            if (reinterpret_cast<work_head *>(item)->kind == WORK_STATS) {
                auto *c = reinterpret_cast<stat_chunk *>(item);
                int expected = 0;
                if (c->taken.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
                    for (uint32_t i = c->at; i < c->n; i++)
                        c->entries[i]->file_count = FILE_GONE;
                    c->skipped += c->n - c->at;
                    c->gone += c->n - c->at;
                    tally_chunk(c);
                }
                drop_chunk(c);
            } else {
                note_problem(ctx, reinterpret_cast<shared_dir *>(item)->entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
                free_shared(reinterpret_cast<shared_dir *>(item));
            }
        }
        return;
    }
    walker &w = seat->w;
    bool ready = setup_walker(&w, ctx);
    ctx->own.seats[index].store(seat, std::memory_order_release);
    qv_pool_item *item = qv_pool_take(pool, index, false);
    while (item) {
        if (reinterpret_cast<work_head *>(item)->kind == WORK_STATS) {
            // Needs no buffers of its own: it always gets done.
            take_chunk(&w, reinterpret_cast<stat_chunk *>(item));
            item = qv_pool_take(pool, index, true);
            continue;
        }
        auto *sd = reinterpret_cast<shared_dir *>(item);
        seat->item = sd;
        if (ready)
            walk_from(&w, sd);
        else
            note_problem(ctx, sd->entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        seat->item = nullptr;
        free_shared(sd);
        // Descriptors held while waiting for work could be the ones
        // another worker waits for.
        if (w.list)
            qv_dirlist_let_go(w.list);
        item = qv_pool_take(pool, index, true);
    }
    teardown_walker(&w);
    release_seat(seat);  // the walk's table keeps it until the pool has ended
}

// More workers hold more descriptors: none are let work beyond the first
// ones while descriptors run short.
static int descriptors_to_spare(void *)
{
    return !qv_fd_scarce();
}

int qv_walk_init(qv_walk_ctx *w)
{
    w->~qv_walk_ctx();
    new (w) qv_walk_ctx();
    return qv_mutex_init(&w->own.lock);
}

void qv_walk_release(qv_walk_ctx *w)
{
    qv_mutex_destroy(&w->own.lock);
    w->own.lock.h = nullptr;
    w->problems.list.reset();
    w->own.links.reset();
    w->own.unfinished.reset();
    free(w->own.real_root);
    w->own.real_root = nullptr;
}

int32_t qv_walk_hungry(const qv_walk_ctx *w)
{
    return w->own.pool ? qv_pool_hungry(w->own.pool) : 0;
}

// Workers to start with and the most that may work at once.
static void worker_counts(const qv_walk_ctx *ctx, int32_t *base, int32_t *max)
{
    if (ctx->hooks.workers > 0) {
        *base = ctx->hooks.workers;
        *max = ctx->hooks.max_workers > 0 ? ctx->hooks.max_workers : ctx->hooks.workers;
        return;
    }
    int32_t n = qv_cpu_count();
    if (n < QV_WALK_MIN_WORKERS)
        n = QV_WALK_MIN_WORKERS;
    if (n > QV_WALK_MAX_BASE)
        n = QV_WALK_MAX_BASE;
    *base = n;
    *max = ctx->hooks.max_workers > 0 ? ctx->hooks.max_workers : QV_WALK_MAX_WORKERS;
    if (*max < *base)
        *max = *base;
}

// --- The walk ------------------------------------------------------------------------

// A cancel may leave items queued: directories stay unwalked, chunks are
// let go of.
static void drop_queued(qv_pool *pool)
{
    while (qv_pool_item *left = qv_pool_drain(pool)) {
        if (reinterpret_cast<work_head *>(left)->kind == WORK_STATS)
            drop_chunk(reinterpret_cast<stat_chunk *>(left));
        else
            free_shared(reinterpret_cast<shared_dir *>(left));
    }
}

// Runs the pool over the root; every worker has returned or been given up
// on when it returns.
static void run_pool(qv_walk_ctx *ctx, qv_entry *root)
{
    int32_t base, max;
    worker_counts(ctx, &base, &max);
    auto *sd = static_cast<shared_dir *>(malloc(sizeof(shared_dir)));
    ctx->own.seats = static_cast<std::atomic<void *> *>(calloc((size_t)max, sizeof(std::atomic<void *>)));
    ctx->own.nseats = max;
    ctx->own.pool = sd && ctx->own.seats
                        ? qv_pool_create(base, max, walk_worker, descriptors_to_spare, ctx, ctx->cancel)
                        : nullptr;
    if (!ctx->own.pool) {
        free(sd);
        note_problem(ctx, root, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
    } else {
        ctx->own.pool->tick = watch_calls;
        sd->head.kind = WORK_DIR;
        sd->entry = root;
        sd->listed_ino = 0;
        sd->parent = 0;
        sd->depth = 0;
        sd->path_len = 0;
        sd->chain = nullptr;
        sd->path[0] = '\0';
        qv_pool_put(ctx->own.pool, &sd->head.item);
        qv_pool_run(ctx->own.pool);
        qv_pool *pool = ctx->own.pool;
        int32_t peak = pool->peak_allowed < pool->started ? pool->peak_allowed : pool->started;
        ctx->progress.peak_workers.store(pool->max == 1 ? 1 : peak, std::memory_order_relaxed);
        drop_queued(ctx->own.pool);
        qv_pool_destroy(ctx->own.pool);
        ctx->own.pool = nullptr;
    }
    for (int32_t i = 0; ctx->own.seats && i < ctx->own.nseats; i++)
        if (void *s = ctx->own.seats[i].load(std::memory_order_acquire))
            release_seat(static_cast<worker_seat *>(s));
    free(ctx->own.seats);
    ctx->own.seats = nullptr;
    ctx->own.nseats = 0;
}

void qv_walk(qv_walk_ctx *ctx, qv_entry *root)
{
    ctx->progress.peak_workers.store(0, std::memory_order_relaxed);
    if (cancelled(ctx))
        return;
    if (!qv_walk_open_root(ctx))
        return;
    qv_pseudo_rule_init(&ctx->own.pseudo, ctx->own.real_root, ctx->opts->abs_path);
    if (!root_excluded(ctx))
        run_pool(ctx, root);
    prune_unfinished(ctx);
    qv_dirroot_close(ctx->own.dirroot);
    ctx->own.dirroot = nullptr;
    if (ctx->opts->asked.hard_links_once && ctx->result && !cancelled(ctx))
        count_links_once(ctx, root);
}
