// The table of scan slots, the scan run and the internal scanner interface.
// States are the public header's SCAN_* codes.
#pragma once

#include <atomic>
#include <cstdint>

#include "options.h"
#include "platform.h"
#include "tree.h"
#include "walker.h"

#define MAX_SCANS 32

// The state of a scan built from the host's entries rather than walked.
struct qv_import {
    uint8_t active = 0;   // entries are taken
    uint8_t spoiled = 0;  // a call was refused: the rest are too
    uint8_t rooted = 0;   // the root has come
    qv_entry *at = nullptr;      // the directory open last; null once the root ended
    qv_entry *last = nullptr;    // its last entry so far: entries keep the host's order
    qv_entry *sealed = nullptr;  // a directory its entry said was not entered
    size_t rel_len = 0;          // the open directory's path below the root, in bytes
    uint64_t started_ms = 0;
};

// One scan; every member as below when the slot is claimed.
struct scan_slot {
    qv_scan_result *result = nullptr;
    qv_options opts{};  // what the host asked; the walk reads it
    std::atomic<int32_t> state{SCAN_IDLE};
    std::atomic<int32_t> cancel_requested{0};
    qv_thread thread{};
    uint8_t has_thread = 0;
    // The documents handed out, owned until disk_free.
    char *result_json = nullptr;
    char *top_json = nullptr;
    char *ext_json = nullptr;
    char *dir_json = nullptr;  // the latest directory document
    uint8_t ordered = 0;       // the tree has been ordered by size for the documents
    // The one export the header lets several threads call at once for one
    // id: the first text stored is the one every caller gets.
    std::atomic<char *> problems_json{nullptr};
    // What the walk counts (the totals once the scan is done) and what it
    // could not take in.
    qv_walk_ctx walk;
    // A scan the host fills in (import.cpp): where its next entry goes.
    qv_import import;
};

void qv_scanner_init(void);
// Both take opts over (into the slot, or freed when no scan starts): *opts
// is empty on return. hooks may be null.
int qv_scanner_scan_async(qv_options *opts, const qv_walk_hooks *hooks);
// The whole scan on the calling thread; its result is the caller's.
qv_scan_result *qv_scanner_scan(qv_options *opts, const qv_walk_hooks *hooks);
// Claims a slot for a scan the host fills in itself (import.cpp), taking
// opts over: a result with its first arena, SCAN_RUNNING, no thread. Its
// id, or -1.
int qv_scanner_claim(qv_options *opts);
// The entries of a claimed scan (see disk_import_entry; null ends the
// directory open last) and its end (see disk_import_end): 0, or -1.
int qv_import_entry(int id, const disk_entry *entry);
int qv_import_end(int id);
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
// The directories the scan left without all of their children; complete
// once it is done.
qv_problem_list qv_scanner_problem_list(const scan_slot *s);
