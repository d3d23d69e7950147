// The treemap page: one self-contained HTML file holding a scan's documents.
#pragma once

#include <cstdio>

// Writes the page with the three documents embedded as JSON data; any of
// them may be null. Returns false when writing failed.
bool write_treemap_page(FILE *out, const char *tree_doc, const char *top_doc, const char *ext_doc);
