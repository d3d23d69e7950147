// The directory walk of one scan: records every child under tree_mutex and
// hands the subdirectories of the top levels to the scan's worker pool.
#pragma once

#include <cstdint>

#include "dirlist.h"

struct scan_slot;
struct qv_entry;

#define PARALLEL_MIN_SUBDIRS 4
#define PARALLEL_MAX_DEPTH 2

// Walks the directory at path into dir (depth: dir's level below the root).
// Returns when this thread's share is done; directories handed to the pool
// may still be walked by workers.
void qv_platform_scan(scan_slot *slot, qv_entry *dir, const char *path, int32_t depth);
