// qvdisk -i: drawing the model on a curses screen.
#pragma once

#include <string>

#include "browse.h"

// Colour pairs as the report uses colour; none when color is false.
void init_colors(bool color);
// Other screens in the browser's look (the chooser of --mounts): text in
// the colour of sizes, bars or warnings, and a share as a bar of width.
enum ui_color { UI_SIZE = 1, UI_BAR = 2, UI_WARN = 3 };
void put_colored(ui_color c, const std::string &text);
std::string share_bar(double share, int width);
void draw_browser(const browser &b);
void draw_scanning(const std::string &path, unsigned long long files, unsigned long long dirs,
                   unsigned long long bytes, double seconds);
// Rows of the list on the screen now.
int list_height();
// Moves the first row shown so that the selection is on the screen.
void scroll_into_view(browser &b);
