// qvdisk -i: deleting and naming entries below the scan's root (POSIX).
// names are the entry's names below root as the documents write them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Deletes the entry, and all a directory holds, without following a link
// and without leaving the root's file system; stops at the first refusal,
// told in *err (what was deleted before it stays deleted).
bool delete_below_root(const std::string &root, const std::vector<std::string> &names, std::string *err);
// The path of the directory with its real names, for a new scan.
bool raw_path_below_root(const std::string &root, const std::vector<std::string> &names, std::string *path,
                         std::string *err);
// A file's length and the space it takes, read now.
bool sizes_below_root(const std::string &root, const std::vector<std::string> &names, uint64_t *apparent,
                      uint64_t *on_disk);
