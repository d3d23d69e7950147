// The walk shared by every platform: entry tests, recording under
// tree_mutex, the subdirectory list and its dispatch. Only the listing of one
// directory (dirlist_*.cpp) differs per platform.
//
// Directories walked in sequence are kept on an explicit stack instead of
// recursing, so a tree thousands of levels deep needs no deep thread stack;
// one path buffer serves the whole walk, since a directory's path is always a
// prefix of the paths below it.
#include "walker.h"

#include <cstdlib>
#include <cstring>

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
};

struct walker {
    scan_slot *slot;
    qv_dirlist *list;
    char *path;  // SCAN_PATH_MAX bytes
    uint32_t path_len;
    walk_item *items;
    size_t count;
    size_t cap;
    pending_child *batch;  // BATCH_MAX
    char *batch_names;     // BATCH_NAMES bytes
    uint32_t nbatch;
    uint32_t names_used;
};

// Counts of one listed directory, for progress polls.
struct listed_counts {
    uint64_t files, dirs, bytes;
};

// One subdirectory handed to the pool, carrying its own path.
struct scan_work {
    scan_slot *slot;
    qv_entry *entry;
    int32_t depth;
    char path[1];
};

}  // namespace

static void scan_directory(scan_slot *slot, qv_entry *dir, const char *path, int32_t depth);

static bool cancelled(const scan_slot *slot)
{
    return slot->cancel_requested.load(std::memory_order_relaxed) != 0;
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

static bool is_sep(char c)
{
    return c == QV_PATH_SEP || c == '/';
}

// The path of subdirectory e below the base_len bytes of the path at base:
// its name and the joined length (a separator is added only when base does
// not already end in one). False when e cannot be walked: its name was never
// stored (the path would name the parent again) or the path passes the limit.
static bool child_path(const walker *w, const char *base, size_t base_len, const qv_entry *e, const char **name,
                       size_t *name_len, size_t *len)
{
    *name = qv_tree_get_name(e, w->slot->result->name_arena);
    *name_len = strlen(*name);
    bool sep = base_len > 0 && !is_sep(base[base_len - 1]);
    *len = base_len + (sep ? 1 : 0) + *name_len;
    return *name_len > 0 && *len <= SCAN_PATH_MAX - 1;
}

// Writes the separator (when needed) and the name after the base at dst.
static void put_child(char *dst, size_t base_len, const char *name, size_t name_len, size_t len)
{
    char *p = dst + base_len;
    if (len > base_len + name_len)
        *p++ = QV_PATH_SEP;
    memcpy(p, name, name_len);
    p[name_len] = '\0';
}

// Makes the path buffer hold the path of a stacked subdirectory.
static bool set_child_path(walker *w, const walk_item &it)
{
    const char *name;
    size_t name_len, len;
    if (!child_path(w, w->path, it.parent_len, it.entry, &name, &name_len, &len))
        return false;
    put_child(w->path, it.parent_len, name, name_len, len);
    w->path_len = (uint32_t)len;
    return true;
}

static void parallel_scan_work(void *arg)
{
    auto *work = static_cast<scan_work *>(arg);
    scan_directory(work->slot, work->entry, work->path, work->depth);
    free(work);
}

static void submit_item(walker *w, const walk_item &it)
{
    const char *name;
    size_t name_len, len;
    if (!child_path(w, w->path, w->path_len, it.entry, &name, &name_len, &len))
        return;
    auto *work = static_cast<scan_work *>(malloc(sizeof(scan_work) + len));
    if (!work)
        return;
    work->slot = w->slot;
    work->entry = it.entry;
    work->depth = it.depth;
    memcpy(work->path, w->path, w->path_len);
    put_child(work->path, w->path_len, name, name_len, len);
    if (qv_threadpool_submit(w->slot->pool, parallel_scan_work, work) != 0)
        free(work);
}

// Whether the directory in the path buffer lies on a pseudo file system,
// judged on its real path: the root's real path followed by the rest.
static bool in_pseudo_fs(const walker *w)
{
    const scan_slot *slot = w->slot;
    if (slot->root_pseudo)
        return false;  // the host named one: all of it is walked
    if (!slot->real_root)
        return qv_is_pseudo_fs(w->path) != 0;
    // Only the first bytes decide (the longest prefix has 12).
    char head[64];
    size_t n = strlen(slot->real_root);
    if (n > sizeof head - 1)
        return false;  // longer than any prefix: its descendants are too
    memcpy(head, slot->real_root, n);
    const char *rest = w->path + strlen(slot->path);
    if (n > 0 && head[n - 1] == '/' && *rest == '/')
        rest++;
    else if (*rest != '/' && (n == 0 || head[n - 1] != '/'))
        head[n++] = '/';
    size_t m = strlen(rest);
    if (m > sizeof head - 1 - n)
        m = sizeof head - 1 - n;
    memcpy(head + n, rest, m);
    head[n + m] = '\0';
    return qv_is_pseudo_fs(head) != 0;
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
        if (!e)
            continue;
        if (e->is_dir) {
            n->dirs++;
            // A subdirectory that cannot be stacked stays recorded, unwalked.
            push_item(w, e, depth + 1);
        } else {
            n->files++;
            n->bytes += e->size;
        }
    }
    w->nbatch = 0;
    w->names_used = 0;
}

// Adds a listed child to the batch, recording the batch first when full.
static void add_child(walker *w, qv_entry *dir, int32_t depth, const qv_dir_child &c, listed_counts *n)
{
    if (w->nbatch == BATCH_MAX || c.name_len + 1 > BATCH_NAMES - w->names_used)
        record_batch(w, dir, depth, n);
    if (c.name_len + 1 > BATCH_NAMES)
        return;  // longer than any name a file system gives
    pending_child &p = w->batch[w->nbatch++];
    p.size = c.is_dir ? 0 : c.size;
    p.name_at = w->names_used;
    p.name_len = c.name_len;
    p.is_dir = c.is_dir ? 1 : 0;
    memcpy(w->batch_names + w->names_used, c.name, c.name_len);
    w->names_used += c.name_len + 1;
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
    bool is_root = dir->parent == nullptr;
    // Pseudo file systems are recorded but never entered (unless named as root).
    if (!is_root && in_pseudo_fs(w))
        return;
    if (qv_dirlist_open(w->list, w->path, is_root, slot->follow_links) != 0)
        return;
    size_t first = w->count;
    listed_counts n{0, 0, 0};
    qv_dir_child c;
    while (!cancelled(slot) && qv_dirlist_next(w->list, &c))
        add_child(w, dir, depth, c, &n);
    qv_dirlist_close(w->list);
    if (w->nbatch)
        record_batch(w, dir, depth, &n);
    // Progress for polling hosts: one update per directory keeps it cheap.
    slot->seen_files.fetch_add(n.files, std::memory_order_relaxed);
    slot->seen_dirs.fetch_add(n.dirs, std::memory_order_relaxed);
    slot->seen_bytes.fetch_add(n.bytes, std::memory_order_relaxed);

    size_t subdirs = w->count - first;
    if (slot->pool && depth <= PARALLEL_MAX_DEPTH && subdirs >= PARALLEL_MIN_SUBDIRS) {
        // Queue from the front of the list: the last one listed first.
        for (size_t i = w->count; i > first; i--)
            submit_item(w, w->items[i - 1]);
        w->count = first;
    }
}

static void scan_directory(scan_slot *slot, qv_entry *dir, const char *path, int32_t depth)
{
    size_t path_len = strlen(path);
    if (path_len > SCAN_PATH_MAX - 1 || cancelled(slot))
        return;
    walker w{};
    w.slot = slot;
    w.list = qv_dirlist_new();
    w.path = static_cast<char *>(malloc(SCAN_PATH_MAX));
    w.batch = static_cast<pending_child *>(malloc(BATCH_MAX * sizeof(pending_child)));
    w.batch_names = static_cast<char *>(malloc(BATCH_NAMES));
    if (w.list && w.path && w.batch && w.batch_names) {
        memcpy(w.path, path, path_len + 1);
        w.path_len = (uint32_t)path_len;
        list_directory(&w, dir, depth);
        // Depth-first, the last subdirectory listed first.
        while (w.count > 0) {
            walk_item it = w.items[--w.count];
            if (cancelled(slot))
                continue;
            if (set_child_path(&w, it))
                list_directory(&w, it.entry, it.depth);
        }
    }
    free(w.items);
    free(w.path);
    free(w.batch);
    free(w.batch_names);
    qv_dirlist_delete(w.list);
}

void qv_platform_scan(scan_slot *slot, qv_entry *dir, const char *path, int32_t depth)
{
    scan_directory(slot, dir, path, depth);
}
