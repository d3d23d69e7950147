// Sizes, counts and names as qvdisk shows them in a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 1023 B, 1.5 KiB, ... TiB, one decimal.
std::string human(uint64_t bytes);
// 1,234,567
std::string grouped(uint64_t n);
// Display width of UTF-8 text: one column per code point.
size_t columns(const std::string &s);
// Control characters turned into '?', so a name cannot move the cursor.
std::string printable(const std::string &s);
// The first cols columns of s, a cut marked with "...".
std::string fit_right(const std::string &s, size_t cols);
// The last cols columns of s (paths: the file name matters most).
std::string fit_left(const std::string &s, size_t cols);
// s right-aligned in cols columns.
std::string pad_left(const std::string &s, size_t cols);
