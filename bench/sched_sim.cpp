// Walk-scheduling simulator: how a scan's wall time shrinks with workers on
// a given tree shape, under the depth-limited hand-out rule (OLD) and under
// depth-first workers that give their shallowest directory to idle ones and
// share the stats of wide directories in chunks (NEW).
//
//   sched_sim [options] [[--under N] TREE]...
//
// TREE is a directory (its shape is recorded: per directory the number of
// entries and its subdirectories, not crossing file systems, links never
// followed) or a shape file written by --save. --under N puts the next tree
// at a/b/.../tree, N single-child directories below the scanned root (3: the
// bind mount of bench/storage.sh's skew case).
// With no TREE: /work/bench/tree1m, the same under 3 levels, /usr and
// /work/bench/tree100k (a missing one is reported and skipped).
//
// Cost of a directory of e entries, in time units (about 1 us on a warm
// cache with the defaults): listing a + b1*e, stats b2*e. OLD lists and
// stats in one go. NEW lists a directory of more than K entries alone and
// leaves its stats in chunks of C entries that any idle worker takes. A
// directory or chunk taken from the shared queue costs h more (a re-open by
// path, a lock). Speed-up is T1/TP, T1 being the sum of all costs.
//
// Options: --a --b1 --b2 --K --C --h VALUE, --cost warm|slow, --workers
// 1,2,4,... (default up to 32), --save FILE (the shape of the last TREE
// read). --cost slow counts round trips of 1000 us as on slowfs: a stat is
// two, opening and reading a directory three; it knows nothing of the
// ceiling on requests per second the file system itself has.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <queue>
#include <string>
#include <vector>

namespace {

// Directories in breadth-first order: the children of a directory are the
// contiguous range [first[i], first[i] + nchild[i]) and always follow it.
struct Shape {
    std::vector<uint32_t> entries, nchild, first, parent, depth;
    std::vector<std::string> name;  // empty when read from a shape file
    size_t unreadable = 0;
};

struct Costs {
    double a = 4, b1 = 0.15, b2 = 0.85, h = 2;
    uint32_t K = 512, C = 256;
};

void link_shape(Shape &s)
{
    size_t n = s.entries.size();
    s.first.assign(n, 0);
    s.parent.assign(n, 0);
    s.depth.assign(n, 0);
    uint32_t next = 1;
    for (uint32_t i = 0; i < n; i++) {
        s.first[i] = next;
        for (uint32_t c = next; c < next + s.nchild[i]; c++) {
            s.parent[c] = i;
            s.depth[c] = s.depth[i] + 1;
        }
        next += s.nchild[i];
    }
}

bool record(const std::string &root, Shape &s)
{
    struct stat st;
    if (lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    dev_t dev = st.st_dev;
    std::vector<std::string> paths{root};
    s.name.push_back(".");
    for (size_t i = 0; i < paths.size(); i++) {
        uint32_t entries = 0, subdirs = 0;
        if (DIR *d = opendir(paths[i].c_str())) {
            while (dirent *de = readdir(d)) {
                if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
                    continue;
                entries++;
                std::string p = paths[i] + "/" + de->d_name;
                bool is_dir = de->d_type == DT_DIR;
                if (de->d_type == DT_DIR || de->d_type == DT_UNKNOWN)
                    is_dir = lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev;
                if (is_dir) {
                    paths.push_back(std::move(p));
                    s.name.push_back(de->d_name);
                    subdirs++;
                }
            }
            closedir(d);
        } else {
            s.unreadable++;
        }
        s.entries.push_back(entries);
        s.nchild.push_back(subdirs);
        std::string().swap(paths[i]);
    }
    link_shape(s);
    return true;
}

// A shape file: "qvshape 1 N", then per directory in breadth-first order its
// entries and its number of subdirectories.
bool load(const char *file, Shape &s)
{
    FILE *f = fopen(file, "r");
    if (!f)
        return false;
    size_t n = 0;
    bool ok = fscanf(f, "qvshape 1 %zu", &n) == 1 && n > 0;
    uint64_t children = 0;
    uint32_t e, k;
    for (size_t i = 0; ok && i < n; i++) {
        ok = fscanf(f, "%u %u", &e, &k) == 2;
        s.entries.push_back(e);
        s.nchild.push_back(k);
        children += k;
    }
    fclose(f);
    if (!ok || children != n - 1)
        return false;
    link_shape(s);
    // Every directory's children come after it, or the shape is no tree.
    for (uint32_t i = 0; i < n; i++)
        if (s.nchild[i] > 0 && s.first[i] <= i)
            return false;
    return true;
}

bool save(const char *file, const Shape &s)
{
    FILE *f = fopen(file, "w");
    if (!f)
        return false;
    fprintf(f, "qvshape 1 %zu\n", s.entries.size());
    for (size_t i = 0; i < s.entries.size(); i++)
        fprintf(f, "%u %u\n", s.entries[i], s.nchild[i]);
    return fclose(f) == 0;
}

// The tree at a/b/.../tree: the scanned root and `levels` directories below
// it each hold one subdirectory only.
Shape under(const Shape &s, uint32_t levels)
{
    Shape u;
    for (uint32_t i = 0; i <= levels; i++) {
        u.entries.push_back(1);
        u.nchild.push_back(1);
        u.name.push_back(i == 0 ? "." : std::string(1, char('a' + (i - 1) % 26)));
    }
    u.entries.insert(u.entries.end(), s.entries.begin(), s.entries.end());
    u.nchild.insert(u.nchild.end(), s.nchild.begin(), s.nchild.end());
    if (!s.name.empty()) {
        u.name.insert(u.name.end(), s.name.begin(), s.name.end());
        u.name[levels + 1] = "tree";
    } else {
        u.name.clear();
    }
    u.unreadable = s.unreadable;
    link_shape(u);
    return u;
}

std::string path_of(const Shape &s, uint32_t d)
{
    if (s.name.empty())
        return "directory #" + std::to_string(d);
    std::string p;
    for (; d != 0; d = s.parent[d])
        p = "/" + s.name[d] + p;
    return "." + p;
}

enum Policy { OLD, NEW };

bool hands_out(const Shape &s, uint32_t d) { return s.depth[d] <= 2 && s.nchild[d] >= 4; }

double cost(const Costs &c, uint32_t e) { return c.a + (c.b1 + c.b2) * e; }

// Discrete-event run of P workers; returns the time the last one finishes.
double simulate(const Shape &s, const Costs &c, Policy pol, int P)
{
    struct Task {
        bool list;
        uint32_t dir;
    };
    std::vector<std::vector<uint32_t>> local(P);  // each worker's stack, oldest first
    std::deque<uint32_t> shared;                  // directories handed out
    std::deque<double> chunks;                    // stats of wide directories
    std::vector<Task> current(P);
    std::vector<bool> idle(P, true);
    int idle_count = P;
    using Ev = std::pair<double, int>;
    std::priority_queue<Ev, std::vector<Ev>, std::greater<Ev>> events;
    double now = 0;

    auto start_list = [&](int w, uint32_t d, bool from_queue) {
        bool split = pol == NEW && s.entries[d] > c.K;
        double t = split ? c.a + c.b1 * s.entries[d] : cost(c, s.entries[d]);
        current[w] = {true, d};
        if (idle[w])
            idle[w] = false, idle_count--;
        events.push({now + t + (from_queue ? c.h : 0), w});
    };
    auto start_chunk = [&](int w, bool own) {
        current[w] = {false, 0};
        if (idle[w])
            idle[w] = false, idle_count--;
        events.push({now + chunks.front() + (own ? 0 : c.h), w});
        chunks.pop_front();
    };
    auto take_shared = [&](int w) {
        if (!shared.empty()) {
            uint32_t d = shared.front();
            shared.pop_front();
            start_list(w, d, true);
        } else if (!chunks.empty()) {
            start_chunk(w, false);
        } else if (!idle[w]) {
            idle[w] = true, idle_count++;
        }
    };

    start_list(0, 0, false);
    double end = 0;
    while (!events.empty()) {
        auto [t, w] = events.top();
        events.pop();
        now = end = t;
        std::vector<uint32_t> &st = local[w];
        if (current[w].list) {
            uint32_t d = current[w].dir;
            bool out = pol == OLD && hands_out(s, d);
            for (uint32_t k = 0; k < s.nchild[d]; k++)
                (out ? shared.push_back(s.first[d] + k) : st.push_back(s.first[d] + k));
            if (pol == NEW && s.entries[d] > c.K)
                for (uint32_t done = 0; done < s.entries[d]; done += c.C)
                    chunks.push_back(c.b2 * std::min(c.C, s.entries[d] - done));
            if (pol == NEW) {
                size_t keep = chunks.empty() ? 1 : 0;
                size_t give = std::min<size_t>(idle_count, st.size() > keep ? st.size() - keep : 0);
                shared.insert(shared.end(), st.begin(), st.begin() + (long)give);
                st.erase(st.begin(), st.begin() + (long)give);
            }
        }
        if (pol == NEW && !chunks.empty()) {
            start_chunk(w, true);
        } else if (!st.empty()) {
            uint32_t d = st.back();
            st.pop_back();
            start_list(w, d, false);
        } else {
            take_shared(w);
        }
        for (int i = 0; i < P && idle_count > 0 && (!shared.empty() || !chunks.empty()); i++)
            if (idle[i])
                take_shared(i);
    }
    return end;
}

// OLD's sequential units: the root and every directory handed out start
// one; a unit is what its worker then lists alone, depth-first.
void largest_unit(const Shape &s, const Costs &c, double *units_max, uint32_t *at)
{
    std::vector<double> walk(s.entries.size());
    for (size_t i = s.entries.size(); i-- > 0;) {
        walk[i] = cost(c, s.entries[i]);
        if (!hands_out(s, (uint32_t)i))
            for (uint32_t k = 0; k < s.nchild[i]; k++)
                walk[i] += walk[s.first[i] + k];
    }
    *units_max = walk[0];
    *at = 0;
    for (uint32_t i = 0; i < s.entries.size(); i++)
        if (hands_out(s, i))
            for (uint32_t k = 0; k < s.nchild[i]; k++)
                if (walk[s.first[i] + k] > *units_max)
                    *units_max = walk[s.first[i] + k], *at = s.first[i] + k;
}

void report(const char *label, const Shape &s, const Costs &c, const std::vector<int> &workers)
{
    double t1 = 0, widest = 0;
    uint64_t entries = 0;
    uint32_t max_depth = 0;
    for (size_t i = 0; i < s.entries.size(); i++) {
        t1 += cost(c, s.entries[i]);
        entries += s.entries[i];
        max_depth = std::max(max_depth, s.depth[i]);
        widest = std::max(widest, c.a + c.b1 * s.entries[i]);
    }
    printf("\n%s: %zu directories, %llu entries, depth %u", label, s.entries.size(),
           (unsigned long long)entries, max_depth);
    if (s.unreadable)
        printf(", %zu unreadable (counted empty)", s.unreadable);
    printf("\n  T1 = %.0f units\n", t1);
    double unit;
    uint32_t at;
    largest_unit(s, c, &unit, &at);
    printf("  OLD largest sequential unit: %.0f units (%.1f%% of T1) from %s, depth %u: speed-up <= %.2f\n", unit,
           100 * unit / t1, path_of(s, at).c_str(), s.depth[at], t1 / unit);
    printf("  NEW largest single listing: %.0f units: speed-up <= %.0f\n", widest, t1 / widest);
    printf("  %4s  %12s %6s  %12s %6s\n", "P", "OLD speed-up", "eff", "NEW speed-up", "eff");
    for (int p : workers) {
        double o = t1 / simulate(s, c, OLD, p), n = t1 / simulate(s, c, NEW, p);
        printf("  %4d  %12.2f %5.0f%%  %12.2f %5.0f%%\n", p, o, 100 * o / p, n, 100 * n / p);
    }
}

bool read_tree(const char *arg, Shape &s)
{
    struct stat st;
    if (stat(arg, &st) == 0 && S_ISREG(st.st_mode))
        return load(arg, s);
    return record(arg, s);
}

}  // namespace

int main(int argc, char **argv)
{
    Costs c;
    std::vector<int> workers{1, 2, 4, 8, 16, 32};
    std::vector<std::pair<std::string, uint32_t>> trees;
    const char *save_to = nullptr;
    uint32_t levels = 0;
    for (int i = 1; i < argc; i++) {
        std::string o = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        static const char *const known[] = {"--a", "--b1", "--b2", "--h", "--K", "--C",
                                            "--under", "--save", "--cost", "--workers"};
        bool takes = std::find(std::begin(known), std::end(known), o) != std::end(known);
        if (!takes && o.rfind("--", 0) == 0) {
            fprintf(stderr, "unknown option %s\n", o.c_str());
            return 2;
        }
        if (takes && !v) {
            fprintf(stderr, "%s needs a value\n", o.c_str());
            return 2;
        }
        if (o == "--a") c.a = atof(v);
        else if (o == "--b1") c.b1 = atof(v);
        else if (o == "--b2") c.b2 = atof(v);
        else if (o == "--h") c.h = atof(v);
        else if (o == "--K") c.K = (uint32_t)atol(v);
        else if (o == "--C") c.C = std::max(1L, atol(v));
        else if (o == "--under") levels = (uint32_t)atol(v);
        else if (o == "--save") save_to = v;
        else if (o == "--cost" && !strcmp(v, "slow")) c = {3000, 10, 2000, 1000, c.K, c.C};
        else if (o == "--cost" && !strcmp(v, "warm")) c = {4, 0.15, 0.85, 2, c.K, c.C};
        else if (o == "--cost") {
            fprintf(stderr, "--cost takes warm or slow\n");
            return 2;
        }
        else if (o == "--workers") {
            workers.clear();
            for (const char *p = v; *p; p += strcspn(p, ",") + (p[strcspn(p, ",")] ? 1 : 0))
                workers.push_back(std::max(1, atoi(p)));
        } else if (!takes) {
            trees.push_back({o, levels});
            levels = 0;
            continue;
        }
        i++;
    }
    if (trees.empty())
        trees = {{"/work/bench/tree1m", 0}, {"/work/bench/tree1m", 3}, {"/usr", 0}, {"/work/bench/tree100k", 0}};
    printf("costs: list a + b1*e, stats b2*e, a=%g b1=%g b2=%g, hand-over h=%g; NEW splits stats above K=%u in "
           "chunks of C=%u\n",
           c.a, c.b1, c.b2, c.h, c.K, c.C);
    std::string last;
    Shape shape;
    int status = 0;
    for (const auto &[path, under_levels] : trees) {
        if (path != last) {
            shape = Shape{};
            if (!read_tree(path.c_str(), shape)) {
                printf("\n%s: skipped (not a readable directory or shape file)\n", path.c_str());
                last.clear();
                status = 1;
                continue;
            }
            last = path;
        }
        std::string label = path;
        if (under_levels) {
            label += " at ";
            for (uint32_t k = 0; k < under_levels; k++)
                label += std::string(1, char('a' + k % 26)) + "/";
            label += "tree";
        }
        report(label.c_str(), under_levels ? under(shape, under_levels) : shape, c, workers);
    }
    if (save_to && !last.empty() && !save(save_to, shape)) {
        fprintf(stderr, "cannot write %s\n", save_to);
        return 1;
    }
    return status;
}
