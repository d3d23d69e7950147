// --save, --since and --compare: saved scans read, compared and written out.
#pragma once

#include "quorvel_disk.h"
#include "settings.h"
#include "htmlreport.h"
#include "report.h"
#include "saved.h"

// Reads the saved scan in file into *tree; EXIT_OK, or EXIT_USAGE once one
// line on stderr has said why not. A file in ncdu's export format is read
// too, counted as the scan options as say (size_kind, hard_links_once).
int load_saved(const char *file, const disk_scan_options &as, sv_tree *tree);
// Reads two saved scans as load_saved() does, at the same time; what is
// said when one cannot be read is what reading them in turn would say.
int load_saved_pair(const char *older_file, const char *newer_file, const disk_scan_options &as, sv_tree *older,
                    sv_tree *newer);

// Writes doc (the scan result text) and a newline to file, replacing it
// whole or leaving it as it was; EXIT_OK or EXIT_SCAN_FAILED with a line on
// stderr. A name the file system listed twice in one directory is saved
// once, with a warning, so that the file always reads back.
int save_scan(const char *file, const char *doc);
// The warning for names listed twice, merged count of them.
void warn_listed_twice(uint64_t merged);
// The treemap page written to file whole or not at all; as save_scan.
int write_page(const char *file, const treemap_docs &docs);

// Compares older with newer and writes what the options ask for: the page
// (page.tree the newer scan's text, or null to write it from newer;
// page.top and the rest when there are any), then the text report or
// --json diff; out of memory is one line on stderr and EXIT_SCAN_FAILED. older_file is where older was
// read from; newer_file too, or null for a scan just made.
int write_comparison(const options &o, const sv_tree &older, const sv_tree &newer, const char *older_file,
                     const char *newer_file, treemap_docs page, const style &st);
