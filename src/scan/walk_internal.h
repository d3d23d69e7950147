// What the files of the walk share among themselves: the records handed
// through the pool, each worker's seat and stack, and the functions one
// file calls in another. Not for the scanner, which sees only walker.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "walker.h"

// A subdirectory recorded and not yet walked.
struct walk_item {
    qv_entry *entry;
    uint64_t listed_ino;  // its qv_dir_child.dir_ino, checked when it is opened
    uint32_t parent_len;  // length of the parent's path in the path buffer
    int32_t depth;
};

// What the pool hands out: a subdirectory to walk, or files of a large
// directory to look at.
#define WORK_DIR 0
#define WORK_STATS 1

// First in every record handed to the pool: the pool gives back its address.
struct work_head {
    qv_pool_item item;
    int kind;
};

// A subdirectory handed to the pool: its path below the root and the
// identities of its depth ancestors.
struct shared_dir {
    work_head head;  // WORK_DIR
    qv_entry *entry;
    uint64_t listed_ino;
    qv_dir_loan parent;  // its parent, lent by the worker that shared it (0: none)
    int32_t depth;
    uint32_t path_len;
    qv_dir_info *chain;
    char path[1];
};

// Files listed without a look at them (their sizes still 0), in a directory
// whose listing goes on. Until the totals, such a file's file_count marks
// it: FILE_UNLOOKED until it is looked at, FILE_GONE when the look found it
// gone (the lister takes it out once all are looked at), 0 once it has its
// size. A directory whose lister was given up on loses, at the end of the
// walk, the files never looked at.
#define STAT_CHUNK 32
#define FILE_GONE 1
#define FILE_UNLOOKED 2

struct worker_seat;

struct stat_chunk {
    work_head head;          // WORK_STATS
    std::atomic<int> taken;  // 1 once a worker (or the lister) has it
    std::atomic<int> refs;   // the pool's hold and the lister's
    worker_seat *owner;      // the lister's: its listing stays open until every chunk is done
    uint32_t n;
    // Written by whoever looks at the chunk, between its calls: where it
    // is and what it found so far, for the walk to settle the chunk should
    // a look never return.
    uint32_t at;
    uint64_t bytes;
    uint64_t skipped;
    uint32_t gone;
    qv_entry *entries[STAT_CHUNK];
};

// The lister's account of the chunks of one directory.
struct stat_tally {
    std::atomic<uint32_t> pending;  // chunks handed out and not done
    std::atomic<uint64_t> bytes;
    std::atomic<uint64_t> skipped;
    std::atomic<uint32_t> gone;
    qv_entry *dir;          // the directory listed
    std::atomic<uint8_t> stall_noted;  // the directory is counted stalled (by the watch)
};

struct walker {
    qv_walk_ctx *ctx;
    worker_seat *seat;
    qv_arena *arena;
    qv_dirlist *list;
    char *path;  // SCAN_PATH_MAX bytes, relative to the root
    uint32_t path_len;
    qv_vec<walk_item> items;  // the stack: items[bottom, size) are still to walk
    size_t bottom;
    qv_vec<qv_dir_info> chain;  // chain[d]: the directory at depth d on the path walked
    qv_vec<qv_link> links;      // files this worker met that may have other names
    char *match;  // match_cap bytes: a child's path to match, when excluding
    size_t match_cap;
    size_t host_root_len;
    stat_chunk *filling;  // files of the directory being listed, not yet looked at
    qv_vec<stat_chunk *> handed;  // chunks of it given to the pool
    // The owner last kept, and its index: the files of a directory mostly
    // share one, and the scan's table takes a lock.
    qv_owner last_owner;
    uint32_t last_owner_index;
};

// Counts of one listed directory, for progress polls and problem counts.
struct listed_counts {
    uint64_t files, dirs, bytes, skipped;
};

// A worker and the account of its calls, on the heap: a worker stuck in a
// call that storage never answers is given up on and leaves its seat behind,
// to be freed by whichever lets go of it last (its thread, should the call
// ever return, or the last chunk of its listing being looked at).
struct worker_seat {
    qv_call_watch watch;  // first: the thread given up on finds its seat by it
    std::atomic<int32_t> refs;  // its thread, the walk's table, chunks handed out
    int32_t index;
    walker w;
    stat_tally tally;       // of the directory being listed; chunks point at it
    stat_chunk *own_chunk;  // one being looked at by the lister itself, not handed out
    // What the worker is doing, written between its calls.
    qv_entry *dir;          // the directory being opened or listed, or null
    int32_t depth;
    uint8_t opening;        // dir is not open yet
    stat_chunk *chunk;      // the chunk being looked at, or null
    void *item;             // the pool's item being walked (freed with the seat if given up on)
    // The watch's own (the thread running the pool).
    uint64_t seen;          // the state of the call last seen
    uint64_t since_ms;      // when that call was first seen
    uint8_t cancel_tried;
};

// walker.cpp: the walk itself.
bool cancelled(const qv_walk_ctx *ctx);
// lend: lend the item's parent, kept open by w's listing, to whoever takes
// it; only w's own thread may.
void share_item(walker *w, const walk_item &it, bool lend);
// Frees a shared directory, giving back the loan it still holds.
void free_shared(shared_dir *sd);
void free_walker_buffers(walker *w);

// problems.cpp: what the walk could not take in.
void add_count(std::atomic<uint64_t> &counter, uint64_t n);
void note_problem(qv_walk_ctx *ctx, qv_entry *dir, int32_t kind, int32_t err);
void note_unwalkable(qv_walk_ctx *ctx, qv_entry *e);

// hardlinks.cpp: files with other names, counted once.
void keep_link(walker *w, qv_entry *file, const qv_dir_id &id);
void merge_links(walker *w);
void count_links_once(qv_walk_ctx *ctx, const qv_entry *root);

// statchunks.cpp: files of a large directory looked at by other workers.
void drop_chunk(stat_chunk *c);
void tally_chunk(stat_chunk *c);
void defer_stat(walker *w, qv_entry *e);
void finish_stats(walker *w, qv_entry *dir, stat_tally *t, listed_counts *n);
void take_chunk(walker *w, stat_chunk *c);

// stallwatch.cpp: workers stuck in calls storage does not answer.
void release_seat(worker_seat *s);
worker_seat *new_seat(int32_t index);
void prune_unfinished(qv_walk_ctx *ctx);
void watch_calls(qv_pool *pool, void *arg, bool cancelling);

// Keeps what the listing told of e's time and owner, for an extended scan
// (nothing otherwise).
void keep_meta(walker *w, qv_entry *e, const qv_entry_stat &s);
