// Scan benchmark: whole scans through the exports, timed as child processes
// beside du, gdu and the bare list-and-stat walk, on the same warm tree.
//
//   bench_scan DIR [--runs N] [--floor PATH_TO_FLOOR]
//
// Prints per tool the median wall time, entries per second and peak resident
// memory (per entry for this library: the tree is what it keeps).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

extern char **environ;

namespace {

struct Run {
    double ms;
    long maxrss_kib;
};

// One scan in this process; prints entries and the library's own time.
// du_like: space on disk, hard links once, one file system (as du counts);
// extended: times and owners kept too.
int scan_once(const char *dir, bool du_like, bool extended = false)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.extended = extended ? 1 : 0;
    if (du_like) {
        o.size_kind = DISK_SIZE_ON_DISK;
        o.hard_links_once = 1;
        o.one_file_system = 1;
    }
    int id = disk_scan_ex(dir, &o);
    if (id < 0)
        return 1;
    int st;
    while ((st = disk_scan_status(id)) == SCAN_IDLE || st == SCAN_RUNNING)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a host polls, not spins
    qv_scan_result *r = qv_scanner_get_result(id);
    if (st != SCAN_DONE || !r)
        return 1;
    printf("%llu %llu %.0f\n", (unsigned long long)(r->total_files + r->total_dirs + 1),
           (unsigned long long)r->total_size, r->scan_time_ms);
    disk_free(id);
    return 0;
}

Run spawn_and_time(const std::vector<std::string> &argv, std::string *out)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int pipefd[2];
    if (pipe(pipefd) != 0)
        exit(1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) {
        fprintf(stderr, "cannot run %s\n", args[0]);
        exit(1);
    }
    close(pipefd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(pipefd[0]);
    int status;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    auto t1 = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&fa);
    if (out)
        *out = text;
    return {std::chrono::duration<double, std::milli>(t1 - t0).count(), ru.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--one") == 0)
        return scan_once(argv[2], false);
    if (argc >= 3 && strcmp(argv[1], "--one-du") == 0)
        return scan_once(argv[2], true);
    if (argc >= 3 && strcmp(argv[1], "--one-ext") == 0)
        return scan_once(argv[2], false, true);
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR [--runs N] [--floor PATH]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    int runs = 5;
    std::string floor_bin;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--floor") == 0)
            floor_bin = argv[i + 1];
    }
    std::string self = argv[0];
    std::string out;
    spawn_and_time({self, "--one", dir}, &out);  // warm the caches
    unsigned long long entries = 0, bytes = 0;
    sscanf(out.c_str(), "%llu %llu", &entries, &bytes);
    printf("tree %s: %llu entries, %llu bytes, %d runs each (median)\n", dir.c_str(), entries, bytes, runs);

    struct Tool {
        std::string name;
        std::vector<std::string> argv;
    };
    std::vector<Tool> tools = {{"quorvel-disk", {self, "--one", dir}},
                               {"quorvel-disk on disk -x", {self, "--one-du", dir}},
                               {"quorvel-disk extended", {self, "--one-ext", dir}}};
    if (!floor_bin.empty())
        tools.push_back({"floor -t 2", {floor_bin, "-t", "2", dir}});
    tools.push_back({"du -s --apparent-size -B1", {"du", "-s", "--apparent-size", "-B1", dir}});
    tools.push_back({"du -sxB1", {"du", "-sxB1", dir}});
    if (system("command -v gdu >/dev/null 2>&1") == 0)
        tools.push_back({"gdu -n -p -s -a", {"gdu", "-n", "-p", "-s", "-a", dir}});
    if (system("command -v ncdu >/dev/null 2>&1") == 0)
        tools.push_back({"ncdu -0 -x -o /dev/null", {"ncdu", "-0", "-x", "-o", "/dev/null", dir}});

    // What a process of this program holds with an empty tree: the rest of
    // its peak is what the tree costs.
    char empty_dir[] = "/tmp/qvbench-empty-XXXXXX";
    long base_kib = 0;
    if (mkdtemp(empty_dir)) {
        base_kib = spawn_and_time({self, "--one", empty_dir}, nullptr).maxrss_kib;
        rmdir(empty_dir);
    }

    double ours = 0, ours_du = 0, ours_ext = 0, floor_ms = 0;
    for (const Tool &t : tools) {
        spawn_and_time(t.argv, nullptr);
        std::vector<double> times;
        long rss = 0;
        for (int i = 0; i < runs; i++) {
            Run r = spawn_and_time(t.argv, nullptr);
            times.push_back(r.ms);
            rss = std::max(rss, r.maxrss_kib);
        }
        double ms = median(times);
        if (t.name == "quorvel-disk")
            ours = ms;
        if (t.name == "quorvel-disk" || t.name == "quorvel-disk extended")
            printf("%s tree alone: %.1f B/entry (peak %.1f MiB less %.1f MiB of an empty scan)\n", t.name.c_str(),
                   (rss - base_kib) * 1024.0 / (double)entries, rss / 1024.0, base_kib / 1024.0);
        if (t.name == "quorvel-disk extended")
            ours_ext = ms;
        if (t.name.rfind("floor", 0) == 0)
            floor_ms = ms;
        if (t.name == "quorvel-disk on disk -x")
            ours_du = ms;
        printf("%-28s %9.1f ms  %12.0f entries/s  peak RSS %8.1f MiB  %6.1f B/entry\n", t.name.c_str(), ms,
               entries / (ms / 1000.0), rss / 1024.0, rss * 1024.0 / (double)entries);
    }
    if (floor_ms > 0)
        printf("quorvel-disk / floor: %.2f\n", ours / floor_ms);
    if (ours > 0)
        printf("on disk + hard links once + one file system / default: %.3f\n", ours_du / ours);
    if (ours > 0)
        printf("extended / default: %.3f\n", ours_ext / ours);
    return 0;
}
