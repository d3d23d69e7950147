// What the Windows listing does with a child that may be a reparse point,
// decided from its attributes and reparse tag alone. Kept free of windows.h
// so that the rule is tested on every platform.
//
// Only name surrogates (symbolic links, junctions and mount points, and
// other tags with the name-surrogate bit) name another place in the file
// system: they are links, left out unless links are followed. Every other
// reparse point (OneDrive and other cloud files, deduplicated files,
// WOF-compressed files, app execution aliases, ...) holds the data of the
// file or directory itself and is kept as an ordinary one.
#pragma once

#include <cstdint>

// The bits and tags this rule reads, with the values Windows gives them.
#define QV_ATTR_DIRECTORY 0x10u             // FILE_ATTRIBUTE_DIRECTORY
#define QV_ATTR_REPARSE_POINT 0x400u        // FILE_ATTRIBUTE_REPARSE_POINT
#define QV_TAG_NAME_SURROGATE 0x20000000u   // bit tested by IsReparseTagNameSurrogate
#define QV_TAG_MOUNT_POINT 0xA0000003u      // IO_REPARSE_TAG_MOUNT_POINT: junctions, mounted volumes
#define QV_TAG_SYMLINK 0xA000000Cu          // IO_REPARSE_TAG_SYMLINK

#define QV_CHILD_SKIP 0    // left out: nothing recorded
#define QV_CHILD_KEEP 1    // an ordinary file or directory (a directory is walked)
#define QV_CHILD_FOLLOW 2  // a link followed: counted as what it points to

// attrs: the child's file attributes; tag: its reparse tag, read only when
// attrs has QV_ATTR_REPARSE_POINT (0 when it could not be read: taken as a
// link, the safe side for loops); follow_links: the scan's option.
int qv_reparse_action(uint32_t attrs, uint32_t tag, int follow_links);
