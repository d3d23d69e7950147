// Search pattern of the Win32 listing, kept apart so it can be tested alone.
#pragma once

#include "dirlist.h"

// Writes the search pattern for the directory at path into buf (SCAN_PATH_MAX
// bytes): "\\?\" when path is at least 2 bytes long and its second byte is
// ':' (a drive-letter path or a bare "C:"), then path, then "\*" (only "*"
// when path already ends in a backslash). Returns the pattern's length
// without terminator, or -1 when it is longer than 32767 bytes (buf is then
// not a usable pattern).
int qv_win32_search_pattern(char *buf, const char *path);
