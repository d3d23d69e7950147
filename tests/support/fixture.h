// Helpers for tests: real directory trees in a temporary folder, scans run
// synchronously, and a flat view of a scanned tree to compare against.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scanner.h"
#include "tree.h"

namespace qvtest {

// A fresh empty directory below the system's temporary folder; removed by
// the destructor.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};

void mkdirp(const std::string &path);
// A file of the given length (sparse beyond the first bytes).
void wfile(const std::string &path, uint64_t size);
// Windows builds create a junction / Linux builds a symbolic link.
bool symlink_to(const std::string &target, const std::string &link);

#ifdef _WIN32
// Under Wine: whether the process runs under it, the Unix path of a Windows
// path, and a Unix program run to its end (true on exit 0).
bool under_wine();
std::string unix_path(const std::string &path);
bool run_unix(const std::vector<std::string> &argv);
#endif

struct FlatEntry {
    std::string path;  // relative to the root, "/"-joined
    bool is_dir;
    uint64_t size;     // files only; 0 for directories
    bool operator==(const FlatEntry &o) const { return path == o.path && is_dir == o.is_dir && size == o.size; }
    bool operator<(const FlatEntry &o) const { return path < o.path; }
};

// Every entry below the root of a scanned tree, sorted by path.
std::vector<FlatEntry> flatten(const qv_scan_result *r);
// The same, from an independent walk of the file system (std::filesystem),
// not following links.
std::vector<FlatEntry> walk_fs(const std::string &root);

// A whole scan on the calling thread; pool false walks without workers.
qv_scan_result *scan_sync(const std::string &path, int max_depth = 0, bool follow_links = false,
                          bool pool = true);
// The same with the host's options (null: none) and the walk's knobs.
qv_scan_result *scan_sync_with(const std::string &path, const disk_scan_options *opts,
                               const qv_walk_hooks &hooks = {});

// Names of an entry's children in list order.
std::vector<std::string> child_names(const qv_entry *e);
// The child of e named name, or null.
const qv_entry *find_child(const qv_entry *e, const std::string &name);

// Polls scan id until it is neither idle nor running; its final state.
int wait_scan(int id);

// A walk driven straight through the walker, without a scan slot: set the
// context's hooks, then run (with the options of a plain disk_scan).
struct WalkRun {
    qv_walk_ctx ctx;
    qv_options opts{};
    std::atomic<int32_t> cancel{0};
    qv_scan_result *r;
    qv_entry *root;
    WalkRun();
    ~WalkRun();
    WalkRun(const WalkRun &) = delete;
    WalkRun &operator=(const WalkRun &) = delete;
    // host: the options, as a host gives them (null: none).
    void run(const std::string &path, const disk_scan_options *host = nullptr);
};

// Waits (up to 10 s) until at least n workers of the running walk of ctx
// wait for work beyond what is queued: what is stacked then is handed out.
void wait_for_idle_workers(const qv_walk_ctx *ctx, int n);

// Runs fn on a new thread whose stack is stack_size bytes, and waits for it.
void run_with_stack(size_t stack_size, const std::function<void()> &fn);

}  // namespace qvtest
