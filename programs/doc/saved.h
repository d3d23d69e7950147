// A scan result document read back into a compact tree: what --save writes
// and --since and --compare read. The document comes through the one reader
// (docread.h) as the library writes it; the tree adds the checks that tie
// entries together (a directory's size and files are its entries' sums, no
// name twice in a directory, a file counts one file, "total_dirs" counts
// the directories), so that a truncated, edited or hostile file can neither
// crash qvdisk nor give a wrong answer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "docsink.h"

// One entry, 32 bytes; entries are kept in the document's order (each
// directory's entries after it, largest first), so the text can be written
// again from them in order.
struct sv_entry {
    uint64_t size = 0;
    uint64_t files = 0;
    uint64_t name_at : 40 = 0;  // into sv_tree::names
    uint64_t name_len : 16 = 0;
    uint64_t is_dir : 1 = 0;
    uint64_t dropped : 1 = 0;  // left out when a name was merged (sv_read_scan, before it rewrites)
    uint32_t kids_at = 0;      // into sv_tree::kids
    uint32_t kid_count = 0;
};

struct sv_tree {
    std::string path;  // the root as scanned
    uint64_t total_dirs = 0;
    double scan_time_ms = 0;
    std::vector<sv_entry> entries;  // [0] is the root: total_size, total_files
    std::string names;              // every name, one after another
    // Each directory's entries by name (ties in document order), which
    // comparing two trees walks in step.
    std::vector<uint32_t> kids;

    std::string_view name(const sv_entry &e) const { return {names.data() + e.name_at, (size_t)e.name_len}; }
    const uint32_t *kids_of(const sv_entry &e) const { return kids.data() + e.kids_at; }
};

// Reads a document from text[0..len). False with *error set (one phrase,
// "at byte N") when it is not a scan result.
bool sv_read(const char *text, size_t len, sv_tree *tree, std::string *error);
// The same for a document straight from the library, where a directory
// listing may have given one name twice (a file system can): the first
// entry of that name is kept with what it holds, the later ones are left
// out with their sizes, files and directories, and counted in *merged.
bool sv_read_scan(const char *text, size_t len, sv_tree *tree, uint64_t *merged, std::string *error);
// Reads a document from a file, in pieces: the file is never held whole.
bool sv_read_file(FILE *f, sv_tree *tree, std::string *error);

// A source: tells sink the tree, as a reader would tell it the document
// the tree was read from.
bool sv_feed(const sv_tree &tree, doc_sink &sink);

// The tree as a scan result document again, as the library writes it
// (empty for a tree never read).
std::string sv_text(const sv_tree &tree);
// s as a JSON string with its quotes (s is valid UTF-8).
std::string sv_quote(std::string_view s);
