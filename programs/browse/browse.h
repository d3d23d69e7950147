// qvdisk -i: the model of the terminal browser. The screen is drawn from it
// alone (browser.cpp) and keys only change it (browsemodel.cpp,
// interactive.cpp), so every screen follows from the keys typed.
//
// The model holds only the directories that have been opened: each is read
// from the library with disk_get_dir() when it is first opened, one level
// deep, and kept; deletions and rescans change the model, never the scan.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "quorvel_disk.h"

// A directory the scan did not take in whole, as disk_get_problems() lists
// it; kind empty: none.
struct dir_problem {
    std::string kind;  // "unreadable", "stalled", "loop", "pseudo_fs", ...
    int error = 0;     // the system's error code, for "unreadable"
};
// A scan's problems by the directory's path as disk_get_dir() takes it.
using problem_map = std::unordered_map<std::string, dir_problem>;

struct bnode {
    std::string name;  // as the documents write it (UTF-8); the root: the path
    uint64_t size = 0, files = 0;
    int parent = -1;
    bool is_dir = false;
    bool loaded = false;    // kids read from the library
    int scan = -1;          // the scan whose tree holds this directory
    std::string lib_path;   // its path there, as disk_get_dir() takes it
    std::vector<int> kids;  // in the document's order: largest first
    dir_problem problem;    // why the scan did not take it in whole
    // What a scan with -e keeps (DISK_FIELD_* bits in fields say which):
    // the modification time (a directory's: the newest below it), owner
    // and mode as stat gives them.
    uint8_t fields = 0;
    int64_t mtime = 0;
    uint32_t uid = 0, gid = 0, mode = 0;
};

enum sort_key { BY_SIZE, BY_NAME, BY_COUNT, BY_EXT, BY_TIME };
enum view_mode { VIEW_LIST, VIEW_TOP, VIEW_EXT, VIEW_INFO, VIEW_HELP, VIEW_CONFIRM, VIEW_FILTER, VIEW_MARKS };

// A line of the largest-files (t), extensions (x) or marked (v) list.
struct stat_row {
    std::string name;  // a file's path below the directory, ".ext", or a marked entry's path
    uint64_t size = 0, count = 0;
};

struct browser {
    std::vector<bnode> nodes;  // nodes[0] is the scan's root
    std::string root_raw;      // the root path as given, bytes as they are
    int cur = 0;               // the directory shown
    std::vector<int> rows;     // its kids as shown: filtered, then sorted
    int sel = 0, top = 0;      // selected row, first row on the screen
    sort_key sort = BY_SIZE;
    bool reverse = false;
    std::string filter;        // a part of the name, any case
    view_mode view = VIEW_LIST;
    std::vector<stat_row> stats;  // the t, x or v list
    int stats_top = 0;
    std::string info;          // the i text, one line per detail
    std::string message;       // one line above the keys, until the next key
    std::unordered_map<int, problem_map> problems;  // by scan id
    std::set<int> marks;       // marked nodes, in any directory
    const char *size_kind = "on disk";
    bool read_only = false;
    bool no_trash = false;     // d deletes for good, as D does
    bool color = false;
    bool show_files = true;   // the files column (C)
    bool show_time = true;    // the modification time column (m), when the scan has times
    bool has_times = false;   // the scan keeps times (-e): its root has one
    bool has_owners = false;  // and owners and modes
};

// An entry of a directory document, in the document's order; depth 0 is the
// directory asked for (the root object reads as a directory).
struct doc_entry {
    std::string name;
    uint64_t size = 0, files = 0;
    bool is_dir = true;
    unsigned fields = 0;  // DISK_FIELD_* bits: which of the members below the document gave
    int64_t mtime = 0;
    uint32_t uid = 0, gid = 0, mode = 0;
};
// Reads a document of disk_get_dir() or disk_scan_result(); false when the
// text is not one.
bool read_dir_doc(const char *text, const std::function<void(int depth, const doc_entry &)> &fn);
// Reads a list of disk_get_problems(); empty for anything else.
problem_map read_problems(const char *text);
// What a problem means, as the page says it on hover ("could not be read
// (error 13)", "stalled: the storage did not answer"), and in a word or
// two for a row ("unreadable", "stalled").
std::string problem_text(const dir_problem &p);
std::string problem_tag(const dir_problem &p);

// The model's operations (browsemodel.cpp).
void browser_init(browser &b, int scan, const std::string &root_raw, const char *root_doc);
bool load_dir(browser &b, int node);
void refresh_rows(browser &b);
void move_sel(browser &b, int delta);
void open_selected(browser &b);
void go_up(browser &b);
void set_sort(browser &b, sort_key k);
// What the document says of an entry beyond its sizes, into node; for a
// directory scanned again, the times above it raised to its own.
void take_meta(browser &b, int node, const doc_entry &e);
// The path shown for node: the root's, then the names, joined by "/".
std::string shown_path(const browser &b, int node);
// The names from the root down to node, the root's own left out.
std::vector<std::string> names_below_root(const browser &b, int node);
// Takes node out, its size and files out of every directory above it.
void remove_node(browser &b, int node);
// Node's contents now come from scan at lib_path, with these totals.
void replace_dir(browser &b, int node, int scan, const std::string &lib_path, uint64_t size, uint64_t files);
// Whether node lies at or below top.
bool is_below(const browser &b, int node, int top);
// Marks the selected entry, or unmarks it, and selects the next.
void toggle_mark(browser &b);
// The marked entries to act on: those below a marked directory go with it.
std::vector<int> marks_to_act_on(const browser &b);
// The marked list (v) in b.stats, by path.
void list_marks(browser &b);
// How many entries, bytes and files nodes hold.
struct mark_totals {
    size_t count = 0;
    uint64_t size = 0, files = 0;
};
mark_totals totals_of(const browser &b, const std::vector<int> &nodes);

// The largest files (up to n) and the extensions below node, with what was
// deleted or rescanned taken into account (browsestats.cpp).
void largest_files(browser &b, int node, size_t n, std::vector<stat_row> *out);
void extensions(browser &b, int node, std::vector<stat_row> *out);
// The extension of a file name as the library counts it; empty for none.
std::string extension_of(const std::string &name);
