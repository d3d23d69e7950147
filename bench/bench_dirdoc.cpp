// Directory document benchmark: scans a tree through the exports, then times
// disk_get_dir() for directories of a few hundred entries (one level, as a
// browser asks when it opens one), the first call (which orders the tree)
// apart, and beside it the whole result document and its size.
//
//   bench_dirdoc DIR [--min N] [--max N] [--dirs N] [--runs N]
//
// Directories are those with --min to --max entries (default 200 to 800),
// at most --dirs of them (default 200, the first met in the tree's order),
// each asked for --runs times (default 50). Figures: microseconds of wall
// time per call, median, 99th percentile and maximum over all calls.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvel_disk.h"
#include "scanner.h"

namespace {

using clock_type = std::chrono::steady_clock;

double us_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

double pick(std::vector<double> v, double q)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}

// Paths (as disk_get_top writes them) of up to limit directories whose
// child count lies in [lo, hi], and those child counts.
void find_dirs(const qv_scan_result *r, int lo, int hi, size_t limit, std::vector<std::string> *paths,
               std::vector<int> *counts)
{
    std::vector<char> buf(65536);
    for (const qv_entry *e = r->root; e && paths->size() < limit; e = qv_tree_next_preorder(r->root, e, e->is_dir)) {
        if (!e->is_dir)
            continue;
        int n = qv_tree_child_count(e);
        if (n < lo || n > hi)
            continue;
        paths->push_back(qv_tree_get_path(e, buf.data(), (int32_t)buf.size()));
        counts->push_back(n);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_dirdoc DIR [--min N] [--max N] [--dirs N] [--runs N]\n");
        return 2;
    }
    int lo = 200, hi = 800, ndirs = 200, runs = 50;
    for (int i = 2; i + 1 < argc; i += 2) {
        int v = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--min"))
            lo = v;
        else if (!strcmp(argv[i], "--max"))
            hi = v;
        else if (!strcmp(argv[i], "--dirs"))
            ndirs = v;
        else if (!strcmp(argv[i], "--runs"))
            runs = v;
    }
    auto t0 = clock_type::now();
    int id = disk_scan(argv[1], 0, 0);
    if (id < 0)
        return 1;
    while (disk_scan_status(id) == SCAN_IDLE || disk_scan_status(id) == SCAN_RUNNING)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double scan_ms = us_since(t0) / 1000.0;
    unsigned long long files = 0, dirs = 0, bytes = 0;
    disk_scan_progress(id, &files, &dirs, &bytes);
    printf("scan of %s: %llu files, %llu directories, %.0f ms\n", argv[1], files, dirs, scan_ms);

    std::vector<std::string> paths;
    std::vector<int> counts;
    find_dirs(qv_scanner_get_result(id), lo, hi, (size_t)ndirs, &paths, &counts);
    if (paths.empty()) {
        fprintf(stderr, "no directory with %d to %d entries\n", lo, hi);
        return 1;
    }
    // The first call orders the whole tree by size, as the first
    // disk_scan_result() would.
    t0 = clock_type::now();
    const char *doc = disk_get_dir(id, paths[0].c_str(), 1);
    double first_us = us_since(t0);
    if (!doc)
        return 1;
    std::vector<double> calls;
    size_t text_bytes = 0;
    for (int run = 0; run < runs; run++) {
        for (const std::string &p : paths) {
            t0 = clock_type::now();
            doc = disk_get_dir(id, p.c_str(), 1);
            calls.push_back(us_since(t0));
            if (!doc) {
                fprintf(stderr, "no document for %s\n", p.c_str());
                return 1;
            }
            if (run == 0)
                text_bytes += strlen(doc);
        }
    }
    t0 = clock_type::now();
    doc = disk_get_dir(id, argv[1], 1);
    double root_us = us_since(t0);
    size_t root_bytes = strlen(doc);
    t0 = clock_type::now();
    const char *full = disk_scan_result(id);
    double full_ms = us_since(t0) / 1000.0;

    int cmin = *std::min_element(counts.begin(), counts.end());
    int cmax = *std::max_element(counts.begin(), counts.end());
    printf("first disk_get_dir (orders the tree):   %10.1f us\n", first_us);
    printf("disk_get_dir, one level, %zu directories of %d to %d entries, %d runs each:\n", paths.size(), cmin,
           cmax, runs);
    printf("  median %.1f us   p99 %.1f us   max %.1f us   (%zu bytes a document on average)\n", pick(calls, 0.5),
           pick(calls, 0.99), pick(calls, 1.0), text_bytes / paths.size());
    printf("disk_get_dir of the root, one level:    %10.1f us  (%zu bytes)\n", root_us, root_bytes);
    printf("disk_scan_result, the whole tree:        %10.1f ms  (%zu bytes)\n", full_ms, strlen(full));
    disk_free(id);
    return 0;
}
