// qvdisk -i: the terminal browser over a scan (Linux builds with curses).
#pragma once

#include <csignal>

#include "args.h"

// Shows scan id while it runs, then browses it until q; the exit status.
// Ctrl-C (interrupted set by the caller's handler) stops at any time with
// EXIT_INTERRUPTED. Frees the scan.
int run_interactive(const options &o, int id, bool color, volatile sig_atomic_t *interrupted);
