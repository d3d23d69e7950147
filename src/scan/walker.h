// The directory walk of one scan. It knows only its walk context: the tree
// it records into, the options, the cancel flag and the counts it keeps.
#pragma once

#include <atomic>
#include <cstdint>

#include "dirlist.h"
#include "options.h"
#include "platform.h"
#include "threadpool.h"
#include "tree.h"

// A directory that stays in the tree without all of its children.
#define QV_PROBLEM_UNREADABLE 0  // could not be listed, or only in part
#define QV_PROBLEM_LOOP 1        // the same directory as one of its ancestors
#define QV_PROBLEM_PSEUDO_FS 2   // on a pseudo file system
#define QV_PROBLEM_STALLED 3     // given up on: the storage stopped answering

struct qv_problem {
    qv_entry *dir;
    int32_t kind;
    int32_t err;  // the system's error code, for QV_PROBLEM_UNREADABLE
};

// A file met under several names, kept until the walk is over to count its
// size once.
struct qv_link {
    qv_entry *file;
    qv_dir_id id;
};

// Workers a walk starts with by default (one per core, within these bounds)
// and the most it lets work at once while they wait on storage.
#define QV_WALK_MIN_WORKERS 2
#define QV_WALK_MAX_BASE 16
#define QV_WALK_MAX_WORKERS 64

// Knobs for tests and benchmarks, kept apart from what the host asked.
struct qv_walk_hooks {
    // Workers: 0 for the default; 1 walks on the calling thread alone. With
    // workers set, max_workers (0: the same) caps how many may work at once.
    int32_t workers;
    int32_t max_workers;
    // Called (by the worker that listed it) once a directory's children are
    // recorded, before any of them is walked.
    void (*listed)(void *arg, const qv_entry *dir);
    // Called (by the lister) when the files of a large directory start to be
    // listed without a look at them, to be looked at later.
    void (*deferring)(void *arg, const qv_entry *dir);
    void *arg;
};

struct qv_walk_ctx {
    // Set by the caller before qv_walk.
    qv_scan_result *result;
    const qv_options *opts;
    qv_walk_hooks hooks;
    std::atomic<int32_t> *cancel;

    // Live counts for progress polls: added once per listed directory.
    std::atomic<uint64_t> seen_files;
    std::atomic<uint64_t> seen_dirs;
    std::atomic<uint64_t> seen_bytes;
    // What the walk could not take in.
    std::atomic<int32_t> root_error;
    std::atomic<uint64_t> unreadable_dirs;
    std::atomic<uint64_t> skipped_entries;
    std::atomic<uint64_t> loop_dirs;
    std::atomic<uint64_t> pseudo_fs_dirs;
    std::atomic<uint64_t> stalled_dirs;
    qv_mutex problems_mutex;  // guards the lists below; no other lock is held with it
    qv_problem *problems;
    size_t nproblems;
    size_t problems_cap;
    qv_link *links;
    size_t nlinks;
    size_t links_cap;
    // Most workers that were let work at once in the last walk, and how
    // many files of large directories were handed to other workers than the
    // lister to look at.
    int32_t peak_workers;
    std::atomic<uint64_t> stats_handed;
// Each call given up on leaves a thread behind until the storage answers:
// past this many in one scan, the rest of it is given up at once.
#define QV_STALL_LIMIT 64
    // Calls given up on so far; past QV_STALL_LIMIT the storage is taken
    // for dead and nothing more is entered (gave_up set).
    int32_t given_up;
    std::atomic<uint8_t> gave_up;

    // The walk's own, while it runs.
    char *real_root;        // the real path of the root, or null
    uint8_t root_pseudo;    // the root lies on a pseudo file system: all is walked
    qv_dirroot *dirroot;
    qv_pool *pool;
    // Each worker's seat by its index (the watch of its calls, what it is
    // doing), null where none; for the thread running the pool to find
    // workers stuck in calls.
    std::atomic<void *> *seats;
    int32_t nseats;
    // Directories whose lister was given up on (under problems_mutex).
    qv_entry **unfinished;
    size_t nunfinished;
    size_t unfinished_cap;
};

// Zeroes the context and sets up its lock; -1 when that fails.
int qv_walk_init(qv_walk_ctx *w);
// Frees what the walk kept (problems, links); the context may be set up anew.
void qv_walk_release(qv_walk_ctx *w);
// Opens the root (the options' absolute path) into the context (dirroot,
// real_root) on a thread of its own, waiting for it no longer than the
// stall timeout; false when it could not be opened, with root_error set
// unless the scan was cancelled.
bool qv_walk_open_root(qv_walk_ctx *ctx);
// Walks the root the options name into root, which the caller made from
// the result's first arena. A root that cannot be opened keeps no children
// and leaves its error code in root_error. Returns once every worker has
// ended; when hard links count once, the name of each linked file that
// keeps its size is settled by then.
void qv_walk(qv_walk_ctx *w, qv_entry *root);
