/*
 * quorvel-disk: disk-usage analysis library.
 *
 * A host names a directory with disk_scan(); the library walks the tree below
 * it on background threads and keeps every file and directory with its size
 * in memory. Once disk_scan_status() reads SCAN_DONE, JSON documents can be
 * asked for: the whole tree (disk_scan_result) or one directory of it
 * (disk_get_dir), the N largest files (disk_get_top) and the totals per
 * file-name extension (disk_get_extensions).
 * disk_free() releases a scan and everything handed out for it.
 *
 * Scan ids are 0 to 31: up to 32 scans exist at once. An id that is negative,
 * above 31 or names a free (never used or freed) slot is answered with -1 or
 * NULL and nothing else happens.
 *
 * Text: every path passed in is NUL-terminated UTF-8 (on Linux, any bytes);
 * every document returned is compact UTF-8 JSON (no whitespace), sizes and
 * counts as full unsigned 64-bit decimals. Names are kept byte for byte; when
 * they are not well-formed UTF-8 (possible on Linux), each maximal ill-formed
 * subsequence is written as U+FFFD in the documents, so that every strict
 * JSON parser accepts them. Well-formed names are written unchanged.
 *
 * Threads: any host thread may call any export, with three duties:
 *  - no call on an id overlaps disk_free() of that id;
 *  - disk_scan_result(), disk_get_top(), disk_get_extensions(),
 *    disk_get_dir() and disk_visit() for the same id are not called from
 *    two threads at once (they reorder the tree and cache texts without a
 *    lock);
 *  - calls on different ids are independent.
 * disk_get_problems() may be called from several threads at once, for the
 * same id too, and alongside the four above.
 * Returned texts are owned by the library: never free them.
 *
 * Each scan walks on threads of its own: it starts one per processor (at
 * least 2, at most 16), and any of them takes a directory still to be walked
 * wherever it lies in the tree, so deep or lopsided trees are walked in
 * parallel too, and the files of a large directory are looked at by several.
 * While those threads mostly wait on storage (a network share, a cold disk)
 * rather than use the processors, the scan lets more of them work at once,
 * up to 64, so that many requests are in flight; once the processors are
 * busy again, or descriptors run short, the extra ones stop taking work.
 *
 * The library writes no files, reads no configuration and prints nothing.
 */
#ifndef QUORVEL_DISK_H
#define QUORVEL_DISK_H

#if defined(_WIN32)
#  if defined(QUORVEL_DISK_BUILD)
#    define QV_API __declspec(dllexport)
#  elif defined(QUORVEL_DISK_STATIC)
#    define QV_API
#  else
#    define QV_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define QV_API __attribute__((visibility("default")))
#else
#  define QV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Scan states, as returned by disk_scan_status(). */
#define SCAN_IDLE 0       /* claimed; the scan thread has not started yet */
#define SCAN_RUNNING 1    /* walking; a host polling for completion treats 0 like 1 */
#define SCAN_DONE 2       /* finished: tree, totals and time complete; documents available */
#define SCAN_FAILED (-1)  /* out of memory at the start of the run; also "no such id" */
#define SCAN_CANCELLED (-2) /* cancelled before the walk ended; no documents */

/*
 * Starts a background scan of the directory at path.
 *   path          NUL-terminated UTF-8 path, copied before the call returns.
 *                 It is not opened here: a path that does not exist or is not
 *                 a directory still gives an id, and the scan ends SCAN_DONE
 *                 with an empty root and totals of 0 (disk_scan_problems()
 *                 tells such a root from an empty directory).
 *                 A relative path is resolved against the current directory
 *                 before disk_scan() returns; the documents name the root
 *                 with the text as given, whole at any length.
 *   max_depth     deepest level listed (1: only the root's children);
 *                 0 or less: no limit.
 *   follow_links  0: symbolic links (on Windows, reparse points) are left out
 *                 entirely, and nothing below the root is reached through
 *                 one, even a link swapped in while the scan runs.
 *                 Non-zero: they are recorded as what they point to (a
 *                 dangling link as an empty file) and directory links are
 *                 walked. A file (or directory) reached under several
 *                 names appears under each; with hard_links_once (see
 *                 disk_scan_ex) a file counts its size once, whether the
 *                 names are hard links or symbolic links, as du -L counts.
 * What the walk meets is never an error: a directory that cannot be read
 * stays in the tree without children, an entry that cannot be read is left
 * out, and the scan still ends SCAN_DONE; disk_scan_problems() tells what
 * was left out. Sizes are file lengths; a hard link counts each time it
 * appears; sums that would pass 2^64-1 stop there.
 * Directories recorded but never entered (recorded without children):
 *  - one that is the same directory as one of its ancestors (a link or bind
 *    mount leading back up): the walk never repeats itself;
 *  - on Linux, one on a file system that the kernel makes up (proc, sysfs,
 *    devtmpfs, cgroup, debugfs, ...), wherever it is mounted, and one below
 *    /proc, /sys, /dev, /run, /snap or an AppImage mount (/tmp/.mount_*);
 *    unless the scan's own root lies on such a file system or path, which
 *    is then walked whole.
 * Descriptors: on Linux all running scans of the process together keep at
 * most half of RLIMIT_NOFILE (as it was at the first scan) open; a scan
 * starts walking once it can hold three of them, so that under a low limit
 * fewer scans walk at once and the others wait their turn. When the
 * process has none left, a scan waits for one to come free, or for
 * disk_scan_cancel(), rather than leave a directory out. Library threads
 * block asynchronous signals, so the host's handlers never run on them;
 * system calls interrupted by a signal are retried.
 * Returns the scan id, 0 to 31 (the lowest free one), or -1 when path is NULL,
 * all 32 slots are in use, or memory or a thread cannot be had.
 * Every id returned must eventually be released with disk_free().
 */
QV_API int disk_scan(const char *path, int max_depth, int follow_links);

/* What a size counts (disk_scan_options.size_kind). */
#define DISK_SIZE_APPARENT 0 /* a file's length (st_size), as disk_scan() counts */
#define DISK_SIZE_ON_DISK 1  /* the space allocated to it: st_blocks * 512 on Linux,
                                the allocation size on Windows (smaller than the
                                length for sparse and compressed files, 0 for cloud
                                placeholders not on the disk) */

/*
 * Options of disk_scan_ex(). struct_size is set by the caller to
 * sizeof(disk_scan_options); members past it are taken as 0, so hosts built
 * against this header keep working when members are added. All members 0
 * (or a NULL options pointer) scan exactly as disk_scan(path, 0, 0).
 */
typedef struct disk_scan_options {
    unsigned int struct_size;
    int max_depth;          /* as disk_scan() */
    int follow_links;       /* as disk_scan() */
    int size_kind;          /* DISK_SIZE_APPARENT or DISK_SIZE_ON_DISK */
    /* Non-zero: a file met under several names (more than one hard link)
     * counts its size once, under the name whose path sorts first (byte
     * order), and 0 under the others; it still appears, and counts as a
     * file, under every name. With follow_links, the names a file is
     * reached by through symbolic links count the same way (each device
     * and inode once, as du -L): the walk then keeps every file's identity
     * until it ends, 24 bytes a file, where on Linux it keeps only those
     * of files with several hard links when links are not followed. A
     * directory reached again through a link (not an ancestor: that is a
     * loop, not entered) is walked again, and each of its files counts
     * under whichever of its paths sorts first. */
    int hard_links_once;
    /* Non-zero: directories on another file system (device) than the root
     * are recorded without children and not entered, as du -x does. */
    int one_file_system;
    /* Non-zero: a directory holding a valid CACHEDIR.TAG is recorded
     * without children. */
    int exclude_caches;
    /* Shell patterns (*, ?, [...], \ quotes the next character); an entry
     * is left out entirely, with everything below it, when a pattern
     * matches its path (the scan's path as given, "/", the names below the
     * root joined by "/") or any part of that path after a "/", as du
     * --exclude matches: "*.o" and "node_modules" match at any depth, and
     * "*" also matches "/". exclude_count patterns at excludes; copied. */
    const char *const *excludes;
    int exclude_count;
    /* Storage that stops answering (a share whose server went away, a hung
     * FUSE daemon): a directory whose opening, listing or look at one of
     * its entries has not answered within this many milliseconds is given
     * up on. It stays in the tree with what was read of it, is counted in
     * disk_problems.stalled_dirs and listed by disk_get_problems() with
     * "problem":"stalled"; the rest of the scan goes on and ends SCAN_DONE.
     * A root that cannot be opened within it gives root_error ETIMEDOUT
     * (on Windows ERROR_TIMEOUT). 0: the default, DISK_STALL_TIMEOUT_MS;
     * negative (DISK_STALL_WAIT_FOREVER): never give up, and a scan over
     * such storage waits as long as the storage does (disk_scan_cancel()
     * still ends it). See disk_free() for the threads left in such calls. */
    int stall_timeout_ms;
    /* Non-zero: every entry keeps its modification time and, on Linux, its
     * owner (uid, gid) and mode (st_mode), 8 bytes an entry more. The
     * documents then carry them ("mtime", "uid", "gid", "mode"; see
     * disk_scan_result()), and disk_visit() tells them (disk_entry.fields).
     * A directory's time is the newest of its own and of everything below
     * it. Times are whole seconds since 1970 (UTC), kept from 1970 to 2106:
     * an earlier one reads as 0, a later one as 4294967295. On Windows the
     * time comes with the listing; owner and mode are not kept there (a
     * security query per file would cost more than the whole walk). */
    int extended;
} disk_scan_options;

#define DISK_STALL_TIMEOUT_MS 30000
#define DISK_STALL_WAIT_FOREVER (-1)

/*
 * Starts a background scan of path with options; as disk_scan() otherwise.
 * opts may be NULL. Returns -1 also when opts->struct_size is smaller than
 * its first member, size_kind is unknown, exclude_count is negative or a
 * pattern is NULL.
 */
QV_API int disk_scan_ex(const char *path, const disk_scan_options *opts);

/*
 * Fills *out (up to out->struct_size bytes, as disk_scan_problems() does)
 * with the options the scan id runs with, as the scan settled them: flags 0
 * or 1, and stall_timeout_ms DISK_STALL_TIMEOUT_MS where 0 was given (or
 * DISK_STALL_WAIT_FOREVER); a scan started by disk_scan() has max_depth,
 * follow_links and stall_timeout_ms set and all else 0. The pattern texts belong to
 * the library and stay valid until disk_free(id). Returns 0, or -1 when id
 * names no scan or out is NULL or too small.
 */
QV_API int disk_scan_get_options(int id, disk_scan_options *out);

/*
 * The scan's state code (SCAN_IDLE .. SCAN_CANCELLED), or -1 when id names no
 * scan. One atomic load: cheap enough to poll.
 */
QV_API int disk_scan_status(int id);

/*
 * Progress of a scan while it runs: stores the number of files and of
 * directories recorded so far and the bytes of those files (any pointer may
 * be NULL) and returns the state code, as disk_scan_status() does. Counts
 * never decrease during a scan and are updated once per listed directory;
 * once the state is SCAN_DONE they equal the document's "total_files",
 * "total_dirs" and "total_size". Returns -1, storing nothing, when id names
 * no scan. A few atomic loads: cheap enough to poll often.
 */
QV_API int disk_scan_progress(int id, unsigned long long *files, unsigned long long *dirs,
                              unsigned long long *bytes);

/*
 * What a scan could not take in, for a host to tell a complete scan from one
 * that left things out. struct_size is set by the caller to
 * sizeof(disk_problems); members that do not fit in it are not written, so
 * hosts built against this header keep working when members are added.
 */
typedef struct disk_problems {
    unsigned int struct_size;
    /* 0 when the root was opened; otherwise the system's error code (errno;
     * on Windows GetLastError()), e.g. ENOENT, ENOTDIR or EACCES, and the
     * tree is the root alone. */
    int root_error;
    /* Directories below the root that could not be listed, or were listed
     * only in part (permission, I/O error, replaced while the scan ran, or
     * memory): they stay in the tree with what was read of them. */
    unsigned long long unreadable_dirs;
    /* Entries left out: their attributes could not be read (an entry that
     * vanished during the scan is not counted), their name could not be
     * stored, or memory ran out. */
    unsigned long long skipped_entries;
    /* Directories recorded but not entered because they are the same
     * directory as one of their ancestors (a loop). */
    unsigned long long loop_dirs;
    /* Directories recorded but not entered because they lie on a pseudo
     * file system. */
    unsigned long long pseudo_fs_dirs;
    /* Directories given up on because the storage stopped answering (see
     * disk_scan_options.stall_timeout_ms): they stay in the tree with what
     * was read of them. */
    unsigned long long stalled_dirs;
} disk_problems;

/*
 * Fills *out (up to out->struct_size bytes) with what the scan has left out
 * so far, final once the state is SCAN_DONE or SCAN_CANCELLED, and returns
 * the state code as disk_scan_status() does. Returns -1, writing nothing,
 * when id names no scan, out is NULL or out->struct_size is smaller than
 * the first two members. Cheap: a few atomic loads.
 */
QV_API int disk_scan_problems(int id, disk_problems *out);

/*
 * The directories counted by disk_scan_problems() that stay in the tree
 * without all of their children, ordered by path, as a JSON array:
 *   [{"path":P,"problem":"unreadable","error":13},
 *    {"path":P,"problem":"loop"},{"path":P,"problem":"pseudo_fs"},
 *    {"path":P,"problem":"stalled"},...]
 * P is formed as in disk_get_top(); "error" is the system's error code.
 * A root that could not be opened is not listed here (see root_error).
 * Returns NULL when id names no scan or the scan is not SCAN_DONE. Built on
 * the first call and cached: every later call, and every call made at the
 * same time from other threads, returns the same pointer. Owned by the
 * library, valid until disk_free(id).
 */
QV_API const char *disk_get_problems(int id);

/*
 * Asks the scan to stop; returns at once without waiting. A scan stopped
 * before its walk ends finishes as SCAN_CANCELLED; a scan already done stays
 * SCAN_DONE with its documents. No effect on an id that names no scan.
 */
QV_API void disk_scan_cancel(int id);

/*
 * Stops the scan if it runs, waits for its thread to end, and releases the
 * tree and every text handed out for id; the id is free again. No effect on
 * an id that names no scan (freeing twice is harmless).
 * It never waits on storage: after disk_scan_cancel() it returns within a
 * second whatever the storage does. A library thread still inside a call
 * that storage never answered (a stalled or cancelled scan) is left there,
 * holding nothing of the scan; if the call ever returns, the thread drops
 * what it got and ends. From the first such thread on, the library stays
 * loaded until the process ends (dlclose() and FreeLibrary() return but do
 * not unload it), so such a thread never runs unmapped code. A process with
 * such a thread may not be able to end until the storage answers: on Linux
 * a FUSE request that reached its daemon holds its caller even against
 * SIGKILL, so a host that must exit at once should scan such storage from
 * a child process.
 */
QV_API void disk_free(int id);

/*
 * The whole tree as one JSON object:
 *   {"path":ROOT,"total_size":N,"total_files":N,"total_dirs":N,
 *    "scan_time_ms":T.0,"children":[ENTRY,...]}
 * where ENTRY is {"name":S,"size":N,"files":N,"is_dir":true|false,
 * "children":[...]}; "children" appears only on directories that have
 * entries; at every level children are ordered by size, largest first.
 * "total_dirs" does not count the root.
 * A scan with disk_scan_options.extended adds, after "scan_time_ms",
 * "fields":["mtime","uid","gid","mode"] (["mtime"] where no owners were
 * read: on Windows), and to the root object and every ENTRY, after
 * "is_dir" (the root: after "fields"), "mtime":N and, where known,
 * "uid":N,"gid":N,"mode":N (see disk_scan_options.extended); each object
 * of disk_get_top() gets the same after "size". Documents of other scans
 * have none of these.
 * Returns NULL when id names no scan or the scan is not SCAN_DONE. Built on
 * the first call (which also orders the tree) and cached: later calls return
 * the same pointer. Owned by the library, valid until disk_free(id).
 * {"error":"out of memory"} or {"error":"no result"} may stand in for the
 * document when memory was short.
 */
QV_API const char *disk_scan_result(int id);

/*
 * The n largest files, largest first, as a JSON array:
 *   [{"path":P,"size":N},...]
 * Paths are the root path as given to disk_scan joined with the names below
 * it by "/", cut to 4095 bytes. Files of equal size: which of them are kept
 * at the cut-off, and their order in the list, follow from a bounded
 * min-heap fed in the tree's current order, not from that order itself
 * (files met A(5), B(5), C(7) with n = 2 give C, B); the same tree in the
 * same order always gives the same list. n of 0 or less gives "[]"; any
 * larger n than there are files gives every file (when memory runs short,
 * the largest of them that fit).
 * Returns NULL when id names no scan or the scan is not SCAN_DONE. Owned by
 * the library, valid until the next disk_get_top() of the same id or
 * disk_free(id), whichever comes first.
 */
QV_API const char *disk_get_top(int id, int n);

/*
 * Bytes and file count per file-name extension, largest total first:
 *   [{"ext":".txt","total_size":N,"count":N},...]
 * The extension is the text from the last dot of a file's name (".gz" for
 * a.tar.gz, "." for "notes."); names without a dot or whose only dot leads
 * (".profile") count nowhere; case is kept (".JPG" and ".jpg" differ).
 * Returns NULL when id names no scan or the scan is not SCAN_DONE. Built on
 * the first call and cached: later calls return the same pointer. Owned by
 * the library, valid until disk_free(id).
 */
QV_API const char *disk_get_extensions(int id);

/*
 * One directory of the tree, for a host that shows a directory at a time:
 * the same text as that directory's part of disk_scan_result(), cut below
 * levels levels.
 *   path    the directory, written as disk_get_top() writes paths: the root
 *           path as given to disk_scan, then each name below it after a
 *           "/" (no "/" is added after a root path that ends in one). The
 *           root path alone names the root. A name is matched byte for
 *           byte, or as the documents write it (ill-formed UTF-8 as
 *           U+FFFD), so a path put together from names read in a document
 *           works; a name that several directories of one parent read as,
 *           none of them having exactly those bytes, names nothing.
 *   levels  levels of entries below the directory written: 1 gives its
 *           children, each without "children"; 0 or less gives all.
 * In a scan imported under the empty path (see disk_import_begin()),
 *           the root is named by "" and each root below it by its whole
 *           name, then the names below that root: "/a/x" is x in the root
 *           named "/a", or in "/a/x" itself; where two roots' names both
 *           lead on to a directory, the longer name is taken.
 * The root gives the root object of disk_scan_result() (path, totals,
 * scan_time_ms, children); any other directory gives its entry object
 * {"name":S,"size":N,"files":N,"is_dir":true,"children":[...]}. Children
 * are ordered as in disk_scan_result(), largest first, and written in the
 * same form byte for byte; with levels of 0 the text equals that
 * directory's object inside disk_scan_result(), or the whole of it for the
 * root. A directory at the last level written has no "children" member,
 * whatever it holds (its "files" and "size" still count all of it); ask
 * for it again to see them.
 * The first call, like the first disk_scan_result(), orders the whole tree
 * by size (a pass over every entry); later calls only find the directory
 * and write what is asked. The result document is the same whether it is
 * built before or after.
 * Returns NULL when id names no scan, the scan is not SCAN_DONE, path is
 * NULL or names nothing or a file. {"error":"out of memory"} may stand in
 * for the text. Not cached: owned by the library, valid until the next
 * disk_get_dir() of the same id or disk_free(id), whichever comes first.
 * Same duties between threads as disk_scan_result().
 */
QV_API const char *disk_get_dir(int id, const char *path, int levels);

/*
 * One entry of a scan, as disk_visit() tells it and disk_import_entry()
 * takes it. struct_size is set by whoever fills it to sizeof(disk_entry);
 * members past it are taken as 0. On 64-bit systems the members lie without
 * padding: 112 bytes, the pointer at offset 8.
 */
#define DISK_ENTRY_WHOLE 0       /* a file, or a directory with all of its children */
#define DISK_ENTRY_UNREADABLE 1  /* a directory that could not be read, or only in part */
#define DISK_ENTRY_LOOP 2        /* not entered: the same directory as an ancestor */
#define DISK_ENTRY_PSEUDO_FS 3   /* not entered: on a pseudo file system */
#define DISK_ENTRY_STALLED 4     /* given up on: the storage stopped answering */
#define DISK_ENTRY_OTHER_FS 5    /* not entered: on another file system (one_file_system) */
#define DISK_ENTRY_CACHE 6       /* not entered: holds a CACHEDIR.TAG (exclude_caches) */

typedef struct disk_entry {
    unsigned int struct_size;
    /* The name's bytes, name_len of them (not NUL-terminated), as the file
     * system gave them; for the root, the path as given to the scan. */
    unsigned int name_len;
    const char *name;
    int is_dir;
    /* DISK_ENTRY_*: why a directory is without all of its children. */
    int state;
    /* For DISK_ENTRY_UNREADABLE: the system's error code, 0 when unknown. */
    int error;
    /* A file whose identity the scan kept (see dev and ino): how many of
     * its names the scan met, with dev and ino below; 0 otherwise. 2 or
     * more: hard links met in the scan. 1: a file with other names the
     * scan did not meet (outside its root, excluded), or with follow_links
     * any file; an import groups it with the names of other scans. */
    unsigned int nlink;
    /* What the documents count (the scan's size kind, a hard-linked file
     * once when so asked): for a directory the total below it, with files
     * and dirs the files and directories below it; for a file its size and
     * files 1. disk_import_entry() ignores these three. */
    unsigned long long size;
    unsigned long long files;
    unsigned long long dirs;
    /* A file's own sizes, both kinds: its length, and the space allocated
     * to it (see DISK_SIZE_ON_DISK); 0 for a directory. On Windows a scan
     * whose listing does not give the allocation (size_kind APPARENT and
     * neither hard links once nor followed links) leaves disk_size 0. */
    unsigned long long apparent_size;
    unsigned long long disk_size;
    /* The device and inode (Windows: volume serial and file index) that
     * tell a file of several names apart. A scan knows them when it counts
     * hard links once; an import groups the names of one file by them
     * (every entry with nlink 1 or more). */
    unsigned long long dev;
    unsigned long long ino;
    /* What a scan with disk_scan_options.extended keeps of the entry,
     * DISK_FIELD_* bits saying which of the members below hold it; 0 for
     * a scan without it. mtime: seconds since 1970 (a directory's: the
     * newest below it, its own included); uid, gid and mode as stat() gives
     * them. disk_import_entry() keeps them when the import's options ask
     * for extended and the bits say the entry has them. */
    unsigned int fields;
    unsigned int uid;
    long long mtime;
    unsigned int gid;
    unsigned int mode;
} disk_entry;

#define DISK_FIELD_MTIME 1 /* disk_entry.mtime holds the time */
#define DISK_FIELD_OWNER 2 /* disk_entry.uid, gid and mode hold the owner and mode */

/*
 * Tells fn every entry of the scan, the root first, each directory's
 * entries after it in the documents' order (largest first), then
 * fn(ctx, NULL) when a directory ends (the root's end last). The entry and
 * its name are valid only during the call. fn returning non-zero stops the
 * visit. Returns 0 when every entry was told, 1 when fn stopped it, -1
 * when id names no scan, the scan is not SCAN_DONE or fn is NULL, -2 when
 * memory ran short before the first call. Any depth, no recursion.
 * The first call orders the tree, as disk_scan_result() does; same duties
 * between threads as disk_scan_result().
 */
typedef int (*disk_visit_fn)(void *ctx, const disk_entry *entry);
QV_API int disk_visit(int id, disk_visit_fn fn, void *ctx);

/*
 * A scan built from entries the host hands over, instead of walked: an
 * export of another tool read back, say. disk_import_begin() claims a scan
 * (SCAN_RUNNING) whose root is named by path (copied; never opened) and
 * whose options are opts (may be NULL; only size_kind and hard_links_once
 * have a meaning here, the rest are kept for disk_scan_get_options()).
 * Then disk_import_entry() once for the root, a directory, and once for
 * each entry below it in the order of the tree: a directory's entries
 * follow it, and disk_import_entry(id, NULL) ends the directory most
 * recently begun. disk_import_end() closes what is still open, adds up the
 * totals, counts each hard-linked file (same dev and ino, nlink > 1) once
 * when so asked, and makes the scan SCAN_DONE: every document and
 * disk_visit() then answer as for a walk. State DISK_ENTRY_UNREADABLE,
 * LOOP, PSEUDO_FS and STALLED count in disk_scan_problems() and
 * disk_get_problems() as a walk counts them; an entry below a directory
 * not entered is refused. One host thread imports into an id; any other
 * may poll it, cancel it (disk_import_end() then ends it SCAN_CANCELLED)
 * or free it.
 * disk_import_begin returns the id, or -1 as disk_scan_ex() would. The
 * other two return 0, or -1 when id names no scan being imported or the
 * call is refused: the entries are not in the order above (an entry before
 * the root, a second root, an end with no directory open, an entry below
 * a directory whose state says it was not entered), a name below the root
 * is empty, longer than 65535 bytes, "." or "..", or holds "/" or NUL, its
 * path below the root would reach 32768 bytes (no walk goes deeper), or
 * memory ran short.
 * Several roots under one: an import begun with the empty path "" has a
 * root of no name whose direct children may be named by paths (any name
 * of 1 to 65535 bytes without NUL: "/", ".", "/a/b" or "../x"), so that a
 * host puts several scans under one, each told by disk_visit() into a
 * child of the root (the scan's root entry, its path as name, with its
 * state). Names below those children keep the rule above. The documents
 * then read {"path":"",...,"children":[{"name":"/a",...},...]}, totals
 * are sums, and paths (disk_get_top(), disk_get_problems()) begin with the
 * child's name: "/a/x". A file told with the same dev and ino by two
 * scans counts once when hard links count once (see disk_entry.nlink). A refused call spoils the import: every later call is
 * refused, and disk_import_end() ends it SCAN_FAILED (the id still needs
 * disk_free()).
 */
QV_API int disk_import_begin(const char *path, const disk_scan_options *opts);
QV_API int disk_import_entry(int id, const disk_entry *entry);
QV_API int disk_import_end(int id);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_DISK_H */
