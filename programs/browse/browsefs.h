// qvdisk -i: deleting and naming entries below the scan's root (POSIX).
// Every step starts from the descriptor of the root opened before the scan
// began, never from the root's path: a root or an ancestor of it renamed or
// swapped for a link later leads nowhere else. names are an entry's names
// below the root as the documents write them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "trash.h"

// The root's descriptor, or -1 and err.
int open_root(const std::string &root, std::string *err);

// What the user is asked about: the entry as it was when asked. The birth
// time, where the file system keeps one, tells a new file from an old one
// whose inode number it reuses.
struct entry_id {
    dev_t dev = 0;
    ino_t ino = 0;
    bool is_dir = false;
    int64_t born_ns = -1;  // -1: not kept here
};
// Reads the identity of the entry at names; false and err when it is gone
// or cannot be reached.
bool identify_below_root(int root_fd, const std::vector<std::string> &names, entry_id *id, std::string *err);

// The directories the scan entered below the one to delete, by their names
// in the documents: the delete enters no other (those left out by a pattern,
// made since the scan, ...). Node 0 is the directory deleted.
struct entered_dirs {
    std::unordered_map<std::string, int> kids;  // "parent/name" -> node
    int count = 1;
    int add(int parent, const std::string &name);
    int find(int parent, const std::string &name) const;  // -1: not entered
    // The directory at names below node 0 was recorded but not entered (a
    // loop, an unreadable directory, a pseudo file system).
    void not_entered(const std::vector<std::string> &names);
};

struct delete_options {
    const entered_dirs *entered = nullptr;  // null: any directory
    bool skip_caches = false;               // leave directories with a CACHEDIR.TAG
    int max_open = 32;                      // directories held open at once
};

// Deletes the entry at names if it is still the one confirmed, and all a
// directory holds, without following a link, entering another mount (bind
// mounts of the same file system included), a loop, or a directory the scan
// did not enter. Goes on past what it must not or cannot delete, and tells
// each such entry in *kept ("path: why", paths below the entry's parent);
// false when anything is kept.
bool delete_below_root(int root_fd, const std::vector<std::string> &names, const entry_id &confirmed,
                       const delete_options &opts, std::vector<std::string> *kept);
// Moves the entry at names to the trash (trash.h) if it is still the one
// confirmed, reached as delete_below_root() reaches it.
trash_result trash_below_root(int root_fd, const std::vector<std::string> &names, const entry_id &confirmed);
// The path of the directory with its real names, for a new scan.
bool raw_path_below_root(int root_fd, const std::string &root, const std::vector<std::string> &names,
                         std::string *path, std::string *err);
// A file's length and the space it takes, read now.
bool sizes_below_root(int root_fd, const std::vector<std::string> &names, uint64_t *apparent, uint64_t *on_disk);
