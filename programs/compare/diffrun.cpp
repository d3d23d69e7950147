#include "diffrun.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "compare.h"
#include "openfile.h"
#include "outfile.h"
#include "scanfile.h"
#include "termtext.h"
#include "diffreport.h"

namespace {

// Seconds from older_file's modification time to newer_file's (or to now).
// The documents hold no time of their own. -1 when it cannot be told.
double seconds_between(const char *older_file, const char *newer_file)
{
    namespace fs = std::filesystem;
    std::error_code e1, e2;
    auto then = fs::last_write_time(fs::u8path(older_file), e1);
    auto now = newer_file ? fs::last_write_time(fs::u8path(newer_file), e2) : fs::file_time_type::clock::now();
    if (e1 || e2 || now < then)
        return -1;
    return std::chrono::duration<double>(now - then).count();
}

// A saved scan, or an export in ncdu's format (read through the library,
// counted as the command line says); *exported tells which it was.
bool read_scan(FILE *f, const disk_scan_options &as, sv_tree *tree, std::string *why, bool *exported)
{
    *exported = is_export(f);
    return *exported ? read_export_tree(f, as, tree, why) : sv_read_file(f, tree, why);
}

void say_unreadable(const char *file, bool exported, const std::string &why)
{
    fprintf(stderr, exported ? "qvdisk: '%s' is not an export qvdisk reads: %s\n" : "qvdisk: '%s' is not a saved scan: %s\n",
            term_safe(file).c_str(), why.c_str());
}

}  // namespace

int load_saved(const char *file, const disk_scan_options &as, sv_tree *tree)
{
    FILE *f = open_file(file, "rb");
    if (!f) {
        int err = errno;
        fprintf(stderr, "qvdisk: cannot open '%s': %s\n", term_safe(file).c_str(), strerror(err));
        return EXIT_USAGE;
    }
    std::string why;
    bool exported = false;
    bool ok = read_scan(f, as, tree, &why, &exported);
    fclose(f);
    if (!ok) {
        say_unreadable(file, exported, why);
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

int load_saved_pair(const char *older_file, const char *newer_file, const disk_scan_options &as, sv_tree *older,
                    sv_tree *newer)
{
    FILE *fo = open_file(older_file, "rb");
    if (!fo) {
        int err = errno;
        fprintf(stderr, "qvdisk: cannot open '%s': %s\n", term_safe(older_file).c_str(), strerror(err));
        return EXIT_USAGE;
    }
    FILE *fn = open_file(newer_file, "rb");
    int newer_errno = errno;
    // The newer file on a thread of its own: reading is most of the time a
    // comparison takes, and the two do not share anything.
    std::string why_old, why_new;
    bool ok_new = false, old_exported = false, new_exported = false;
    std::thread reader;
    if (fn) {
        try {
            why_new.reserve(64);  // room for the reason, had before memory may run out
            reader = std::thread([&] {
                try {
                    ok_new = read_scan(fn, as, newer, &why_new, &new_exported);
                } catch (const std::bad_alloc &) {
                    ok_new = false;
                    why_new.assign("out of memory");
                }
            });
        } catch (const std::exception &) {
            // No thread to be had (memory, a process limit): one after the other.
        }
    }
    bool ok_old = read_scan(fo, as, older, &why_old, &old_exported);
    bool apart = reader.joinable();
    if (apart)
        reader.join();
    // Two trees read at once need more room at once than one after the
    // other (a thread's stack and heap among it): short of memory, the
    // files are read again in turn, as one thread would have.
    auto short_of_memory = [](const std::string &why) { return why.rfind("out of memory", 0) == 0; };
    if (apart && (short_of_memory(why_old) || short_of_memory(why_new)) && fseek(fo, 0, SEEK_SET) == 0 &&
        fseek(fn, 0, SEEK_SET) == 0) {
        *older = sv_tree{};
        *newer = sv_tree{};
        ok_old = read_scan(fo, as, older, &why_old, &old_exported);
        apart = false;
    }
    if (!apart && fn && ok_old)
        ok_new = read_scan(fn, as, newer, &why_new, &new_exported);
    fclose(fo);
    if (fn)
        fclose(fn);
    // Said as reading one file after the other would: the older one first.
    if (!ok_old) {
        say_unreadable(older_file, old_exported, why_old);
        return EXIT_USAGE;
    }
    if (!fn) {
        fprintf(stderr, "qvdisk: cannot open '%s': %s\n", term_safe(newer_file).c_str(), strerror(newer_errno));
        return EXIT_USAGE;
    }
    if (!ok_new) {
        say_unreadable(newer_file, new_exported, why_new);
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

int save_scan(const char *file, const char *doc)
{
    if (!doc || strncmp(doc, "{\"path\":", 8) != 0) {
        fprintf(stderr, "qvdisk: the library gave no scan result to save\n");
        return EXIT_SCAN_FAILED;
    }
    // Read back as --compare will read it: nothing is saved that cannot be.
    sv_tree tree;
    uint64_t merged = 0;
    std::string why;
    size_t len = strlen(doc);
    if (!sv_read_scan(doc, len, &tree, &merged, &why)) {
        fprintf(stderr, "qvdisk: the scan result cannot be saved: %s\n", why.c_str());
        return EXIT_SCAN_FAILED;
    }
    std::string mended;
    if (merged > 0) {
        try {
            mended = sv_text(tree);
        } catch (const std::bad_alloc &) {
            fprintf(stderr, "qvdisk: out of memory saving the scan\n");
            return EXIT_SCAN_FAILED;
        }
        doc = mended.c_str();
        len = mended.size();
        warn_listed_twice(merged);
    }
    auto write = [&](FILE *f) { return fwrite(doc, 1, len, f) == len && fputc('\n', f) != EOF; };
    if (!write_whole(file, write, &why)) {
        fprintf(stderr, "qvdisk: cannot write '%s': %s\n", term_safe(file).c_str(), why.c_str());
        return EXIT_SCAN_FAILED;
    }
    return EXIT_OK;
}

void warn_listed_twice(uint64_t merged)
{
    fprintf(stderr, "qvdisk: warning: the file system listed %llu name%s twice in one directory; each is counted once\n",
            (unsigned long long)merged, merged == 1 ? "" : "s");
}

int write_page(const char *file, const treemap_docs &docs)
{
    std::string why;
    if (!write_whole(file, [&](FILE *f) { return write_treemap_page(f, docs); }, &why)) {
        fprintf(stderr, "qvdisk: cannot write '%s': %s\n", term_safe(file).c_str(), why.c_str());
        return EXIT_SCAN_FAILED;
    }
    return EXIT_OK;
}

namespace {

int compare_and_write(const options &o, const sv_tree &older, const sv_tree &newer, const char *older_file,
                      const char *newer_file, treemap_docs page, const style &st)
{
    if (o.html) {
        std::string text, growth = growth_doc(older, newer);
        if (!page.tree) {
            text = sv_text(newer);
            page.tree = text.c_str();
        }
        page.growth = growth.c_str();
        if (int rc = write_page(o.html, page); rc != EXIT_OK)
            return rc;
    }
    cmp_result r = compare_scans(older, newer, o.levels, o.top);
    diff_input in;
    in.older = &older;
    in.newer = &newer;
    in.seconds = seconds_between(older_file, newer_file);
    in.time_from = newer_file ? "by the saved files' modification times"
                              : "from the saved file's modification time to this scan";
    if (o.json)
        print_diff_json(in, r);
    else
        print_diff_report(o, in, r, st);
    return EXIT_OK;
}

}  // namespace

int write_comparison(const options &o, const sv_tree &older, const sv_tree &newer, const char *older_file,
                     const char *newer_file, treemap_docs page, const style &st)
{
    // Two large trees may fit where comparing them does not: that is said,
    // as a read that does not fit is, and never ends qvdisk with an abort.
    try {
        return compare_and_write(o, older, newer, older_file, newer_file, page, st);
    } catch (const std::bad_alloc &) {
        fflush(stdout);
        fprintf(stderr, "qvdisk: out of memory comparing the scans\n");
        return EXIT_SCAN_FAILED;
    }
}
