// Pseudo file systems: those whose contents the kernel makes up (proc,
// sysfs, devtmpfs, cgroup, ...), never worth a walk, and some of them
// (/proc/kcore) would add absurd sizes. A walk records such a directory
// but does not enter it, unless the scan's root itself lies on one: that
// one is then walked whole.
//
// They are told two ways: by a path below the usual mount points, judged
// on the root's real path ("." or "//" may be "/"), before a directory is
// opened; and on Linux by the file system type of a directory once opened,
// where a mount can begin (pseudofs_posix.cpp). Windows has none.
#pragma once

#include <cstdint>

// 1 when path is null or lies below a pseudo file system path ("/proc",
// "/sys", "/dev", "/run", "/snap", "/tmp/.mount_"); else 0.
int qv_is_pseudo_fs(const char *path);
// The same for the path base/rel (rel below base), judged without joining
// them; rel may be empty.
int qv_is_pseudo_fs_below(const char *base, const char *rel);

// The rule for one walk.
struct qv_pseudo_rule {
    const char *root;       // the root's real path, or its absolute text
    uint8_t whole;          // the root lies on a pseudo file system: all is walked
};
// Set up once the root is opened: real_root may be null (not to be had).
void qv_pseudo_rule_init(qv_pseudo_rule *r, const char *real_root, const char *abs_root);
// Before the directory rel (below the root, not the root) is opened:
// whether its path puts it on a pseudo file system, not to be entered.
bool qv_pseudo_rule_skips_path(const qv_pseudo_rule *r, const char *rel);
// Once a directory is opened and its listing told whether it lies on a
// pseudo file system (on_pseudo): the root's makes the walk take in all;
// another directory on one is not to be entered.
bool qv_pseudo_rule_skips_opened(qv_pseudo_rule *r, bool is_root, bool on_pseudo);

#ifndef _WIN32
// Whether the open directory fd, on device dev, lies on a pseudo file
// system by its type.
bool qv_on_pseudo_fs(int fd, uint64_t dev);
#endif
