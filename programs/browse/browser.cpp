// qvdisk -i: the screen, drawn from the model and the terminal's size alone.
#include "browser.h"

#include <curses.h>

#include <algorithm>

#include "browsemeta.h"
#include "format.h"
#include "termtext.h"

namespace {

enum { PAIR_SIZE = UI_SIZE, PAIR_BAR = UI_BAR, PAIR_WARN = UI_WARN };
const int HEAD_ROWS = 3;  // path, totals, column titles

bool g_color = false;

// The list's columns at a width. What does not fit goes, the bar first,
// then the time's clock, the time, the files, so that names keep
// NAME_ROOM columns.
struct columns {
    int bar = 0;         // the bar's width inside its brackets; 0: none
    bool files = false;  // the files below a directory
    int time = 0;        // the modification time's width (16 or 10); 0: none
};
const int SIZE_COLS = 19;  // ">   4.0 GiB 100.0% "
const int NAME_ROOM = 16;

columns layout(const browser &b, int cols)
{
    columns c;
    c.bar = cols >= 90 ? 16 : cols >= 70 ? 10 : 0;
    c.files = b.show_files;
    c.time = b.show_time && b.has_times ? 16 : 0;
    for (;;) {
        int used = SIZE_COLS + (c.bar ? c.bar + 3 : 0) + (c.files ? 11 : 0) + (c.time ? c.time + 2 : 0);
        if (cols - used >= NAME_ROOM)
            break;
        if (c.bar > 10)
            c.bar = 10;
        else if (c.bar)
            c.bar = 0;
        else if (c.time > 10)
            c.time = 10;
        else if (c.time)
            c.time = 0;
        else if (c.files)
            c.files = false;
        else
            break;
    }
    return c;
}

// s in at most cols columns, none when cols is 0 or less; cut at its end,
// or at its start for a path (keep_end).
std::string fit_cols(const std::string &s, int cols, bool keep_end)
{
    if (cols <= 0)
        return "";
    return keep_end ? fit_left(s, (size_t)cols) : fit_right(s, (size_t)cols);
}

void put_attr(int attr, bool on)
{
    if (on)
        attron(attr);
    else
        attroff(attr);
}

void colored(int pair, const std::string &text)
{
    put_attr(COLOR_PAIR(pair), g_color);
    addstr(text.c_str());
    put_attr(COLOR_PAIR(pair), false);
}

std::string bar(double share, int width)
{
    int full = std::clamp((int)(share * width + 0.5), 0, width);
    return std::string((size_t)full, '#') + std::string((size_t)(width - full), '.');
}

double share_of(uint64_t part, uint64_t whole) { return whole ? (double)part / (double)whole : 0.0; }

std::string percent(uint64_t part, uint64_t whole)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%5.1f%%", 100.0 * share_of(part, whole));
    return buf;
}

// Draws text on row y from column x, at most cols columns.
void line_at(int y, int x, const std::string &text, int cols)
{
    move(y, x);
    addstr(fit_cols(text, cols > 0 ? cols : 0, false).c_str());
}

const char *sort_name(const browser &b)
{
    static const char *names[] = {"size", "name", "files", "extension", "time"};
    return names[b.sort];
}

void draw_head(const browser &b)
{
    const bnode &d = b.nodes[(size_t)b.cur];
    attron(A_BOLD);
    // The root of no name above several PATHs.
    std::string where = b.cur == 0 && b.nodes[0].name.empty()
                            ? "(" + std::to_string(b.nodes[0].kids.size()) + " PATHs)"
                            : term_safe(shown_path(b, b.cur));
    line_at(0, 0, fit_cols(where, COLS, true), COLS);
    attroff(A_BOLD);
    move(1, 0);
    addstr("  ");
    colored(PAIR_SIZE, human(d.size));
    std::string rest = std::string(" ") + b.size_kind + "   " + grouped(d.files) + (d.files == 1 ? " file" : " files") +
                       "   " + grouped(d.kids.size()) + (d.kids.size() == 1 ? " entry" : " entries") + "   sorted by " +
                       sort_name(b) + (b.reverse ? " (reversed)" : "");
    if (!b.filter.empty())
        rest += "   filter: " + term_safe(b.filter);
    addstr(fit_cols(rest, std::max(0, COLS - getcurx(stdscr)), false).c_str());
}

void draw_rows(const browser &b, const columns &cols)
{
    int bar_width = cols.bar;
    const bnode &d = b.nodes[(size_t)b.cur];
    int h = list_height();
    if (b.rows.empty())
        line_at(HEAD_ROWS, 2, b.filter.empty() ? "(empty)" : "(nothing matches the filter)", COLS - 2);
    for (int i = 0; i < h && b.top + i < (int)b.rows.size(); i++) {
        int row = b.top + i;
        const bnode &c = b.nodes[(size_t)b.rows[(size_t)row]];
        bool selected = row == b.sel;
        move(HEAD_ROWS + i, 0);
        put_attr(A_REVERSE, selected);
        addstr(selected ? ">" : " ");
        if (selected)
            addstr(pad_left(human(c.size), 10).c_str());
        else
            colored(PAIR_SIZE, pad_left(human(c.size), 10));
        addstr(" ");
        addstr(percent(c.size, d.size).c_str());
        addstr(" ");
        if (bar_width > 0) {
            std::string full = bar(share_of(c.size, d.size), bar_width);
            size_t n = full.find('.');
            addstr("[");
            if (selected) {
                addstr(full.c_str());
            } else {
                colored(PAIR_BAR, full.substr(0, n));
                put_attr(A_DIM, true);
                addstr(full.substr(std::min(n, full.size())).c_str());
                put_attr(A_DIM, false);
            }
            addstr("] ");
        }
        // The files and the time, each with the two spaces after it.
        std::string cells = !cols.files ? "" : c.is_dir ? pad_left(grouped(c.files), 9) + "  " : std::string(11, ' ');
        if (cols.time)
            cells += pad_right(c.fields & DISK_FIELD_MTIME ? time_text(c.mtime, cols.time) : "", (size_t)cols.time) + "  ";
        std::string name = term_safe(c.name) + (c.is_dir ? "/" : "");
        // A directory the scan did not take in whole says so after its name.
        std::string tag = c.problem.kind.empty() ? "" : "  (" + term_safe(problem_tag(c.problem)) + ")";
        // A marked entry has "*" just before its name.
        if (b.marks.count(b.rows[(size_t)row]) && !cells.empty())
            cells.back() = '*';
        else if (b.marks.count(b.rows[(size_t)row]))
            name = "*" + name;
        addstr(cells.c_str());
        int room = std::max(0, COLS - getcurx(stdscr));
        addstr(fit_cols(name, std::max(0, room - (int)term_cols(tag)), false).c_str());
        if (selected)
            addstr(fit_cols(tag, std::max(0, COLS - getcurx(stdscr)), false).c_str());
        else
            colored(PAIR_WARN, fit_cols(tag, std::max(0, COLS - getcurx(stdscr)), false));
        if (selected)
            hline(' ', COLS);
        put_attr(A_REVERSE, false);
    }
}

void draw_stats(const browser &b)
{
    const bnode &d = b.nodes[(size_t)b.cur];
    bool top = b.view == VIEW_TOP || b.view == VIEW_MARKS;
    std::string title = b.view == VIEW_TOP ? "Largest files below this directory" : "Extensions below this directory";
    if (b.view == VIEW_MARKS) {
        mark_totals t = totals_of(b, marks_to_act_on(b));
        title = "Marked: " + grouped(b.marks.size()) + (b.marks.size() == 1 ? " entry" : " entries") + "; d and D act on " +
                grouped(t.count) + ": " + human(t.size) + ", " + grouped(t.files) + (t.files == 1 ? " file" : " files");
    }
    attron(A_BOLD);
    line_at(2, 0, title, COLS);
    attroff(A_BOLD);
    int h = list_height();
    if (b.stats.empty())
        line_at(HEAD_ROWS, 2, "(none)", COLS - 2);
    for (int i = 0; i < h && b.stats_top + i < (int)b.stats.size(); i++) {
        const stat_row &r = b.stats[(size_t)(b.stats_top + i)];
        move(HEAD_ROWS + i, 0);
        addstr(" ");
        colored(PAIR_SIZE, pad_left(human(r.size), 10));
        std::string text = "  ";
        if (!top)
            text.append(percent(r.size, d.size)).append(" ").append(pad_left(grouped(r.count), 10))
                .append(r.count == 1 ? " file   " : " files  ");
        text.append(term_safe(r.name));
        addstr(fit_cols(text, std::max(0, COLS - getcurx(stdscr)), false).c_str());
    }
}

// A box of lines in the middle of the screen.
void draw_box(const std::vector<std::string> &lines)
{
    int w = 0;
    for (const std::string &l : lines)
        w = std::max(w, (int)term_cols(l));
    w = std::min(w + 4, COLS);
    int h = std::min((int)lines.size() + 2, LINES);
    int y0 = std::max(0, (LINES - h) / 2), x0 = std::max(0, (COLS - w) / 2);
    for (int y = 0; y < h; y++) {
        move(y0 + y, x0);
        std::string row = y == 0 || y == h - 1 ? std::string("+").append((size_t)std::max(0, w - 2), '-').append("+")
                                               : std::string("| ");
        if (y > 0 && y < h - 1) {
            std::string text = fit_cols(lines[(size_t)(y - 1)], std::max(0, w - 4), false);
            row += text + std::string((size_t)std::max(0, w - 4 - (int)term_cols(text)), ' ') + " |";
        }
        addstr(fit_cols(row, COLS - x0, false).c_str());
    }
}

// The selected entry's mode, owner, group and time, as ls -l shows them,
// when the scan keeps owners; empty otherwise.
std::string status_text(const browser &b)
{
    if (!b.has_owners || b.rows.empty() || (b.view != VIEW_LIST && b.view != VIEW_INFO && b.view != VIEW_HELP))
        return "";
    const bnode &c = b.nodes[(size_t)b.rows[(size_t)b.sel]];
    if (!(c.fields & DISK_FIELD_OWNER))
        return "";
    // Appended, not added up: GCC 12 warns of overlap in such a sum.
    std::string text(" ");
    text.append(mode_text(c.mode)).append("  ").append(term_safe(user_shown(c.uid)));
    text.append("  ").append(term_safe(group_shown(c.gid)));
    if (c.fields & DISK_FIELD_MTIME)
        text.append("  ").append(time_text(c.mtime, 19));
    return text;
}

void draw_bottom(const browser &b)
{
    std::string msg = b.message;
    if (b.view == VIEW_FILTER)
        msg = "filter: " + term_safe(b.filter) + "_   (Enter keeps it, Esc clears it)";
    if (msg.empty()) {
        // The message line, while it has none, tells of the selected entry.
        line_at(LINES - 2, 0, status_text(b), COLS);
    } else {
        bool warn = b.view == VIEW_CONFIRM;
        put_attr(A_BOLD, warn);
        put_attr(COLOR_PAIR(PAIR_WARN), warn && g_color);
        line_at(LINES - 2, 0, term_safe(msg), COLS);
        put_attr(COLOR_PAIR(PAIR_WARN), false);
        put_attr(A_BOLD, false);
    }
    const char *keys = b.view == VIEW_TOP || b.view == VIEW_EXT ? " up/down scroll  q or left: back"
                       : b.view == VIEW_MARKS ? (b.no_trash ? " up/down scroll  d or D delete  u unmark all  q or left: back"
                                                            : " up/down scroll  d trash  D delete  u unmark all  q or left: back")
                       : COLS >= 112 ? " arrows/hjkl move  Enter open  Bksp up  / filter  s n c e sort  t top  x ext  "
                                       "i info  r rescan  d delete  ? help  q quit"
                                     : "Enter open  Bksp up  /filter  s n c e sort  t top  x ext  d del  ? help  q quit";
    attron(A_REVERSE);
    // The last column of the last row is left alone: writing there scrolls
    // some terminals.
    line_at(LINES - 1, 0, keys, COLS - 1);
    hline(' ', COLS - 1 - getcurx(stdscr));
    attroff(A_REVERSE);
}

}  // namespace

int list_height() { return std::max(1, LINES - HEAD_ROWS - 2); }

void scroll_into_view(browser &b)
{
    int h = list_height();
    if (b.sel < b.top)
        b.top = b.sel;
    if (b.sel >= b.top + h)
        b.top = b.sel - h + 1;
    b.top = std::max(0, std::min(b.top, (int)b.rows.size() - h));
    b.top = std::max(0, b.top);
    b.stats_top = std::max(0, std::min(b.stats_top, (int)b.stats.size() - h));
}

void init_colors(bool color)
{
    g_color = color && has_colors();
    if (!g_color)
        return;
    start_color();
    use_default_colors();
    init_pair(PAIR_SIZE, COLOR_CYAN, -1);
    init_pair(PAIR_BAR, COLOR_GREEN, -1);
    init_pair(PAIR_WARN, COLOR_RED, -1);
}

void put_colored(ui_color c, const std::string &text) { colored((int)c, text); }

std::string share_bar(double share, int width) { return bar(share, width); }

void draw_browser(const browser &b)
{
    erase();
    draw_head(b);
    if (b.view == VIEW_TOP || b.view == VIEW_EXT || b.view == VIEW_MARKS) {
        draw_stats(b);
    } else {
        columns cols = layout(b, COLS);
        attron(A_DIM);
        line_at(2, 0, std::string("       size  share ") + (cols.bar ? std::string((size_t)cols.bar + 3, ' ') : "") +
                          (cols.files ? "    files  " : "") +
                          (cols.time ? pad_right("modified", (size_t)cols.time) + "  " : "") + "name", COLS);
        attroff(A_DIM);
        draw_rows(b, cols);
    }
    if (b.view == VIEW_INFO || b.view == VIEW_HELP) {
        std::vector<std::string> lines;
        std::string text = b.info;
        for (size_t at = 0; at <= text.size();) {
            size_t nl = text.find('\n', at);
            if (nl == std::string::npos)
                nl = text.size();
            lines.push_back(text.substr(at, nl - at));
            at = nl + 1;
        }
        draw_box(lines);
    }
    draw_bottom(b);
    refresh();
}

void draw_scanning(const std::string &path, unsigned long long files, unsigned long long dirs,
                   unsigned long long bytes, double seconds)
{
    erase();
    attron(A_BOLD);
    line_at(0, 0, "Scanning " + term_safe(path), COLS);
    attroff(A_BOLD);
    char rate[64];
    snprintf(rate, sizeof rate, "%s files/s   %.1f s", grouped((uint64_t)(seconds > 0 ? files / seconds : 0)).c_str(),
             seconds);
    line_at(2, 2, grouped(files) + " files   " + grouped(dirs) + " directories   " + human(bytes), COLS - 2);
    line_at(3, 2, rate, COLS - 2);
    attron(A_REVERSE);
    line_at(LINES - 1, 0, " q or Ctrl-C: stop and quit", COLS - 1);
    hline(' ', COLS - 1 - getcurx(stdscr));
    attroff(A_REVERSE);
    refresh();
}
