// Every entry of a finished scan told to the host, one call at a time in
// the documents' order, with what the tree keeps of it beyond the
// documents: both sizes of a file, the identity of a file met under several
// names, why a directory is without its children. Nothing is built whole:
// the host writes what it wants (another tool's format, a table) as the
// calls come.
#include "visit.h"

#include <cstdlib>
#include <cstring>

#include "documents.h"
#include "scanner.h"
#include "vec.h"

namespace {

struct marked_dir {
    const qv_entry *dir;
    int32_t kind, err;
};

// A file of several names, with what all of its names share.
struct linked_file {
    const qv_entry *file;
    qv_dir_id id;
    uint64_t own;    // its size of the counted kind (the name that keeps it)
    uint32_t names;  // of it met in the scan
};

int by_entry(const void *a, const void *b)
{
    // Both records begin with the entry.
    const void *x = *static_cast<const void *const *>(a), *y = *static_cast<const void *const *>(b);
    return x < y ? -1 : x > y;
}

int by_id(const void *a, const void *b)
{
    const qv_dir_id &x = static_cast<const linked_file *>(a)->id, &y = static_cast<const linked_file *>(b)->id;
    if (x.dev != y.dev)
        return x.dev < y.dev ? -1 : 1;
    return x.ino < y.ino ? -1 : x.ino > y.ino;
}

// qsort and bsearch take no null array, even an empty one.
template <class T>
void sort(qv_vec<T> &v, int (*cmp)(const void *, const void *))
{
    if (v.size() > 1)
        qsort(v.items, v.size(), sizeof(T), cmp);
}
template <class T>
const T *find(const qv_vec<T> &v, const T &key)
{
    return v.empty() ? nullptr : static_cast<const T *>(bsearch(&key, v.items, v.size(), sizeof(T), by_entry));
}

struct lookups {
    qv_vec<marked_dir> marks;
    qv_vec<linked_file> links;

    bool build(const scan_slot *s)
    {
        qv_problem_list p = qv_scanner_problem_list(s);
        if (!marks.reserve(p.count))
            return false;
        for (size_t i = 0; i < p.count; i++)
            marks.push({p.items[i].dir, p.items[i].kind, p.items[i].err});
        sort(marks, by_entry);

        const qv_vec<qv_link> &met = s->walk.own.links;
        if (!links.reserve(met.size()))
            return false;
        for (size_t i = 0; i < met.size(); i++)
            links.push({met[i].file, met[i].id, 0, 0});
        // Names of one file side by side: the one that kept the size tells
        // it to the others. Only files met under two names or more stay.
        sort(links, by_id);
        size_t kept = 0;
        for (size_t i = 0, j; i < links.size(); i = j) {
            uint64_t own = 0;
            // The one name that kept a size when hard links count once.
            for (j = i; j < links.size() && by_id(&links[i], &links[j]) == 0; j++)
                if (own == 0)
                    own = links[j].file->size;
            if (j - i < 2)
                continue;
            for (size_t k = i; k < j; k++) {
                links[kept] = links[k];
                links[kept].own = own;
                links[kept++].names = (uint32_t)(j - i < UINT32_MAX ? j - i : UINT32_MAX);
            }
        }
        links.resize(kept);
        sort(links, by_entry);
        return true;
    }

    const marked_dir *mark_of(const qv_entry *e) const
    {
        marked_dir key{e, 0, 0};
        return find(marks, key);
    }
    const linked_file *link_of(const qv_entry *e) const
    {
        linked_file key{e, {}, 0, 0};
        return find(links, key);
    }
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

void describe(const lookups &look, bool on_disk, const qv_entry *e, disk_entry *out)
{
    *out = disk_entry{};
    out->struct_size = sizeof *out;
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

int qv_visit(scan_slot *slot, disk_visit_fn fn, void *ctx)
{
    qv_doc_order(slot);
    const qv_entry *root = slot->result ? slot->result->root : nullptr;
    lookups look;
    if (!root || !look.build(slot))
        return -2;
    bool on_disk = slot->opts.asked.size_kind == DISK_SIZE_ON_DISK;
    disk_entry d;
    auto tell = [&](const qv_entry *e) {
        describe(look, on_disk, e, &d);
        return fn(ctx, &d) != 0 ? 1 : 0;
    };
    auto end_dir = [&] { return fn(ctx, nullptr) != 0 ? 1 : 0; };
    // Pre-order through the parent links, with the end of each directory
    // told as it is left: no stack, any depth.
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
