#include "extreport.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "age.h"
#include "format.h"
#include "owner.h"
#include "quorvel_disk.h"
#include "termtext.h"

namespace {

const int WIDTH = 80;
const size_t ROWS = 10;

struct old_dir {
    uint64_t size;
    int64_t mtime;
    std::string path;
};

struct owner_sum {
    uint64_t bytes = 0, files = 0;
};

// What one visit gathers. The directories of the current path are a stack;
// below a directory already listed as old, nothing more is listed: it is
// old as a whole.
struct gathering {
    int64_t stale;
    std::vector<size_t> path_at;  // length of path before each open directory's name
    std::vector<bool> covered;    // an open directory lies in one listed as old
    std::string path;
    std::vector<old_dir> old;     // the largest, at most ROWS, kept as a min-heap by size
    std::unordered_map<uint32_t, owner_sum> owners;
    bool timed = false, owned = false;
    uint64_t files = 0;
};

bool bigger(const old_dir &a, const old_dir &b)
{
    return a.size > b.size;
}

void consider_old(gathering &g, const disk_entry &e)
{
    g.old.push_back({e.size, e.mtime, g.path + "/"});
    std::push_heap(g.old.begin(), g.old.end(), bigger);
    if (g.old.size() > ROWS) {
        std::pop_heap(g.old.begin(), g.old.end(), bigger);
        g.old.pop_back();
    }
}

int gather_one(gathering &g, const disk_entry *e)
{
    if (!e) {
        g.path.resize(g.path_at.back());
        g.path_at.pop_back();
        g.covered.pop_back();
        return 0;
    }
    g.timed = g.timed || (e->fields & DISK_FIELD_MTIME);
    if (!e->is_dir) {
        g.files++;
        if (e->fields & DISK_FIELD_OWNER) {
            g.owned = true;
            owner_sum &s = g.owners[e->uid];
            s.bytes += e->size;
            s.files++;
        }
        return 0;
    }
    bool root = g.path_at.empty();
    g.path_at.push_back(g.path.size());
    // No "/" after a root of "/" or of no name (several roots).
    if (!root && !g.path.empty() && g.path.back() != '/')
        g.path += "/";
    g.path.append(e->name, e->name_len);
    bool covered = !root && g.covered.back();
    bool old = !root && !covered && (e->fields & DISK_FIELD_MTIME) && e->mtime < g.stale && e->size > 0;
    if (old)
        consider_old(g, *e);
    g.covered.push_back(covered || old);
    return 0;
}

// Nothing may unwind into the library: memory running out stops the visit.
int gather(void *ctx, const disk_entry *e)
{
    try {
        return gather_one(*static_cast<gathering *>(ctx), e);
    } catch (...) {
        return 1;
    }
}

void print_old(const gathering &g, const style &st, int64_t now, int64_t stale)
{
    printf("\n%sOldest large directories%s%s (nothing below changed for %s)%s\n", st.bold(), st.reset(), st.dim(),
           age_words(now - stale).c_str(), st.reset());
    if (!g.timed) {
        printf("  (the scan has no times)\n");
        return;
    }
    std::vector<old_dir> rows = g.old;
    std::sort(rows.begin(), rows.end(), bigger);
    if (rows.empty())
        printf("  (none)\n");
    for (const old_dir &d : rows)
        printf("  %s%s%s  %s  %s  %s\n", st.cyan(), pad_left(human(d.size), 10).c_str(), st.reset(),
               pad_left(age_words(now - d.mtime), 10).c_str(), local_date(d.mtime).c_str(),
               fit_left(term_safe(d.path), WIDTH - 2 - 10 - 2 - 10 - 2 - 16 - 2).c_str());
}

void print_owners(const gathering &g, const style &st, uint64_t total)
{
    printf("\n%sLargest owners%s\n", st.bold(), st.reset());
    if (!g.owned) {
        if (g.files == 0)
            printf("  (none)\n");
        else
            printf("  (the scan has no owners%s)\n", g.timed ? ": this system's scans keep none" : "");
        return;
    }
    std::vector<std::pair<uint32_t, owner_sum>> rows(g.owners.begin(), g.owners.end());
    std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        return a.second.bytes != b.second.bytes ? a.second.bytes > b.second.bytes : a.first < b.first;
    });
    for (size_t i = 0; i < rows.size() && i < ROWS; i++) {
        const auto &[uid, sum] = rows[i];
        std::string who = term_safe(user_name(uid));
        if (who != std::to_string(uid))
            who += " (" + std::to_string(uid) + ")";
        printf("  %s%s%s  %5.1f%%  %s  %14s %s\n", st.cyan(), pad_left(human(sum.bytes), 10).c_str(), st.reset(),
               total ? 100.0 * (double)sum.bytes / (double)total : 0.0, pad_right(fit_left(who, 30), 30).c_str(),
               grouped(sum.files).c_str(), sum.files == 1 ? "file" : "files");
    }
    if (rows.size() > ROWS)
        printf("  %s... and %zu more%s\n", st.dim(), rows.size() - ROWS, st.reset());
}

}  // namespace

void print_extended(const options &, int id, const style &st, int64_t now, int64_t stale)
{
    gathering g;
    g.stale = stale;
    if (disk_visit(id, gather, &g) != 0) {
        printf("\n  (the scan could not be gone through: out of memory)\n");
        return;
    }
    unsigned long long total = 0;
    disk_scan_progress(id, nullptr, nullptr, &total);
    print_old(g, st, now, stale);
    print_owners(g, st, total);
}
