// A source (docsink.h) for exports in ncdu's JSON format, as ncdu -o and
// gdu -o write them, plain or compressed with zstd (ncdu -c, or zstd by
// hand): qvdisk reads another tool's scan as if it had walked it.
//
// The export gives a directory's entries before anything about their
// totals, so the root says sums_later and every node carries its
// disk_entry (own sizes, dev/ino/nlink of hard-linked files, why a
// directory was not entered) with size, files and dirs left 0; the
// library's import adds them up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "docsink.h"

struct ncdu_read_options {
    // Count a hard-linked file once. Only gdu's exports need telling: gdu
    // counts a file's later names itself, and marks only them (ino, hlnkc),
    // so a marked name is passed with sizes 0 and not grouped when this is
    // set, and with its sizes when not. ncdu marks every name and the
    // import groups them by dev and ino.
    bool links_once = true;
};

// What a read found besides the tree.
struct ncdu_read_stats {
    // Entries the file marks excluded by pattern (or by a kind not known
    // here), left out as qvdisk's own walk leaves such entries out.
    uint64_t left_out = 0;
    // The export is gdu's (its metadata's "progname").
    bool gdu = false;
    // The file was zstd-compressed.
    bool zstd = false;
};

// Reads an export from f, from where it stands, in pieces (a pipe will do),
// decompressing it first when it starts with zstd's magic. False with
// *error set to one phrase and "at byte N", N counting the bytes of the
// export's text (decompressed) read when the fault was found; *error is
// then what the sink refused when it was the sink. piece_bytes is the size
// of the pieces read (and decompressed).
bool ncdu_read_file(FILE *f, const ncdu_read_options &options, doc_sink &sink, std::string *error,
                    ncdu_read_stats *stats = nullptr, size_t piece_bytes = 1 << 20);
// The same from text[0..len), which is the export's text (not compressed).
bool ncdu_read_text(const char *text, size_t len, const ncdu_read_options &options, doc_sink &sink,
                    std::string *error, ncdu_read_stats *stats = nullptr);

// What a file's first bytes say it is, for qvdisk to choose a reader.
enum class ncdu_kind {
    other,
    json,  // white space, then '[' and the number 1
    zstd,  // zstd's magic, 28 B5 2F FD
};
ncdu_kind ncdu_sniff(const void *head, size_t len);
