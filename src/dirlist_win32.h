// Path forms of the Win32 listing, kept apart so they can be tested alone.
#pragma once

#include "dirlist.h"

// Writes the search pattern for the directory at path into buf (SCAN_PATH_MAX
// bytes): "\\?\" when path is at least 2 bytes long and its second byte is
// ':' (a drive-letter path or a bare "C:"), then path, then "\*" (only "*"
// when path already ends in a backslash). Returns the pattern's length
// without terminator, or -1 when it is longer than 32767 bytes (buf is then
// not a usable pattern).
int qv_win32_search_pattern(char *buf, const char *path);

// Writes the name of the directory itself, as attribute queries and
// CreateFileW take it, into buf (SCAN_PATH_MAX bytes): the search pattern
// without its "\*", except that a volume's root keeps its separator
// ("\\?\C:\", since "\\?\C:" is the volume device). Returns its length, or
// -1 as qv_win32_search_pattern does. path must not be empty.
int qv_win32_dir_path(char *buf, const char *path);
