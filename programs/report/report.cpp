#include "report.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "age.h"
#include "extreport.h"
#include "format.h"
#include "termtext.h"
#include "jsonread.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const int WIDTH = 80;
const int BAR = 16;
const size_t MAX_CHILDREN = 10;

std::string bar(const style &st, double share, int width)
{
    int full = (int)(share * width + 0.5);
    if (full > width)
        full = width;
    std::string out = st.green();
    for (int i = 0; i < width; i++) {
        if (i == full)
            out += st.dim();
        out += i < full ? (st.unicode ? "\u2588" : "#") : (st.unicode ? "\u2591" : ".");
    }
    return out + st.reset();
}

double share_of(uint64_t part, uint64_t whole)
{
    return whole ? (double)part / (double)whole : 0.0;
}

void print_dir_rows(const style &st, const jr_node &dir, int level, int levels)
{
    // Directories only, largest first (the document is ordered by size).
    size_t shown = 0;
    for (const jr_node &c : dir.children) {
        if (!c.is_dir)
            continue;
        if (shown++ == MAX_CHILDREN)
            break;
        std::string indent((size_t)level * 2, ' ');
        char pct[16];
        snprintf(pct, sizeof pct, "%5.1f%%", 100.0 * share_of(c.size, dir.size));
        size_t room = WIDTH - 2 - 10 - 2 - 6 - 2 - BAR - 2 - indent.size();
        printf("  %s%s%s  %s  %s  %s%s\n", st.cyan(), pad_left(human(c.size), 10).c_str(), st.reset(), pct,
               bar(st, share_of(c.size, dir.size), BAR).c_str(), indent.c_str(),
               fit_right(term_safe(c.name) + "/", room).c_str());
        if (level + 1 < levels)
            print_dir_rows(st, c, level + 1, levels);
    }
}

std::string counted(unsigned long long n, const char *one, const char *many)
{
    return grouped(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int print_report(const options &o, int id, const style &st)
{
    jr_node root;
    const char *doc = disk_scan_result(id);
    // One level at least: a root of no name is titled by how many PATHs it holds.
    if (!jr_read_tree(doc, o.levels > 0 ? o.levels : 1, &root)) {
        fprintf(stderr, "qvdisk: the library gave no scan result%s%s\n", doc ? ": " : "", doc ? doc : "");
        return EXIT_SCAN_FAILED;
    }
    std::vector<jr_node> top, exts;
    if (o.top > 0 && !jr_read_list(disk_get_top(id, o.top), &top))
        top.clear();
    if (o.exts > 0 && !jr_read_list(disk_get_extensions(id), &exts))
        exts.clear();

    // Several PATHs scanned as one: a root of no name, each PATH below it.
    std::string title = !root.name.empty() ? term_safe(root.name)
                        : grouped(root.children.size()) + (root.children.size() == 1 ? " root" : " roots");
    printf("%s%s%s\n", st.bold(), fit_left(title, WIDTH).c_str(), st.reset());
    disk_scan_options used{};
    used.struct_size = sizeof used;
    if (disk_scan_get_options(id, &used) != 0)
        used.size_kind = o.apparent_size ? DISK_SIZE_APPARENT : DISK_SIZE_ON_DISK;
    printf("  total  %s%s%s %s (%s bytes)\n", st.cyan(), human(root.size).c_str(), st.reset(),
           size_kind_name(used.size_kind), grouped(root.size).c_str());
    printf("  files  %s   directories  %s   scanned in %.1f s\n", grouped(root.files).c_str(),
           grouped(root.dirs).c_str(), root.scan_time_ms / 1000.0);
    int64_t now = (int64_t)time(nullptr);
    if (o.older_than || o.newer_than)
        printf("  only files modified%s%s%s%s\n", o.newer_than ? " since " : "",
               o.newer_than ? local_date(o.newer_at).c_str() : "", o.older_than ? (o.newer_than ? " and before " : " before ") : "",
               o.older_than ? local_date(o.older_at).c_str() : "");

    if (o.levels > 0) {
        printf("\n%sLargest directories%s\n", st.bold(), st.reset());
        bool any = false;
        for (const jr_node &c : root.children)
            any = any || c.is_dir;
        if (any)
            print_dir_rows(st, root, 0, o.levels);
        else
            printf("  (none)\n");
    }
    if (o.top > 0) {
        printf("\n%sLargest files%s\n", st.bold(), st.reset());
        if (top.empty())
            printf("  (none)\n");
        for (const jr_node &f : top)
            printf("  %s%s%s  %s\n", st.cyan(), pad_left(human(f.size), 10).c_str(), st.reset(),
                   fit_left(term_safe(f.name), WIDTH - 14).c_str());
    }
    if (o.exts > 0) {
        printf("\n%sExtensions%s\n", st.bold(), st.reset());
        if (exts.empty())
            printf("  (none)\n");
        for (size_t i = 0; i < exts.size() && i < (size_t)o.exts; i++) {
            const jr_node &e = exts[i];
            printf("  %s %s%s%s  %12s %-5s  %5.1f%%\n", pad_right(fit_right(term_safe(e.name), 12), 12).c_str(),
                   st.cyan(), pad_left(human(e.size), 10).c_str(), st.reset(), grouped(e.files).c_str(),
                   e.files == 1 ? "file" : "files", 100.0 * share_of(e.size, root.size));
        }
        if (exts.size() > (size_t)o.exts)
            printf("  %s... and %zu more%s\n", st.dim(), exts.size() - (size_t)o.exts, st.reset());
    }
    if (o.extended)
        print_extended(o, id, st, now, o.older_than ? o.older_at : now - 365 * 86400);
    return EXIT_OK;
}

const char *size_kind_name(int size_kind)
{
    return size_kind == DISK_SIZE_ON_DISK ? "on disk" : "apparent size";
}

std::string problems_phrase(const disk_problems &p)
{
    std::string out;
    auto add = [&out](const std::string &part) { out += (out.empty() ? "" : ", ") + part; };
    if (p.unreadable_dirs)
        add(counted(p.unreadable_dirs, "directory", "directories") + " unreadable");
    if (p.stalled_dirs)
        add(counted(p.stalled_dirs, "directory", "directories") + " stalled (storage did not answer)");
    if (p.skipped_entries)
        add(counted(p.skipped_entries, "entry", "entries") + " left out");
    std::string not_entered;
    if (p.loop_dirs)
        not_entered = counted(p.loop_dirs, "directory loop", "directory loops");
    if (p.pseudo_fs_dirs)
        not_entered += (not_entered.empty() ? "" : " and ") +
                       counted(p.pseudo_fs_dirs, "pseudo file system", "pseudo file systems");
    if (!not_entered.empty())
        add(not_entered + " not entered");
    return out;
}

void warn_left_out(const disk_problems &p)
{
    std::string left_out = problems_phrase(p);
    if (!left_out.empty())
        fprintf(stderr, "qvdisk: warning: %s\n", left_out.c_str());
}

std::string root_error_text(int code)
{
#ifdef _WIN32
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such file or directory";
    case ERROR_DIRECTORY: return "not a directory";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_TIMEOUT: return "the storage did not answer";
    default: return "error " + std::to_string(code);
    }
#else
    return code == ENOTDIR ? "not a directory" : code == ETIMEDOUT ? "the storage did not answer" : strerror(code);
#endif
}
