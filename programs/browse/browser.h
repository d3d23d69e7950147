// qvdisk -i: drawing the model on a curses screen.
#pragma once

#include <string>

#include "browse.h"

// Colour pairs as the report uses colour; none when color is false.
void init_colors(bool color);
void draw_browser(const browser &b);
void draw_scanning(const std::string &path, unsigned long long files, unsigned long long dirs,
                   unsigned long long bytes, double seconds);
// Rows of the list on the screen now.
int list_height();
// Moves the first row shown so that the selection is on the screen.
void scroll_into_view(browser &b);
