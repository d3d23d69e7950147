// Listing one directory, child by child: the only part of the walk that
// differs per platform (dirlist_posix.cpp, dirlist_win32.cpp).
#pragma once

#include <cstdint>

// Size of every path and name buffer of the walk, terminator included.
#define SCAN_PATH_MAX 32768

#ifdef _WIN32
#define QV_PATH_SEP '\\'
#else
#define QV_PATH_SEP '/'
#endif

// One child as the listing reports it. name stays valid until the next call
// of qv_dirlist_next or qv_dirlist_close.
struct qv_dir_child {
    const char *name;  // UTF-8 (on Linux: the entry's raw bytes), NUL-terminated
    uint32_t name_len;
    uint64_t size;     // 0 for a directory
    uint8_t is_dir;
};

// Per-thread listing state with its buffers; reused for directory after
// directory, holding at most one open enumeration.
struct qv_dirlist;

qv_dirlist *qv_dirlist_new(void);
void qv_dirlist_delete(qv_dirlist *dl);
// Opens the directory at path. is_root: the scan's own root (followed even
// when it is a link). follow_links: links / reparse points are reported as
// what they point to; otherwise they are not reported at all.
// Returns 0, or -1 when the directory cannot be listed.
int qv_dirlist_open(qv_dirlist *dl, const char *path, int is_root, int follow_links);
// Fills *out with the next child ("." and ".." never); 1, or 0 at the end.
int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out);
void qv_dirlist_close(qv_dirlist *dl);
