// The treemap page: one self-contained HTML file holding a scan's documents.
#pragma once

#include <cstdio>

#include "quorvel_disk.h"

// What a page shows; any member may be null.
struct treemap_docs {
    const char *tree = nullptr;      // disk_scan_result()
    const char *top = nullptr;       // disk_get_top()
    const char *ext = nullptr;       // disk_get_extensions()
    const char *problems = nullptr;  // disk_get_problems()
    const disk_problems *counts = nullptr;  // disk_scan_problems()
    const char *growth = nullptr;    // growth_doc(): colour by growth since an older scan
    const disk_scan_options *options = nullptr;  // disk_scan_get_options()
};

// Writes the page with the documents embedded as JSON data. Returns false
// when writing failed.
bool write_treemap_page(FILE *out, const treemap_docs &docs);
