// The entry tree of one scan: entries with their names, carved from arenas
// (one per walking thread, so recording takes no lock), bottom-up totals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arena.h"
#include "platform.h"
#include "vec.h"

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

// What an extended scan keeps of an entry, in the 8 bytes just before it
// (qv_tree_meta): a scan without the option spends nothing on it.
struct qv_entry_meta {
    uint32_t mtime;  // seconds since 1970; a directory's: the newest below it, its own included
    uint32_t owner;  // index in the scan's qv_owner_table; 0: not known
};

// The (uid, gid, mode) triples of a scan, each kept once: a tree has few of
// them, so an entry names its own by index. Any thread may add; a lock
// guards the table, and walkers keep the last few they used to spare it.
struct qv_owner {
    uint32_t uid, gid, mode;
};
struct qv_owner_table {
    qv_mutex lock;
    qv_vec<qv_owner> owners;  // [0] stands for "not known"
    qv_vec<uint32_t> slots;   // open addressing: index into owners, 0 free
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
    // Set before the first entry is made: every entry then carries a
    // qv_entry_meta, the owners are filled in as they are met.
    bool extended;
    qv_owner_table owners;
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
// zero; null when out of memory. With meta, a zeroed qv_entry_meta comes
// before it, in the same allocation.
qv_entry *qv_tree_new_entry(qv_arena *arena, const char *name, uint32_t len, bool meta = false);
// The entry's meta: only for entries of an extended scan.
inline qv_entry_meta *qv_tree_meta(qv_entry *e)
{
    return reinterpret_cast<qv_entry_meta *>(e) - 1;
}
inline const qv_entry_meta *qv_tree_meta(const qv_entry *e)
{
    return reinterpret_cast<const qv_entry_meta *>(e) - 1;
}
// A time as an entry keeps it: before 1970 as 0, past 2106 as the largest.
inline uint32_t qv_tree_clamp_time(int64_t t)
{
    return t <= 0 ? 0u : t >= (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)t;
}
// The triple's index in the table, added when new; 0 when memory ran out.
uint32_t qv_owner_intern(qv_owner_table *t, uint32_t uid, uint32_t gid, uint32_t mode);
// The triple at index i (i from an entry of the table's scan).
inline qv_owner qv_owner_at(const qv_owner_table *t, uint32_t i)
{
    return i < t->owners.len ? t->owners.items[i] : qv_owner{};
}
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
// Post-order totals of the subtree; iterative, any depth. With times (the
// entries carry meta), each directory's time becomes the newest below it.
void qv_tree_accumulate_sizes(qv_entry *e, bool times = false);
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
