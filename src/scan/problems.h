// What a walk could not take in: counts any thread may read while it runs
// (disk_scan_problems), and the directories it left without all of their
// children, read by the documents once it is over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tree.h"
#include "vec.h"

// A directory that stays in the tree without all of its children.
#define QV_PROBLEM_UNREADABLE 0  // could not be listed, or only in part
#define QV_PROBLEM_LOOP 1        // the same directory as one of its ancestors
#define QV_PROBLEM_PSEUDO_FS 2   // on a pseudo file system
#define QV_PROBLEM_STALLED 3     // given up on: the storage stopped answering
// Not entered as the host asked: kept in the list for what is told of each
// entry (disk_visit), neither counted nor written in the problems document.
#define QV_PROBLEM_OTHER_FS 4    // on another file system than the root
#define QV_PROBLEM_CACHE 5       // holds a CACHEDIR.TAG

struct qv_problem {
    qv_entry *dir;
    int32_t kind;
    int32_t err;  // the system's error code, for QV_PROBLEM_UNREADABLE
};

// The directories left without all of their children, in the order met.
struct qv_problem_list {
    const qv_problem *items;
    size_t count;
};

struct qv_walk_problems {
    // 0 when the root was opened, else the system's error code.
    std::atomic<int32_t> root_error{0};
    std::atomic<uint64_t> unreadable_dirs{0};
    std::atomic<uint64_t> skipped_entries{0};
    std::atomic<uint64_t> loop_dirs{0};
    std::atomic<uint64_t> pseudo_fs_dirs{0};
    std::atomic<uint64_t> stalled_dirs{0};
    // Added to under the walk's lock; a directory that memory could not
    // list here is still counted above.
    qv_vec<qv_problem> list;
};
