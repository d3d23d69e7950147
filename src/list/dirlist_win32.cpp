// Win32 listing of one directory, names converted back to UTF-8.
//
// The root is opened once, as the host names it (a link or junction as the
// root is followed). Every directory below it is opened relative to the
// handle of one of its ancestors, one name at a time (NtCreateFile with the
// ancestor as RootDirectory), and listed through its own handle with
// GetFileInformationByHandleEx, a batch of records per call. No path is
// looked up from the top again, so neither its length nor a link swapped in
// above the directory matters.
//
// Unless links are followed, each name is opened as itself, not as what a
// reparse point on it names (FILE_OPEN_REPARSE_POINT), and checked:
//  - a name surrogate (symbolic link, junction, mounted volume) where the
//    listing saw a directory is refused;
//  - its file ID must be the one the parent's listing gave it (or, for an
//    ancestor on the way, the one read when that ancestor was opened).
// Either refusal fails the open with ERROR_STOPPED_ON_SYMLINK: the walk
// stops at whatever now stands at that name. The second check catches a
// link where the system follows it all the same (Wine, whose links are
// Unix symbolic links), and a directory renamed into the place of another.
// Every other reparse point (cloud, deduplicated, compressed folders, DFS
// links) is an ordinary directory: the name's own file ID is checked, then
// it is reopened through its file system filter and listed as what it holds.
//
// Records carry file IDs (FileIdBothDirectoryInfo). A file system that
// refuses that class (some network shares) is listed with
// FileFullDirectoryInfo instead: no IDs, so its directories are checked
// for links only, and its hard links cannot be told apart. A listing's
// IDs are trusted only where the directory's own "." record gives the ID
// its handle does: elsewhere (a volume root, which lists no "."; some
// user-mode file systems) subdirectories are checked for links only.
//
// A directory's volume serial number is read (which tells another volume)
// when links are followed or the walk asks for identities; its file ID
// always is.
#include "dirlist_win32.h"
#include "cachetag.h"
#include "platform.h"
#include "reparse.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// Information classes of NtQueryInformationFile (ntddk's names).
#define QV_FILE_INTERNAL_INFORMATION 6
#define QV_FILE_ATTRIBUTE_TAG_INFORMATION 35
#define QV_STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
// What a step that meets something other than the directory expected
// fails with: "The create operation stopped after reaching a symbolic link."
#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681
#endif

struct qv_dirroot {
    HANDLE h;         // the root directory, opened once
    uint64_t serial;  // its volume serial number
    uint64_t ino;     // its file ID
    size_t len;
    char path[1];  // absolute, UTF-8
};

// Bytes of directory records asked for per call: a few hundred entries,
// and room for the longest name.
#define RECORDS_BYTES 65536

// Directories listed earlier stay open while they lie on the path being
// walked, as on Linux: the next directory, mostly a child of the last, is
// then one name away from a handle. Handles are no scarce budget as
// descriptors are: more are kept, so that a walk back up out of a deep
// subtree still finds its parent open.
#define ANCESTOR_HANDLES 64

struct kept_dir {
    HANDLE h;
    size_t len;     // its path is the first len bytes of last_path
    int32_t depth;  // names from the root to it
};

int qv_win32_test_records = QV_RECORDS_AS_THEY_ARE;

static int read_batch(qv_dirlist *dl);
static bool own_record_agrees(const qv_dirlist *dl);

// Heap-held so that deep recursion costs no stack: one per walking thread.
struct qv_dirlist {
    // The root's handle, serial number and file ID, the listing's own copy:
    // a listing given up on may go on after the root is closed and freed.
    HANDLE root;
    uint64_t root_serial, root_ino;
    size_t root_len;  // the root's path begins path, for the test hook
    const std::atomic<int32_t> *cancel;
    qv_call_watch *watch;  // the owner's: every call into storage is marked on it
    // A handle opened for a moment (an ancestor on the way, a followed link,
    // the cache tag) while it is open: qv_dirlist_discard closes it should
    // the owner be given up on meanwhile.
    HANDLE landing;
    HANDLE dir;           // the directory being listed, or INVALID_HANDLE_VALUE
    int follow_links;
    int size_kind;
    int wants;            // QV_WANT_* bits
    int ids_refused;      // the file system refused records with file IDs
    int ids_trusted;      // the records' file IDs are those the directories' handles give
    uint64_t own_ino;     // the listed directory's file ID, from its handle
    int have_record;      // a record not yet reported, at records + at
    int error;            // what cut the current listing short
    uint64_t skipped;     // children of the current listing left out
    int have_serial;      // the listed directory's volume serial number is known
    uint64_t serial;
    size_t at;
    kept_dir kept[ANCESTOR_HANDLES];  // shallowest first
    int nkept;
    size_t last_len;
    int32_t last_depth;
    alignas(8) unsigned char records[RECORDS_BYTES];
    char last_path[SCAN_PATH_MAX];  // the directory listed last, below the root
    char path[SCAN_PATH_MAX];       // the root's path and rel joined, for the test hook
    wchar_t wname[SCAN_PATH_MAX];   // one name, as NtCreateFile takes it
    char name[SCAN_PATH_MAX];       // the child last reported
};

// UTF-8 to UTF-16 into a buffer of SCAN_PATH_MAX units; its length, or -1.
static int to_wide(const char *s, wchar_t *out)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, out, SCAN_PATH_MAX);
    return n > 0 ? n - 1 : -1;
}

#define SHARE_ALL (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)

static int win32_error(NTSTATUS st)
{
    ULONG err = RtlNtStatusToDosError(st);
    return err != 0 ? (int)err : ERROR_GEN_FAILURE;
}

// Volume serial number and file index of the open file h.
static bool identity_of(HANDLE h, qv_dir_id *id, DWORD *attrs = nullptr)
{
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi))
        return false;
    id->dev = fi.dwVolumeSerialNumber;
    id->ino = ((uint64_t)fi.nFileIndexHigh << 32) | fi.nFileIndexLow;
    if (attrs)
        *attrs = fi.dwFileAttributes;
    return true;
}

// --- Root ----------------------------------------------------------------------

// The root stays open for the whole scan: everything below is opened
// relative to it.
qv_dirroot *qv_dirroot_open(const char *path, const std::atomic<int32_t> *cancel, int *err, qv_call_watch *watch)
{
    (void)cancel;
    *err = 0;
    size_t len = strlen(path);
    if (len == 0) {
        *err = ERROR_PATH_NOT_FOUND;  // an empty path names no directory
        return nullptr;
    }
    auto *buf = static_cast<char *>(malloc(SCAN_PATH_MAX));
    auto *wbuf = static_cast<wchar_t *>(malloc(SCAN_PATH_MAX * sizeof(wchar_t)));
    auto *root = static_cast<qv_dirroot *>(malloc(sizeof(qv_dirroot) + len));
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!buf || !wbuf || !root) {
        *err = ERROR_NOT_ENOUGH_MEMORY;
    } else if (len > SCAN_PATH_MAX - 1 || qv_win32_dir_path(buf, path) < 0 || to_wide(buf, wbuf) < 0) {
        *err = ERROR_FILENAME_EXCED_RANGE;
    } else {
        qv_call_begin(watch);
        h = CreateFileW(wbuf, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE_ALL, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        DWORD last = GetLastError();
        qv_dir_id id{};
        DWORD attrs = 0;
        bool known = h != INVALID_HANDLE_VALUE && identity_of(h, &id, &attrs);
        if (h != INVALID_HANDLE_VALUE && !known)
            last = GetLastError();
        qv_call_end(watch);
        if (h == INVALID_HANDLE_VALUE || !known)
            *err = last != 0 ? (int)last : ERROR_PATH_NOT_FOUND;
        else if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
            *err = ERROR_DIRECTORY;
        if (*err == 0) {
            root->h = h;
            root->serial = id.dev;
            root->ino = id.ino;
            root->len = len;
            memcpy(root->path, path, len + 1);
        } else if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    free(buf);
    free(wbuf);
    if (*err != 0) {
        free(root);
        return nullptr;
    }
    return root;
}

void qv_dirroot_close(qv_dirroot *root)
{
    if (!root)
        return;
    CloseHandle(root->h);
    free(root);
}

// --- Listing state -------------------------------------------------------------

qv_dirlist *qv_dirlist_new(qv_dirroot *root, const qv_options *opts, int wants,
                           const std::atomic<int32_t> *cancel, qv_call_watch *watch)
{
    // Zeroed: nothing listed, nothing kept.
    auto *dl = static_cast<qv_dirlist *>(calloc(1, sizeof(qv_dirlist)));
    if (!dl)
        return nullptr;
    HANDLE self = GetCurrentProcess();
    if (root->len > SCAN_PATH_MAX - 1 ||
        !DuplicateHandle(self, root->h, self, &dl->root, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        free(dl);
        return nullptr;
    }
    dl->root_serial = root->serial;
    dl->root_ino = root->ino;
    dl->root_len = root->len;
    memcpy(dl->path, root->path, root->len);
    dl->cancel = cancel;
    dl->watch = watch;
    dl->landing = INVALID_HANDLE_VALUE;
    dl->dir = INVALID_HANDLE_VALUE;
    dl->follow_links = opts->asked.follow_links != 0;
    dl->size_kind = opts->asked.size_kind;
    dl->wants = wants;
    return dl;
}

// Sizes come with the names: nothing is left to look at later.
void qv_dirlist_defer_stats(qv_dirlist *) {}

int qv_dirlist_stat(const qv_dirlist *, const char *, qv_dir_child *, qv_call_watch *)
{
    return ERROR_NOT_SUPPORTED;
}

static void drop_kept(qv_dirlist *dl, int keep)
{
    while (dl->nkept > keep)
        CloseHandle(dl->kept[--dl->nkept].h);
}

void qv_dirlist_let_go(qv_dirlist *dl)
{
    qv_dirlist_close(dl);
    drop_kept(dl, 0);
}

void qv_dirlist_delete(qv_dirlist *dl)
{
    if (!dl)
        return;
    qv_dirlist_let_go(dl);
    CloseHandle(dl->root);
    free(dl);
}

void qv_dirlist_discard(qv_dirlist *dl)
{
    if (dl && dl->landing != INVALID_HANDLE_VALUE)
        CloseHandle(dl->landing);
    qv_dirlist_delete(dl);  // its own handles only: the root's may be closed by now
}

int (*qv_dirlist_open_hook)(const char *path) = nullptr;

// Keeps h, the directory at the first len bytes of last_path, depth names
// below the root: the shallowest goes when there is no room.
static void keep(qv_dirlist *dl, HANDLE h, size_t len, int32_t depth)
{
    if (dl->nkept == ANCESTOR_HANDLES) {
        CloseHandle(dl->kept[0].h);
        memmove(dl->kept, dl->kept + 1, (ANCESTOR_HANDLES - 1) * sizeof(kept_dir));
        dl->nkept--;
    }
    dl->kept[dl->nkept++] = {h, len, depth};
}

// Whether the kept directory k is an ancestor of path.
static bool holds(const qv_dirlist *dl, const kept_dir &k, const char *path, size_t len)
{
    return k.len < len && path[k.len] == QV_PATH_SEP && memcmp(path, dl->last_path, k.len) == 0;
}

// Drops kept directories that are not ancestors of path; returns the
// deepest one that is, or null.
static const kept_dir *nearest_kept(qv_dirlist *dl, const char *path, size_t len)
{
    while (dl->nkept > 0 && !holds(dl, dl->kept[dl->nkept - 1], path, len))
        drop_kept(dl, dl->nkept - 1);
    return dl->nkept > 0 ? &dl->kept[dl->nkept - 1] : nullptr;
}

// --- Opening one name below a handle -------------------------------------------

// Opens name (units UTF-16 units; empty: parent itself again) below the
// open directory parent. The handle goes to *out before the call is over
// (where qv_dirlist_discard finds it); NTSTATUS.
static NTSTATUS open_below(HANDLE parent, const wchar_t *name, size_t units, ACCESS_MASK access, ULONG options,
                           HANDLE *out)
{
    *out = INVALID_HANDLE_VALUE;
    if (units > 32767)
        return QV_STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING us;
    us.Buffer = const_cast<wchar_t *>(name);
    us.Length = us.MaximumLength = (USHORT)(units * sizeof(wchar_t));
    OBJECT_ATTRIBUTES oa;
    // Names come from the listing as they are: no case folding asked for.
    InitializeObjectAttributes(&oa, &us, 0, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE h = nullptr;
    NTSTATUS st = NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, 0, SHARE_ALL, FILE_OPEN,
                               options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr, 0);
    *out = NT_SUCCESS(st) ? h : INVALID_HANDLE_VALUE;
    return st;
}

// What an opened directory tells of itself.
struct dir_facts {
    uint32_t attrs;
    uint32_t tag;  // its reparse tag, read only for a reparse point (0: unknown)
    qv_dir_id id;  // id.ino 0 where the file system keeps no file IDs; id.dev only with has_serial
    int has_serial;
};

// Reads facts of h: the volume serial number too when with_serial (which
// costs more: on Wine some 100 times the rest). What a file system cannot
// tell is unknown: no ID (nothing to check it against), no tag (taken as a
// link, the safe side). 0, or the system's error code.
static int read_facts(HANDLE h, bool with_serial, dir_facts *f)
{
    IO_STATUS_BLOCK io;
    f->tag = 0;
    f->has_serial = 0;
    f->id.ino = 0;
    if (with_serial && identity_of(h, &f->id))
        f->has_serial = 1;
    if (!f->has_serial) {
        struct {
            LARGE_INTEGER index;
        } internal{};
        NTSTATUS st = NtQueryInformationFile(h, &io, &internal, sizeof internal,
                                             (FILE_INFORMATION_CLASS)QV_FILE_INTERNAL_INFORMATION);
        f->id.ino = NT_SUCCESS(st) ? (uint64_t)internal.index.QuadPart : 0;
    }
    struct {
        ULONG attrs, tag;
    } at{};
    NTSTATUS st = NtQueryInformationFile(h, &io, &at, sizeof at, (FILE_INFORMATION_CLASS)QV_FILE_ATTRIBUTE_TAG_INFORMATION);
    if (NT_SUCCESS(st)) {
        f->attrs = at.attrs;
        f->tag = (at.attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? at.tag : 0;
        return 0;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return win32_error(st);
    f->attrs = basic.FileAttributes;
    return 0;
}

// A file ID that names nothing: 0 where the file system keeps none, all
// ones where it does not fit 64 bits.
static bool known_id(uint64_t ino) { return ino != 0 && ino != UINT64_MAX; }

#define DIR_ACCESS (FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES)

// Opens the directory name below parent (one step of a path) and checks
// that it is what the walk expects there: no link, unless links are
// followed, and the file ID expect (when known). with_serial: its volume
// serial number is wanted; inherit (may be null): its parent's, which is
// its own unless it is a reparse point (a volume is mounted at one). On
// success *f describes the directory, held in dl->landing. 0, or the
// system's error code.
static int open_step(qv_dirlist *dl, HANDLE parent, const wchar_t *name, size_t units, uint64_t expect,
                     bool with_serial, const uint64_t *inherit, dir_facts *f)
{
    bool follow = dl->follow_links != 0;
    ULONG options = FILE_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
    HANDLE h;
    NTSTATUS st = open_below(parent, name, units, DIR_ACCESS, options, &h);
    dl->landing = h;
    if (!NT_SUCCESS(st))
        return win32_error(st);
    int rc = read_facts(h, with_serial && !inherit, f);
    if (rc == 0 && with_serial && inherit) {
        // Followed, another file than the one listed may be a link now.
        if (follow && known_id(expect) && f->id.ino != expect)
            return read_facts(h, true, f);
        f->id.dev = *inherit;
        f->has_serial = 1;
    }
    if (rc != 0 || follow)
        return rc;
    // The name's own file ID is the one its parent listed; an ancestor on
    // the way was opened before through its filter, where it has one.
    uint64_t first = f->id.ino;
    if (f->attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (qv_reparse_action(f->attrs, f->tag, 0) == QV_CHILD_SKIP)
            return ERROR_STOPPED_ON_SYMLINK;
        // A cloud or other folder of a file system filter: listed through
        // the filter, as what it holds (which may be another file).
        HANDLE again;
        st = open_below(parent, name, units, DIR_ACCESS, FILE_DIRECTORY_FILE, &again);
        CloseHandle(h);
        dl->landing = again;
        if (!NT_SUCCESS(st))
            return win32_error(st);
        rc = read_facts(again, with_serial, f);  // a filter may lead to another volume
        if (rc != 0)
            return rc;
    }
    bool as_expected = !known_id(expect) || !known_id(first) || first == expect || f->id.ino == expect;
    return as_expected ? 0 : ERROR_STOPPED_ON_SYMLINK;
}

// The next name of rel from *at (a step between separators) in UTF-16 in
// dl->wname; its length in units, or -1 when it is no name that can be
// opened below a directory ("", ".", "..", or holding '/' or ':').
static int next_step(qv_dirlist *dl, const char *rel, size_t len, size_t *at)
{
    size_t from = *at, to = from;
    while (to < len && rel[to] != QV_PATH_SEP)
        to++;
    *at = to < len ? to + 1 : to;
    size_t n = to - from;
    const char *s = rel + from;
    if (n == 0 || (n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.') || memchr(s, '/', n) ||
        memchr(s, ':', n) || n > (size_t)INT_MAX)
        return -1;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, (int)n, dl->wname, SCAN_PATH_MAX - 1);
    return units > 0 ? units : -1;
}

qv_dir_loan qv_dirlist_lend(qv_dirlist *dl, const char *path, size_t len)
{
    // The root's handle every listing has already.
    if (len == 0 || len > dl->last_len || memcmp(path, dl->last_path, len) != 0 ||
        (len < dl->last_len && dl->last_path[len] != QV_PATH_SEP))
        return 0;
    HANDLE from = INVALID_HANDLE_VALUE;
    if (len == dl->last_len)
        from = dl->dir;
    for (int i = 0; i < dl->nkept && from == INVALID_HANDLE_VALUE; i++)
        if (dl->kept[i].len == len)
            from = dl->kept[i].h;
    HANDLE self = GetCurrentProcess(), copy;
    if (from == INVALID_HANDLE_VALUE || !DuplicateHandle(self, from, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 0;
    return (qv_dir_loan)copy;
}

void qv_dir_loan_return(qv_dir_loan loan)
{
    if (loan)
        CloseHandle((HANDLE)loan);
}

static int open_listing(qv_dirlist *dl, const qv_dir_where *where, qv_dir_info *info);

int qv_dirlist_open(qv_dirlist *dl, const qv_dir_where *where, qv_dir_info *info)
{
    qv_call_begin(dl->watch);
    int rc = open_listing(dl, where, info);
    qv_call_end(dl->watch);
    if (dl->landing != INVALID_HANDLE_VALUE) {
        CloseHandle(dl->landing);  // what a failed step left open
        dl->landing = INVALID_HANDLE_VALUE;
    }
    return rc;
}

// Calls the test hook with the root's path joined with rel, where that fits.
static int hooked(qv_dirlist *dl, const char *rel, size_t rel_len)
{
    size_t len = dl->root_len;
    char last = dl->path[len - 1];
    size_t sep = rel_len > 0 && last != '\\' && last != '/' ? 1 : 0;
    if (len + sep + rel_len > SCAN_PATH_MAX - 1)
        return 0;
    if (sep)
        dl->path[len] = QV_PATH_SEP;
    memcpy(dl->path + len + sep, rel, rel_len);
    dl->path[len + sep + rel_len] = '\0';
    return qv_dirlist_open_hook(dl->path);
}

// Opens the directory at rel step by step from its nearest kept ancestor,
// or the root, and reads its first batch of records. Every call it makes
// into storage is one watched call.
// Takes over the loan of the parent of rel (depth names): kept as its
// nearest ancestor, unless one as near is kept already. Every kept
// directory is an ancestor of rel.
static void adopt(qv_dirlist *dl, size_t rel_len, int32_t depth, qv_dir_loan loan)
{
    if (!loan)
        return;
    size_t len = rel_len;
    while (len > 0 && dl->last_path[len - 1] != QV_PATH_SEP)
        len--;
    bool nearer = dl->nkept > 0 && dl->kept[dl->nkept - 1].depth >= depth - 1;
    if (depth < 2 || len < 2 || nearer)
        qv_dir_loan_return(loan);
    else
        keep(dl, (HANDLE)loan, len - 1, depth - 1);
}

static int open_listing(qv_dirlist *dl, const qv_dir_where *where, qv_dir_info *info)
{
    const char *rel = where->rel;
    size_t rel_len = where->rel_len;
    int32_t depth = where->depth;
    qv_dirlist_close(dl);
    // Every kept directory is an ancestor of rel from here on, and so is
    // each one opened on the way, which stays kept for what comes next.
    if (rel_len > 0)
        nearest_kept(dl, rel, rel_len);
    else
        drop_kept(dl, 0);
    memcpy(dl->last_path, rel, rel_len);
    dl->last_path[rel_len] = '\0';
    dl->last_len = rel_len;
    dl->last_depth = depth;
    adopt(dl, rel_len, depth, where->parent);
    dl->error = 0;
    dl->skipped = 0;
    dl->have_serial = 0;
    info->has_id = 0;
    info->pseudo_fs = 0;
    info->meta = {};
    if (qv_cancel_set(dl->cancel))
        return -1;
    if (qv_dirlist_open_hook) {
        int err = hooked(dl, rel, rel_len);
        if (err != 0)
            return err;
    }
    // A volume serial number is wanted where links are followed (another
    // volume, a loop), or the walk asks for identities (one file system;
    // the volume of hard links). Only a reparse point leads to another
    // volume: a directory its parent listed as none, and that still is
    // the one listed, is on its parent's, which is not asked again (it
    // costs more than the rest of the open on Wine).
    bool with_serial = dl->follow_links || (dl->wants & (QV_WANT_DIR_IDS | QV_WANT_LINK_IDS)) != 0;
    const qv_dir_info *up = where->chain && depth > 0 ? &where->chain[depth - 1] : nullptr;
    const uint64_t *inherit = up && up->has_id && known_id(where->listed_ino) ? &up->id.dev : nullptr;
    HANDLE from = dl->root;
    int32_t from_depth = 0;
    size_t at = 0;
    if (rel_len > 0 && dl->nkept > 0) {
        const kept_dir &k = dl->kept[dl->nkept - 1];
        from = k.h;
        from_depth = k.depth;
        at = k.len + 1;
    }
    dir_facts f{};
    f.id = {dl->root_serial, dl->root_ino};
    f.has_serial = 1;
    if (rel_len == 0) {
        // The root again, for a listing position of its own.
        HANDLE h;
        NTSTATUS st = open_below(dl->root, L"", 0, DIR_ACCESS, FILE_DIRECTORY_FILE, &h);
        dl->landing = h;
        if (!NT_SUCCESS(st))
            return win32_error(st);
    } else {
        if (rel[rel_len - 1] == QV_PATH_SEP)
            return ERROR_INVALID_NAME;
        int32_t d = from_depth;
        size_t step_end = 0;
        while (at < rel_len) {
            int units = next_step(dl, rel, rel_len, &at);
            if (units < 0 || ++d > depth)
                return ERROR_INVALID_NAME;
            // An ancestor on the way is expected to be the one opened when
            // it was listed; the directory itself, what its parent listed.
            uint64_t expect = d == depth ? where->listed_ino : (where->chain ? where->chain[d].id.ino : 0);
            HANDLE before = dl->landing;
            size_t before_len = step_end;
            step_end = at < rel_len ? at - 1 : rel_len;
            bool last = d == depth;
            int rc = open_step(dl, before != INVALID_HANDLE_VALUE ? before : from, dl->wname, (size_t)units, expect,
                               with_serial && last, last ? inherit : nullptr, &f);
            if (before != INVALID_HANDLE_VALUE)
                keep(dl, before, before_len, d - 1);
            if (rc != 0)
                return rc;
        }
        if (d != depth)
            return ERROR_INVALID_NAME;
    }
    dl->dir = dl->landing;
    dl->landing = INVALID_HANDLE_VALUE;
    info->id = f.id;
    if (!f.has_serial)
        info->id.dev = 0;
    info->has_id = f.has_serial ? 1 : 0;
    dl->have_serial = f.has_serial;
    dl->serial = f.id.dev;
    dl->own_ino = f.id.ino;
    dl->ids_refused = qv_win32_test_records == QV_RECORDS_WITHOUT_IDS ? 1 : 0;
    dl->ids_trusted = 0;

    int rc = read_batch(dl);
    if (rc == ERROR_NO_MORE_FILES || rc == ERROR_FILE_NOT_FOUND)
        return 0;  // a volume root lists no "." or "..": an empty one has no records
    if (rc != 0) {
        qv_dirlist_close(dl);
        return rc;
    }
    dl->have_record = 1;
    dl->ids_trusted = own_record_agrees(dl) ? 1 : 0;
    return 0;
}

// --- Records -------------------------------------------------------------------

// Fills records with the next batch of the listing; 0, ERROR_NO_MORE_FILES
// at its end, or the system's error code. A file system that refuses
// records with file IDs is asked for records without them from then on.
static int read_batch(qv_dirlist *dl)
{
    for (;;) {
        FILE_INFO_BY_HANDLE_CLASS kind = dl->ids_refused ? FileFullDirectoryInfo : FileIdBothDirectoryInfo;
        if (GetFileInformationByHandleEx(dl->dir, kind, dl->records, RECORDS_BYTES)) {
            dl->at = 0;
            return 0;
        }
        DWORD err = GetLastError();
        bool refused = err == ERROR_INVALID_PARAMETER || err == ERROR_INVALID_LEVEL || err == ERROR_NOT_SUPPORTED ||
                       err == ERROR_INVALID_FUNCTION;
        if (dl->ids_refused || !refused)
            return err != 0 ? (int)err : ERROR_READ_FAULT;
        dl->ids_refused = 1;
    }
}

// One record, of either class.
struct record {
    const wchar_t *name;
    size_t units;
    uint32_t attrs;
    uint32_t tag;  // for a reparse point the record's EaSize holds its tag
    int64_t write_time;
    int64_t end, alloc;
    uint64_t file_id;  // 0 when the records carry none
};

// The record at offset at of the batch; the offset of the next, or 0 after
// the last.
static ULONG record_at(const qv_dirlist *dl, size_t at, record *r)
{
    const unsigned char *p = dl->records + at;
    ULONG next;
    if (dl->ids_refused) {
        auto *d = reinterpret_cast<const FILE_FULL_DIR_INFO *>(p);
        next = d->NextEntryOffset;
        *r = {d->FileName, d->FileNameLength / sizeof(wchar_t), d->FileAttributes, d->EaSize,
              d->LastWriteTime.QuadPart, d->EndOfFile.QuadPart, d->AllocationSize.QuadPart, 0};
    } else {
        auto *d = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(p);
        next = d->NextEntryOffset;
        *r = {d->FileName, d->FileNameLength / sizeof(wchar_t), d->FileAttributes, d->EaSize,
              d->LastWriteTime.QuadPart, d->EndOfFile.QuadPart, d->AllocationSize.QuadPart, (uint64_t)d->FileId.QuadPart};
        if (qv_win32_test_records == QV_RECORDS_SKEWED_IDS && known_id(r->file_id))
            r->file_id ^= 1;
    }
    return next;
}

// Whether the records' file IDs are those the handles give, told by the
// directory's own "." record in the first batch, before any child is
// reported. Where there is none (a volume root, a file system that lists
// no "."), nothing vouches for them: subdirectories are then checked for
// links only.
static bool own_record_agrees(const qv_dirlist *dl)
{
    if (dl->ids_refused || !known_id(dl->own_ino))
        return false;
    size_t at = 0;
    for (;;) {
        record r;
        ULONG next = record_at(dl, at, &r);
        if (r.units == 1 && r.name[0] == L'.')
            return r.file_id == dl->own_ino;
        if (next == 0)
            return false;
        at += next;
    }
}

// The next record of the listing, or false at its end.
static bool next_record(qv_dirlist *dl, record *r)
{
    if (!dl->have_record) {
        qv_call_begin(dl->watch);
        int rc = read_batch(dl);
        qv_call_end(dl->watch);
        if (rc != 0) {
            if (rc != ERROR_NO_MORE_FILES)
                dl->error = rc;
            return false;
        }
    }
    ULONG next = record_at(dl, dl->at, r);
    dl->have_record = next != 0;
    dl->at += next;
    return true;
}

// A listing's write time (100 ns since 1601) as seconds since 1970.
static int64_t unix_time(int64_t filetime)
{
    return filetime / 10000000 - 11644473600ll;
}

// A followed link to a file counts as the file it points to: the listing
// describes the link itself (its own length, 0), so the target is opened
// through the link and asked. A dangling link counts as an empty file.
// Where files are told by their IDs, the target's ID is out's link_id: a
// file met by its own name and through a link is one file.
static uint64_t followed_size(qv_dirlist *dl, const record &r, qv_dir_child *out)
{
    qv_call_begin(dl->watch);
    HANDLE h;
    NTSTATUS st = open_below(dl->dir, r.name, r.units, FILE_READ_ATTRIBUTES, 0, &h);
    dl->landing = h;
    FILE_STANDARD_INFO si{};
    bool ok = NT_SUCCESS(st) && GetFileInformationByHandleEx(h, FileStandardInfo, &si, sizeof si) && !si.Directory;
    if (ok && (dl->wants & (QV_WANT_LINK_IDS | QV_WANT_FILE_IDS)) && identity_of(h, &out->link_id))
        out->linked = 1;
    qv_call_end(dl->watch);
    dl->landing = INVALID_HANDLE_VALUE;
    if (NT_SUCCESS(st))
        CloseHandle(h);
    if (!ok) {
        out->linked = 0;
        return 0;
    }
    bool on_disk = dl->size_kind == DISK_SIZE_ON_DISK;
    LONGLONG size = on_disk ? si.AllocationSize.QuadPart : si.EndOfFile.QuadPart;
    LONGLONG other = on_disk ? si.EndOfFile.QuadPart : si.AllocationSize.QuadPart;
    out->other_size = other > 0 ? (uint64_t)other : 0;
    return size > 0 ? (uint64_t)size : 0;
}

int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out)
{
    if (dl->dir == INVALID_HANDLE_VALUE)
        return 0;
    record r;
    while (next_record(dl, &r)) {
        if (r.units == 0 || (r.name[0] == L'.' && (r.units == 1 || (r.units == 2 && r.name[1] == L'.'))))
            continue;
        int action = qv_reparse_action(r.attrs, r.tag, dl->follow_links);
        if (action == QV_CHILD_SKIP)
            continue;
        // A name with a lone surrogate has no UTF-8 form: under a replaced
        // name it could be taken for another child, so it is left out.
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, r.name, (int)r.units, dl->name, SCAN_PATH_MAX - 1,
                                    nullptr, nullptr);
        if (n <= 0) {
            dl->skipped++;
            continue;
        }
        dl->name[n] = '\0';
        bool dir = (r.attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out->name = dl->name;
        out->name_len = (uint32_t)n;
        out->is_dir = dir ? 1 : 0;
        out->linked = 0;
        out->stat_later = 0;
        out->other_size = 0;
        out->dir_ino = 0;
        out->meta = {1, 0, unix_time(r.write_time), 0, 0, 0};
        if (dir) {
            out->size = 0;
            // What the directory is to be when it is opened. A reparse point
            // (a link followed, a folder of a filter) may be another file by
            // then, on another volume.
            if (!(r.attrs & FILE_ATTRIBUTE_REPARSE_POINT) && dl->ids_trusted && known_id(r.file_id))
                out->dir_ino = r.file_id;
            return 1;
        }
        if (action == QV_CHILD_FOLLOW) {
            out->size = followed_size(dl, r, out);
            return 1;
        }
        // Cloud placeholders not on the disk are allocated nothing.
        bool on_disk = dl->size_kind == DISK_SIZE_ON_DISK;
        int64_t size = on_disk ? r.alloc : r.end, other = on_disk ? r.end : r.alloc;
        out->size = size > 0 ? (uint64_t)size : 0;
        out->other_size = other > 0 ? (uint64_t)other : 0;
        // No link count comes with the records: every file is named by its
        // volume and ID, and the walk tells which of them repeat. That costs
        // the walk 24 bytes a file; opening each file for its link count
        // instead made a scan some 30 times slower.
        if ((dl->wants & QV_WANT_LINK_IDS) && dl->have_serial && known_id(r.file_id)) {
            out->linked = 1;
            out->link_id = {dl->serial, r.file_id};
        }
        return 1;
    }
    return 0;
}

int qv_dirlist_error(const qv_dirlist *dl) { return dl->error; }

uint64_t qv_dirlist_skipped(const qv_dirlist *dl) { return dl->skipped; }

int qv_dirlist_is_cache(qv_dirlist *dl)
{
    if (dl->dir == INVALID_HANDLE_VALUE)
        return 0;
    static const wchar_t tag[] = L"" QV_CACHEDIR_TAG;
    qv_call_begin(dl->watch);
    HANDLE h;
    NTSTATUS st = open_below(dl->dir, tag, wcslen(tag), GENERIC_READ, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &h);
    dl->landing = h;
    bool tagged = false;
    if (NT_SUCCESS(st)) {
        char head[QV_CACHEDIR_HEAD];
        DWORD got = 0;
        tagged = ReadFile(h, head, sizeof head, &got, nullptr) && qv_cachedir_signed(head, got);
    }
    qv_call_end(dl->watch);
    dl->landing = INVALID_HANDLE_VALUE;
    if (NT_SUCCESS(st))
        CloseHandle(h);
    return tagged ? 1 : 0;
}

// The enumeration ends; the directory is kept to open what lies below (the
// root needs no keeping: its handle is always there).
void qv_dirlist_close(qv_dirlist *dl)
{
    dl->have_record = 0;
    if (dl->dir == INVALID_HANDLE_VALUE)
        return;
    HANDLE h = dl->dir;
    dl->dir = INVALID_HANDLE_VALUE;
    if (dl->last_len == 0) {
        CloseHandle(h);
        return;
    }
    keep(dl, h, dl->last_len, dl->last_depth);
}
