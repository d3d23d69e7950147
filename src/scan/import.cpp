// A scan built from entries the host hands over (another tool's export read
// back) instead of walked: the same tree, totals, hard links counted once
// and problems as a walk gives, so that every document answers for it.
// One host thread feeds an id; the slot's lock-free counters let others
// poll it meanwhile.
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "scanner.h"
#include "walk_internal.h"

namespace {

// The host's entry as this library knows it: members past its struct_size
// are taken as 0.
bool read_entry(const disk_entry *from, disk_entry *e)
{
    *e = disk_entry{};
    if (from->struct_size < offsetof(disk_entry, is_dir) + sizeof from->is_dir)
        return false;
    memcpy(e, from, from->struct_size < sizeof *e ? from->struct_size : sizeof *e);
    return e->name || e->name_len == 0;
}

bool file_name(const disk_entry &e)
{
    const char *n = e.name;
    size_t len = e.name_len;
    if (len == 0 || len > QV_NAME_MAX)
        return false;
    if ((len == 1 && n[0] == '.') || (len == 2 && n[0] == '.' && n[1] == '.'))
        return false;
    return !memchr(n, '/', len) && !memchr(n, '\0', len);
}

// Directly below a root begun with the empty path, the entries are roots
// of their own (a host's several scans put under one): named by their
// paths as given, "/", "." and ".." among them.
bool root_name(const disk_entry &e)
{
    return e.name_len > 0 && e.name_len <= QV_NAME_MAX && !memchr(e.name, '\0', e.name_len);
}

// What a directory's state means to the walk's account of problems; -1
// for a directory with all of its children.
int32_t problem_kind(int state)
{
    switch (state) {
    case DISK_ENTRY_UNREADABLE: return QV_PROBLEM_UNREADABLE;
    case DISK_ENTRY_LOOP: return QV_PROBLEM_LOOP;
    case DISK_ENTRY_PSEUDO_FS: return QV_PROBLEM_PSEUDO_FS;
    case DISK_ENTRY_STALLED: return QV_PROBLEM_STALLED;
    case DISK_ENTRY_OTHER_FS: return QV_PROBLEM_OTHER_FS;
    case DISK_ENTRY_CACHE: return QV_PROBLEM_CACHE;
    default: return -1;
    }
}

// Directories in these states were not entered: nothing can lie below them.
bool sealed(int32_t kind)
{
    return kind == QV_PROBLEM_LOOP || kind == QV_PROBLEM_PSEUDO_FS || kind == QV_PROBLEM_OTHER_FS ||
           kind == QV_PROBLEM_CACHE;
}

int spoil(scan_slot *s)
{
    s->import.spoiled = 1;
    return -1;
}

// The slot of an import still taking entries, or null.
scan_slot *importing(int id)
{
    scan_slot *s = qv_scanner_slot(id);
    if (!s || !s->import.active || s->state.load() != SCAN_RUNNING)
        return nullptr;
    return s;
}

// What the host told of n's time and owner, for an extended import.
void keep_meta(scan_slot *s, qv_entry *n, const disk_entry &e)
{
    qv_scan_result *r = s->result;
    if (!r->extended)
        return;
    qv_entry_meta *m = qv_tree_meta(n);
    if (e.fields & DISK_FIELD_MTIME)
        m->mtime = qv_tree_clamp_time(e.mtime);
    if (e.fields & DISK_FIELD_OWNER)
        m->owner = qv_owner_intern(&r->owners, e.uid, e.gid, e.mode);
}

// The root: named by the path the import was begun with, as a walk's is.
int add_root(scan_slot *s, const disk_entry &e)
{
    if (!e.is_dir)
        return spoil(s);
    size_t len = strlen(s->opts.path);
    qv_entry *root = len <= UINT32_MAX
                         ? qv_tree_new_entry(qv_scan_result_first_arena(s->result), s->opts.path, (uint32_t)len,
                                             s->result->extended)
                         : nullptr;
    if (!root)
        return spoil(s);
    keep_meta(s, root, e);
    root->is_dir = 1;
    s->result->root = root;
    s->import.rooted = 1;
    s->import.at = root;
    int32_t kind = problem_kind(e.state);
    if (kind >= 0)
        note_problem(&s->walk, root, kind, kind == QV_PROBLEM_UNREADABLE ? e.error : 0);
    if (sealed(kind))
        s->import.sealed = root;
    return 0;
}

int add_entry(scan_slot *s, const disk_entry &e)
{
    qv_import &im = s->import;
    qv_entry *dir = im.at;
    if (!dir || dir == im.sealed)
        return spoil(s);
    bool below_virtual = dir == s->result->root && s->opts.path[0] == '\0';
    if (!(below_virtual ? root_name(e) : file_name(e)))
        return spoil(s);
    // No path longer than a walk ever makes: the documents and the host's
    // own paths (a table's rows) grow with it.
    size_t rel = im.rel_len + (im.rel_len > 0) + e.name_len;
    if (rel >= SCAN_PATH_MAX)
        return spoil(s);
    qv_walk_ctx *ctx = &s->walk;
    qv_entry *n = qv_tree_new_entry(qv_scan_result_first_arena(s->result), e.name, e.name_len, s->result->extended);
    if (!n)
        return spoil(s);
    keep_meta(s, n, e);
    bool on_disk = s->opts.asked.size_kind == DISK_SIZE_ON_DISK;
    n->is_dir = e.is_dir ? 1 : 0;
    n->depth = (uint8_t)(dir->depth + 1);
    // After the last, not first as a walk links them: ties in size then
    // keep the host's order, and an import of a visit visits the same.
    n->parent = dir;
    (im.last ? im.last->next_sibling : dir->first_child) = n;
    im.last = n;
    if (n->is_dir) {
        int32_t kind = problem_kind(e.state);
        if (kind >= 0)
            note_problem(ctx, n, kind, kind == QV_PROBLEM_UNREADABLE ? e.error : 0);
        if (sealed(kind))
            im.sealed = n;
        im.at = n;
        im.last = nullptr;
        im.rel_len = rel;
        ctx->progress.dirs.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    n->size = on_disk ? e.disk_size : e.apparent_size;
    n->other_size = on_disk ? e.apparent_size : e.disk_size;
    // Without memory to keep it, a linked file keeps its full size under
    // this name, as in a walk.
    // One name here (nlink 1) may share its file with a name of another
    // import or scan: grouped all the same, as only dev and ino tell.
    if (s->opts.asked.hard_links_once && e.nlink > 0 && (e.dev || e.ino))
        ctx->own.links.push({n, {e.dev, e.ino}});
    ctx->progress.files.fetch_add(1, std::memory_order_relaxed);
    ctx->progress.bytes.store(qv_sat_add(ctx->progress.bytes.load(std::memory_order_relaxed), n->size),
                              std::memory_order_relaxed);
    return 0;
}

}  // namespace

int qv_import_entry(int id, const disk_entry *entry)
{
    scan_slot *s = importing(id);
    if (!s || s->import.spoiled)
        return -1;
    if (s->cancel_requested.load() != 0)
        return spoil(s);
    if (!entry) {
        qv_import &im = s->import;
        if (!im.at)
            return spoil(s);
        // The directory left is the last entry of the one it lies in.
        im.last = im.at;
        im.at = im.at->parent;
        size_t len = qv_tree_name_len(im.last) + 1;
        im.rel_len = im.at && im.rel_len > len ? im.rel_len - len : 0;
        return 0;
    }
    disk_entry e;
    if (!read_entry(entry, &e))
        return spoil(s);
    return s->import.rooted ? add_entry(s, e) : add_root(s, e);
}

int qv_import_end(int id)
{
    scan_slot *s = importing(id);
    if (!s)
        return -1;
    s->import.active = 0;
    qv_scan_result *r = s->result;
    if (s->cancel_requested.load() != 0) {
        s->state.store(SCAN_CANCELLED);
        return -1;
    }
    if (s->import.spoiled || !r->root) {
        s->state.store(SCAN_FAILED);
        return -1;
    }
    count_links_once(&s->walk, r->root);
    qv_tree_accumulate_sizes(r->root, r->extended);
    r->total_size = r->root->size;
    r->total_files = r->root->file_count;
    r->total_dirs = r->root->dir_count;
    r->scan_time_ms = (double)(qv_time_ms() - s->import.started_ms);
    s->walk.progress.files.store(r->total_files);
    s->walk.progress.dirs.store(r->total_dirs);
    s->walk.progress.bytes.store(r->total_size);
    s->state.store(SCAN_DONE);
    return 0;
}
