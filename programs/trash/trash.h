// qvdisk -i: moving an entry to the trash instead of deleting it. On Linux
// the trash as freedesktop.org lays it out (version 1.0), which desktops'
// file managers and `gio trash` share; on Windows the Recycle Bin.
//
// Nothing is ever copied to reach a trash: an entry goes only to a trash on
// its own file system, by one rename, or stays where it is.
#pragma once

#include <string>

#ifdef _WIN32
// The entry: its absolute path, UTF-8.
struct trash_entry {
    std::string path;
};
#else
// The entry: its name in the directory dir_fd, bytes as they are. Its path,
// written in the trash, is the one the system knows for dir_fd now
// (/proc/self/fd), so a directory renamed since the caller reached it is
// recorded where it is.
struct trash_entry {
    int dir_fd = -1;
    std::string name;
};
#endif

enum trash_outcome {
    TRASH_MOVED,   // in the trash: where names it
    TRASH_NONE,    // no trash on the entry's file system can take it; nothing done
    TRASH_FAILED,  // a trash was there but the entry could not go; nothing done
};

struct trash_result {
    trash_outcome outcome = TRASH_FAILED;
    std::string where;  // TRASH_MOVED: the trash's folder ("/home/u/.local/share/Trash")
    std::string why;    // otherwise: why, in a few words
};

// Moves the entry to a trash on its own file system, which on Linux is the
// first of these that can take it:
//  - the home trash, $XDG_DATA_HOME/Trash (~/.local/share/Trash), on the
//    entry's mount, made (mode 0700) when missing;
//  - at the top directory of the entry's mount, $topdir/.Trash/$uid, when
//    $topdir/.Trash is a directory with the sticky bit and no link, and
//    $topdir/.Trash/$uid is the user's own directory (made when missing);
//  - $topdir/.Trash-$uid, the user's own directory, made (mode 0700) when
//    missing.
// The top directory is found by climbing ".." without needing to read the
// folders on the way; where it cannot be found, no trash there is used.
// The trash gets files/NAME and info/NAME.trashinfo (Path= absolute in the
// home trash, from the top in a trash at the top), the latter made first
// (NAME the entry's name, or "name.2", "name.3"... when taken), and removed
// again when the rename fails. A mount point is not moved.
trash_result move_to_trash(const trash_entry &e);
