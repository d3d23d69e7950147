// Names on a terminal: shown, never obeyed, and measured in the columns the
// terminal gives them. Every place qvdisk prints a name goes through here
// (the text report, the comparison, errors and warnings, the browser);
// JSON output does not: it keeps the bytes as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// s with each byte that is not part of well-formed UTF-8, and each code
// point a terminal could take as a command, shown as '?': C0 controls, DEL,
// C1 controls, the line and paragraph separators, and the bidirectional
// controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), which
// would let "evil<U+202E>txt.exe" read as "evilexe.txt".
std::string term_safe(std::string_view s);
// Columns s takes on a terminal, as wcwidth() counts them: a wide or
// fullwidth character (CJK) 2, a combining mark 0, anything term_safe()
// shows as '?' 1.
size_t term_cols(std::string_view s);
// The first cols columns of s, a cut marked with "...".
std::string fit_right(const std::string &s, size_t cols);
// The last cols columns of s, a cut marked with "..." (paths: the file name
// matters most).
std::string fit_left(const std::string &s, size_t cols);
// s in cols columns, the spaces before it or after it.
std::string pad_left(const std::string &s, size_t cols);
std::string pad_right(const std::string &s, size_t cols);
