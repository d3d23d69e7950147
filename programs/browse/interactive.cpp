// qvdisk -i: the scan on a live screen, then the browser's key loop; the
// keys that reach the file system (trash, delete, rescan) are handled here.
#include "interactive.h"

#include <curses.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "browse.h"
#include "browsefs.h"
#include "browsemeta.h"
#include "browser.h"
#include "format.h"
#include "guard.h"
#include "openfile.h"
#include "report.h"
#include "screen.h"
#include "termtext.h"
#include "utf8.h"

namespace {

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

struct session {
    browser b;
    volatile sig_atomic_t *interrupted;
    disk_scan_options opts{};           // as the first scan ran, for rescans
    std::vector<std::string> patterns;  // its exclude patterns, copied
    std::vector<const char *> pattern_ptrs;
    std::vector<std::pair<scan_handle, int>> scans;  // a scan the model reads, the node it was made for
    int root_fd = -1;                        // opened before the scan began
    // Several roots under one of no name: each root's path and descriptor
    // (root_fd then unused).
    std::vector<std::pair<std::string, int>> roots;
    session() = default;
    session(const session &) = delete;
    session &operator=(const session &) = delete;
    ~session()
    {
        if (root_fd >= 0)
            close(root_fd);
        for (const auto &r : roots)
            if (r.second >= 0)
                close(r.second);
    }
    bool from_file = false;                  // read with -f: nothing on disk to act on
    // What the question was about: the entries as they were when asked,
    // those that could not be reached then ("name: why"), to the trash or
    // for good, the marked entries or the selected one.
    std::vector<std::pair<int, entry_id>> pending;
    std::vector<std::string> pending_failed;
    bool pending_trash = false;
    bool pending_marks = false;
};

// A path as the documents write it: ill-formed UTF-8 as U+FFFD.
std::string as_written(const std::string &raw)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(raw.data());
    for (size_t at = 0, n = raw.size(); at < n;) {
        size_t good = utf8_len_n(p + at, n - at);
        if (good > 0) {
            out.append(raw, at, good);
            at += good;
        } else {
            out += UTF8_REPLACEMENT;
            at += utf8_bad_len_n(p + at, n - at);
        }
    }
    return out;
}

// Where node lies on disk: the descriptor of the root it lies below, that
// root's path and the names below it. With several roots the first name
// picks the root; -1 for the root of no name above them.
int below_which_root(const session &s, int node, std::vector<std::string> *names, std::string *root_raw)
{
    *names = names_below_root(s.b, node);
    *root_raw = s.b.root_raw;
    if (s.roots.empty())
        return s.root_fd;
    for (const auto &[path, fd] : s.roots) {
        if (names->empty() || as_written(path) != names->front())
            continue;
        *root_raw = path;
        names->erase(names->begin());
        return fd;
    }
    return -1;
}

// The descriptor and names to act on node below its root, or -1 with why
// not: a PATH of the command line itself is not deleted from here.
int entry_below_root(const session &s, int node, std::vector<std::string> *names, std::string *why)
{
    std::string root_raw;
    int fd = below_which_root(s, node, names, &root_raw);
    if (fd < 0 || names->empty()) {
        *why = s.b.nodes[(size_t)node].name + ": a PATH given to qvdisk, not deleted from here";
        return -1;
    }
    return fd;
}

enum wait_end { SCAN_ENDED, STOPPED_BY_KEY, STOPPED_BY_SIGNAL };

// Polls scan id until it ends or is stopped: on the full screen (the first
// scan), or on the message line (a rescan: Esc or q stops it).
wait_end wait_scan(session &s, int id, const std::string &path, bool full_screen)
{
    double started = now_s();
    timeout(100);
    for (;;) {
        unsigned long long files = 0, dirs = 0, bytes = 0;
        int state = disk_scan_progress(id, &files, &dirs, &bytes);
        if (state != SCAN_IDLE && state != SCAN_RUNNING)
            return SCAN_ENDED;
        if (*s.interrupted)
            return STOPPED_BY_SIGNAL;
        if (full_screen) {
            draw_scanning(path, files, dirs, bytes, now_s() - started);
        } else {
            s.b.message = "rescanning: " + grouped(files) + " files, " + human(bytes) + "  (Esc stops)";
            draw_browser(s.b);
        }
        int ch = getch();
        if (ch == 'q' || ch == 27)
            return STOPPED_BY_KEY;
    }
}

void free_scans_below(session &s, int node)
{
    for (size_t i = 0; i < s.scans.size();) {
        if (is_below(s.b, s.scans[i].second, node)) {
            s.scans.erase(s.scans.begin() + (long)i);
        } else {
            i++;
        }
    }
}

// Scans node's directory again and puts the new contents in its place.
void rescan(session &s, int node)
{
    browser &b = s.b;
    if (s.from_file) {
        b.message = "cannot rescan: this scan was read from a file";
        return;
    }
    std::vector<std::string> names;
    std::string raw, err, root_raw;
    int fd = below_which_root(s, node, &names, &root_raw);
    if (fd < 0) {
        b.message = "cannot rescan several PATHs at once: rescan each";
        return;
    }
    if (!raw_path_below_root(fd, root_raw, names, &raw, &err)) {
        b.message = "cannot rescan: " + err;
        return;
    }
    disk_scan_options so = s.opts;
    if (so.max_depth > 0 && (so.max_depth -= (int)names.size()) <= 0) {
        b.message = "this directory is at --max-depth: nothing below it is listed";
        return;
    }
    double started = now_s();
    scan_handle fresh(disk_scan_ex(raw.c_str(), &so));
    if (!fresh) {
        b.message = "cannot start a scan (32 at most at once)";
        return;
    }
    int id = fresh.get();
    wait_end end = wait_scan(s, id, raw, false);
    disk_problems p{};
    p.struct_size = sizeof p;
    const char *doc = end == SCAN_ENDED && disk_scan_problems(id, &p) == SCAN_DONE && p.root_error == 0
                          ? disk_get_dir(id, raw.c_str(), 1)
                          : nullptr;
    uint64_t size = 0, files = 0;
    doc_entry top;
    if (!read_dir_doc(doc, [&](int depth, const doc_entry &e) {
            if (depth == 0) {
                size = e.size;
                files = e.files;
                top = e;
            }
        })) {
        b.message = end == SCAN_ENDED ? "the rescan failed" : "rescan stopped";
        return;
    }
    free_scans_below(s, node);
    s.scans.emplace_back(std::move(fresh), node);
    replace_dir(b, node, id, raw, size, files);
    take_meta(b, node, top);
    char took[32];
    snprintf(took, sizeof took, "%.1f s", now_s() - started);
    b.message = "rescanned in " + std::string(took);
}

// An entry as a question or a message names it: "src/" for a directory.
std::string label(const bnode &n) { return n.name + (n.is_dir ? "/" : ""); }

// The question about what s.pending holds, to the trash or for good.
std::string question(const session &s)
{
    const browser &b = s.b;
    std::vector<int> asked;
    for (const auto &p : s.pending)
        asked.push_back(p.first);
    mark_totals t = totals_of(b, asked);
    std::string what;
    if (s.pending_marks) {
        what = grouped(t.count) + " marked " + (t.count == 1 ? "entry" : "entries") + " (" + human(t.size) + ", " +
               grouped(t.files) + (t.files == 1 ? " file" : " files") + ")";
    } else {
        const bnode &n = b.nodes[(size_t)asked[0]];
        what = std::string(n.is_dir ? "the directory " : "the file ") + label(n) + " (" + human(n.size) +
               (n.is_dir ? ", " + grouped(n.files) + " files" : "") + ")";
    }
    std::string unreached = s.pending_failed.empty() ? "" : " (" + grouped(s.pending_failed.size()) + " unreachable)";
    return s.pending_trash ? "Move " + what + " to the trash" + unreached + "? y/N"
                           : "PERMANENTLY delete " + what + unreached + "? y/N";
}

// The entries d (to_trash) or D acts on, the marked ones or the selected
// one, identified now and asked about once.
void ask_remove(session &s, bool to_trash)
{
    browser &b = s.b;
    if (b.rows.empty() && b.marks.empty())
        return;
    if (s.from_file) {
        b.message = "deleting is off: this scan was read from a file";
        return;
    }
    if (b.read_only) {
        b.message = "deleting is off (--read-only)";
        return;
    }
    s.pending_marks = !b.marks.empty();
    s.pending_trash = to_trash;
    s.pending.clear();
    s.pending_failed.clear();
    for (int node : s.pending_marks ? marks_to_act_on(b) : std::vector<int>{b.rows[(size_t)b.sel]}) {
        const bnode &n = b.nodes[(size_t)node];
        entry_id id;
        std::string err;
        std::vector<std::string> names;
        int fd = entry_below_root(s, node, &names, &err);
        if (fd < 0 || !identify_below_root(fd, names, &id, &err))
            s.pending_failed.push_back(err);
        else if (id.is_dir != n.is_dir)
            s.pending_failed.push_back(n.name + ": a " + (n.is_dir ? "file" : "directory") + " now; rescan (r) first");
        else
            s.pending.emplace_back(node, id);
    }
    if (s.pending.empty()) {
        b.message = std::string(to_trash ? "cannot move to the trash: " : "cannot delete: ") + s.pending_failed[0];
        if (s.pending_failed.size() > 1)
            b.message += " (and " + grouped(s.pending_failed.size() - 1) + " more)";
        return;
    }
    b.message = question(s);
    b.view = VIEW_CONFIRM;
}

// The directories the scan entered below node: those of its document, less
// those it recorded without entering them whole (its problems list).
void entered_below(browser &b, const bnode &n, entered_dirs *out)
{
    std::vector<int> at{0};
    read_dir_doc(disk_get_dir(n.scan, n.lib_path.c_str(), 0), [&](int depth, const doc_entry &e) {
        if (depth == 0 || !e.is_dir)
            return;
        at.resize((size_t)depth + 1);
        at[(size_t)depth] = out->add(at[(size_t)depth - 1], e.name);
    });
    std::string below = n.lib_path + (n.lib_path.empty() || n.lib_path.back() != '/' ? "/" : "");
    for (const auto &[path, problem] : b.problems[n.scan]) {
        if (path.compare(0, below.size(), below) != 0)
            continue;
        std::vector<std::string> names;
        for (size_t from = below.size(), to; from <= path.size(); from = to + 1) {
            to = std::min(path.find('/', from), path.size());
            names.push_back(path.substr(from, to - from));
        }
        out->not_entered(names);
    }
}

// A path with the user's home folder as "~".
std::string home_short(const std::string &path)
{
    const char *home = getenv("HOME");
    size_t n = home ? strlen(home) : 0;
    if (n > 1 && path.compare(0, n, home) == 0 && path.size() > n && path[n] == '/')
        return "~" + path.substr(n);
    return path;
}

// Deletes node for good; false and what stays in *kept.
bool delete_node(session &s, int node, const entry_id &id, std::vector<std::string> *kept)
{
    browser &b = s.b;
    bnode n = b.nodes[(size_t)node];
    entered_dirs entered;
    delete_options opts;
    if (n.is_dir) {
        entered_below(b, n, &entered);
        opts.entered = &entered;
        opts.skip_caches = s.opts.exclude_caches != 0;
    }
    std::vector<std::string> names;
    std::string why;
    int fd = entry_below_root(s, node, &names, &why);
    if (fd < 0) {
        kept->push_back(why);
        return false;
    }
    if (delete_below_root(fd, names, id, opts, kept)) {
        free_scans_below(s, node);
        remove_node(b, node);
        return true;
    }
    // Part of a directory may be gone: show what is left of it.
    if (n.is_dir)
        rescan(s, node);
    return false;
}

// What the answer y did.
struct removal {
    size_t done = 0, no_trash = 0;  // gone; left for want of a trash
    uint64_t bytes = 0;             // of what went
    std::string last;               // the last that went, as labelled
    std::vector<std::pair<std::string, size_t>> trashes;  // where, how many
    std::vector<std::string> failed;  // each entry that stayed: "name: why"
    std::vector<std::string> kept;    // all that deleting left, for the list
};

void move_one(session &s, int node, const entry_id &id, removal *r)
{
    std::vector<std::string> names;
    std::string why;
    int fd = entry_below_root(s, node, &names, &why);
    trash_result t = fd >= 0 ? trash_below_root(fd, names, id) : trash_result{TRASH_FAILED, "", why};
    if (t.outcome != TRASH_MOVED) {
        r->no_trash += t.outcome == TRASH_NONE;
        r->failed.push_back(t.why + (t.outcome == TRASH_NONE && s.pending_marks ? "; D deletes for good" : ""));
        return;
    }
    free_scans_below(s, node);
    remove_node(s.b, node);
    auto at = std::find_if(r->trashes.begin(), r->trashes.end(), [&](const auto &w) { return w.first == t.where; });
    if (at == r->trashes.end())
        r->trashes.emplace_back(t.where, 1);
    else
        at->second++;
}

// "moved 3 (110.0 KiB) to the trash: ~/.local/share/Trash; 1 failed: ...",
// "deleted src/ (45.9 KiB)", "not deleted: a.txt: Permission denied".
std::string removal_message(const session &s, const removal &r)
{
    std::string msg;
    if (r.done) {
        msg = (s.pending_trash ? "moved " : "deleted ") + (s.pending_marks ? grouped(r.done) : r.last) + " (" +
              human(r.bytes) + ")";
        if (s.pending_trash)
            msg += " to the trash: ";
        for (size_t i = 0; s.pending_trash && i < r.trashes.size(); i++)
            msg += (i ? ", " : "") + (r.trashes.size() > 1 ? grouped(r.trashes[i].second) + " to " : "") +
                   home_short(r.trashes[i].first);
    }
    if (r.failed.empty())
        return msg;
    if (s.pending_marks)
        return msg + (r.done ? "; " : "") + grouped(r.failed.size()) + " failed: " + r.failed[0];
    return std::string(!s.pending_trash ? "not deleted: "
                       : r.no_trash     ? "not moved (D deletes for good): "
                                        : "not moved: ") +
           r.failed[0];
}

// The answer y: every entry asked about goes, to the trash or for good;
// the message says how many went where, and what stayed.
void confirm_remove(session &s)
{
    browser &b = s.b;
    removal r;
    r.failed = s.pending_failed;
    for (const auto &[node, id] : s.pending) {
        bnode n = b.nodes[(size_t)node];
        size_t failed = r.failed.size(), kept = r.kept.size();
        if (s.pending_trash)
            move_one(s, node, id, &r);
        else if (!delete_node(s, node, id, &r.kept))
            r.failed.push_back(r.kept.size() > kept ? r.kept[kept] : n.name);
        if (r.failed.size() == failed) {
            r.done++;
            r.bytes += n.size;
            r.last = label(n);
        }
    }
    b.message = removal_message(s, r);
    // What stays is listed whole when there is more of it than one line.
    std::vector<std::string> list = s.pending_trash ? r.failed : s.pending_failed;
    if (!s.pending_trash)
        list.insert(list.end(), r.kept.begin(), r.kept.end());
    if (list.size() > 1) {
        if (!s.pending_marks)
            b.message += " (and " + grouped(list.size() - 1) + " more)";
        b.info = s.pending_trash ? "Not moved:" : "Kept, not deleted:";
        for (const std::string &k : list)
            b.info += "\n  " + term_safe(k);
        b.info += "\n\n(any key)";
        b.view = VIEW_INFO;
    }
    s.pending.clear();
}

// The details' lines for what a scan with -e keeps of n, when it has it.
std::string meta_info(const bnode &n)
{
    std::string out;
    if (n.fields & DISK_FIELD_MTIME)
        out += "\nmtime  " + time_text(n.mtime, 19) + (n.is_dir ? " (the newest below)" : "");
    if (n.fields & DISK_FIELD_OWNER) {
        char octal[16];
        snprintf(octal, sizeof octal, "%04o", (unsigned)(n.mode & 07777));
        out += "\nowner  " + term_safe(user_shown(n.uid)) + " (" + std::to_string(n.uid) + "), group " +
               term_safe(group_shown(n.gid)) + " (" + std::to_string(n.gid) + ")";
        out += "\nmode   " + mode_text(n.mode) + " (" + octal + ")";
    }
    return out;
}

void show_info(session &s)
{
    browser &b = s.b;
    if (b.rows.empty())
        return;
    int node = b.rows[(size_t)b.sel];
    const bnode &n = b.nodes[(size_t)node];
    b.info = "path   " + fit_left(term_safe(shown_path(b, node)), 70) + "\n" + "type   " +
             (n.is_dir ? "directory" : "file") + "\n" + "size   " + human(n.size) + " " + b.size_kind + " (" +
             grouped(n.size) + " bytes)";
    uint64_t apparent = 0, on_disk = 0;
    std::vector<std::string> names;
    int fd = -1;
    if (n.is_dir)
        b.info += "\nfiles  " + grouped(n.files) +
                  (n.problem.kind.empty() ? "" : "\nnote   " + term_safe(problem_text(n.problem)));
    else if (std::string r; (fd = below_which_root(s, node, &names, &r)) >= 0 &&
             sizes_below_root(fd, names, &apparent, &on_disk))
        b.info += "\nnow    " + grouped(apparent) + " bytes long, " + grouped(on_disk) + " bytes on disk";
    b.info += meta_info(n);
    b.info += "\n\n(any key)";
    b.view = VIEW_INFO;
}

void show_marks(browser &b)
{
    if (b.marks.empty()) {
        b.message = "nothing is marked (Space marks the selected entry)";
        return;
    }
    list_marks(b);
    b.view = VIEW_MARKS;
}

void show_stats(browser &b, view_mode v)
{
    b.message = "";
    if (v == VIEW_TOP)
        largest_files(b, b.cur, 1000, &b.stats);
    else
        extensions(b, b.cur, &b.stats);
    b.stats_top = 0;
    b.view = v;
}

const char HELP[] =
    "up/down, k/j      move            PgUp/PgDn, Home/End  page, ends\n"
    "Enter, right, l   open            left, h, Backspace   up\n"
    "/                 filter by name (Enter keeps, Esc clears)\n"
    "s n c e M         sort: size, name, files, extension, time; again: reverse\n"
    "C m               show or hide the files, the modification times (-e)\n"
    "t                 largest files below this directory\n"
    "x                 extensions below this directory\n"
    "i                 details of the selected entry\n"
    "r                 rescan this directory\n"
    "d / D             move to the trash / delete for good (asks first)\n"
    "Space / v         mark, for d and D (moves down) / the marked list\n"
    "mouse             click selects, click again opens\n"
    "q                 quit\n\n(any key)";

const char NO_TIMES[] = "this scan has no modification times: scan with -e (--extended)";

// One key in the list; false to quit.
bool list_key(session &s, int ch)
{
    browser &b = s.b;
    int page = list_height();
    switch (ch) {
    case KEY_UP: case 'k': move_sel(b, -1); break;
    case KEY_DOWN: case 'j': move_sel(b, 1); break;
    case KEY_PPAGE: move_sel(b, -page); break;
    case KEY_NPAGE: move_sel(b, page); break;
    case KEY_HOME: case 'g': move_sel(b, -(int)b.rows.size()); break;
    case KEY_END: case 'G': move_sel(b, (int)b.rows.size()); break;
    case '\n': case '\r': case KEY_ENTER: case KEY_RIGHT: case 'l': open_selected(b); break;
    case KEY_LEFT: case 'h': case KEY_BACKSPACE: case 127: case 8: go_up(b); break;
    case 's': set_sort(b, BY_SIZE); break;
    case 'n': set_sort(b, BY_NAME); break;
    case 'c': set_sort(b, BY_COUNT); break;
    case 'e': set_sort(b, BY_EXT); break;
    case 'M':
        if (b.has_times)
            set_sort(b, BY_TIME);
        else
            b.message = NO_TIMES;
        break;
    case 'C': b.show_files = !b.show_files; break;
    case 'm':
        if (b.has_times)
            b.show_time = !b.show_time;
        else
            b.message = NO_TIMES;
        break;
    case '/': b.view = VIEW_FILTER; break;
    case 't': show_stats(b, VIEW_TOP); break;
    case 'x': show_stats(b, VIEW_EXT); break;
    case 'i': show_info(s); break;
    case '?': b.info = HELP; b.view = VIEW_HELP; break;
    case 'r': rescan(s, b.cur); break;
    case 'd': ask_remove(s, !b.no_trash); break;
    case 'D': ask_remove(s, false); break;
    case ' ': toggle_mark(b); break;
    case 'v': show_marks(b); break;
    case 'q': return false;
    case KEY_MOUSE: {
        MEVENT ev;
        if (getmouse(&ev) != OK || !(ev.bstate & (BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED | BUTTON1_PRESSED)))
            break;
        int row = b.top + ev.y - 3;
        if (ev.y < 3 || row >= (int)b.rows.size())
            break;
        bool again = row == b.sel;
        b.sel = row;
        if (again || (ev.bstate & BUTTON1_DOUBLE_CLICKED))
            open_selected(b);
        break;
    }
    default: break;
    }
    return true;
}

void filter_key(browser &b, int ch)
{
    if (ch == 27) {
        b.filter.clear();
        b.view = VIEW_LIST;
    } else if (ch == '\n' || ch == '\r' || ch == KEY_ENTER) {
        b.view = VIEW_LIST;
    } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
        while (!b.filter.empty() && ((unsigned char)b.filter.back() & 0xC0) == 0x80)
            b.filter.pop_back();
        if (!b.filter.empty())
            b.filter.pop_back();
    } else if (ch >= 0x20 && ch < 0x100 && ch != 0x7F) {
        b.filter += (char)ch;
    } else {
        return;
    }
    b.sel = b.top = 0;
    refresh_rows(b);
}

// One key in whatever view is up; false to quit.
bool on_key(session &s, int ch)
{
    browser &b = s.b;
    if (ch == KEY_RESIZE)  // the next drawing takes the new size
        return true;
    if (b.view != VIEW_FILTER && b.view != VIEW_CONFIRM)
        b.message.clear();
    switch (b.view) {
    case VIEW_LIST: return list_key(s, ch);
    case VIEW_FILTER: filter_key(b, ch); return true;
    case VIEW_INFO: case VIEW_HELP: b.view = VIEW_LIST; return true;
    case VIEW_CONFIRM:
        b.view = VIEW_LIST;
        b.message = s.pending_trash ? "not moved" : "not deleted";
        if (ch == 'y' || ch == 'Y')
            confirm_remove(s);
        return true;
    case VIEW_MARKS:
        if (ch == 'd' || ch == 'D' || ch == 'u') {
            b.view = VIEW_LIST;
            if (ch == 'u') {
                b.marks.clear();
                b.message = "all marks cleared";
            } else {
                ask_remove(s, ch == 'd' && !b.no_trash);
            }
            return true;
        }
        [[fallthrough]];
    case VIEW_TOP: case VIEW_EXT:
        if (ch == KEY_UP || ch == 'k')
            b.stats_top--;
        else if (ch == KEY_DOWN || ch == 'j')
            b.stats_top++;
        else if (ch == KEY_PPAGE || ch == KEY_NPAGE)
            b.stats_top += ch == KEY_NPAGE ? list_height() : -list_height();
        else if (ch == 'q' || ch == 27 || ch == KEY_LEFT || ch == 'h' || ch == 't' || ch == 'x' || ch == 'v')
            b.view = VIEW_LIST;
        return true;
    }
    return true;
}

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// run_interactive() but for running out of memory. The session is declared
// before the screen, so that the screen is given back before the scans go.
int browse(const options &o, scan_handle first, int root_fd, std::vector<std::pair<std::string, int>> roots,
           bool color, volatile sig_atomic_t *interrupted)
{
    session s;
    s.interrupted = interrupted;
    s.root_fd = root_fd;
    s.roots = std::move(roots);
    s.from_file = o.import_file != nullptr;
    curses_screen screen(color);
    int id = first.get();
    wait_end end = wait_scan(s, id, o.path, true);
    disk_problems problems{};
    problems.struct_size = sizeof problems;
    int state = end == SCAN_ENDED ? disk_scan_problems(id, &problems) : SCAN_CANCELLED;
    if (end != SCAN_ENDED || state != SCAN_DONE || problems.root_error != 0) {
        screen.give_back();
        int rc = end == STOPPED_BY_SIGNAL ? EXIT_INTERRUPTED
                 : end == STOPPED_BY_KEY  ? EXIT_OK
                 : state != SCAN_DONE     ? EXIT_SCAN_FAILED
                                          : EXIT_USAGE;
        if (end == STOPPED_BY_SIGNAL)
            fprintf(stderr, "qvdisk: interrupted\n");
        else if (rc == EXIT_SCAN_FAILED)
            fprintf(stderr, "qvdisk: the scan failed (state %d)\n", state);
        else if (rc == EXIT_USAGE)
            fprintf(stderr, "qvdisk: cannot scan '%s': %s\n", term_safe(o.path).c_str(),
                    root_error_text(problems.root_error).c_str());
        // Told before the scan is let go of (as this returns), which may
        // wait on storage.
        guard_report(rc);
        disk_scan_cancel(id);
        return rc;
    }
    s.opts.struct_size = sizeof s.opts;
    disk_scan_get_options(id, &s.opts);
    for (int i = 0; i < s.opts.exclude_count; i++)
        s.patterns.push_back(s.opts.excludes[i]);
    for (const std::string &p : s.patterns)
        s.pattern_ptrs.push_back(p.c_str());
    s.opts.excludes = s.pattern_ptrs.empty() ? nullptr : s.pattern_ptrs.data();
    s.opts.stall_timeout_ms = o.stall_timeout_ms;  // rescans wait as the command line says
    // Rescans keep times and owners as the first scan did, or as -e asks.
    if (o.extended)
        s.opts.extended = 1;
    s.scans.emplace_back(std::move(first), 0);
    browser &b = s.b;
    b.read_only = o.read_only;
    b.no_trash = o.no_trash;
    b.size_kind = size_kind_name(s.opts.size_kind);
    b.color = color;
    browser_init(b, id, o.path, disk_get_dir(id, o.path, 1));

    // QVDISK_TRACE=FILE: one line per key, the time from the key to the
    // screen drawn after it, for measuring on large trees.
    const char *trace_to = getenv("QVDISK_TRACE");
    std::unique_ptr<FILE, file_closer> trace(trace_to && *trace_to ? open_file(trace_to, "a") : nullptr);
    timeout(200);
    scroll_into_view(b);
    draw_browser(b);
    bool going = true;
    int rc = EXIT_OK;
    while (going) {
        int ch = getch();
        if (*interrupted) {
            rc = EXIT_INTERRUPTED;
            break;
        }
        if (ch == ERR)
            continue;
        double t0 = now_s();
        going = on_key(s, ch);
        scroll_into_view(b);
        draw_browser(b);
        if (trace)
            fprintf(trace.get(), "%s %.3f ms %zu rows\n", keyname(ch), (now_s() - t0) * 1000.0, b.rows.size());
    }
    screen.give_back();
    warn_left_out(problems);
    // All is told before the scans go (as this returns), which may wait on
    // storage.
    guard_report(rc);
    return rc;
}

}  // namespace

int run_interactive(const options &o, scan_handle scan, int root_fd, bool color, volatile sig_atomic_t *interrupted)
{
    return run_interactive_roots(o, std::move(scan), {}, color, interrupted, root_fd);
}

int run_interactive_roots(const options &o, scan_handle scan, std::vector<std::pair<std::string, int>> roots,
                          bool color, volatile sig_atomic_t *interrupted, int root_fd)
{
    try {
        return browse(o, std::move(scan), root_fd, std::move(roots), color, interrupted);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "qvdisk: out of memory browsing the scan\n");
        return EXIT_SCAN_FAILED;
    }
}
