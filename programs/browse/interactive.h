// qvdisk -i: the terminal browser over a scan (Linux builds with curses).
#pragma once

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "settings.h"
#include "scanhandle.h"

// Shows the scan while it runs, then browses it until q; the exit status.
// Ctrl-C (interrupted set by the caller's handler) stops at any time with
// EXIT_INTERRUPTED. root_fd is the scan's root, opened before the scan
// began (-1 if it could not be): deleting reaches entries only through it.
// The status is told (guard_report) before the scans are freed; root_fd is
// closed.
int run_interactive(const options &o, scan_handle scan, int root_fd, bool color, volatile sig_atomic_t *interrupted);

// The same for a scan of several PATHs under a root of no name: each PATH's
// descriptor (roots, by the path as given; -1 where it could not be opened)
// serves the entries below it. Every descriptor is closed.
int run_interactive_roots(const options &o, scan_handle scan, std::vector<std::pair<std::string, int>> roots,
                          bool color, volatile sig_atomic_t *interrupted, int root_fd = -1);
