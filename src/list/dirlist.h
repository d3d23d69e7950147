// Listing one directory, child by child: the only part of the walk that
// differs per platform (dirlist_posix.cpp, dirlist_win32.cpp).
//
// Every directory is named by its path below the scan's root, which is
// opened once; nothing below the root is reached through a symbolic link
// unless the scan follows links.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "callwatch.h"
#include "options.h"

// Size of every path and name buffer of the walk, terminator included.
#define SCAN_PATH_MAX 32768

#ifdef _WIN32
#define QV_PATH_SEP '\\'
// The system's codes, for problems the walk itself runs into.
#define QV_ERR_NOMEM 8          // ERROR_NOT_ENOUGH_MEMORY
#define QV_ERR_TIMEDOUT 1460    // ERROR_TIMEOUT
#define QV_ERR_NAMETOOLONG 206  // ERROR_FILENAME_EXCED_RANGE
#else
#define QV_PATH_SEP '/'
#define QV_ERR_NOMEM ENOMEM
#define QV_ERR_TIMEDOUT ETIMEDOUT
#define QV_ERR_NAMETOOLONG ENAMETOOLONG
#endif

// Identity of a file or directory: device and inode on Linux, volume serial number
// and file index on Windows.
struct qv_dir_id {
    uint64_t dev;
    uint64_t ino;
};

// An entry's time, owner and mode, where the system told them (has_time,
// has_owner; else 0).
struct qv_entry_stat {
    uint8_t has_time;
    uint8_t has_owner;
    int64_t mtime;  // seconds since 1970
    uint32_t uid, gid, mode;
};

// One child as the listing reports it. name stays valid until the next call
// of qv_dirlist_next or qv_dirlist_close.
struct qv_dir_child {
    const char *name;  // UTF-8 (on Linux: the entry's raw bytes), NUL-terminated
    uint32_t name_len;
    uint64_t size;     // 0 for a directory; else as the scan's size_kind says
    uint64_t other_size; // the size of the other kind, where the listing has it (else 0)
    uint8_t is_dir;
    uint8_t linked;    // a file with more than one hard link: link_id names it
    uint8_t stat_later; // a file not yet looked at (see qv_dirlist_defer_stats): size 0 for now
    qv_dir_id link_id;
    // A directory's file ID as the listing gave it, for qv_dirlist_open to
    // check that what it opens is this directory (Windows; 0 elsewhere, and
    // where unknown).
    uint64_t dir_ino;
    qv_entry_stat meta;  // where the listing has them
};

// What opening a directory tells the walker.
struct qv_dir_info {
    qv_dir_id id;
    // id is known. Windows reads the volume serial number only when links
    // are followed or identities are wanted; id.ino, the file ID, it reads
    // always, so that what is opened below can be checked against it.
    uint8_t has_id;
    uint8_t pseudo_fs;  // it lies on a file system the kernel makes up (proc, sysfs, ...)
    // The directory's own time, owner and mode, where opening it told them
    // (Linux; Windows gives them with its parent's listing).
    qv_entry_stat meta;
};

// The scan's root, opened once (followed when it is itself a link).
struct qv_dirroot;

// Opens the root at path. Returns null and stores the system's error code
// in *err when it cannot be opened, or -1 when cancel was set while waiting
// for a descriptor. Its calls into storage are marked on watch (may be
// null); its waits for a descriptor are not.
qv_dirroot *qv_dirroot_open(const char *path, const std::atomic<int32_t> *cancel, int *err, qv_call_watch *watch);
void qv_dirroot_close(qv_dirroot *root);

// Per-thread listing state with its buffers; reused for directory after
// directory, holding at most one open enumeration.
struct qv_dirlist;

// What the options decide is read once, here: follow_links (links /
// reparse points are reported as what they point to, and followed;
// otherwise they are not reported at all, and never followed) and
// size_kind. The listing keeps no hold on opts, so it outlives them when
// its owner is given up on.
// wants: what the walk needs beyond names and sizes, QV_WANT_* bits; Linux
// reads both anyway, Windows only when asked (each costs it time).
#define QV_WANT_DIR_IDS 1   // every directory's identity (qv_dir_info.has_id)
#define QV_WANT_LINK_IDS 2  // linked and link_id of files with several names
// linked and link_id of every file, one link or more: with links followed a
// file of one name can still be met twice (by it and through a link). Asked
// for only then, as it costs the walk 24 bytes a file until it ends.
#define QV_WANT_FILE_IDS 4
// watch (may be null): the owner's account of its calls; every call the
// listing makes into storage is marked on it.
qv_dirlist *qv_dirlist_new(qv_dirroot *root, const qv_options *opts, int wants,
                           const std::atomic<int32_t> *cancel, qv_call_watch *watch);
void qv_dirlist_delete(qv_dirlist *dl);
// Deletes the listing of an owner whose call was given up on, from any
// thread once that call has returned: closes what it holds and gives the
// descriptors' share back to the process, never touching the root (which
// may be closed and freed by then).
void qv_dirlist_discard(qv_dirlist *dl);
// Gives back every descriptor the listing keeps between listings (the open
// ancestors): for a walker that is about to wait for work.
void qv_dirlist_let_go(qv_dirlist *dl);

// A directory lent by one listing to another, so that the other opens
// what lies below it without a walk down from the root: on Windows a
// duplicate of the handle the lender keeps; 0 for none (always on Linux,
// where a path below the root is opened in one call anyway).
typedef uintptr_t qv_dir_loan;

// The loan of the directory at path (len bytes below the root), where dl
// keeps it open (the directory it opened last, or one of its ancestors);
// else 0. Only the thread that uses dl may ask.
qv_dir_loan qv_dirlist_lend(qv_dirlist *dl, const char *path, size_t len);
// Gives back a loan that is not to be used.
void qv_dir_loan_return(qv_dir_loan loan);

// Where a directory to open lies, and what the walk knows of the way.
struct qv_dir_where {
    const char *rel;  // its path below the root, names joined by QV_PATH_SEP ("" for the root)
    size_t rel_len;
    int32_t depth;    // names in rel
    // What opening each of its ancestors told, the root's first (depth
    // entries; may be null where depth is 0, or, on Windows, where nothing
    // is to be checked): the file system type is judged only where a mount
    // can begin, and Windows checks each directory it passes on the way to
    // be the one opened then.
    const qv_dir_info *chain;
    uint64_t listed_ino;  // its qv_dir_child.dir_ino (0: unknown)
    qv_dir_loan parent;   // its parent, lent by the listing that listed it, or 0; taken over by the open
};

// Opens the directory where names. Returns 0 and fills *info, or the
// system's error code, or -1 when cancel was set while waiting for a
// descriptor.
int qv_dirlist_open(qv_dirlist *dl, const qv_dir_where *where, qv_dir_info *info);
// Fills *out with the next child ("." and ".." never); 1, or 0 at the end.
int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out);
// From now until the listing is closed, files known to be files by the
// listing alone are reported without looking at them (stat_later set), so
// that other threads can look at them with qv_dirlist_stat meanwhile. A
// listing that gives sizes with the names ignores this.
void qv_dirlist_defer_stats(qv_dirlist *dl);
// Looks at the file name of the directory dl lists (while it is open, from
// any thread): fills size and link fields of *out and returns 0; ENOENT when
// it is gone or is no longer a file; else the system's error code. The call
// is marked on watch, the calling thread's.
int qv_dirlist_stat(const qv_dirlist *dl, const char *name, qv_dir_child *out, qv_call_watch *watch);
// After qv_dirlist_next returned 0: 0 when the listing ran to its end, else
// the error code that cut it short.
int qv_dirlist_error(const qv_dirlist *dl);
// Children left out of the current listing so far because their attributes
// could not be read (one that vanished meanwhile is not counted).
uint64_t qv_dirlist_skipped(const qv_dirlist *dl);
// Whether the directory just opened holds a valid CACHEDIR.TAG (one that
// begins with the signature of the cache directory tagging convention).
int qv_dirlist_is_cache(qv_dirlist *dl);
void qv_dirlist_close(qv_dirlist *dl);
