// The table of scan slots, the scan run and the internal scanner interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "dirlist.h"
#include "threadpool.h"
#include "tree.h"

#define MAX_SCANS 32

#define SCAN_IDLE 0
#define SCAN_RUNNING 1
#define SCAN_DONE 2
#define SCAN_FAILED (-1)
#define SCAN_CANCELLED (-2)

// A directory that stays in the tree without all of its children.
#define QV_PROBLEM_UNREADABLE 0  // could not be listed, or only in part
#define QV_PROBLEM_LOOP 1        // the same directory as one of its ancestors
#define QV_PROBLEM_PSEUDO_FS 2   // on a pseudo file system

struct qv_problem {
    qv_entry *dir;
    int32_t kind;
    int32_t err;  // the system's error code, for QV_PROBLEM_UNREADABLE
};

struct qv_dirroot;

struct qv_scan_options {
    const char *path;
    int32_t max_depth;    // 0 or less: no limit
    uint8_t follow_links; // take in symbolic links / reparse points
    uint8_t no_pool;      // walk on the scan thread alone (tests, benchmarks)
    uint8_t size_kind;    // QV_SIZE_APPARENT or QV_SIZE_ON_DISK
    uint8_t hard_links_once;
    uint8_t one_file_system;
    uint8_t exclude_caches;
    const char *const *excludes;  // exclude_count shell patterns
    int32_t exclude_count;
};

// A file met under several names, kept until the walk is over to count its
// size once.
struct qv_link {
    qv_entry *file;
    qv_dir_id id;
};

struct scan_slot {
    qv_scan_result *result;
    char *path;
    int32_t max_depth;
    uint8_t follow_links;
    uint8_t no_pool;
    uint8_t size_kind;
    uint8_t hard_links_once;
    uint8_t one_file_system;
    uint8_t exclude_caches;
    char **excludes;  // heap copies
    int32_t exclude_count;
    std::atomic<int32_t> state;
    std::atomic<int32_t> cancel_requested;
    qv_thread thread;
    uint8_t has_thread;
    char *result_json;
    char *top_json;
    char *ext_json;
    char *dir_json;   // the latest directory document
    uint8_t ordered;  // the tree has been ordered by size for the documents
    qv_threadpool *pool;
    qv_mutex tree_mutex;
    std::atomic<uint8_t> in_use;
    // Live counts for progress polls: what the walk has recorded so far,
    // added once per listed directory; the totals once the scan is done.
    std::atomic<uint64_t> seen_files;
    std::atomic<uint64_t> seen_dirs;
    std::atomic<uint64_t> seen_bytes;
    // The root as an absolute path, resolved when the scan was started; its
    // real path (or null); whether the root itself lies on a pseudo file
    // system (then all of it is walked); its descriptor while the walk runs.
    char *abs_path;
    const char *root_text;  // the path the walk was started with
    char *real_root;
    uint8_t root_pseudo;
    qv_dirroot *dirroot;
    // What the walk could not take in.
    std::atomic<int32_t> root_error;
    std::atomic<uint64_t> unreadable_dirs;
    std::atomic<uint64_t> skipped_entries;
    std::atomic<uint64_t> loop_dirs;
    std::atomic<uint64_t> pseudo_fs_dirs;
    qv_mutex problems_mutex;  // guards the list below; no other lock is held with it
    qv_problem *problems;
    size_t nproblems;
    size_t problems_cap;
    char *problems_json;
    // Files with several hard links, when they count once; guarded by
    // problems_mutex while the walk runs.
    qv_link *links;
    size_t nlinks;
    size_t links_cap;
};

extern scan_slot g_scans[MAX_SCANS];

void qv_scanner_init(void);
int qv_scanner_scan_async(const qv_scan_options *opts);
qv_scan_result *qv_scanner_scan(const qv_scan_options *opts);
int32_t qv_scanner_get_state(int id);
// The state code and the counts recorded so far (each pointer may be null);
// -1 and nothing stored when id names no slot.
int32_t qv_scanner_get_progress(int id, uint64_t *files, uint64_t *dirs, uint64_t *bytes);
void qv_scanner_cancel(int id);
// What the scan could not take in so far (see disk_problems); -1 and nothing
// stored when id names no slot, else the state code.
struct qv_scan_problems {
    int32_t root_error;
    uint64_t unreadable_dirs, skipped_entries, loop_dirs, pseudo_fs_dirs;
};
int32_t qv_scanner_get_problems(int id, qv_scan_problems *out);
qv_scan_result *qv_scanner_get_result(int id);
void qv_scanner_free(int id);
void qv_scanner_cleanup(void);
// The claimed slot named by id, or null (lookup rule of every export).
scan_slot *qv_scanner_slot(int id);
