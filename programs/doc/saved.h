// A scan result document read back into a compact tree: what --save writes
// and --since and --compare read. The reader takes the document as the
// library writes it and refuses anything else with a reason, so a truncated,
// edited or hostile file can neither crash qvdisk nor give a wrong answer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// One entry; children follow the document's order (largest first).
struct sv_entry {
    uint64_t size = 0;
    uint64_t files = 0;
    uint64_t name_at = 0;  // into sv_tree::names
    uint32_t name_len = 0;
    uint32_t first_child = 0;  // 0: none (entry 0 is the root)
    uint32_t next_sibling = 0;
    uint32_t child_count = 0;
    bool is_dir = false;
};

struct sv_tree {
    std::string path;  // the root as scanned
    uint64_t total_dirs = 0;
    double scan_time_ms = 0;
    std::vector<sv_entry> entries;  // [0] is the root: total_size, total_files
    std::string names;              // every name, one after another

    std::string_view name(const sv_entry &e) const { return {names.data() + e.name_at, e.name_len}; }
};

// Deeper nesting than this is refused. Real trees can be deep (the walk
// goes on past PATH_MAX), and the reader keeps its place on the heap, so the
// bound is only there to keep a hostile file's cost in proportion.
const int SV_MAX_DEPTH = 1 << 20;

// Reads a document from text[0..len). False with *error set (one phrase,
// "at byte N" where it helps) when it is not a scan result.
bool sv_read(const char *text, size_t len, sv_tree *tree, std::string *error);
// The same for a document straight from the library, where a directory
// listing may have given one name twice (a file system can): the first
// entry of that name is kept with what it holds, the later ones are left
// out with their sizes, files and directories, and counted in *merged.
bool sv_read_scan(const char *text, size_t len, sv_tree *tree, uint64_t *merged, std::string *error);
// Reads a document from a file, in pieces: the file is never held whole.
bool sv_read_file(FILE *f, sv_tree *tree, std::string *error);

// The tree as a scan result document again, as the library writes it
// (empty for a tree never read).
std::string sv_text(const sv_tree &tree);
// s as a JSON string with its quotes (s is valid UTF-8).
std::string sv_quote(std::string_view s);
