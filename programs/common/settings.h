// qvdisk's settings, as its command line gave them, and the statuses it ends
// with: read by every part of qvdisk, filled in by cli/args.cpp alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The PATHs scanned at once: the library's 32 scans, one of them the whole.
constexpr size_t MAX_ROOTS = 31;

enum exit_code { EXIT_OK = 0, EXIT_SCAN_FAILED = 1, EXIT_USAGE = 2, EXIT_INTERRUPTED = 130 };

struct options {
    const char *path = nullptr;  // the first PATH; "" once several are scanned as one
    std::vector<const char *> paths;  // every PATH, in the order given
    const char *json = nullptr;  // tree, top, ext, diff
    const char *save = nullptr;  // file for the scan result document
    const char *since = nullptr;  // a saved scan to compare the new one with
    const char *compare_old = nullptr, *compare_new = nullptr;  // two saved scans, no scan
    const char *html = nullptr;  // file for the treemap page
    const char *import_file = nullptr;  // -f: a scan read from this file ("-": stdin), no walk
    const char *export_file = nullptr;  // --export: the scan in ncdu's format ("-": stdout)
    const char *table_file = nullptr;   // --table: one row per entry (.sqlite, .csv, .ndjson)
    int max_depth = 0;
    bool follow_links = false;
    bool apparent_size = false;    // file lengths instead of the space on disk
    bool count_links = false;      // a hard-linked file counts under every name
    bool one_file_system = false;
    bool exclude_caches = false;
    std::vector<std::string> excludes;  // shell patterns, as du --exclude
    std::vector<std::string> exclude_files;  // --exclude-from, read by read_exclude_files()
    int stall_timeout_ms = 0;  // 0: the library's default; negative: never give up
    int top = 10;
    int levels = 2;
    int exts = 10;
    bool interactive = false;  // -i: browse the scan in the terminal
    bool read_only = false;    // no deleting in the browser
    bool extended = false;     // -e: modification times, owners and modes kept and shown
    bool no_trash = false;     // deleting in the browser removes for good instead of to the trash
    bool mounts = false;       // --mounts: the mounted file systems, no scan
    // --older-than, --newer-than: only files modified before older_at, and
    // at or after newer_at (seconds since 1970), as the texts gave them.
    const char *older_than = nullptr, *newer_than = nullptr;
    int64_t older_at = 0, newer_at = 0;
};
