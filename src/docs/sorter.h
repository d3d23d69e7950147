// Analysis of a finished tree: child ordering, the largest files and the
// totals per file-name extension. All run on the caller's thread, take no
// lock, and must not overlap another use of the same tree.
#pragma once

#include <cstdint>

#include "tree.h"

// Asks for an entry's cache lines ahead of use: the passes over a large tree
// wait on memory, not on arithmetic.
#if defined(__GNUC__) || defined(__clang__)
#define QV_PREFETCH(p) __builtin_prefetch(p)
#else
#define QV_PREFETCH(p) ((void)(p))
#endif

inline void qv_prefetch_entry(const qv_entry *e)
{
    if (e) {
        QV_PREFETCH(e);
        QV_PREFETCH(reinterpret_cast<const char *>(e) + sizeof(qv_entry) - 1);
    }
}

#define SORT_SIZE_DESC 0
#define SORT_NAME 1
#define SORT_FILES_DESC 2
#define SORT_SIZE_ASC 3

// Orders e's child list in place by mode (any other mode: every pair equal).
// Lists of fewer than two children are left alone; out of memory leaves the
// list as it was. Null e does nothing.
void qv_sort_children(qv_entry *e, int32_t mode);
// Orders e's list, then the lists of every directory below it, top-down.
// Iterative: any depth.
void qv_sort_tree(qv_entry *e, int32_t mode);

// The min(n, files in the tree) largest files below root, largest first,
// equal sizes kept in visiting order at the cut-off. The array (heap, caller
// frees) points at the tree's own entries; *out_count is set on every path.
// Null with count 0 for no root, n <= 0, no file, or out of memory.
qv_entry **qv_top_files(qv_entry *root, int32_t n, int32_t *out_count);

struct qv_ext_info {
    char *ext;  // with its leading dot; heap copy owned by the array
    uint64_t total_size;
    uint64_t count;
};

#define EXT_BUCKETS 4096

// Bytes and file count per extension (text from the last dot of a file name
// that does not start with its only dot), largest total first. Null with
// count 0 when nothing counts or memory is short; *out_count set on every path.
qv_ext_info *qv_extension_breakdown(qv_entry *root, int32_t *out_count);
// Releases the ext of the first count records, then the array. Accepts null.
void qv_extension_breakdown_free(qv_ext_info *arr, int32_t count);

// Comparators, exposed for tests. cmp_entries orders two entries by mode
// (any other mode: equal).
int cmp_entries(const qv_entry *l, const qv_entry *r, int32_t mode);
int cmp_ext_info(const void *a, const void *b);
