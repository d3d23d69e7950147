// The entry tree of one scan: entries with their names, carved from arenas
// (one per walking thread, so recording takes no lock), bottom-up totals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arena.h"

struct qv_entry {
    qv_entry *parent;
    qv_entry *first_child;
    qv_entry *next_sibling;
    uint64_t size;        // file: its length; directory: subtree total after accumulation
    uint64_t file_count;  // after accumulation: 1 for a file, files below for a directory
    union {
        uint64_t dir_count;   // a directory, after accumulation: directories below (itself not counted)
        uint64_t other_size;  // a file: its size of the kind the scan does not count, where known
    };
    uint16_t name_len;    // QV_NAME_LONG: that many or more, read with qv_tree_name_len
    uint8_t is_dir;
    uint8_t depth;        // modulo 256
    // The name and its NUL start here and run on past the record: entry and
    // name are one allocation. Read it with qv_tree_get_name.
    char name_start[4];
};

struct qv_scan_result {
    qv_entry *root;
    uint64_t total_size;
    uint64_t total_files;
    uint64_t total_dirs;
    double scan_time_ms;
    // Every arena holding entries of this result, chained through next;
    // grown while walkers run (qv_scan_result_new_arena), read once they end.
    std::atomic<qv_arena *> arenas;
};

// Blocks of an entry arena: 64 KiB first, doubling up to 8 MiB.
#define QV_ENTRY_FIRST_BLOCK 0x10000ull
#define QV_ENTRY_MAX_BLOCK 0x800000ull
// Longest name an entry below the root can have; no file system gives one
// near it. The root's text (the path as the host gave it) may be longer:
// it is kept whole, and its name_len then reads QV_NAME_LONG rather than
// every entry growing a wider field for the root's sake.
#define QV_NAME_MAX 65535u
#define QV_NAME_LONG 65535u

// a + b, or the largest value when the sum would not fit: sizes of sparse
// files can reach 2^63 each, and a total must never wrap to a small number.
inline uint64_t qv_sat_add(uint64_t a, uint64_t b)
{
    uint64_t s = a + b;
    return s < a ? UINT64_MAX : s;
}

// New entry named by the first len bytes of name, whole, every other field
// zero; null when out of memory.
qv_entry *qv_tree_new_entry(qv_arena *arena, const char *name, uint32_t len);
void qv_tree_add_child(qv_entry *parent, qv_entry *child);
// Never null; NUL-terminated, qv_tree_name_len bytes.
inline const char *qv_tree_get_name(const qv_entry *e)
{
    return e->name_start;
}
inline size_t qv_tree_name_len(const qv_entry *e)
{
    return e->name_len < QV_NAME_LONG ? e->name_len : strlen(e->name_start);
}
// Post-order totals of the subtree; iterative, any depth.
void qv_tree_accumulate_sizes(qv_entry *e);
// noexcept: callers holding a qv_vec then need no unwinding (see sorter.cpp).
int32_t qv_tree_child_count(const qv_entry *e) noexcept;
// Names from the root down to e joined by "/", cut to cap-1 bytes. Returns buf.
char *qv_tree_get_path(const qv_entry *e, char *buf, int32_t cap);

// The result with its first arena; null when out of memory.
qv_scan_result *qv_scan_result_create(void);
// One more arena owned by r, for one walking thread; safe while other
// threads add theirs. Null when out of memory.
qv_arena *qv_scan_result_new_arena(qv_scan_result *r);
// The arena the result was created with (the root entry's).
qv_arena *qv_scan_result_first_arena(qv_scan_result *r);
void qv_scan_result_free(qv_scan_result *r);

// Pre-order step within the subtree of top: the next entry after e, descending
// into e's children only when descend is true; null once the subtree is done.
// Lets every visit of the tree run without recursion.
inline qv_entry *qv_tree_next_preorder(const qv_entry *top, const qv_entry *e, bool descend)
{
    if (descend && e->first_child)
        return e->first_child;
    while (e != top) {
        if (e->next_sibling)
            return e->next_sibling;
        e = e->parent;
    }
    return nullptr;
}
