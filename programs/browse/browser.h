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

// Text that a terminal shows and does not obey: bytes that are not UTF-8
// and control characters (C0, C1, DEL, direction overrides) become '?'.
std::string screen_safe(const std::string &s);
// Columns the text takes on a terminal.
size_t text_cols(const std::string &s);
// s cut to cols columns, the cut marked with "..." (at the start when
// keep_end, for paths).
std::string fit_cols(const std::string &s, int cols, bool keep_end);
