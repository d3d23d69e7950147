// The directory walk of one scan: records every child under tree_mutex and
// hands the subdirectories of the top levels to the scan's worker pool.
#pragma once

#include <cstdint>

#include "dirlist.h"

struct scan_slot;
struct qv_entry;

#define PARALLEL_MIN_SUBDIRS 4
#define PARALLEL_MAX_DEPTH 2

// Opens the directory at path (absolute) as the scan's root and walks it
// into root. A root that cannot be opened leaves root without children and
// its error code in the slot's root_error. Returns when this thread's share
// is done; directories handed to the pool may still be walked by workers.
void qv_walk_root(scan_slot *slot, qv_entry *root, const char *path);
// Releases what the walk keeps for the workers (the root's descriptor) and,
// when the scan counts hard links once, settles which name of each linked
// file keeps its size; called once no worker runs any more.
void qv_walk_end(scan_slot *slot);
