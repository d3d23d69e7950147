// The flat table: a sink that writes one row per entry of a tree, for
// SQLite, DuckDB, spreadsheets and whatever else reads rows.
//
// Each row: path (the root's path as given, then the names joined with
// "/"), parent (the directory's path; none for the root), name (the root's:
// its path), kind ("dir" or "file"), size (what the documents count),
// apparent_size and disk_size (a file's own, when the source knows them),
// files and dirs (a directory's totals below it), state (why a directory
// lacks children: unreadable, loop, pseudo_fs, stalled, other_fs, cache),
// error (the system's code, for unreadable), dev, ino and nlink (hard-linked
// files only) and depth (0 for the root). What a row lacks is null.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "docsink.h"

// What the scans table records.
struct table_scan {
    std::string host;     // the host name
    std::string root;     // the root as given
    int64_t time = 0;     // when the scan ended, seconds since the epoch (UTC)
    std::string options;  // the scan's options as compact JSON text
};

// A sink writing one row per entry (the root included) to path, the kind by
// its extension: .sqlite / .sqlite3 / .db (SQLite), .csv, .ndjson / .jsonl;
// "-" is CSV on standard output. Null with *error (one phrase) when the
// extension is none of them or the file cannot be written.
//
// SQLite files are shared: each scan adds a row to scans and its entries,
// all in one transaction that end() commits; a source that stops or fails
// leaves nothing of its scan. A CSV or NDJSON file not finished is removed.
std::unique_ptr<doc_sink> table_open(const std::string &path, const table_scan &scan, std::string *error);
