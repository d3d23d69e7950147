// Every entry of a finished scan told to the host (disk_visit).
#pragma once

#include "quorvel_disk.h"

struct scan_slot;

// As disk_visit, for a claimed slot whose state is SCAN_DONE.
int qv_visit(scan_slot *slot, disk_visit_fn fn, void *ctx);
