// What the host asked of one scan, as one value. The exports check it once
// (api/host_options.cpp); the scan's slot keeps it, and the walk and the listing
// read it where they need it. The host's own struct is kept whole, so that
// an option added to the public header reaches every reader, and is read
// back, without a member here.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "quorvel_disk.h"

struct qv_options {
    // As the host asked, checked and in one form: members past its
    // struct_size 0, flags 0 or 1, size_kind DISK_SIZE_*, stall_timeout_ms
    // DISK_STALL_WAIT_FOREVER or a time (0 made the default), excludes
    // pointing at the copies below.
    disk_scan_options asked;
    char *path;       // the root as the host spelled it: the documents and the patterns use it
    char *abs_path;   // the root made absolute when the scan was started: the walk opens it
    char **excludes;  // asked.exclude_count copies of the patterns
};

// How long a call into storage may take before its directory is given up
// on; 0: never.
inline uint32_t qv_stall_ms(const qv_options *o)
{
    return o->asked.stall_timeout_ms > 0 ? (uint32_t)o->asked.stall_timeout_ms : 0u;
}

// Frees the copies; the value is empty afterwards (releasing it again is
// harmless).
inline void qv_options_release(qv_options *o)
{
    for (int32_t i = 0; o->excludes && i < o->asked.exclude_count; i++)
        free(o->excludes[i]);
    free(o->excludes);
    free(o->path);
    free(o->abs_path);
    *o = qv_options{};
}
