// qvdisk: scans a directory with quorvel-disk and reports where the space
// went. Uses the library only through its public header, like any host.
//
// This file runs the scan and hands its documents on: args.cpp reads the
// command line, report.cpp prints the text report (format.cpp shapes sizes,
// counts and names for a terminal), htmlreport.cpp writes the treemap page,
// docread.cpp reads the library's documents; diffrun.cpp saves scans and
// compares them (saved.cpp reads saved scans, compare.cpp matches two,
// diffreport.cpp prints the comparison); interactive.cpp runs the terminal
// browser of -i (browse.h holds its model); guard.cpp keeps Ctrl-C working
// when storage stops answering.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <time.h>
#include <unistd.h>
#endif

#include "agefilter.h"
#include "args.h"
#include "cmdline.h"
#include "diffrun.h"
#include "format.h"
#include "guard.h"
#include "htmlreport.h"
#ifdef QVDISK_BROWSER
#include "browsefs.h"
#include "interactive.h"
#include "mountchooser.h"
#endif
#include "mounts.h"
#include "quorvel_disk.h"
#include "report.h"
#include "openfile.h"
#include "scanfile.h"
#include "scanroots.h"
#ifdef QVDISK_TABLE
#include "tablerun.h"
#endif
#include "scanhandle.h"
#include "termtext.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

#ifdef _WIN32
BOOL WINAPI on_ctrl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        g_interrupted = 1;
        return TRUE;
    }
    return FALSE;
}
void sleep_ms(int ms) { Sleep((DWORD)ms); }
double now_s() { return (double)GetTickCount64() / 1000.0; }
#else
void on_sigint(int) { g_interrupted = 1; }
void sleep_ms(int ms)
{
    struct timespec ts = {0, (long)ms * 1000000L};
    nanosleep(&ts, nullptr);
}
double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}
#endif

// Once the scan is over, Ctrl-C ends the program at once again.
void restore_interrupt_handler()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_ctrl, FALSE);
#else
    signal(SIGINT, SIG_DFL);
#endif
}

void install_interrupt_handler()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_ctrl, TRUE);
#else
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
#endif
}

#ifdef QVDISK_BROWSER
// -i opens the root itself before the scan, and gives up on storage that
// does not answer as the scan would: -2 when it has not answered within the
// stall timeout, or Ctrl-C came first; else what open_root() gave. The
// opening thread is then left in its call.
int open_root_in_time(const options &o, const char *root)
{
    struct opening {
        std::mutex m;
        std::condition_variable done;
        bool over = false;
        int fd = -1;
    };
    auto at = std::make_shared<opening>();
    std::thread([at, path = std::string(root)] {
        std::string err;
        int fd = open_root(path, &err);
        std::lock_guard<std::mutex> hold(at->m);
        at->fd = fd;
        at->over = true;
        at->done.notify_one();
    }).detach();
    int ms = o.stall_timeout_ms == 0 ? DISK_STALL_TIMEOUT_MS : o.stall_timeout_ms;
    double until = now_s() + ms / 1000.0;
    std::unique_lock<std::mutex> hold(at->m);
    while (!at->done.wait_for(hold, std::chrono::milliseconds(50), [&] { return at->over; }))
        if (g_interrupted || (ms > 0 && now_s() >= until))
            return -2;
    return at->fd;
}
#endif

// The options of the scans the command line asks for; patterns holds the
// texts they point to.
disk_scan_options scan_options(const options &o, std::vector<const char *> *patterns)
{
    for (const std::string &p : o.excludes)
        patterns->push_back(p.c_str());
    disk_scan_options so{};
    so.struct_size = sizeof so;
    so.max_depth = o.max_depth;
    so.follow_links = o.follow_links ? 1 : 0;
    so.size_kind = o.apparent_size ? DISK_SIZE_APPARENT : DISK_SIZE_ON_DISK;
    so.hard_links_once = o.count_links ? 0 : 1;
    so.one_file_system = o.one_file_system ? 1 : 0;
    so.exclude_caches = o.exclude_caches ? 1 : 0;
    so.excludes = patterns->empty() ? nullptr : patterns->data();
    so.exclude_count = (int)patterns->size();
    so.stall_timeout_ms = o.stall_timeout_ms;
    // A file's time is needed to choose by age.
    so.extended = o.extended || o.older_than || o.newer_than ? 1 : 0;
    return so;
}

// Starts the scan of path the options ask for; its id, or -1.
int start_scan(const options &o, const char *path)
{
    std::vector<const char *> patterns;
    disk_scan_options so = scan_options(o, &patterns);
    return disk_scan_ex(path, &so);
}

// The sums of the scans' counts so far.
void draw_progress(const std::vector<int> &ids, double started)
{
    unsigned long long files = 0, dirs = 0, bytes = 0;
    for (int id : ids) {
        unsigned long long f = 0, d = 0, b = 0;
        disk_scan_progress(id, &f, &d, &b);
        files += f, dirs += d, bytes += b;
    }
    fprintf(stderr, "\r\033[Kscanning  %s files  %s dirs  %s  %.1f s", grouped(files).c_str(),
            grouped(dirs).c_str(), human(bytes).c_str(), now_s() - started);
    fflush(stderr);
}

bool running(int id)
{
    int state = disk_scan_status(id);
    return state == SCAN_IDLE || state == SCAN_RUNNING;
}

// Waits for the scans to end, drawing one live line of their sums on
// stderr when it is a terminal; Ctrl-C sets g_interrupted and stops the
// wait. The final state of the last.
int wait_for_scans(const std::vector<int> &ids, bool live)
{
    double started = now_s(), drawn = 0;
    size_t at = 0;  // the scans before it have ended
    while (at < ids.size()) {
        if (!running(ids[at])) {
            at++;
            continue;
        }
        if (g_interrupted)
            break;
        if (live && now_s() - drawn >= 0.2) {
            draw_progress(ids, started);
            drawn = now_s();
        }
        sleep_ms(20);
    }
    if (live)
        fprintf(stderr, "\r\033[K");
    return ids.empty() ? SCAN_FAILED : disk_scan_status(ids.back());
}

// Writes what the options ask for from a finished scan: the page, then a
// JSON document or the text report on stdout. May free the scan before the
// comparison, which needs only the trees.
int write_outputs(const options &o, scan_handle &scan, const disk_problems &problems, const style &st,
                  const sv_tree *older)
{
    int id = scan.get();
    if (o.export_file) {
        if (int rc = write_export(o.export_file, id); rc != EXIT_OK)
            return rc;
    }
    if (o.table_file) {
#ifdef QVDISK_TABLE
        if (int rc = write_table(o.table_file, id, o.path); rc != EXIT_OK)
            return rc;
#else
        fprintf(stderr, "qvdisk: --table is not available in this build (no SQLite)\n");
        return EXIT_USAGE;
#endif
    }
    if (o.save) {
        int rc = save_scan(o.save, disk_scan_result(id));
        if (rc != EXIT_OK)
            return rc;
    }
    if (older) {
        sv_tree newer;
        std::string why;
        const char *doc = disk_scan_result(id);
        uint64_t merged = 0;
        if (!doc || !sv_read_scan(doc, strlen(doc), &newer, &merged, &why)) {
            fprintf(stderr, "qvdisk: the library gave no scan result to compare%s%s\n", doc ? ": " : "",
                    doc ? why.c_str() : "");
            return EXIT_SCAN_FAILED;
        }
        // The page's tree must be the one compared, entry for entry: with
        // names merged, it is written from the tree.
        if (merged > 0 && !o.save)  // the save has said so already
            warn_listed_twice(merged);
        treemap_docs page;
        if (o.html) {
            page.tree = merged > 0 ? nullptr : doc;
            page.top = disk_get_top(id, o.top > 0 ? o.top : 10);
            page.ext = disk_get_extensions(id);
            page.problems = disk_get_problems(id);
            page.counts = &problems;
        } else {
            // Only the trees are needed from here: the scan's memory goes
            // before the comparison takes its own.
            scan.reset();
        }
        return write_comparison(o, *older, newer, o.since, nullptr, page, st);
    }
    if (o.html) {
        treemap_docs docs;
        docs.tree = disk_scan_result(id);
        docs.top = disk_get_top(id, o.top > 0 ? o.top : 10);
        docs.ext = disk_get_extensions(id);
        docs.problems = disk_get_problems(id);
        docs.counts = &problems;
        disk_scan_options used{};
        used.struct_size = sizeof used;
        if (disk_scan_get_options(id, &used) == 0)
            docs.options = &used;
        if (int rc = write_page(o.html, docs); rc != EXIT_OK)
            return rc;
    }
    if ((o.export_file && !strcmp(o.export_file, "-")) || (o.table_file && !strcmp(o.table_file, "-")))
        return EXIT_OK;  // standard output holds the export or the table alone
    if (!o.json)
        return print_report(o, id, st);
    const char *doc = !strcmp(o.json, "tree") ? disk_scan_result(id)
                      : !strcmp(o.json, "top") ? disk_get_top(id, o.top)
                                               : disk_get_extensions(id);
    if (!doc) {
        fprintf(stderr, "qvdisk: the library gave no document\n");
        return EXIT_SCAN_FAILED;
    }
    fputs(doc, stdout);
    fputc('\n', stdout);
    // The library's stand-in for a document it could not build.
    if (strncmp(doc, "{\"error\":", 9) == 0) {
        fprintf(stderr, "qvdisk: the library could not build the document\n");
        return EXIT_SCAN_FAILED;
    }
    return EXIT_OK;
}

// --older-than, --newer-than: the scan from here on holds only the files
// of that span.
int keep_ages(const options &o, scan_handle &scan)
{
    if (!o.older_than && !o.newer_than)
        return EXIT_OK;
    std::string why;
    uint64_t kept = 0;
    int id = age_filtered(scan.get(), o.newer_than ? o.newer_at : INT64_MIN, o.older_than ? o.older_at : INT64_MAX,
                          &kept, &why);
    if (id < 0) {
        fprintf(stderr, "qvdisk: cannot choose the files by age: %s\n", why.c_str());
        return EXIT_SCAN_FAILED;
    }
    scan = scan_handle(id);
    return EXIT_OK;
}

// write_outputs(), then what the scan left out, once, after the output, as
// the last line on a terminal (stdout stays a clean document with --json).
int write_and_warn(const options &o, scan_handle &scan, const disk_problems &problems, const style &st,
                   const sv_tree *older)
{
    int rc = keep_ages(o, scan);
    if (rc == EXIT_OK)
        rc = write_outputs(o, scan, problems, st, older);
    if (fflush(stdout) != 0)
        rc = EXIT_SCAN_FAILED;
    warn_left_out(problems);
    return rc;
}

#ifdef QVDISK_BROWSER
// Colour in the browser: unless NO_COLOR is set or the terminal is dumb.
bool browser_color()
{
    const char *no_color = getenv("NO_COLOR");
    const char *term = getenv("TERM");
    return !(no_color && *no_color) && !(term && !strcmp(term, "dumb"));
}
#endif

// "qvdisk: warning: 1 file system did not answer" when some are without
// figures in the list; the list says which.
void warn_unread_mounts(const std::vector<mount_entry> &mounts)
{
    size_t silent = 0, failed = 0;
    for (const mount_entry &m : mounts) {
        silent += m.state == MOUNT_SILENT;
        failed += m.state == MOUNT_FAILED;
    }
    std::string text;
    if (silent > 0)
        text = grouped(silent) + (silent == 1 ? " file system" : " file systems") + " did not answer";
    if (failed > 0)
        text += (text.empty() ? grouped(failed) + (failed == 1 ? " file system" : " file systems")
                              : ", " + grouped(failed)) +
                " could not be read";
    if (!text.empty())
        fprintf(stderr, "qvdisk: warning: %s\n", text.c_str());
}

// --mounts: the list printed; with -i, the mount point chosen from it in
// *chosen (left empty when none was).
int list_or_choose_mounts(const options &o, const style &st, std::string *chosen)
{
    int ms = o.stall_timeout_ms == 0 ? DISK_STALL_TIMEOUT_MS : o.stall_timeout_ms;
    install_interrupt_handler();
    std::vector<mount_entry> mounts;
    std::string err;
    bool listed = list_mounts(ms, &g_interrupted, &mounts, &err);
#ifdef QVDISK_BROWSER
    if (listed && !g_interrupted && o.interactive) {
        int i = choose_mount(mounts, ms, browser_color(), &g_interrupted);
        if (i >= 0)
            *chosen = mounts[(size_t)i].point;
    }
#endif
    if (g_interrupted) {
        fprintf(stderr, "qvdisk: interrupted\n");
        return EXIT_INTERRUPTED;
    }
    restore_interrupt_handler();
    if (!listed) {
        fprintf(stderr, "qvdisk: %s\n", err.c_str());
        return EXIT_SCAN_FAILED;
    }
    if (o.interactive)
        return EXIT_OK;
    fputs(mounts_table(mounts, o.apparent_size, ms, st).c_str(), stdout);
    int rc = fflush(stdout) == 0 ? EXIT_OK : EXIT_SCAN_FAILED;
    warn_unread_mounts(mounts);
    return rc;
}

// What a scan read with -f counts: sizes as the command line says.
disk_scan_options import_options(const options &o)
{
    disk_scan_options so{};
    so.struct_size = sizeof so;
    so.size_kind = o.apparent_size ? DISK_SIZE_APPARENT : DISK_SIZE_ON_DISK;
    so.hard_links_once = o.count_links ? 0 : 1;
    so.extended = o.extended || o.older_than || o.newer_than ? 1 : 0;
    return so;
}

// --compare OLD NEW: two saved scans, no scan.
int compare_saved(const options &o, const style &st)
{
    sv_tree older, newer;
    int rc = load_saved_pair(o.compare_old, o.compare_new, import_options(o), &older, &newer);
    if (rc != EXIT_OK)
        return rc;
    // The page shows the newer scan as it was saved: written from the tree
    // read, the same document.
    treemap_docs page;
    rc = write_comparison(o, older, newer, o.compare_old, o.compare_new, page, st);
    if (fflush(stdout) != 0)
        rc = EXIT_SCAN_FAILED;
    return rc;
}

// -f: the scan read from a file, then everything a scan of PATH gives, but
// nothing that acts on the disk.
int run_imported(options &o, const style &st, const sv_tree *older)
{
    int id = -1;
    uint64_t left_out = 0;
    std::string root;
    int rc = read_scan_file(o.import_file, import_options(o), &id, &left_out, &root);
    if (rc != EXIT_OK)
        return rc;
    scan_handle scan(id);
    o.path = root.c_str();  // names the scan wherever it is shown
    o.read_only = true;
#ifdef QVDISK_BROWSER
    if (o.interactive)
        return run_interactive(o, std::move(scan), -1, browser_color(), &g_interrupted);
#endif
    disk_problems problems{};
    problems.struct_size = sizeof problems;
    disk_scan_problems(id, &problems);
    rc = write_and_warn(o, scan, problems, st, older);
    if (left_out > 0)
        fprintf(stderr, "qvdisk: warning: %s entries the file marks excluded were left out\n",
                grouped(left_out).c_str());
    return rc;
}

// Several PATHs: each directory once, by its real path; a PATH that is one
// given before (twice, or by another name) is said and dropped. *real gets
// the real path of each kept ("" for one that leads nowhere: its scan says
// why).
std::vector<const char *> distinct_roots(const options &o, std::vector<std::string> *real)
{
    std::vector<const char *> kept;
    for (const char *p : o.paths) {
        std::string r;
        bool known = real_dir_path(p, &r);
        auto same = known ? std::find(real->begin(), real->end(), r) : real->end();
        if (same != real->end()) {
            fprintf(stderr, "qvdisk: '%s' is '%s' again: counted once\n", term_safe(p).c_str(),
                    term_safe(kept[(size_t)(same - real->begin())]).c_str());
            continue;
        }
        kept.push_back(p);
        real->push_back(known ? r : std::string());
    }
    return kept;
}

// Tells each root inside another that it is counted as its own, not in it.
void tell_inside(const std::vector<const char *> &roots, const std::vector<std::string> &real,
                 const std::vector<std::vector<std::string>> &inside)
{
    for (size_t i = 0; i < roots.size(); i++)
        for (const std::string &rel : inside[i]) {
            std::string whole = real[i] + (real[i].back() == '/' ? "" : "/") + rel;
            auto at = std::find(real.begin(), real.end(), whole);
            if (at != real.end())
                fprintf(stderr, "qvdisk: '%s' lies inside '%s': counted as its own, not in it\n",
                        term_safe(roots[(size_t)(at - real.begin())]).c_str(), term_safe(roots[i]).c_str());
        }
}

// A finished root scan put into the whole and freed; false, said on
// stderr, for one that failed or could not be opened (*root_failed).
bool add_root(roots_builder &whole, scan_handle &scan, const char *path, const std::vector<std::string> &inner,
              uint64_t *skipped, bool *root_failed)
{
    disk_problems p{};
    p.struct_size = sizeof p;
    int state = disk_scan_status(scan.get());
    if (state == SCAN_DONE)
        state = disk_scan_problems(scan.get(), &p);
    std::string why;
    if (state != SCAN_DONE)
        why = "the scan failed (state " + std::to_string(state) + ")";
    else if (p.root_error != 0)
        why = root_error_text(p.root_error);
    else if (!whole.add(scan.get(), inner, &why))
        why = "cannot be put with the others: " + why;
    *root_failed = state == SCAN_DONE && p.root_error != 0;
    *skipped += p.skipped_entries;
    scan.reset();  // the whole holds it now: one copy at a time
    if (why.empty())
        return true;
    fprintf(stderr, "qvdisk: cannot scan '%s': %s\n", term_safe(path).c_str(), why.c_str());
    return false;
}

// Several PATHs scanned at once and shown as one scan: a root of no name
// with each PATH below it (see scanroots.h). A PATH that cannot be scanned
// is said and left out: status 2 when none can, as for one PATH; 1 when
// some can, once the others are shown.
int run_roots(options &o, const style &st, bool live, const sv_tree *older)
{
    std::vector<std::string> real;
    std::vector<const char *> roots = distinct_roots(o, &real);
    std::vector<std::vector<std::string>> inside = roots_inside(real);
    tell_inside(roots, real, inside);
    std::vector<const char *> patterns;
    roots_builder whole(scan_options(o, &patterns));
    // -i deletes below each root only through its descriptor, opened before
    // its scan: a root swapped meanwhile leads nowhere else.
    std::vector<std::pair<std::string, int>> fds;
#ifdef QVDISK_BROWSER
    for (const char *p : roots)
        if (o.interactive)
            fds.emplace_back(p, std::max(open_root_in_time(o, p), -1));
#endif
    std::vector<scan_handle> scans;
    std::vector<int> ids;
    for (const char *p : roots) {
        scans.emplace_back(start_scan(o, p));
        ids.push_back(scans.back().get());
        if (!whole.ok() || !scans.back()) {
            fprintf(stderr, "qvdisk: cannot start a scan\n");
            return EXIT_SCAN_FAILED;
        }
    }
    wait_for_scans(ids, live);
    if (!g_interrupted)
        restore_interrupt_handler();
    if (g_interrupted) {
        fprintf(stderr, "qvdisk: interrupted\n");
        guard_report(EXIT_INTERRUPTED);
        for (int id : ids)
            disk_scan_cancel(id);
        return EXIT_INTERRUPTED;
    }
    uint64_t skipped = 0;
    size_t failed = 0, unopened = 0;
    for (size_t i = 0; i < roots.size(); i++) {
        bool root_failed = false;
        if (!add_root(whole, scans[i], roots[i], inside[i], &skipped, &root_failed)) {
            failed++;
            unopened += root_failed;
        }
    }
    if (failed == roots.size()) {
        int rc = unopened == failed ? EXIT_USAGE : EXIT_SCAN_FAILED;
        guard_report(rc);
        return rc;
    }
    scan_handle scan(whole.finish());
    disk_problems problems{};
    problems.struct_size = sizeof problems;
    if (!scan || disk_scan_problems(scan.get(), &problems) != SCAN_DONE) {
        fprintf(stderr, "qvdisk: the scans could not be put together\n");
        return EXIT_SCAN_FAILED;
    }
    problems.skipped_entries = skipped;
    o.path = "";
#ifdef QVDISK_BROWSER
    if (o.interactive)
        return run_interactive_roots(o, std::move(scan), std::move(fds), browser_color(), &g_interrupted);
#endif
    int rc = write_and_warn(o, scan, problems, st, older);
    if (rc == EXIT_OK && failed > 0)
        rc = EXIT_SCAN_FAILED;
    guard_report(rc);
    return rc;
}

// Everything qvdisk does once its arguments are read; the exit status.
int run(options &o)
{
    int rc = read_exclude_files(&o);
    if (rc != EXIT_OK)
        return rc;
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    style st;
    const char *no_color = getenv("NO_COLOR");
    st.color = isatty(fileno(stdout)) && !(no_color && *no_color);
    st.unicode = st.color;
    bool live = isatty(fileno(stderr)) != 0;

    if (o.compare_old)
        return compare_saved(o, st);
    // A saved scan that cannot be read stops qvdisk before the scan.
    sv_tree older;
    if (o.since && (rc = load_saved(o.since, import_options(o), &older)) != EXIT_OK)
        return rc;

    if (o.interactive && !(isatty(fileno(stdin)) && isatty(fileno(stdout)))) {
        fprintf(stderr, "qvdisk: -i needs a terminal\n");
        return EXIT_USAGE;
    }
#ifndef QVDISK_BROWSER
    if (o.interactive) {
        fprintf(stderr, "qvdisk: -i is not available in this build (no curses)\n");
        return EXIT_USAGE;
    }
#endif

    // The mount point chosen with --mounts -i, scanned as a PATH given.
    std::string chosen;
    if (o.mounts) {
        rc = list_or_choose_mounts(o, st, &chosen);
        if (rc != EXIT_OK || chosen.empty())
            return rc;
        o.path = chosen.c_str();
    }
    if (o.import_file)
        return run_imported(o, st, o.since ? &older : nullptr);
    install_interrupt_handler();
    if (o.paths.size() > 1)
        return run_roots(o, st, live, o.since ? &older : nullptr);
#ifdef QVDISK_BROWSER
    // Deleting in -i reaches entries only from the root the scan walked:
    // opened before it starts, so a root renamed or swapped later leads
    // nowhere else.
    int root_fd = o.interactive ? open_root_in_time(o, o.path) : -1;
    if (root_fd == -2) {
        if (g_interrupted)
            fprintf(stderr, "qvdisk: interrupted\n");
        else
            fprintf(stderr, "qvdisk: cannot scan '%s': %s\n", term_safe(o.path).c_str(),
                    root_error_text(ETIMEDOUT).c_str());
        return g_interrupted ? EXIT_INTERRUPTED : EXIT_USAGE;
    }
#endif
    // Every path out of here frees the scan once, as its owner goes: after
    // guard_report() where the status is told here.
    scan_handle scan(start_scan(o, o.path));
    if (!scan) {
        fprintf(stderr, "qvdisk: cannot start a scan\n");
        return EXIT_SCAN_FAILED;
    }
#ifdef QVDISK_BROWSER
    if (o.interactive)
        return run_interactive(o, std::move(scan), root_fd, browser_color(), &g_interrupted);
#endif
    int id = scan.get();
    int state = wait_for_scans({id}, live);
    // The handler stays until the flag is looked at for the last time: a
    // second Ctrl-C (the guard passes signals on) must not kill what the
    // first one stops.
    if (!g_interrupted)
        restore_interrupt_handler();
    if (g_interrupted) {
        // Told before the scan is let go of, which may wait on storage.
        fprintf(stderr, "qvdisk: interrupted\n");
        guard_report(EXIT_INTERRUPTED);
        disk_scan_cancel(id);
        return EXIT_INTERRUPTED;
    }
    disk_problems problems{};
    problems.struct_size = sizeof problems;
    if (state == SCAN_DONE)
        state = disk_scan_problems(id, &problems);
    if (state != SCAN_DONE) {
        fprintf(stderr, "qvdisk: the scan failed (state %d)\n", state);
        return EXIT_SCAN_FAILED;
    }
    // The scan itself tells whether the root could be opened: no check made
    // before it could stand for that, as the root may change in between.
    if (problems.root_error != 0) {
        fprintf(stderr, "qvdisk: cannot scan '%s': %s\n", term_safe(o.path).c_str(),
                root_error_text(problems.root_error).c_str());
        guard_report(EXIT_USAGE);
        return EXIT_USAGE;
    }
    rc = write_and_warn(o, scan, problems, st, o.since ? &older : nullptr);
    // All is told: freeing the scan, as it goes now, may wait on storage.
    guard_report(rc);
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    int rc = parse_args(argc, utf8_argv(argc, argv), &o);
    if (rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    // From here on storage may stop answering: see guard.h.
    guard_start();
    try {
        return guard_report(run(o));
    } catch (const std::bad_alloc &) {
        // What reads or builds a large thing says so itself; this is the
        // last word for a small allocation anywhere else.
        fputs("qvdisk: out of memory\n", stderr);
        return guard_report(EXIT_SCAN_FAILED);
    }
}
