// Every entry of a finished scan told to the host, one call at a time in
// the documents' order, with what the tree keeps of it beyond the
// documents: both sizes of a file, the identity of a file met under several
// names, why a directory is without its children. Nothing is built whole:
// the host writes what it wants (another tool's format, a table) as the
// calls come.
#include "visit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "documents.h"
#include "scanner.h"
#include "vec.h"

namespace {

struct marked_dir {
    const qv_entry *entry;
    int32_t kind, err;
};

// A file of several names, with what all of its names share.
struct linked_file {
    const qv_entry *entry;
    qv_dir_id id;
    uint64_t own;    // its size of the counted kind (the name that keeps it)
    uint32_t names;  // of it met in the scan
};

bool id_less(const linked_file &x, const linked_file &y)
{
    return x.id.dev != y.id.dev ? x.id.dev < y.id.dev : x.id.ino < y.id.ino;
}
bool same_id(const linked_file &x, const linked_file &y)
{
    return x.id.dev == y.id.dev && x.id.ino == y.id.ino;
}

// The record of e in [v, v + n), sorted by entry, or null.
template <class T>
const T *find(const T *v, size_t n, const qv_entry *e)
{
    const T *at = std::lower_bound(v, v + n, e, [](const T &r, const qv_entry *k) { return r.entry < k; });
    return at != v + n && at->entry == e ? at : nullptr;
}

template <class T>
T *new_array(size_t n)
{
    return static_cast<T *>(malloc((n ? n : 1) * sizeof(T)));
}

// What the visit looks up for each entry. Plain arrays freed by hand, no
// destructor: nothing for an exception to clean up, so the visit needs no
// unwinder (whose thread-local storage, in a DLL loaded and unloaded again
// and again, would never be given back).
struct lookups {
    marked_dir *marks = nullptr;
    size_t nmarks = 0;
    linked_file *links = nullptr;
    size_t nlinks = 0;

    bool build(qv_problem_list p, const qv_vec<qv_link> &met)
    {
        marks = new_array<marked_dir>(p.count);
        links = new_array<linked_file>(met.size());
        if (!marks || !links)
            return false;
        for (size_t i = 0; i < p.count; i++)
            marks[nmarks++] = {p.items[i].dir, p.items[i].kind, p.items[i].err};
        std::sort(marks, marks + nmarks, [](const marked_dir &x, const marked_dir &y) { return x.entry < y.entry; });

        for (size_t i = 0; i < met.size(); i++)
            links[i] = {met[i].file, met[i].id, 0, 0};
        // Names of one file side by side: the one that kept the size tells
        // it to the others. A file met once stays too: its other names may
        // lie in another scan, which an import of both joins by dev and ino.
        size_t n = met.size();
        std::sort(links, links + n, id_less);
        for (size_t i = 0, j; i < n; i = j) {
            uint64_t own = 0;
            // The one name that kept a size when hard links count once.
            for (j = i; j < n && same_id(links[i], links[j]); j++)
                if (own == 0)
                    own = links[j].entry->size;
            for (size_t k = i; k < j; k++) {
                links[nlinks] = links[k];
                links[nlinks].own = own;
                links[nlinks++].names = (uint32_t)(j - i < UINT32_MAX ? j - i : UINT32_MAX);
            }
        }
        std::sort(links, links + nlinks, [](const linked_file &x, const linked_file &y) { return x.entry < y.entry; });
        return true;
    }
    void release()
    {
        free(marks);
        free(links);
    }

    const marked_dir *mark_of(const qv_entry *e) const { return find(marks, nmarks, e); }
    const linked_file *link_of(const qv_entry *e) const { return find(links, nlinks, e); }
};

int state_of(int32_t kind)
{
    switch (kind) {
    case QV_PROBLEM_UNREADABLE: return DISK_ENTRY_UNREADABLE;
    case QV_PROBLEM_LOOP: return DISK_ENTRY_LOOP;
    case QV_PROBLEM_PSEUDO_FS: return DISK_ENTRY_PSEUDO_FS;
    case QV_PROBLEM_STALLED: return DISK_ENTRY_STALLED;
    case QV_PROBLEM_OTHER_FS: return DISK_ENTRY_OTHER_FS;
    case QV_PROBLEM_CACHE: return DISK_ENTRY_CACHE;
    default: return DISK_ENTRY_WHOLE;
    }
}

// An extended scan's time, owner and mode of e.
void describe_meta(const qv_scan_result *r, const qv_entry *e, disk_entry *out)
{
    const qv_entry_meta *m = qv_tree_meta(e);
    out->fields = DISK_FIELD_MTIME;
    out->mtime = m->mtime;
    if (m->owner == 0)
        return;
    qv_owner o = qv_owner_at(&r->owners, m->owner);
    out->fields |= DISK_FIELD_OWNER;
    out->uid = o.uid, out->gid = o.gid, out->mode = o.mode;
}

void describe(const lookups &look, const qv_scan_result *r, bool on_disk, const qv_entry *e, disk_entry *out)
{
    *out = disk_entry{};
    out->struct_size = sizeof *out;
    if (r->extended)
        describe_meta(r, e, out);
    out->name = qv_tree_get_name(e);
    size_t len = qv_tree_name_len(e);
    out->name_len = len < UINT32_MAX ? (unsigned)len : UINT32_MAX;
    out->is_dir = e->is_dir ? 1 : 0;
    out->size = e->size;
    if (e->is_dir) {
        out->files = e->file_count;
        out->dirs = e->dir_count;
        if (const marked_dir *m = look.mark_of(e)) {
            out->state = state_of(m->kind);
            out->error = m->kind == QV_PROBLEM_UNREADABLE ? m->err : 0;
        }
        return;
    }
    out->files = 1;
    uint64_t own = e->size;
    if (const linked_file *l = look.link_of(e)) {
        own = l->own;
        out->dev = l->id.dev;
        out->ino = l->id.ino;
        out->nlink = l->names;
    }
    out->apparent_size = on_disk ? e->other_size : own;
    out->disk_size = on_disk ? own : e->other_size;
}

}  // namespace

using c_visit_fn = int (*)(void *, const disk_entry *) noexcept;

// Pre-order through the parent links, with the end of each directory told
// as it is left: no stack, any depth. 0, or 1 when fn stopped it.
static int visit_tree(const qv_scan_result *r, const lookups &look, bool on_disk, c_visit_fn fn, void *ctx)
{
    const qv_entry *root = r->root;
    disk_entry d;
    auto tell = [&](const qv_entry *e) {
        describe(look, r, on_disk, e, &d);
        return fn(ctx, &d) != 0 ? 1 : 0;
    };
    auto end_dir = [&] { return fn(ctx, nullptr) != 0 ? 1 : 0; };
    const qv_entry *e = root;
    if (int rc = tell(e))
        return rc;
    for (;;) {
        if (e->is_dir && e->first_child) {
            e = e->first_child;
            if (int rc = tell(e))
                return rc;
            continue;
        }
        if (e->is_dir)
            if (int rc = end_dir())
                return rc;
        while (e != root && !e->next_sibling) {
            e = e->parent;
            if (int rc = end_dir())
                return rc;
        }
        if (e == root)
            return 0;
        e = e->next_sibling;
        if (int rc = tell(e))
            return rc;
    }
}

int qv_visit(scan_slot *slot, disk_visit_fn host_fn, void *ctx)
{
    // The host's function is C: nothing unwinds out of it.
    auto fn = reinterpret_cast<c_visit_fn>(host_fn);
    qv_doc_order(slot);
    const qv_entry *root = slot->result ? slot->result->root : nullptr;
    qv_problem_list problems = qv_scanner_problem_list(slot);
    lookups look;
    if (!root || !look.build(problems, slot->walk.own.links)) {
        look.release();
        return -2;
    }
    int rc = visit_tree(slot->result, look, slot->opts.asked.size_kind == DISK_SIZE_ON_DISK, fn, ctx);
    look.release();
    return rc;
}
