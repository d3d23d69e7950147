// The directory walk of one scan. It knows only its walk context: what the
// host asked, the tree it records into, the cancel flag, what it counts and
// what it could not take in.
#pragma once

#include <atomic>
#include <cstdint>

#include "dirlist.h"
#include "options.h"
#include "platform.h"
#include "problems.h"
#include "pseudofs.h"
#include "threadpool.h"
#include "tree.h"
#include "vec.h"

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

// What the walk counts as it goes, for progress polls from any thread:
// added once per listed directory.
struct qv_walk_progress {
    std::atomic<uint64_t> files{0};
    std::atomic<uint64_t> dirs{0};
    std::atomic<uint64_t> bytes{0};
    // Files of large directories handed to other workers than the lister
    // to look at.
    std::atomic<uint64_t> stats_handed{0};
    // Most workers that were let work at once in the last walk.
    std::atomic<int32_t> peak_workers{0};
};

// Each call given up on leaves a thread behind until the storage answers:
// past this many in one scan, the rest of it is given up at once.
#define QV_STALL_LIMIT 64

// The walk's own, while it runs.
struct qv_walk_own {
    qv_mutex lock{};  // guards problems.list, links and unfinished; no other lock is held with it
    qv_vec<qv_link> links;  // of every worker, once it has ended
    // Directories whose lister was given up on, pruned once the walk is over.
    qv_vec<qv_entry *> unfinished;
    // Calls given up on so far; past QV_STALL_LIMIT the storage is taken
    // for dead and nothing more is entered (gave_up set).
    int32_t given_up = 0;
    std::atomic<uint8_t> gave_up{0};
    char *real_root = nullptr;  // the real path of the root, or null
    qv_pseudo_rule pseudo{};    // which directories on pseudo file systems are entered
    qv_dirroot *dirroot = nullptr;
    qv_pool *pool = nullptr;
    // Each worker's seat by its index (the watch of its calls, what it is
    // doing), null where none; for the thread running the pool to find
    // workers stuck in calls.
    std::atomic<void *> *seats = nullptr;
    int32_t nseats = 0;
};

struct qv_walk_ctx {
    // Set by the caller before qv_walk.
    qv_scan_result *result = nullptr;
    const qv_options *opts = nullptr;
    qv_walk_hooks hooks{};
    std::atomic<int32_t> *cancel = nullptr;

    qv_walk_progress progress;
    qv_walk_problems problems;
    qv_walk_own own;
};

// Sets the context up as new, with its lock; -1 when that fails.
int qv_walk_init(qv_walk_ctx *w);
// Frees what the walk kept (problems, links); the context may be set up anew.
void qv_walk_release(qv_walk_ctx *w);
// The directories the walk left without all of their children; complete
// once it is over.
qv_problem_list qv_walk_problem_list(const qv_walk_ctx *w);
// Workers waiting for work beyond what is queued, while the walk's pool
// runs (0 otherwise): for tests that wait until work is handed out.
int32_t qv_walk_hungry(const qv_walk_ctx *w);
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
