// qvdisk --mounts -i: the mounted file systems on a screen in the browser's
// look, to choose one to scan.
#pragma once

#include <csignal>
#include <vector>

#include "mounts.h"

// Shows mounts (as list_mounts() gave them, timeout_ms as it waited) until
// Enter chooses one whose space was read: its index; -1 when q quits, -2
// once *interrupted is set. The screen is given back before it returns.
int choose_mount(const std::vector<mount_entry> &mounts, int timeout_ms, bool color,
                 volatile sig_atomic_t *interrupted);
