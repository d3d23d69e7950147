// Opening a directory below one already open, by a path of any length,
// never through a symbolic link unless links are followed: openat2 with
// RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS, or one O_NOFOLLOW openat per
// component where the kernel lacks it. A directory swapped for a link while
// the scan runs cannot lead the walk out of the tree.
#pragma once

#include <cstddef>

// Opens rel (len bytes, no leading separator) below dirfd with flags;
// without follow, no component may be a link. The descriptor, or -1 with
// errno.
int qv_open_below(int dirfd, const char *rel, size_t len, int flags, bool follow);
// Descriptors open at once while a path of len bytes is opened: the result,
// and those in between where it is opened in pieces or one name at a time.
int qv_open_below_needs(size_t len, bool follow);
