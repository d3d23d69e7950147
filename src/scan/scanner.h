// The table of scan slots, the scan run and the internal scanner interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "tree.h"
#include "walker.h"

#define MAX_SCANS 32

#define SCAN_IDLE 0
#define SCAN_RUNNING 1
#define SCAN_DONE 2
#define SCAN_FAILED (-1)
#define SCAN_CANCELLED (-2)

struct qv_scan_options {
    const char *path;
    int32_t max_depth;    // 0 or less: no limit
    uint8_t follow_links; // take in symbolic links / reparse points
    uint8_t no_pool;      // walk on the scan thread alone (tests, benchmarks)
    int32_t workers;      // 0: as many as the walk chooses; else the workers it starts with
    int32_t max_workers;  // with workers: how many may work at once (0: workers)
    void (*listed)(void *arg, const qv_entry *dir);  // see qv_walk_ctx; for tests
    void *listed_arg;
    uint8_t size_kind;    // QV_SIZE_APPARENT or QV_SIZE_ON_DISK
    uint8_t hard_links_once;
    uint8_t one_file_system;
    uint8_t exclude_caches;
    const char *const *excludes;  // exclude_count shell patterns
    int32_t exclude_count;
    int32_t stall_timeout_ms;  // 0: the default; negative: wait for ever
};

struct scan_slot {
    qv_scan_result *result;
    char *path;       // the root as the host gave it
    char *abs_path;   // the root made absolute when the scan was started
    char **excludes;  // heap copies; the walk context points at them
    std::atomic<int32_t> state;
    std::atomic<int32_t> cancel_requested;
    qv_thread thread;
    uint8_t has_thread;
    char *result_json;
    char *top_json;
    char *ext_json;
    char *dir_json;   // the latest directory document
    uint8_t ordered;  // the tree has been ordered by size for the documents
    // The one export the header lets several threads call at once for one
    // id: the first text stored is the one every caller gets.
    std::atomic<char *> problems_json;
    std::atomic<uint8_t> in_use;
    // Options, live counts for progress polls (the totals once the scan is
    // done), what the walk could not take in.
    qv_walk_ctx walk;
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
    uint64_t unreadable_dirs, skipped_entries, loop_dirs, pseudo_fs_dirs, stalled_dirs;
};
int32_t qv_scanner_get_problems(int id, qv_scan_problems *out);
qv_scan_result *qv_scanner_get_result(int id);
void qv_scanner_free(int id);
void qv_scanner_cleanup(void);
// The claimed slot named by id, or null (lookup rule of every export).
scan_slot *qv_scanner_slot(int id);
