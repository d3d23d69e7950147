// The one reader of the library's JSON documents, saved scans among them:
// nlohmann-json's SAX parser under a handler that knows the documents'
// members and tells a sink (docsink.h) what they hold as they stream by.
// The parser keeps its place on the heap, so a document of any depth reads
// in constant stack, and a file is read in pieces, never held whole.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "docsink.h"

enum class doc_form {
    // A scan result exactly as the library writes it, which is what --save
    // writes and --compare and --since read back: the members of each
    // object in the library's order, none unknown, none twice, none missing
    // (but "scan_time_ms" and "children"), numbers whole but the scan time,
    // entry names that can be file names, no file with "children".
    saved,
    // A document the library just handed out: disk_scan_result() or one
    // directory of it (disk_get_dir(), whose top object may be an entry).
    // Members not known are passed over, whatever they hold.
    library,
    // An array of flat objects: disk_get_top(), disk_get_extensions(),
    // disk_get_problems(). Members not known are passed over.
    list,
};

// Entries nested deeper than this are refused. Real trees can be deep (the
// walk goes on past PATH_MAX) and the reader's stack use does not grow with
// depth; the bound keeps a hostile file's cost in proportion.
const int DOC_MAX_DEPTH = 1 << 20;
// Longer entry names are refused in saved scans: no file system has them.
const size_t DOC_MAX_NAME = 65535;

// Reads text[0..len) into sink. False with *error set to one phrase and
// where the reader was, "... at byte N", N being the bytes read when the
// fault was found (just past the value at fault, or where the text ran
// out); *error is then what the sink refused when it was the sink.
bool doc_read_text(const char *text, size_t len, doc_form form, doc_sink &sink, std::string *error);
// The same from a file, read from where it stands in pieces of piece_bytes.
bool doc_read_file(FILE *f, doc_form form, doc_sink &sink, std::string *error, size_t piece_bytes = 1 << 20);
