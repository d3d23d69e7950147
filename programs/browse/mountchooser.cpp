// The chooser of qvdisk --mounts -i: the model is the list and the
// selection; the screen is drawn from them and the terminal's size alone.
#include "mountchooser.h"

#include <curses.h>

#include <algorithm>

#include "format.h"
#include "screen.h"
#include "termtext.h"

namespace {

const int HEAD_ROWS = 3;  // title, count, column titles

struct chooser {
    const std::vector<mount_entry> *mounts;
    int timeout_ms = 0;
    int sel = 0, top = 0;
    std::string message;  // one line above the keys, until the next key
};

int rows_shown() { return std::max(1, LINES - HEAD_ROWS - 2); }

void line_at(int y, int x, const std::string &text)
{
    move(y, x);
    addstr(fit_right(text, (size_t)std::max(0, COLS - x)).c_str());
}

size_t type_width(const std::vector<mount_entry> &mounts)
{
    size_t w = 4;
    for (const mount_entry &m : mounts)
        w = std::max(w, std::min<size_t>(term_cols(term_safe(m.type)), 12));
    return w;
}

void draw_row(const chooser &c, int row, int bar_width, size_t type_w)
{
    const mount_entry &m = (*c.mounts)[(size_t)row];
    bool selected = row == c.sel, read = m.state == MOUNT_READ;
    attr_set(selected ? A_REVERSE : A_NORMAL, 0, nullptr);
    addstr(selected ? ">" : " ");
    std::string size = pad_left(read ? human(m.size) : "-", 10);
    if (selected)
        addstr(size.c_str());
    else
        put_colored(UI_SIZE, size);
    addstr((" " + pad_left(use_percent(m), 4) + " ").c_str());
    if (bar_width > 0) {
        uint64_t whole = m.used + m.free;
        addstr("[");
        std::string full = share_bar(read && whole ? (double)m.used / (double)whole : 0.0, bar_width);
        size_t n = full.find('.');
        if (selected) {
            addstr(full.c_str());
        } else {
            put_colored(UI_BAR, full.substr(0, n));
            attron(A_DIM);
            addstr(full.substr(std::min(n, full.size())).c_str());
            attroff(A_DIM);
        }
        addstr("] ");
    }
    // The note after the mount point only where the row has room left:
    // text that reached the last column would wrap onto the next row.
    int y = getcury(stdscr);
    size_t room = (size_t)std::max(0, COLS - getcurx(stdscr));
    std::string tail = fit_right(pad_left(read ? human(m.free) : "-", 10) + "  " +
                                     pad_right(fit_right(term_safe(m.type), type_w), type_w) + "  " + term_safe(m.point),
                                 room);
    addstr(tail.c_str());
    room -= std::min(room, term_cols(tail));
    std::string note = fit_right(read ? "  " + term_safe(m.device) : "  (" + mount_state_text(m, c.timeout_ms) + ")",
                                 room > 0 ? room - 1 : 0);
    if (selected || read)
        addstr(note.c_str());
    else
        put_colored(UI_WARN, note);
    if (selected && getcury(stdscr) == y)
        hline(' ', COLS);
    attr_set(A_NORMAL, 0, nullptr);
}

void draw(const chooser &c)
{
    erase();
    attron(A_BOLD);
    line_at(0, 0, "Mounted file systems");
    attroff(A_BOLD);
    size_t n = c.mounts->size();
    line_at(1, 2, grouped(n) + (n == 1 ? " file system" : " file systems") + "   largest first   Enter scans one");
    int bar_width = COLS >= 90 ? 16 : COLS >= 70 ? 10 : 0;
    size_t type_w = type_width(*c.mounts);
    attron(A_DIM);
    line_at(2, 0, "       size  use " + (bar_width ? std::string((size_t)bar_width + 3, ' ') : "") + "      free  " +
                      pad_right("type", type_w) + "  mount point");
    attroff(A_DIM);
    if (n == 0)
        line_at(HEAD_ROWS, 2, "(none)");
    for (int i = 0; i < rows_shown() && c.top + i < (int)n; i++) {
        move(HEAD_ROWS + i, 0);
        draw_row(c, c.top + i, bar_width, type_w);
    }
    if (!c.message.empty()) {
        attron(A_BOLD);
        line_at(LINES - 2, 0, c.message);
        attroff(A_BOLD);
    }
    attron(A_REVERSE);
    // The last column of the last row is left alone, as in the browser.
    move(LINES - 1, 0);
    addstr(fit_right(" up/down, j/k move   Enter scan this file system   q quit", (size_t)std::max(0, COLS - 1)).c_str());
    hline(' ', COLS - 1 - getcurx(stdscr));
    attroff(A_REVERSE);
    refresh();
}

void move_sel(chooser &c, int delta)
{
    int n = (int)c.mounts->size();
    c.sel = std::clamp(c.sel + delta, 0, std::max(0, n - 1));
    int h = rows_shown();
    c.top = std::clamp(c.top, std::max(0, c.sel - h + 1), c.sel);
}

// One key; the index chosen, -1 to quit, or -3 to go on.
int on_key(chooser &c, int ch)
{
    c.message.clear();
    int n = (int)c.mounts->size(), page = rows_shown();
    switch (ch) {
    case KEY_UP: case 'k': move_sel(c, -1); break;
    case KEY_DOWN: case 'j': move_sel(c, 1); break;
    case KEY_PPAGE: move_sel(c, -page); break;
    case KEY_NPAGE: move_sel(c, page); break;
    case KEY_HOME: case 'g': move_sel(c, -n); break;
    case KEY_END: case 'G': move_sel(c, n); break;
    case 'q': return -1;
    case '\n': case '\r': case KEY_ENTER: case KEY_RIGHT: case 'l': {
        if (n == 0)
            break;
        const mount_entry &m = (*c.mounts)[(size_t)c.sel];
        if (m.state == MOUNT_READ)
            return c.sel;
        c.message = term_safe(m.point) + ": " + mount_state_text(m, c.timeout_ms) + "; not scanned";
        break;
    }
    default: break;
    }
    return -3;
}

}  // namespace

int choose_mount(const std::vector<mount_entry> &mounts, int timeout_ms, bool color,
                 volatile sig_atomic_t *interrupted)
{
    curses_screen screen(color);
    chooser c{&mounts, timeout_ms};
    timeout(200);
    draw(c);
    for (;;) {
        int ch = getch();
        if (*interrupted)
            return -2;
        if (ch == ERR)
            continue;
        int chosen = ch == KEY_RESIZE ? -3 : on_key(c, ch);
        if (chosen != -3)
            return chosen;
        move_sel(c, 0);
        draw(c);
    }
}
