// Scans that travel: a scan read from another tool's export (-f, and
// --since and --compare given one) and written as one (--export).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "quorvel_disk.h"
#include "saved.h"

// Reads the export in file ("-": standard input) into a scan of the
// library, which counts sizes as opts says. EXIT_OK (settings.h) with *id,
// the caller's to free; else EXIT_USAGE once one line on stderr said why.
// *left_out: entries the file marks excluded, left out as a walk leaves
// them.
// *root: the root's path as the file names it.
int read_scan_file(const char *file, const disk_scan_options &opts, int *id, uint64_t *left_out, std::string *root);
// Whether f (at its start, rewound after) holds an export in ncdu's format
// rather than a saved scan.
bool is_export(FILE *f);
// The export in f read into *tree, as sv_read_file reads a saved scan:
// through the library, whose scan result is read back. False with *error.
bool read_export_tree(FILE *f, const disk_scan_options &opts, sv_tree *tree, std::string *error);
// The scan id in ncdu's format to file ("-": standard output), replacing it
// whole or not at all. EXIT_OK, or EXIT_SCAN_FAILED once a line said why.
int write_export(const char *file, int id);
