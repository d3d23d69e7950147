// Hard links counted once: each worker keeps the files it met that have
// other names without a lock, hands them to the walk when it ends, and once
// every worker has ended one name of each file keeps its size, the same one
// whatever order the workers met them in.
#include <cstdlib>
#include <cstring>

#include "walk_internal.h"

// Keeps a file with several hard links for the count once the walk is over.
// Without memory it keeps its full size under this name.
void keep_link(walker *w, qv_entry *file, const qv_dir_id &id)
{
    w->links.push({file, id});
}

// Hands this worker's linked files to the walk; without memory they keep
// their full sizes under these names.
void merge_links(walker *w)
{
    if (w->links.empty())
        return;
    qv_walk_ctx *ctx = w->ctx;
    qv_mutex_lock(&ctx->own.lock);
    ctx->own.links.append(w->links);
    qv_mutex_unlock(&ctx->own.lock);
    w->links.clear();
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

// A file met under several names keeps its size under the name whose path
// sorts first and counts 0 under the others: the same answer whatever order
// the workers met them in.
void count_links_once(qv_walk_ctx *ctx, const qv_entry *root)
{
    qv_vec<qv_link> &links = ctx->own.links;
    if (links.size() < 2)
        return;
    // Whole paths, the root's text however long: cut ones could tie and
    // leave the choice to the order the workers met them in.
    size_t cap = qv_tree_name_len(root) + 2 * SCAN_PATH_MAX;
    if (cap > INT32_MAX)
        cap = INT32_MAX;
    char *best = static_cast<char *>(malloc(cap));
    char *path = static_cast<char *>(malloc(cap));
    if (best && path) {
        qsort(links.items, links.size(), sizeof(qv_link), cmp_links);
        for (size_t i = 0, j; i < links.size(); i = j) {
            j = i + 1;
            while (j < links.size() && cmp_links(&links[i], &links[j]) == 0)
                j++;
            if (j - i < 2)
                continue;
            size_t keep = i;
            qv_tree_get_path(links[i].file, best, (int32_t)cap);
            for (size_t k = i + 1; k < j; k++) {
                qv_tree_get_path(links[k].file, path, (int32_t)cap);
                if (strcmp(path, best) < 0) {
                    keep = k;
                    char *t = best;
                    best = path;
                    path = t;
                }
            }
            for (size_t k = i; k < j; k++)
                if (k != keep)
                    links[k].file->size = 0;
        }
    }
    free(best);
    free(path);
}
