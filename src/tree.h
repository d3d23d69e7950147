// The entry tree of one scan: entries and names in two arenas, bottom-up totals.
#pragma once

#include <cstdint>

#include "arena.h"

#define QV_NAME_NONE 0xFFFFFFFFu

struct qv_entry {
    qv_entry *parent;
    qv_entry *first_child;
    qv_entry *next_sibling;
    uint64_t size;        // file: its length; directory: subtree total after accumulation
    uint64_t file_count;  // after accumulation: 1 for a file, files below for a directory
    uint64_t dir_count;   // after accumulation: directories below (itself not counted)
    uint32_t name_offset; // into the name arena; QV_NAME_NONE when the store failed
    uint16_t name_len;
    uint8_t is_dir;
    uint8_t depth;        // modulo 256
};

struct qv_scan_result {
    qv_entry *root;
    uint64_t total_size;
    uint64_t total_files;
    uint64_t total_dirs;
    double scan_time_ms;
    qv_arena *entry_arena;
    qv_arena *name_arena;
};

#define QV_ENTRY_BLOCK_SIZE 0x4000000ull  // 64 MiB
#define QV_NAME_BLOCK_SIZE 0x2000000ull   // 32 MiB

// a + b, or the largest value when the sum would not fit: sizes of sparse
// files can reach 2^63 each, and a total must never wrap to a small number.
inline uint64_t qv_sat_add(uint64_t a, uint64_t b)
{
    uint64_t s = a + b;
    return s < a ? UINT64_MAX : s;
}

qv_entry *qv_tree_new_entry(qv_arena *entry_arena);
void qv_tree_add_child(qv_entry *parent, qv_entry *child);
void qv_tree_set_name(qv_entry *e, qv_arena *name_arena, const char *text, int32_t len);
// Never null: the empty string when the entry has no readable name.
const char *qv_tree_get_name(const qv_entry *e, const qv_arena *name_arena);
// Post-order totals of the subtree; iterative, any depth.
void qv_tree_accumulate_sizes(qv_entry *e);
int32_t qv_tree_child_count(const qv_entry *e);
// Names from the root down to e joined by "/", cut to cap-1 bytes. Returns buf.
char *qv_tree_get_path(const qv_entry *e, const qv_arena *name_arena, char *buf, int32_t cap);

qv_scan_result *qv_scan_result_create(void);
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
