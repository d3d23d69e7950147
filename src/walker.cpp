// The walk shared by every platform: entry tests, recording under
// tree_mutex, the subdirectory list and its dispatch. Only the listing of one
// directory (dirlist_*.cpp) differs per platform.
//
// Directories walked in sequence are kept on an explicit stack instead of
// recursing, so a tree thousands of levels deep needs no deep thread stack;
// one path buffer serves the whole walk, since a directory's path is always a
// prefix of the paths below it. Paths are relative to the scan's root, which
// the listing opened once.
//
// A directory is entered only when it is not the same directory as one of
// its ancestors and does not lie on a pseudo file system; the identities of
// the directories on the path being walked sit in an array indexed by depth,
// kept valid by the same depth-first order that keeps the path buffer valid.
#include "walker.h"

#include <cstdlib>
#include <cstring>

#include "match.h"
#include "scanner.h"

namespace {

// A subdirectory recorded and not yet walked.
struct walk_item {
    qv_entry *entry;
    uint32_t parent_len;  // length of the parent's path in the path buffer
    int32_t depth;
};

// Children listed and not yet recorded: they are recorded in batches, one
// hold of tree_mutex per batch, so walkers rarely wait for each other.
#define BATCH_MAX 128
#define BATCH_NAMES 32768

struct pending_child {
    uint64_t size;
    uint32_t name_at;  // in batch_names
    uint32_t name_len;
    uint8_t is_dir;
    uint8_t linked;
    qv_dir_id link_id;
};

struct walker {
    scan_slot *slot;
    qv_dirlist *list;
    char *path;  // SCAN_PATH_MAX bytes, relative to the root
    uint32_t path_len;
    walk_item *items;
    size_t count;
    size_t cap;
    qv_dir_info *chain;  // chain[d]: the directory at depth d on the path walked
    size_t chain_cap;
    pending_child *batch;  // BATCH_MAX
    char *batch_names;     // BATCH_NAMES bytes
    uint32_t nbatch;
    uint32_t names_used;
    qv_link *links;  // files with several hard links met by this walker
    size_t nlinks;
    size_t links_cap;
    char *match;  // 2 * SCAN_PATH_MAX bytes: a child's path to match, when excluding
};

// Counts of one listed directory, for progress polls and problem counts.
struct listed_counts {
    uint64_t files, dirs, bytes, skipped;
};

// One subdirectory handed to the pool: its path below the root and the
// identities of its ancestors, depth of them.
struct scan_work {
    scan_slot *slot;
    qv_entry *entry;
    int32_t depth;
    uint32_t path_len;
    qv_dir_info *chain;
    char path[1];
};

}  // namespace

static void scan_directory(scan_slot *slot, qv_entry *dir, const char *path, size_t path_len, int32_t depth,
                           const qv_dir_info *chain);

static bool cancelled(const scan_slot *slot)
{
    return slot->cancel_requested.load(std::memory_order_relaxed) != 0;
}

static void add_count(std::atomic<uint64_t> &counter, uint64_t n)
{
    if (n == 0)
        return;
    uint64_t old = counter.load(std::memory_order_relaxed);
    while (!counter.compare_exchange_weak(old, qv_sat_add(old, n), std::memory_order_relaxed)) {
    }
}

// Keeps a directory that stays in the tree without all of its children in
// the scan's list of problems, and counts it.
static void note_problem(scan_slot *slot, qv_entry *dir, int32_t kind, int32_t err)
{
    switch (kind) {
    case QV_PROBLEM_LOOP:
        add_count(slot->loop_dirs, 1);
        break;
    case QV_PROBLEM_PSEUDO_FS:
        add_count(slot->pseudo_fs_dirs, 1);
        break;
    default:
        add_count(slot->unreadable_dirs, 1);
        break;
    }
    qv_mutex_lock(&slot->problems_mutex);
    if (slot->nproblems == slot->problems_cap) {
        size_t cap = slot->problems_cap ? slot->problems_cap * 2 : 16;
        void *p = realloc(slot->problems, cap * sizeof(qv_problem));
        if (p) {
            slot->problems = static_cast<qv_problem *>(p);
            slot->problems_cap = cap;
        }
    }
    // Without memory the directory is still counted, only not listed.
    if (slot->nproblems < slot->problems_cap)
        slot->problems[slot->nproblems++] = {dir, kind, err};
    qv_mutex_unlock(&slot->problems_mutex);
}

static bool ensure_chain(walker *w, size_t n)
{
    if (n <= w->chain_cap)
        return true;
    size_t cap = w->chain_cap ? w->chain_cap : 64;
    while (cap < n)
        cap *= 2;
    void *p = realloc(w->chain, cap * sizeof(qv_dir_info));
    if (!p)
        return false;
    w->chain = static_cast<qv_dir_info *>(p);
    w->chain_cap = cap;
    return true;
}

static bool push_item(walker *w, qv_entry *e, int32_t depth)
{
    if (w->count == w->cap) {
        size_t cap = w->cap ? w->cap * 2 : 256;
        auto *items = static_cast<walk_item *>(realloc(w->items, cap * sizeof(walk_item)));
        if (!items)
            return false;
        w->items = items;
        w->cap = cap;
    }
    w->items[w->count++] = {e, w->path_len, depth};
    return true;
}

// The path of subdirectory e below the base_len bytes of the path buffer:
// its name and the joined length. False when e cannot be walked: its name
// was never stored (the path would name the parent again) or the path
// passes the limit.
static bool child_path(const walker *w, size_t base_len, const qv_entry *e, const char **name, size_t *name_len,
                       size_t *len)
{
    *name = qv_tree_get_name(e, w->slot->result->name_arena);
    *name_len = strlen(*name);
    *len = base_len + (base_len > 0 ? 1 : 0) + *name_len;
    return *name_len > 0 && *len <= SCAN_PATH_MAX - 1;
}

// Writes the separator (below the root) and the name after the base at dst.
static void put_child(char *dst, size_t base_len, const char *name, size_t name_len)
{
    char *p = dst + base_len;
    if (base_len > 0)
        *p++ = QV_PATH_SEP;
    memcpy(p, name, name_len);
    p[name_len] = '\0';
}

// Makes the path buffer hold the path of a stacked subdirectory.
static bool set_child_path(walker *w, const walk_item &it)
{
    const char *name;
    size_t name_len, len;
    if (!child_path(w, it.parent_len, it.entry, &name, &name_len, &len))
        return false;
    put_child(w->path, it.parent_len, name, name_len);
    w->path_len = (uint32_t)len;
    return true;
}

// A subdirectory whose path cannot be formed: its name could not be stored,
// or the path would pass SCAN_PATH_MAX bytes.
static void note_unwalkable(scan_slot *slot, qv_entry *e)
{
    // One whose name could not be stored is counted among the entries left
    // out already.
    if (qv_tree_get_name(e, slot->result->name_arena)[0] != '\0')
        note_problem(slot, e, QV_PROBLEM_UNREADABLE, QV_ERR_NAMETOOLONG);
}

static void parallel_scan_work(void *arg)
{
    auto *work = static_cast<scan_work *>(arg);
    scan_directory(work->slot, work->entry, work->path, work->path_len, work->depth, work->chain);
    free(work);
}

// Queues one subdirectory of the directory in the path buffer, at depth
// it.depth, with the chain of its ancestors.
static void submit_item(walker *w, const walk_item &it)
{
    const char *name;
    size_t name_len, len;
    if (!child_path(w, w->path_len, it.entry, &name, &name_len, &len)) {
        note_unwalkable(w->slot, it.entry);
        return;
    }
    size_t chain_bytes = (size_t)it.depth * sizeof(qv_dir_info);
    size_t head = (sizeof(scan_work) + len + alignof(qv_dir_info) - 1) / alignof(qv_dir_info) * alignof(qv_dir_info);
    auto *work = static_cast<scan_work *>(malloc(head + chain_bytes));
    if (!work) {
        note_problem(w->slot, it.entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        return;
    }
    work->slot = w->slot;
    work->entry = it.entry;
    work->depth = it.depth;
    work->path_len = (uint32_t)len;
    work->chain = reinterpret_cast<qv_dir_info *>(reinterpret_cast<char *>(work) + head);
    memcpy(work->chain, w->chain, chain_bytes);
    memcpy(work->path, w->path, w->path_len);
    put_child(work->path, w->path_len, name, name_len);
    if (qv_threadpool_submit(w->slot->pool, parallel_scan_work, work) != 0) {
        free(work);
        note_problem(w->slot, it.entry, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
    }
}

// Whether the directory in the path buffer lies below a pseudo file system
// path, judged on the root's real path followed by the rest.
static bool in_pseudo_path(const walker *w)
{
    const scan_slot *slot = w->slot;
    return qv_is_pseudo_fs_below(slot->real_root ? slot->real_root : slot->root_text, w->path) != 0;
}

// Keeps a file with several hard links for the count once the walk is over.
// Without memory it keeps its full size under this name.
static void keep_link(walker *w, qv_entry *file, const qv_dir_id &id)
{
    if (w->nlinks == w->links_cap) {
        size_t cap = w->links_cap ? w->links_cap * 2 : 64;
        void *p = realloc(w->links, cap * sizeof(qv_link));
        if (!p)
            return;
        w->links = static_cast<qv_link *>(p);
        w->links_cap = cap;
    }
    w->links[w->nlinks++] = {file, id};
}

// Hands this walker's linked files to the scan.
static void merge_links(walker *w)
{
    if (w->nlinks == 0)
        return;
    scan_slot *slot = w->slot;
    qv_mutex_lock(&slot->problems_mutex);
    size_t need = slot->nlinks + w->nlinks;
    if (need > slot->links_cap) {
        size_t cap = slot->links_cap ? slot->links_cap : 64;
        while (cap < need)
            cap *= 2;
        void *p = realloc(slot->links, cap * sizeof(qv_link));
        if (p) {
            slot->links = static_cast<qv_link *>(p);
            slot->links_cap = cap;
        }
    }
    if (need <= slot->links_cap) {
        memcpy(slot->links + slot->nlinks, w->links, w->nlinks * sizeof(qv_link));
        slot->nlinks = need;
    }
    qv_mutex_unlock(&slot->problems_mutex);
    w->nlinks = 0;
}

// Whether an exclude pattern matches the path text m (with '/' as its
// separator) or any part of it after a '/', as du --exclude matches.
static bool matches_exclude(const scan_slot *slot, const char *m)
{
    for (int32_t i = 0; i < slot->exclude_count; i++) {
        const char *pattern = slot->excludes[i];
        if (qv_pattern_match(pattern, m))
            return true;
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
    const scan_slot *slot = w->slot;
    size_t root_len = strlen(slot->path);
    if (root_len + 1 + w->path_len + 1 + name_len + 1 > 2 * SCAN_PATH_MAX)
        return false;
    char *m = w->match, *at = m;
    memcpy(at, slot->path, root_len);
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
    return matches_exclude(slot, m);
}

// The root too is left out (kept in the tree without children) when a
// pattern matches its own spelling, as du then counts nothing.
static bool root_excluded(const scan_slot *slot)
{
    if (slot->exclude_count == 0 || !slot->path)
        return false;
    size_t n = strlen(slot->path);
    char *m = static_cast<char *>(malloc(n + 1));
    if (!m)
        return false;
    memcpy(m, slot->path, n + 1);
    for (char *p = m; *p; p++)
        if (*p == QV_PATH_SEP)
            *p = '/';
    bool hit = matches_exclude(slot, m);
    free(m);
    return hit;
}

// Records the pending children under dir, in listing order, under one hold
// of tree_mutex; then stacks the subdirectories among them.
static void record_batch(walker *w, qv_entry *dir, int32_t depth, listed_counts *n)
{
    scan_slot *slot = w->slot;
    qv_scan_result *r = slot->result;
    qv_entry *made[BATCH_MAX];
    qv_mutex_lock(&slot->tree_mutex);
    for (uint32_t i = 0; i < w->nbatch; i++) {
        const pending_child &c = w->batch[i];
        qv_entry *e = qv_tree_new_entry(r->entry_arena);
        made[i] = e;
        if (!e)
            continue;  // no memory: the child is left out
        e->is_dir = c.is_dir;
        e->size = c.size;
        e->depth = (uint8_t)(depth + 1);
        qv_tree_set_name(e, r->name_arena, w->batch_names + c.name_at, (int32_t)c.name_len);
        qv_tree_add_child(dir, e);
    }
    qv_mutex_unlock(&slot->tree_mutex);
    for (uint32_t i = 0; i < w->nbatch; i++) {
        qv_entry *e = made[i];
        if (!e) {
            n->skipped++;
            continue;
        }
        if (e->name_offset == QV_NAME_NONE)
            n->skipped++;  // recorded without its name
        if (e->is_dir) {
            n->dirs++;
            // A subdirectory that cannot be stacked stays recorded, unwalked.
            if (!push_item(w, e, depth + 1))
                note_problem(slot, e, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        } else {
            n->files++;
            n->bytes = qv_sat_add(n->bytes, e->size);
            if (w->batch[i].linked && slot->hard_links_once)
                keep_link(w, e, w->batch[i].link_id);
        }
    }
    w->nbatch = 0;
    w->names_used = 0;
}

// Adds a listed child to the batch, recording the batch first when full.
static void add_child(walker *w, qv_entry *dir, int32_t depth, const qv_dir_child &c, listed_counts *n)
{
    if (w->slot->exclude_count > 0 && excluded(w, c.name, c.name_len))
        return;
    if (w->nbatch == BATCH_MAX || c.name_len + 1 > BATCH_NAMES - w->names_used)
        record_batch(w, dir, depth, n);
    if (c.name_len + 1 > BATCH_NAMES) {
        n->skipped++;  // longer than any name a file system gives
        return;
    }
    pending_child &p = w->batch[w->nbatch++];
    p.size = c.is_dir ? 0 : c.size;
    p.name_at = w->names_used;
    p.name_len = c.name_len;
    p.is_dir = c.is_dir ? 1 : 0;
    p.linked = c.linked;
    p.link_id = c.link_id;
    memcpy(w->batch_names + w->names_used, c.name, c.name_len);
    w->names_used += c.name_len + 1;
}

static bool same_dir(const qv_dir_info &a, const qv_dir_info &b)
{
    return a.has_id && b.has_id && a.id.dev == b.id.dev && a.id.ino == b.id.ino;
}

// Opens the directory in the path buffer and decides whether it is to be
// entered; false (the directory keeps no children) when it is not.
static bool enter_directory(walker *w, qv_entry *dir, int32_t depth)
{
    scan_slot *slot = w->slot;
    bool is_root = depth == 0;
    // Pseudo file systems are recorded but never entered (unless the root
    // lies on one).
    if (!is_root && !slot->root_pseudo && in_pseudo_path(w)) {
        note_problem(slot, dir, QV_PROBLEM_PSEUDO_FS, 0);
        return false;
    }
    if (!ensure_chain(w, (size_t)depth + 1)) {
        note_problem(slot, dir, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
        return false;
    }
    qv_dir_info info{};
    int rc = qv_dirlist_open(w->list, w->path, w->path_len, is_root ? nullptr : &w->chain[depth - 1], &info);
    if (rc < 0)
        return false;  // cancelled
    if (rc > 0) {
        if (is_root)
            slot->root_error.store(rc);
        else
            note_problem(slot, dir, QV_PROBLEM_UNREADABLE, rc);
        return false;
    }
    if (is_root) {
        slot->root_pseudo = (uint8_t)(slot->root_pseudo | info.pseudo_fs);
    } else if (info.pseudo_fs && !slot->root_pseudo) {
        qv_dirlist_close(w->list);
        note_problem(slot, dir, QV_PROBLEM_PSEUDO_FS, 0);
        return false;
    }
    // A directory that repeats one of its ancestors would be walked again
    // and again: a link or a bind mount leading back up.
    for (int32_t d = 0; d < depth; d++) {
        if (same_dir(w->chain[d], info)) {
            qv_dirlist_close(w->list);
            note_problem(slot, dir, QV_PROBLEM_LOOP, 0);
            return false;
        }
    }
    // Another file system, when the host asked to stay on the root's: du -x.
    if (slot->one_file_system && !is_root && info.has_id && w->chain[0].has_id &&
        info.id.dev != w->chain[0].id.dev) {
        qv_dirlist_close(w->list);
        return false;
    }
    if (slot->exclude_caches && qv_dirlist_is_cache(w->list)) {
        qv_dirlist_close(w->list);
        return false;
    }
    w->chain[depth] = info;
    return true;
}

// Lists the directory whose path is in the buffer into dir, then either hands
// its subdirectories to the pool or leaves them on the stack for this thread.
static void list_directory(walker *w, qv_entry *dir, int32_t depth)
{
    scan_slot *slot = w->slot;
    if (cancelled(slot))
        return;
    if (slot->max_depth > 0 && depth >= slot->max_depth)
        return;
    if (!enter_directory(w, dir, depth))
        return;
    size_t first = w->count;
    listed_counts n{0, 0, 0, 0};
    qv_dir_child c;
    while (!cancelled(slot) && qv_dirlist_next(w->list, &c))
        add_child(w, dir, depth, c, &n);
    int err = qv_dirlist_error(w->list);
    n.skipped += qv_dirlist_skipped(w->list);
    qv_dirlist_close(w->list);
    if (w->nbatch)
        record_batch(w, dir, depth, &n);
    if (err != 0)
        note_problem(slot, dir, QV_PROBLEM_UNREADABLE, err);
    // Progress for polling hosts: one update per directory keeps it cheap.
    add_count(slot->seen_files, n.files);
    add_count(slot->seen_dirs, n.dirs);
    add_count(slot->seen_bytes, n.bytes);
    add_count(slot->skipped_entries, n.skipped);

    size_t subdirs = w->count - first;
    if (slot->pool && depth <= PARALLEL_MAX_DEPTH && subdirs >= PARALLEL_MIN_SUBDIRS) {
        // Queue from the front of the list: the last one listed first.
        for (size_t i = w->count; i > first; i--)
            submit_item(w, w->items[i - 1]);
        w->count = first;
    }
}

static void scan_directory(scan_slot *slot, qv_entry *dir, const char *path, size_t path_len, int32_t depth,
                           const qv_dir_info *chain)
{
    if (path_len > SCAN_PATH_MAX - 1 || cancelled(slot))
        return;
    walker w{};
    w.slot = slot;
    int wants = (slot->one_file_system ? QV_WANT_DIR_IDS : 0) | (slot->hard_links_once ? QV_WANT_LINK_IDS : 0);
    w.list = qv_dirlist_new(slot->dirroot, slot->follow_links, slot->size_kind, wants, &slot->cancel_requested);
    if (slot->exclude_count > 0)
        w.match = static_cast<char *>(malloc(2 * SCAN_PATH_MAX));
    w.path = static_cast<char *>(malloc(SCAN_PATH_MAX));
    w.batch = static_cast<pending_child *>(malloc(BATCH_MAX * sizeof(pending_child)));
    w.batch_names = static_cast<char *>(malloc(BATCH_NAMES));
    if (w.list && w.path && w.batch && w.batch_names && (slot->exclude_count == 0 || w.match) &&
        ensure_chain(&w, (size_t)depth + 1)) {
        if (depth > 0)
            memcpy(w.chain, chain, (size_t)depth * sizeof(qv_dir_info));
        memcpy(w.path, path, path_len);
        w.path[path_len] = '\0';
        w.path_len = (uint32_t)path_len;
        list_directory(&w, dir, depth);
        // Depth-first, the last subdirectory listed first.
        while (w.count > 0) {
            walk_item it = w.items[--w.count];
            if (cancelled(slot))
                continue;
            if (set_child_path(&w, it))
                list_directory(&w, it.entry, it.depth);
            else
                note_unwalkable(slot, it.entry);
        }
    } else {
        note_problem(slot, dir, QV_PROBLEM_UNREADABLE, QV_ERR_NOMEM);
    }
    merge_links(&w);
    free(w.links);
    free(w.match);
    free(w.items);
    free(w.chain);
    free(w.path);
    free(w.batch);
    free(w.batch_names);
    qv_dirlist_delete(w.list);
}

void qv_walk_root(scan_slot *slot, qv_entry *root, const char *path)
{
    if (cancelled(slot))
        return;
    // Pseudo file systems are told by the real path: "." or "//" may be "/".
    slot->root_text = path;
    slot->real_root = qv_real_path(path);
    slot->root_pseudo = (uint8_t)(path[0] != '\0' && qv_is_pseudo_fs(slot->real_root ? slot->real_root : path));
    int err = 0;
    slot->dirroot = qv_dirroot_open(path, &slot->cancel_requested, &err);
    if (!slot->dirroot) {
        if (err > 0)
            slot->root_error.store(err);
        return;
    }
    if (!root_excluded(slot))
        scan_directory(slot, root, "", 0, 0, nullptr);
}

static int cmp_links(const void *a, const void *b)
{
    const qv_dir_id &x = static_cast<const qv_link *>(a)->id, &y = static_cast<const qv_link *>(b)->id;
    if (x.dev != y.dev)
        return x.dev < y.dev ? -1 : 1;
    if (x.ino != y.ino)
        return x.ino < y.ino ? -1 : 1;
    return 0;
}

#define LINK_PATH_MAX (2 * SCAN_PATH_MAX)

// A file met under several names keeps its size under the name whose path
// sorts first and counts 0 under the others: the same answer whatever order
// the walkers met them in.
static void count_links_once(scan_slot *slot)
{
    if (slot->nlinks < 2)
        return;
    char *best = static_cast<char *>(malloc(LINK_PATH_MAX));
    char *path = static_cast<char *>(malloc(LINK_PATH_MAX));
    if (best && path) {
        qsort(slot->links, slot->nlinks, sizeof(qv_link), cmp_links);
        const qv_arena *names = slot->result->name_arena;
        for (size_t i = 0, j; i < slot->nlinks; i = j) {
            j = i + 1;
            while (j < slot->nlinks && cmp_links(&slot->links[i], &slot->links[j]) == 0)
                j++;
            if (j - i < 2)
                continue;
            size_t keep = i;
            qv_tree_get_path(slot->links[i].file, names, best, LINK_PATH_MAX);
            for (size_t k = i + 1; k < j; k++) {
                qv_tree_get_path(slot->links[k].file, names, path, LINK_PATH_MAX);
                if (strcmp(path, best) < 0) {
                    keep = k;
                    char *t = best;
                    best = path;
                    path = t;
                }
            }
            for (size_t k = i; k < j; k++)
                if (k != keep)
                    slot->links[k].file->size = 0;
        }
    }
    free(best);
    free(path);
}

void qv_walk_end(scan_slot *slot)
{
    qv_dirroot_close(slot->dirroot);
    slot->dirroot = nullptr;
    if (slot->hard_links_once && slot->result)
        count_links_once(slot);
}
