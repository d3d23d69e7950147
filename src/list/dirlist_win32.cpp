// Win32 listing of one directory, names converted back to UTF-8, in one of
// two ways:
//  - FindFirstFileExW / FindNextFileW over a UTF-16 search pattern, when
//    lengths are all the walk needs;
//  - GetFileInformationByHandleEx(FileIdBothDirectoryInfo) on a handle of the
//    directory, a batch of records per call, when it needs sizes on disk
//    (AllocationSize) or file IDs to tell hard links apart: a search
//    pattern gives neither.
//
// A directory is named by the scan's root path joined with its path below
// the root. Nothing below the root is reached through a link (a reparse
// point whose tag is a name surrogate: symbolic link, junction, mount point)
// unless links are followed: without that, links are not even reported.
// Every other reparse point (cloud, deduplicated, compressed files and
// folders) is an ordinary file or directory; qv_reparse_action decides.
// When links are followed, or the walk asks for identities, each directory's
// volume serial number and file index are read too (which tell a loop or
// another volume): through its handle when listed by handle, else through
// one more open.
#include "dirlist_win32.h"
#include "cachetag.h"
#include "platform.h"
#include "reparse.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

struct qv_dirroot {
    size_t len;
    char path[1];  // absolute, UTF-8
};

// Bytes of FILE_ID_BOTH_DIR_INFO records asked for per call: a few hundred
// entries, and room for the longest name.
#define RECORDS_BYTES 65536

// Heap-held so that deep recursion costs no stack: one per walking thread.
struct qv_dirlist {
    const qv_dirroot *root;
    const std::atomic<int32_t> *cancel;
    qv_call_watch *watch;  // the owner's: every call into storage is marked on it
    // A handle opened for a moment (an identity, a followed link, the cache
    // tag) while it is open: qv_dirlist_discard closes it should the owner
    // be given up on meanwhile.
    HANDLE landing;
    HANDLE find;          // the search, when listing by pattern; else INVALID_HANDLE_VALUE
    HANDLE dir;           // the directory, when listing by handle; else INVALID_HANDLE_VALUE
    int follow_links;
    int size_kind;
    int wants;            // QV_WANT_* bits
    int by_handle;        // lists through a directory handle
    int have_record;      // a record not yet reported: in data, or at records + at
    int error;            // what cut the current listing short
    uint64_t skipped;     // children of the current listing left out
    int have_serial;      // the listed directory's volume serial number is known
    uint64_t serial;
    size_t at;
    WIN32_FIND_DATAW data;
    alignas(8) unsigned char records[RECORDS_BYTES];
    char path[SCAN_PATH_MAX];      // root and rel joined
    char pattern[SCAN_PATH_MAX];
    wchar_t wpattern[SCAN_PATH_MAX];
    char name[SCAN_PATH_MAX];      // the child last reported
};

static bool is_sep(char c) { return c == '\\' || c == '/'; }

int qv_win32_long_path(char *buf, const char *path)
{
    const char *prefix = "";
    const char *rest = path;
    if (path[0] != '\0' && path[1] == ':') {
        prefix = "\\\\?\\";
    } else if (is_sep(path[0]) && is_sep(path[1])) {
        bool device = (path[2] == '?' || path[2] == '.') && is_sep(path[3]);
        if (!device)
            prefix = "\\\\?\\UNC\\", rest = path + 2;
        else if (strncmp(path, "\\\\?\\", 4) != 0)
            prefix = "\\\\?\\", rest = path + 4;
        // else already in long form: as it is
    }
    int n = snprintf(buf, SCAN_PATH_MAX, "%s%s", prefix, rest);
    if (n < 0 || n > SCAN_PATH_MAX - 1)
        return -1;
    // After a prefix added here Windows no longer reads '/' as a separator;
    // hosts often pass C:/data.
    if (prefix[0] != '\0') {
        for (char *p = buf + strlen(prefix); *p; p++)
            if (*p == '/')
                *p = '\\';
    }
    return n;
}

int qv_win32_search_pattern(char *buf, const char *path)
{
    int n = qv_win32_long_path(buf, path);
    if (n < 0)
        return -1;
    // A path that already ends in a separator (C:\data\) gets none more:
    // after the prefix a doubled separator is taken literally and fails.
    bool ends_sep = n > 0 && buf[n - 1] == '\\';
    int extra = ends_sep ? 1 : 2;
    if (n + extra > SCAN_PATH_MAX - 1)
        return -1;
    memcpy(buf + n, ends_sep ? "*" : "\\*", (size_t)extra + 1);
    return n + extra;
}

// Length of the directory's own name within its search pattern p (n units,
// ending in '*'): the pattern without "\*", but the separator stays where
// the name would otherwise be a volume ("\\?\C:", "\\?\Volume{...}"), a
// share ("\\?\UNC\server\share"), a drive ("C:") or nothing at all.
template <typename C> static size_t dir_len_in_pattern(const C *p, size_t n)
{
    size_t end = n - 1;
    if (end == 0 || p[end - 1] != '\\')
        return end;
    size_t cut = end - 1;
    if (cut == 0 || p[cut - 1] == ':')
        return end;
    bool device = p[0] == '\\' && p[1] == '\\' && (p[2] == '?' || p[2] == '.') && p[3] == '\\';
    if (device) {
        // Separators inside the name after the prefix: none in a volume's,
        // one in a share's (server\share).
        size_t from = 4, root_seps = 0;
        if (cut > 8 && (p[4] | 0x20) == 'u' && (p[5] | 0x20) == 'n' && (p[6] | 0x20) == 'c' && p[7] == '\\')
            from = 8, root_seps = 1;
        size_t seps = 0;
        for (size_t i = from; i < cut; i++)
            seps += p[i] == '\\' ? 1 : 0;
        if (seps <= root_seps)
            return end;
    }
    return cut;
}

int qv_win32_dir_path(char *buf, const char *path)
{
    int n = qv_win32_search_pattern(buf, path);
    if (n < 0)
        return -1;
    size_t len = dir_len_in_pattern(buf, (size_t)n);
    buf[len] = '\0';
    return (int)len;
}

// UTF-8 to UTF-16 into a buffer of SCAN_PATH_MAX units; its length, or -1.
static int to_wide(const char *s, wchar_t *out)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, out, SCAN_PATH_MAX);
    return n > 0 ? n - 1 : -1;
}

// --- Root ----------------------------------------------------------------------

// Nothing stays open for the root: its path is checked once and kept.
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
    if (!buf || !wbuf || !root) {
        *err = ERROR_NOT_ENOUGH_MEMORY;
    } else if (len > SCAN_PATH_MAX - 1 || qv_win32_dir_path(buf, path) < 0 || to_wide(buf, wbuf) < 0) {
        *err = ERROR_FILENAME_EXCED_RANGE;
    } else {
        qv_call_begin(watch);
        DWORD attrs = GetFileAttributesW(wbuf);
        DWORD last = GetLastError();
        qv_call_end(watch);
        if (attrs == INVALID_FILE_ATTRIBUTES)
            *err = (int)last;
        else if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
            *err = ERROR_DIRECTORY;
        if (*err == 0) {
            root->len = len;
            memcpy(root->path, path, len + 1);
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

void qv_dirroot_close(qv_dirroot *root) { free(root); }

// --- Directories ------------------------------------------------------------------

qv_dirlist *qv_dirlist_new(qv_dirroot *root, const qv_options *opts, int wants,
                           const std::atomic<int32_t> *cancel, qv_call_watch *watch)
{
    void *mem = malloc(sizeof(qv_dirlist));
    if (!mem)
        return nullptr;
    auto *dl = new (mem) qv_dirlist;
    dl->root = root;
    dl->cancel = cancel;
    dl->watch = watch;
    dl->landing = INVALID_HANDLE_VALUE;
    dl->find = INVALID_HANDLE_VALUE;
    dl->dir = INVALID_HANDLE_VALUE;
    dl->follow_links = opts->asked.follow_links != 0;
    dl->size_kind = opts->asked.size_kind;
    dl->wants = wants;
    // A search pattern gives lengths only: allocation sizes and file IDs
    // need the directory's handle.
    dl->by_handle = dl->size_kind == DISK_SIZE_ON_DISK || (wants & (QV_WANT_LINK_IDS | QV_WANT_FILE_IDS)) != 0;
    dl->have_serial = 0;
    dl->serial = 0;
    dl->at = 0;
    dl->have_record = 0;
    dl->error = 0;
    dl->skipped = 0;
    return dl;
}

// Sizes come with the names: nothing is left to look at later.
void qv_dirlist_defer_stats(qv_dirlist *) {}

int qv_dirlist_stat(const qv_dirlist *, const char *, qv_dir_child *, qv_call_watch *)
{
    return ERROR_NOT_SUPPORTED;
}

void qv_dirlist_let_go(qv_dirlist *dl)
{
    qv_dirlist_close(dl);  // nothing else is kept between listings
}

void qv_dirlist_delete(qv_dirlist *dl)
{
    if (!dl)
        return;
    qv_dirlist_close(dl);
    free(dl);
}

void qv_dirlist_discard(qv_dirlist *dl)
{
    if (dl && dl->landing != INVALID_HANDLE_VALUE)
        CloseHandle(dl->landing);
    qv_dirlist_delete(dl);  // handles only: nothing of the root is touched
}

int (*qv_dirlist_open_hook)(const char *path) = nullptr;

#define SHARE_ALL (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)

// Volume serial number and file index of the open file h.
static bool identity_of(HANDLE h, qv_dir_id *id)
{
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi))
        return false;
    id->dev = fi.dwVolumeSerialNumber;
    id->ino = ((uint64_t)fi.nFileIndexHigh << 32) | fi.nFileIndexLow;
    return true;
}

// The same of the directory dir (reparse points followed); false when it
// cannot be opened or asked.
static bool read_identity(const wchar_t *dir, qv_dir_id *id, HANDLE *landing)
{
    HANDLE h = CreateFileW(dir, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    *landing = h;
    bool ok = identity_of(h, id);
    *landing = INVALID_HANDLE_VALUE;
    CloseHandle(h);
    return ok;
}

// Opens the directory dir for listing by handle and reads its first batch
// of records; 0, or the system's error code.
static int open_by_handle(qv_dirlist *dl, const wchar_t *dir, bool want_id, qv_dir_info *info)
{
    // Reparse points are followed, as a search pattern follows them.
    DWORD access = FILE_LIST_DIRECTORY | (want_id ? FILE_READ_ATTRIBUTES : 0);
    HANDLE h = CreateFileW(dir, access, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        return err != 0 ? (int)err : ERROR_PATH_NOT_FOUND;
    }
    dl->landing = h;
    if (want_id && identity_of(h, &info->id)) {
        info->has_id = 1;
        dl->have_serial = 1;
        dl->serial = info->id.dev;
    }
    if (!GetFileInformationByHandleEx(h, FileIdBothDirectoryInfo, dl->records, RECORDS_BYTES)) {
        DWORD err = GetLastError();
        dl->landing = INVALID_HANDLE_VALUE;
        CloseHandle(h);
        // A volume root lists no "." or "..": an empty one has no records.
        if (err == ERROR_NO_MORE_FILES || err == ERROR_FILE_NOT_FOUND)
            return 0;
        return err != 0 ? (int)err : ERROR_READ_FAULT;
    }
    dl->landing = INVALID_HANDLE_VALUE;
    dl->dir = h;
    dl->at = 0;
    dl->have_record = 1;
    return 0;
}

static int open_listing(qv_dirlist *dl, const char *rel, size_t rel_len, qv_dir_info *info);

int qv_dirlist_open(qv_dirlist *dl, const char *rel, size_t rel_len, const qv_dir_info *parent, qv_dir_info *info)
{
    (void)parent;
    qv_call_begin(dl->watch);
    int rc = open_listing(dl, rel, rel_len, info);
    qv_call_end(dl->watch);
    return rc;
}

// Opens the listing; every call it makes into storage is one watched call.
static int open_listing(qv_dirlist *dl, const char *rel, size_t rel_len, qv_dir_info *info)
{
    qv_dirlist_close(dl);
    dl->error = 0;
    dl->skipped = 0;
    dl->have_serial = 0;
    info->has_id = 0;
    info->pseudo_fs = 0;
    if (qv_cancel_set(dl->cancel))
        return -1;

    // root, a separator unless the root ends in one, rel.
    const qv_dirroot *root = dl->root;
    char last = root->path[root->len - 1];
    size_t sep = rel_len > 0 && last != '\\' && last != '/' ? 1 : 0;
    if (root->len + sep + rel_len > SCAN_PATH_MAX - 1)
        return ERROR_FILENAME_EXCED_RANGE;
    memcpy(dl->path, root->path, root->len);
    if (sep)
        dl->path[root->len] = QV_PATH_SEP;
    memcpy(dl->path + root->len + sep, rel, rel_len);
    dl->path[root->len + sep + rel_len] = '\0';
    if (qv_win32_search_pattern(dl->pattern, dl->path) < 0)
        return ERROR_FILENAME_EXCED_RANGE;
    if (qv_dirlist_open_hook) {
        int err = qv_dirlist_open_hook(dl->path);
        if (err != 0)
            return err;
    }
    int wlen = to_wide(dl->pattern, dl->wpattern);
    if (wlen < 0)
        return ERROR_FILENAME_EXCED_RANGE;

    // The pattern cut short names the directory itself.
    size_t dir_len = dir_len_in_pattern(dl->wpattern, (size_t)wlen);
    wchar_t saved = dl->wpattern[dir_len];
    // Only a reparse point can lead back up: without links followed no loop
    // can arise, and identities are read only when the walk asks for them
    // (another volume; the volume of hard links).
    bool want_id = dl->follow_links || (dl->wants & (QV_WANT_DIR_IDS | QV_WANT_LINK_IDS)) != 0;
    if (dl->by_handle) {
        dl->wpattern[dir_len] = L'\0';
        int rc = open_by_handle(dl, dl->wpattern, want_id, info);
        dl->wpattern[dir_len] = saved;
        return rc;
    }
    if (want_id) {
        dl->wpattern[dir_len] = L'\0';
        info->has_id = read_identity(dl->wpattern, &info->id, &dl->landing) ? 1 : 0;
        dl->wpattern[dir_len] = saved;
    }

    HANDLE h = FindFirstFileExW(dl->wpattern, FindExInfoBasic, &dl->data, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    dl->find = h;
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND)
            return err != 0 ? (int)err : ERROR_PATH_NOT_FOUND;
        // Nothing matched "*": a volume root lists no "." or "..", so an
        // empty one ends here. A directory that is gone is not empty.
        dl->wpattern[dir_len] = L'\0';
        DWORD attrs = GetFileAttributesW(dl->wpattern);
        dl->wpattern[dir_len] = saved;
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
            return ERROR_FILE_NOT_FOUND;
        return 0;
    }
    dl->have_record = 1;
    return 0;
}

static bool is_dot_or_dotdot(const wchar_t *n)
{
    return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'));
}

// A followed link to a file counts as the file it points to: the listing
// describes the link itself (its own length, 0), so the target is opened
// through the link and asked. A dangling link counts as an empty file.
// Where files are told by their IDs, the target's ID is out's link_id: a
// file met by its own name and through a link is one file.
static uint64_t followed_size(qv_dirlist *dl, const wchar_t *name, size_t units, qv_dir_child *out)
{
    // The directory's pattern with its "*" replaced by the name.
    size_t n = wcslen(dl->wpattern);
    if (n == 0 || n - 1 + units >= SCAN_PATH_MAX)
        return 0;
    wchar_t star = dl->wpattern[n - 1];
    wmemcpy(dl->wpattern + n - 1, name, units);
    dl->wpattern[n - 1 + units] = L'\0';
    qv_call_begin(dl->watch);
    HANDLE h = CreateFileW(dl->wpattern, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    dl->wpattern[n - 1] = star;
    dl->wpattern[n] = L'\0';
    if (h == INVALID_HANDLE_VALUE) {
        qv_call_end(dl->watch);
        return 0;
    }
    dl->landing = h;
    FILE_STANDARD_INFO st{};
    bool ok = GetFileInformationByHandleEx(h, FileStandardInfo, &st, sizeof st) && !st.Directory;
    if (ok && (dl->wants & (QV_WANT_LINK_IDS | QV_WANT_FILE_IDS)) && identity_of(h, &out->link_id))
        out->linked = 1;
    dl->landing = INVALID_HANDLE_VALUE;
    CloseHandle(h);
    qv_call_end(dl->watch);
    if (!ok) {
        out->linked = 0;
        return 0;
    }
    bool on_disk = dl->size_kind == DISK_SIZE_ON_DISK;
    LONGLONG size = on_disk ? st.AllocationSize.QuadPart : st.EndOfFile.QuadPart;
    LONGLONG other = on_disk ? st.EndOfFile.QuadPart : st.AllocationSize.QuadPart;
    out->other_size = other > 0 ? (uint64_t)other : 0;
    return size > 0 ? (uint64_t)size : 0;
}

// A listing's write time (100 ns since 1601) as seconds since 1970.
static int64_t unix_time(int64_t filetime)
{
    return filetime / 10000000 - 11644473600ll;
}

// The next record of the listing by handle, or null at its end.
static const FILE_ID_BOTH_DIR_INFO *next_record(qv_dirlist *dl)
{
    if (!dl->have_record) {
        qv_call_begin(dl->watch);
        BOOL got = GetFileInformationByHandleEx(dl->dir, FileIdBothDirectoryInfo, dl->records, RECORDS_BYTES);
        DWORD err = GetLastError();
        qv_call_end(dl->watch);
        if (!got) {
            if (err != ERROR_NO_MORE_FILES)
                dl->error = err != 0 ? (int)err : ERROR_READ_FAULT;
            return nullptr;
        }
        dl->at = 0;
    }
    auto *d = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(dl->records + dl->at);
    dl->have_record = d->NextEntryOffset != 0;
    dl->at += d->NextEntryOffset;
    return d;
}

static int next_by_handle(qv_dirlist *dl, qv_dir_child *out)
{
    for (;;) {
        const FILE_ID_BOTH_DIR_INFO *d = next_record(dl);
        if (!d)
            return 0;
        const wchar_t *wname = d->FileName;
        int units = (int)(d->FileNameLength / sizeof(wchar_t));
        if (units == 0 || (wname[0] == L'.' && (units == 1 || (units == 2 && wname[1] == L'.'))))
            continue;
        // For a reparse point the record's EaSize holds its tag.
        int action = qv_reparse_action(d->FileAttributes, d->EaSize, dl->follow_links);
        if (action == QV_CHILD_SKIP)
            continue;
        // As with a search: a name without a UTF-8 form is left out.
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wname, units, dl->name, SCAN_PATH_MAX - 1,
                                    nullptr, nullptr);
        if (n <= 0) {
            dl->skipped++;
            continue;
        }
        dl->name[n] = '\0';
        bool dir = (d->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out->name = dl->name;
        out->name_len = (uint32_t)n;
        out->is_dir = dir ? 1 : 0;
        out->linked = 0;
        out->stat_later = 0;
        out->other_size = 0;
        out->meta = {1, 0, unix_time(d->LastWriteTime.QuadPart), 0, 0, 0};
        if (dir) {
            out->size = 0;
            return 1;
        }
        if (action == QV_CHILD_FOLLOW) {
            out->size = followed_size(dl, wname, (size_t)units, out);
            return 1;
        }
        // Cloud placeholders not on the disk are allocated nothing.
        bool on_disk = dl->size_kind == DISK_SIZE_ON_DISK;
        LARGE_INTEGER size = on_disk ? d->AllocationSize : d->EndOfFile;
        LARGE_INTEGER other = on_disk ? d->EndOfFile : d->AllocationSize;
        out->size = size.QuadPart > 0 ? (uint64_t)size.QuadPart : 0;
        out->other_size = other.QuadPart > 0 ? (uint64_t)other.QuadPart : 0;
        // No link count comes with the records: every file is named by its
        // volume and ID, and the walk tells which of them repeat. That costs
        // the walk 24 bytes a file; opening each file for its link count
        // instead made a scan some 30 times slower.
        if ((dl->wants & QV_WANT_LINK_IDS) && dl->have_serial && d->FileId.QuadPart != 0) {
            out->linked = 1;
            out->link_id = {dl->serial, (uint64_t)d->FileId.QuadPart};
        }
        return 1;
    }
}

static BOOL watched_find_next(qv_dirlist *dl)
{
    qv_call_begin(dl->watch);
    BOOL got = FindNextFileW(dl->find, &dl->data);
    DWORD err = GetLastError();
    qv_call_end(dl->watch);
    SetLastError(err);
    return got;
}

int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out)
{
    if (dl->dir != INVALID_HANDLE_VALUE)
        return next_by_handle(dl, out);
    if (dl->find == INVALID_HANDLE_VALUE)
        return 0;
    for (;;) {
        // The first record came with FindFirstFileExW; the others are asked
        // for here.
        if (dl->have_record) {
            dl->have_record = 0;
        } else if (!watched_find_next(dl)) {
            DWORD err = GetLastError();
            if (err != ERROR_NO_MORE_FILES)
                dl->error = err != 0 ? (int)err : ERROR_READ_FAULT;
            return 0;
        }
        const WIN32_FIND_DATAW &d = dl->data;
        if (is_dot_or_dotdot(d.cFileName))
            continue;
        // For a reparse point dwReserved0 holds its tag.
        int action = qv_reparse_action(d.dwFileAttributes, d.dwReserved0, dl->follow_links);
        if (action == QV_CHILD_SKIP)
            continue;
        // A name with a lone surrogate has no UTF-8 form: under a replaced
        // name it could be taken for another child, so it is left out.
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, d.cFileName, -1, dl->name, SCAN_PATH_MAX,
                                    nullptr, nullptr);
        if (n <= 1) {
            dl->skipped++;
            continue;
        }
        bool dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out->name = dl->name;
        out->name_len = (uint32_t)(n - 1);
        out->is_dir = dir ? 1 : 0;
        out->linked = 0;
        out->stat_later = 0;
        out->other_size = 0;
        out->meta = {1, 0, unix_time((int64_t)(((uint64_t)d.ftLastWriteTime.dwHighDateTime << 32) | d.ftLastWriteTime.dwLowDateTime)),
                     0, 0, 0};
        if (dir)
            out->size = 0;
        else if (action == QV_CHILD_FOLLOW)
            out->size = followed_size(dl, d.cFileName, wcslen(d.cFileName), out);
        else
            out->size = ((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow;
        return 1;
    }
}

int qv_dirlist_error(const qv_dirlist *dl) { return dl->error; }

uint64_t qv_dirlist_skipped(const qv_dirlist *dl) { return dl->skipped; }

// The directory's own path is the pattern without its "*".
int qv_dirlist_is_cache(qv_dirlist *dl)
{
    size_t n = wcslen(dl->wpattern);
    bool open = dl->find != INVALID_HANDLE_VALUE || dl->dir != INVALID_HANDLE_VALUE;
    if (!open || n == 0 || n + 12 >= SCAN_PATH_MAX)
        return 0;
    wchar_t saved[13];
    wmemcpy(saved, dl->wpattern + n - 1, 2);
    wmemcpy(dl->wpattern + n - 1, L"" QV_CACHEDIR_TAG, 13);
    qv_call_begin(dl->watch);
    HANDLE h = CreateFileW(dl->wpattern, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    wmemcpy(dl->wpattern + n - 1, saved, 2);
    bool tagged = false;
    if (h != INVALID_HANDLE_VALUE) {
        dl->landing = h;
        char head[QV_CACHEDIR_HEAD];
        DWORD got = 0;
        tagged = ReadFile(h, head, sizeof head, &got, nullptr) && qv_cachedir_signed(head, got);
        dl->landing = INVALID_HANDLE_VALUE;
        CloseHandle(h);
    }
    qv_call_end(dl->watch);
    return tagged ? 1 : 0;
}

void qv_dirlist_close(qv_dirlist *dl)
{
    if (dl->find != INVALID_HANDLE_VALUE) {
        FindClose(dl->find);
        dl->find = INVALID_HANDLE_VALUE;
    }
    if (dl->dir != INVALID_HANDLE_VALUE) {
        CloseHandle(dl->dir);
        dl->dir = INVALID_HANDLE_VALUE;
    }
    dl->have_record = 0;
}
