// The JSON documents of a finished scan, cached in its slot.
#pragma once

#include <cstdint>

struct scan_slot;

// Each takes a claimed slot whose state is SCAN_DONE; the export layer checks.
const char *qv_doc_scan_result(scan_slot *slot);
const char *qv_doc_top(scan_slot *slot, int32_t n);
const char *qv_doc_extensions(scan_slot *slot);
// The directories that stay in the tree without all of their children.
const char *qv_doc_problems(scan_slot *slot);
