// Sources and sinks of disk-usage documents.
//
// A source reads a tree from somewhere and tells a sink what it holds, one
// call at a time, in the order of the tree's text; a sink does one thing
// with it and never sees where it came from. Each source, each sink is
// written once, and any of them meets any other:
//
//   sources                               sinks
//   doc_read_text, doc_read_file          sv_tree's builder (saved.cpp: the
//     (docread.h): the library's JSON       compact tree that --compare and
//     documents, saved scans among them     --since work on, with the checks
//   sv_feed (saved.h): a tree read           a saved scan must pass)
//     before                              the JSON writer (savedtext.cpp)
//   scan_feed (scanfeed.h): a finished    the report's nodes (jsonread.cpp)
//     scan in the library, every entry    the browser's entries and
//     with what the library keeps of it     problems (browse/browsedoc.cpp)
//   ncdu_read_file (ncduread.h): an       scan_builder (scanfeed.h): a scan
//     export in ncdu's format, as ncdu      built in the library, which then
//     and gdu write it                      answers every document for it
//                                         ncdu's format (ncduwrite.h)
//                                         the flat table (table/table.h)
//
// ncdu's format gives a directory's totals only after its entries: its
// source says so (doc_root::sums_later) and feeds scan_builder, whose scan
// adds them up and is then told to any other sink by scan_feed. A sink that
// needs totals at enter() (the table, the saved tree) refuses such a source.
// Another format read is another source; another thing written, a sink:
// neither needs the reader or any other sink changed.
//
// The calls, for a tree: root() once, then enter() for each entry in the
// text's order (a directory's entries follow it), leave() when a directory
// ends (the root's last, after all of it), end() when the source is done.
// A list document (largest files, extensions, problems) gives row() for
// each of its objects, then end(). A sink that returns false stops the
// source, which then fails with the sink's refusal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quorvel_disk.h"

// What a document of a scan with disk_scan_options.extended says of an
// entry besides its sizes ("mtime"; on Linux "uid", "gid", "mode"), as
// disk_entry holds it; fields 0 for a document without them.
struct doc_meta {
    unsigned fields = 0;  // DISK_FIELD_MTIME, DISK_FIELD_OWNER (uid, gid and mode all given)
    int64_t mtime = 0;    // seconds since 1970 (UTC); a directory's: the newest below it
    uint32_t uid = 0, gid = 0, mode = 0;
};

// The top of a tree: the scanned root, or the directory a document is cut
// from. Text is valid only during the call.
struct doc_root {
    std::string_view path;
    uint64_t size = 0;   // "total_size"
    uint64_t files = 0;  // "total_files"
    uint64_t dirs = 0;   // "total_dirs", the root left out
    double scan_time_ms = 0;
    // What a scan knows of the root itself (disk_entry in the public
    // header), when the source has it: a scan visited, an export imported.
    const disk_entry *entry = nullptr;
    // The source tells a directory's totals only after its entries (an
    // export in ncdu's format): size, files and dirs are 0 here and at
    // enter(). qvdisk takes such a source through the library's import,
    // which adds them up; a sink that needs them at enter() refuses it.
    bool sums_later = false;
    doc_meta meta;  // what the document itself says of the root beyond its sizes
};

// An entry below it.
struct doc_node {
    std::string_view name;
    uint64_t size = 0;
    uint64_t files = 0;  // 1 for a file
    uint64_t dirs = 0;   // directories below a directory, when the source knows
    bool is_dir = false;
    // What the source knows of the entry beyond this, or null.
    const disk_entry *entry = nullptr;
    doc_meta meta;  // what the document itself says of it beyond its sizes
};

// An object of a list document.
struct doc_row {
    std::string_view name;     // "path" (largest files, problems) or "ext"
    uint64_t size = 0;         // "size" or "total_size"
    uint64_t count = 0;        // "count" (extensions)
    std::string_view problem;  // "problem" (problems)
    int64_t error = 0;         // "error" (problems)
};

class doc_sink {
public:
    virtual ~doc_sink() = default;
    virtual bool root(const doc_root &) { return true; }
    virtual bool enter(const doc_node &) { return true; }
    virtual bool leave() { return true; }
    virtual bool row(const doc_row &) { return true; }
    virtual bool end() { return true; }

    // Why the sink stopped the source: one phrase, which the source follows
    // with where it was ("at byte N").
    const std::string &refusal() const { return refusal_; }

protected:
    bool refuse(std::string why)
    {
        refusal_ = std::move(why);
        return false;
    }

private:
    std::string refusal_;
};
