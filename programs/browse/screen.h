// qvdisk -i: the terminal's screen, shared by the browser and the chooser
// of --mounts.
#pragma once

#include <curses.h>

#include <clocale>

#include "browser.h"
#include "guard.h"

// The terminal's screen, taken by curses while qvdisk shows one and given
// back however it ends: before anything is written to stderr, or as the
// owner goes. Taken again after it was given back, curses takes up the
// terminal where it left it.
class curses_screen {
public:
    explicit curses_screen(bool color)
    {
        setlocale(LC_ALL, "");
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        mousemask(BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED, nullptr);
        init_colors(color);
        guard_screen(true);
    }
    curses_screen(const curses_screen &) = delete;
    curses_screen &operator=(const curses_screen &) = delete;
    ~curses_screen() { give_back(); }

    void give_back()
    {
        if (!taken_)
            return;
        endwin();
        guard_screen(false);
        taken_ = false;
    }

private:
    bool taken_ = true;
};
