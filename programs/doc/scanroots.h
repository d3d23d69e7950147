// Several finished scans as one scan of the library: each told by
// disk_visit() into a child of an import begun under the empty path (see
// disk_import_begin), so that every document and sink works on the whole as
// on one scan. A root that lies inside another is told whole by its own
// scan and left out of the other's: each file counts once, as du counts a
// directory met again under a later argument.
#pragma once

#include <string>
#include <vector>

#include "quorvel_disk.h"

// For each of the roots' real paths (absolute, links resolved, "/" between
// names), the paths below it, "/"-joined, of the other roots that lie inside
// it. An empty real path (a root that leads nowhere) holds none. Equal
// paths are the caller's to have dropped.
std::vector<std::vector<std::string>> roots_inside(const std::vector<std::string> &real);

// A scan being built from several: begun before the scans start, so that
// its time is theirs, and so that it has a slot.
class roots_builder {
public:
    explicit roots_builder(const disk_scan_options &opts);
    ~roots_builder();
    roots_builder(const roots_builder &) = delete;
    roots_builder &operator=(const roots_builder &) = delete;

    // False when the library had no scan to give (32 at once, or memory).
    bool ok() const { return id_ >= 0; }
    // Tells the finished scan id into the whole as a root named by its path,
    // without the directories at the paths inner below it. False with
    // *error; the whole is then spoilt.
    bool add(int id, const std::vector<std::string> &inner, std::string *error);
    // The finished whole, the caller's to free; -1 when it failed or was
    // cancelled.
    int finish();

private:
    int id_ = -1;
};
