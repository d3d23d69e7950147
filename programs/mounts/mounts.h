// qvdisk --mounts: the mounted file systems, with their size and free space.
//
// What is mounted is read per system (mounts_posix.cpp: /proc/self/mountinfo,
// mounts_win32.cpp: the drive letters); asking each for its space, waiting
// on storage that does not answer, choosing what to list and the table are
// written once (mounts.cpp, mountinfo.cpp).
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

enum mount_state {
    MOUNT_READ,    // its space is known
    MOUNT_FAILED,  // asking for its space failed: error says why
    MOUNT_SILENT,  // it did not answer within the stall timeout
};

struct mount_entry {
    std::string point;    // where it is mounted, as a path (escapes decoded)
    std::string device;   // what is mounted: /dev/sda1, server:/export, tmpfs
    std::string type;     // ext4, nfs4, fuse.sshfs; NTFS on Windows
    std::string fs_root;  // the part of its file system mounted here: "/" but for bind mounts
    std::string dev_id;   // "8:1": every mount of one file system has the same; empty where unknown
    mount_state state = MOUNT_SILENT;
    int error = 0;  // the system's error, for MOUNT_FAILED
    uint64_t size = 0, used = 0, free = 0;  // free: what an ordinary user may still write, as df's Avail
};

// One line of /proc/self/mountinfo into *out (point, device, type, fs_root,
// dev_id); false for a line that is not one. \040 and the other octal
// escapes the kernel writes are decoded.
bool parse_mountinfo_line(std::string_view line, mount_entry *out);
// File systems the kernel makes up (proc, sysfs, cgroup, ...): no files of
// anyone's to count, so never listed.
bool is_kernel_fs(const std::string &type);
// The mounts of a mountinfo text worth listing, in its order: the kernel's
// own left out; of the mounts at one point the last (it hides the others);
// of several mounts of one file system (bind mounts) one, the whole file
// system's if it is mounted, else the one with the shortest path.
std::vector<mount_entry> mounts_from_mountinfo(std::string_view text);

// What is mounted, its space not yet asked for (per system); false with
// *err when the table cannot be read.
bool read_mount_table(std::vector<mount_entry> *out, std::string *err);
// Asks m's file system for its space (per system); may never return when
// the storage does not answer.
void query_space(mount_entry *m);

// read_mount_table(), then each mount's space asked for at once, on threads
// of their own, waiting at most timeout_ms (negative: for ever) for all:
// those that have not answered by then are MOUNT_SILENT, their threads left
// in their calls. File systems of no blocks are left out; the rest come
// largest first. Stops early, with what it has, once *interrupted is set.
bool list_mounts(int timeout_ms, volatile sig_atomic_t *interrupted, std::vector<mount_entry> *out,
                 std::string *err);
// Largest first, then by mount point; mounts whose space is unknown last.
void sort_mounts(std::vector<mount_entry> *mounts);

// "34%" as df rounds it (up), "-" when there is nothing to share.
std::string use_percent(const mount_entry &m);
// Why a mount has no figures: "did not answer in 30 s", "cannot read:
// Permission denied"; empty for one read.
std::string mount_state_text(const mount_entry &m, int timeout_ms);
// The table qvdisk --mounts prints: mount point, device, type, size, used,
// free, use%; sizes as the report shows them, or whole bytes when bytes.
// Names as a terminal may show them (termtext.h).
std::string mounts_table(const std::vector<mount_entry> &mounts, bool bytes, int timeout_ms, const style &st);
