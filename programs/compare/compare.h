// Two scans of one root compared: what grew, shrank, appeared and vanished.
// Entries are matched by name at each level, below directories matched the
// same way: a renamed or moved entry vanishes at one place and is new at
// the other, and an entry that changed between file and directory is both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "saved.h"

// A directory in the "grew most" or "shrank most" tree.
struct cmp_dir {
    std::string name;
    uint64_t old_size = 0, new_size = 0;
    bool is_new = false, is_gone = false;
    std::vector<cmp_dir> children;  // largest change first
};

// An entry in one of the lists, with its full path.
struct cmp_item {
    std::string path;
    uint64_t old_size = 0, new_size = 0;
    bool is_dir = false;
};

struct cmp_result {
    uint64_t added = 0;    // bytes in new entries and in what files grew by
    uint64_t removed = 0;  // bytes in vanished entries and in what files shrank by
    std::vector<cmp_dir> grew, shrank;  // below the root
    uint64_t new_count = 0, vanished_count = 0, grown_count = 0;
    std::vector<cmp_item> new_entries, vanished, grown_files;  // largest first
};

// Share of the added (or removed) bytes from which a directory's growth (or
// shrinking) is shown.
const double CMP_NOTABLE = 0.05;
// At most this many directories under each one in the trees.
const size_t CMP_MAX_CHILDREN = 10;

// Compares older with newer: trees down to levels below the root, and up to
// top entries in each list.
cmp_result compare_scans(const sv_tree &older, const sv_tree &newer, int levels, int top);

// What the treemap page needs to colour the newer scan by growth:
// {"old_path":...,"old_total_size":N,"old_total_files":N,"old":[...]} with,
// for each entry of newer after the root in document order, its size in
// older or -1 when it is new there.
std::string growth_doc(const sv_tree &older, const sv_tree &newer);

// new - old as a JSON number: "123", "-45", "0" (any two 64-bit sizes).
std::string signed_diff(uint64_t old_size, uint64_t new_size);
