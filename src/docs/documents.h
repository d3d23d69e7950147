// The JSON documents of a finished scan, cached in its slot.
#pragma once

#include <cstdint>

struct scan_slot;

// Orders the tree by size, once: before the first document or visit.
void qv_doc_order(scan_slot *slot);
// Each takes a claimed slot whose state is SCAN_DONE; the export layer checks.
const char *qv_doc_scan_result(scan_slot *slot);
const char *qv_doc_top(scan_slot *slot, int32_t n);
const char *qv_doc_extensions(scan_slot *slot);
// The directory named by path (as the largest-files document writes paths)
// down to levels below it (0 or less: all), in the form and order of the
// scan result document; null when path names no directory.
const char *qv_doc_dir(scan_slot *slot, const char *path, int32_t levels);
// The directories that stay in the tree without all of their children.
const char *qv_doc_problems(scan_slot *slot);
