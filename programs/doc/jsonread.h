// The library's documents as the report needs them: a tree of nodes down
// to a depth, and the list documents; read by the one reader (docread.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct jr_node {
    std::string name;  // "name" (entries), "path" (root, files), "ext"
    uint64_t size = 0; // "size", "total_size"
    uint64_t files = 0;  // "files", "total_files", "count"
    uint64_t dirs = 0;   // "total_dirs"
    double scan_time_ms = 0;
    bool is_dir = false;
    std::vector<jr_node> children;  // read down to the depth asked for
};

// Reads a scan result document; children are kept for levels below the
// root (0: none). False when the text is not such a document (an error
// text such as {"error":"out of memory"} included).
bool jr_read_tree(const char *text, int levels, jr_node *root);
// Reads an array of flat objects (largest files, extensions).
bool jr_read_list(const char *text, std::vector<jr_node> *items);
