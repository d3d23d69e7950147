// Document benchmark: scans a tree through the exports, then times the
// ordering, the rendering of the scan result, disk_get_top(100) and
// disk_get_extensions, each also as a share of the scan; and, on the same
// warm tree, ncdu's and gdu's scan-and-export.
//
//   bench_docs DIR [--runs N] [--no-peers]
//
// Figures are medians over N scans (default 3): wall time, and beside it the
// calling thread's CPU time, which other load on the machine disturbs less.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <time.h>

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
#include "sorter.h"

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

double cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

// Wall and thread CPU milliseconds of one stretch of work.
struct Span {
    clock_type::time_point t0 = clock_type::now();
    double c0 = cpu_ms();
    double wall() const { return ms_since(t0); }
    double cpu() const { return cpu_ms() - c0; }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Figures {
    double scan;        // disk_scan to SCAN_DONE, wall
    double order[2];    // qv_sort_tree from the walk's order (wall, cpu)
    double reorder[2];  // qv_sort_tree of the ordered tree (part of disk_scan_result)
    double document[2]; // disk_scan_result: its ordering pass and the rendering
    double render[2];   // document - reorder
    double top100[2];   // disk_get_top(id, 100), median of 5
    double extensions[2]; // disk_get_extensions, first call
    double doc_bytes;
    uint64_t entries;
};

bool one_run(const char *dir, Figures *f)
{
    auto t0 = clock_type::now();
    int id = disk_scan(dir, 0, 0);
    if (id < 0)
        return false;
    int st;
    while ((st = disk_scan_status(id)) == SCAN_IDLE || st == SCAN_RUNNING)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    f->scan = ms_since(t0);
    qv_scan_result *r = qv_scanner_get_result(id);
    if (st != SCAN_DONE || !r) {
        disk_free(id);
        return false;
    }
    f->entries = r->total_files + r->total_dirs + 1;

    Span s;
    qv_sort_tree(r->root, SORT_SIZE_DESC);
    f->order[0] = s.wall(), f->order[1] = s.cpu();
    s = Span();
    qv_sort_tree(r->root, SORT_SIZE_DESC);
    f->reorder[0] = s.wall(), f->reorder[1] = s.cpu();

    s = Span();
    const char *doc = disk_scan_result(id);
    f->document[0] = s.wall(), f->document[1] = s.cpu();
    for (int k = 0; k < 2; k++)
        f->render[k] = f->document[k] - f->reorder[k];
    f->doc_bytes = doc ? (double)strlen(doc) : 0.0;

    std::vector<double> tops[2];
    for (int i = 0; i < 5; i++) {
        s = Span();
        disk_get_top(id, 100);
        tops[0].push_back(s.wall());
        tops[1].push_back(s.cpu());
    }
    f->top100[0] = median(tops[0]), f->top100[1] = median(tops[1]);

    s = Span();
    disk_get_extensions(id);
    f->extensions[0] = s.wall(), f->extensions[1] = s.cpu();
    disk_free(id);
    return true;
}

// Wall time of a child process, or -1 when it cannot run or fails.
double time_command(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = clock_type::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = ms_since(t0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR [--runs N] [--no-peers]\n", argv[0]);
        return 2;
    }
    const char *dir = argv[1];
    int runs = 3;
    bool peers = true;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--no-peers"))
            peers = false;
    }

    Figures warm{};
    if (!one_run(dir, &warm)) {  // warms the page cache; not counted
        fprintf(stderr, "scan of %s failed\n", dir);
        return 1;
    }
    std::vector<Figures> all;
    for (int i = 0; i < runs; i++) {
        Figures f{};
        if (!one_run(dir, &f))
            return 1;
        all.push_back(f);
    }
    auto med = [&](double Figures::*m) {
        std::vector<double> v;
        for (const Figures &f : all)
            v.push_back(f.*m);
        return median(v);
    };
    auto med2 = [&](double (Figures::*m)[2], int k) {
        std::vector<double> v;
        for (const Figures &f : all)
            v.push_back((f.*m)[k]);
        return median(v);
    };
    double scan = med(&Figures::scan);
    double doc_mb = all[0].doc_bytes / 1e6;
    printf("tree: %s, %llu entries, document %.1f MB, median of %d runs\n", dir,
           (unsigned long long)all[0].entries, doc_mb, runs);
    printf("%-34s %9s %7s %9s %7s\n", "", "wall ms", "% scan", "cpu ms", "% scan");
    printf("%-34s %9.1f\n", "scan (disk_scan to SCAN_DONE)", scan);
    auto row = [&](const char *name, double wall, double cpu, const char *extra) {
        printf("%-34s %9.1f %6.1f%% %9.1f %6.1f%%  %s\n", name, wall, 100.0 * wall / scan, cpu,
               100.0 * cpu / scan, extra);
    };
    double order[2], render[2];
    for (int k = 0; k < 2; k++) {
        order[k] = med2(&Figures::order, k);
        render[k] = med2(&Figures::render, k);
    }
    char rate[96];
    snprintf(rate, sizeof rate, "%.0f MB/s wall, %.0f MB/s cpu", doc_mb / (render[0] / 1000.0),
             doc_mb / (render[1] / 1000.0));
    row("ordering (from walk order)", order[0], order[1], "");
    row("rendering", render[0], render[1], rate);
    row("ordering + rendering", order[0] + render[0], order[1] + render[1], "");
    char re[64];
    snprintf(re, sizeof re, "(its re-ordering pass %.1f ms wall)", med2(&Figures::reorder, 0));
    row("disk_scan_result on ordered tree", med2(&Figures::document, 0), med2(&Figures::document, 1), re);
    row("disk_get_top(100)", med2(&Figures::top100, 0), med2(&Figures::top100, 1), "");
    row("disk_get_extensions", med2(&Figures::extensions, 0), med2(&Figures::extensions, 1), "");
    printf("%-34s %9.1f\n", "scan + ordering + rendering", scan + order[0] + render[0]);

    if (peers) {
        const std::string out = "/tmp/bench_docs_peer.out";
        struct Peer {
            const char *name;
            std::vector<std::string> argv;
        } list[] = {
            {"ncdu -0 -o FILE", {"ncdu", "-0", "-o", out, dir}},
            {"gdu -n -p -o FILE", {"gdu", "-n", "-p", "-o", out, dir}},
        };
        for (const Peer &p : list) {
            std::vector<double> t;
            for (int i = 0; i < runs; i++) {
                double ms = time_command(p.argv);
                if (ms < 0)
                    break;
                t.push_back(ms);
            }
            if (t.empty())
                printf("%-34s   (did not run)\n", p.name);
            else
                printf("%-34s %10.1f ms\n", p.name, median(t));
        }
        remove(out.c_str());
    }
    return 0;
}
