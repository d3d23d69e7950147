// qvdisk -i: the terminal browser over a scan (Linux builds with curses).
#pragma once

#include <csignal>

#include "settings.h"
#include "scanhandle.h"

// Shows the scan while it runs, then browses it until q; the exit status.
// Ctrl-C (interrupted set by the caller's handler) stops at any time with
// EXIT_INTERRUPTED. root_fd is the scan's root, opened before the scan
// began (-1 if it could not be): deleting reaches entries only through it.
// The status is told (guard_report) before the scans are freed; root_fd is
// closed.
int run_interactive(const options &o, scan_handle scan, int root_fd, bool color, volatile sig_atomic_t *interrupted);
