// Path forms of the Win32 listing, kept apart so they can be tested alone.
#pragma once

#include "dirlist.h"

// Writes the long form of path into buf (SCAN_PATH_MAX bytes), in which
// Windows takes every name as it is (no trailing dot or space dropped, no
// 260-character limit):
//  - a drive-letter path ("C:\data", a bare "C:", any second byte ':'):
//    "\\?\" and the path;
//  - a UNC path ("\\server\share\dir"): "\\?\UNC\server\share\dir";
//  - a device path ("\\.\C:\data"): "\\?\C:\data";
//  - in these '/' becomes '\', which Windows no longer reads as a
//    separator after the prefix;
//  - a path already in long form ("\\?\..."), and any other (relative,
//    "\data" on the current drive), as it is.
// Paths are expected made absolute and normal first (GetFullPathNameW):
// the long form turns that off. Returns the length without terminator, or
// -1 when it is longer than 32767 bytes.
int qv_win32_long_path(char *buf, const char *path);

// Writes the search pattern for the directory at path into buf (SCAN_PATH_MAX
// bytes): the long form of path, then "\*" (only "*" when it already ends in
// a backslash). Returns the pattern's length without terminator, or -1 when
// it is longer than 32767 bytes (buf is then not a usable pattern).
int qv_win32_search_pattern(char *buf, const char *path);

// Writes the name of the directory itself, as attribute queries and
// CreateFileW take it, into buf (SCAN_PATH_MAX bytes): the search pattern
// without its "\*", except that a volume's root keeps its separator
// ("\\?\C:\", since "\\?\C:" is the volume device), and so does a share's
// root ("\\?\UNC\server\share\"). Returns its length, or
// -1 as qv_win32_search_pattern does. path must not be empty.
int qv_win32_dir_path(char *buf, const char *path);

// For tests: when set, called with the directory's path (root path joined
// with the path below it) each time a listing is opened, inside the call
// the walk watches; a non-zero result is the system error the opening
// fails with. Lets a test make a listing block, as storage that stops
// answering does.
extern int (*qv_dirlist_open_hook)(const char *path);

// For tests: listings opened from now on list as on a file system that
// refuses records with file IDs, or whose records give other IDs than its
// handles do.
#define QV_RECORDS_AS_THEY_ARE 0
#define QV_RECORDS_WITHOUT_IDS 1
#define QV_RECORDS_SKEWED_IDS 2
extern int qv_win32_test_records;
