// The host's scan options, checked and copied once where they come in, and
// read back as the scan keeps them.
#pragma once

#include "options.h"
#include "quorvel_disk.h"

// Fills *out from path and opts (null: all 0) as disk_scan_ex takes them,
// with copies of every text. 0, or -1 with *out empty when path is null,
// opts is not acceptable (see disk_scan_ex) or memory runs short.
int qv_options_from_host(qv_options *out, const char *path, const disk_scan_options *opts);
// Writes o into *out as disk_scan_get_options does: up to out->struct_size
// bytes, struct_size itself unchanged.
void qv_options_to_host(const qv_options *o, disk_scan_options *out);
