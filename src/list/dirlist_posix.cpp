// Listing one directory on Linux: getdents64 in large batches, the type from
// d_type, the size from fstatat relative to the open directory.
//
// Every directory is opened relative to a descriptor of one of its
// ancestors, at the least the root's (openbelow_posix.h), with descriptors
// from the budget the scans of the process share (fdbudget.h).
#include "dirlist.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "cachetag.h"
#include "fdbudget.h"
#include "openbelow_posix.h"
#include "platform.h"
#include "pseudofs.h"
#include "syscalls_posix.h"

#define DIRLIST_BUF 65536

namespace {
struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};
}  // namespace

// --- Listing state -----------------------------------------------------------

// Directories listed earlier stay open (their enumerations are over) while
// they lie on the path being walked, up to ANCESTOR_FDS of them, so that the
// next directory, a child or a near descendant of one of them, is opened with
// a short relative path instead of a lookup from the root: a deep tree then
// costs linear, not quadratic, time, and siblings are reached from their
// parent.
#define ANCESTOR_FDS 16

struct ancestor {
    int fd;
    size_t len;  // its path is the first len bytes of last_path
};

struct qv_dirroot {
    int fd;             // O_PATH, the root as the host named it
    qv_fd_share share;  // of the descriptor budget, for this scan alone
};

struct qv_dirlist {
    qv_dirroot *root;
    const std::atomic<int32_t> *cancel;
    qv_call_watch *watch;  // the owner's: every call into storage is marked on it
    // What an open brought back, kept for the moment between its return and
    // the mark of its end: should the owner have been given up meanwhile,
    // qv_dirlist_discard closes it and gives back its descriptors' share.
    int landing;
    int landing_share;
    int fd;
    int follow_links;
    int size_kind;
    int error;          // what cut the current listing short
    uint64_t skipped;   // children of the current listing left out
    int defer;          // plain files are reported unlooked-at (stat_later)
    int file_ids;       // every file comes with its identity, not only linked ones
    int dir_meta;       // directories are looked at too, for their time and owner (extended scans)
    long len;  // bytes of records in buf
    long pos;  // next record
    char *buf;
    ancestor kept[ANCESTOR_FDS];  // shallowest first
    int nkept;
    size_t last_len;
    char *last_path;  // SCAN_PATH_MAX bytes: the directory listed last
};

static void drop_kept(qv_dirlist *dl, int keep)
{
    int n = dl->nkept - keep;
    while (dl->nkept > keep)
        close_fd(dl->kept[--dl->nkept].fd);
    qv_fd_give(&dl->root->share, n);
}

// Whether the kept directory k is an ancestor of path (its path a prefix
// of path ending at a separator).
static bool holds(const qv_dirlist *dl, const ancestor &k, const char *path, size_t len)
{
    return k.len < len && path[k.len] == '/' && memcmp(path, dl->last_path, k.len) == 0;
}

// Drops kept directories that are not ancestors of path; returns the
// deepest one that is, or null.
static const ancestor *nearest_kept(qv_dirlist *dl, const char *path, size_t len)
{
    while (dl->nkept > 0 && !holds(dl, dl->kept[dl->nkept - 1], path, len))
        drop_kept(dl, dl->nkept - 1);
    return dl->nkept > 0 ? &dl->kept[dl->nkept - 1] : nullptr;
}

qv_dirlist *qv_dirlist_new(qv_dirroot *root, const qv_options *opts, int wants,
                           const std::atomic<int32_t> *cancel, qv_call_watch *watch)
{
    // Identities come with every open and stat: asking costs nothing more.
    auto *dl = static_cast<qv_dirlist *>(calloc(1, sizeof(qv_dirlist)));
    if (!dl)
        return nullptr;
    dl->file_ids = (wants & QV_WANT_FILE_IDS) != 0;
    dl->root = root;
    dl->cancel = cancel;
    dl->watch = watch;
    dl->landing = -1;
    dl->follow_links = opts->asked.follow_links != 0;
    // A directory's own time and owner would otherwise come only from
    // opening it: one not entered (unreadable, past --max-depth) would
    // have none.
    dl->dir_meta = opts->asked.extended != 0;
    dl->size_kind = opts->asked.size_kind;
    dl->fd = -1;
    dl->buf = static_cast<char *>(malloc(DIRLIST_BUF));
    dl->last_path = static_cast<char *>(malloc(SCAN_PATH_MAX));
    if (!dl->buf || !dl->last_path) {
        free(dl->buf);
        free(dl->last_path);
        free(dl);
        return nullptr;
    }
    return dl;
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
    qv_dirlist_close(dl);
    drop_kept(dl, 0);
    free(dl->buf);
    free(dl->last_path);
    free(dl);
}

void qv_dirlist_discard(qv_dirlist *dl)
{
    if (!dl)
        return;
    int n = dl->nkept + (dl->fd >= 0 ? 1 : 0) + dl->landing_share;
    if (dl->landing >= 0)
        close_fd(dl->landing);
    while (dl->nkept > 0)
        close_fd(dl->kept[--dl->nkept].fd);
    if (dl->fd >= 0)
        close_fd(dl->fd);
    // The root and its spares may be gone: the process's budget takes all.
    qv_fd_give_to_process(n);
    free(dl->buf);
    free(dl->last_path);
    free(dl);
}

// --- Root and directories ------------------------------------------------------------

qv_dirroot *qv_dirroot_open(const char *path, const std::atomic<int32_t> *cancel, int *err, qv_call_watch *watch)
{
    *err = 0;
    auto *root = static_cast<qv_dirroot *>(malloc(sizeof(qv_dirroot)));
    if (!root) {
        *err = ENOMEM;
        return nullptr;
    }
    if (!qv_fd_share_open(&root->share, cancel)) {
        free(root);
        *err = -1;
        return nullptr;
    }
    for (;;) {
        // The root is followed when it is a link: the host named it.
        qv_call_begin(watch);
        int fd = path[0] ? qv_open_below(AT_FDCWD, path, strlen(path), O_PATH | O_DIRECTORY, true) : -1;
        int open_err = path[0] ? errno : ENOENT;
        qv_call_end(watch);
        errno = open_err;
        if (fd >= 0) {
            root->fd = fd;
            return root;
        }
        if (qv_fd_exhausted(errno) && qv_fd_wait(cancel))
            continue;
        *err = qv_fd_exhausted(errno) ? -1 : errno;
        qv_fd_share_close(&root->share);
        free(root);
        return nullptr;
    }
}

void qv_dirroot_close(qv_dirroot *root)
{
    if (!root)
        return;
    close_fd(root->fd);
    qv_fd_share_close(&root->share);
    free(root);
}

// Opens rel for listing, below its nearest kept ancestor or the root, once a
// descriptor is to be had; its budget share stays with it. -1 with errno on
// failure, -2 when cancelled while waiting.
static qv_entry_stat meta_of(const struct stat &st)
{
    return {1, 1, (int64_t)st.st_mtime, (uint32_t)st.st_uid, (uint32_t)st.st_gid, (uint32_t)st.st_mode};
}

static int open_dir(qv_dirlist *dl, const char *rel, size_t len)
{
    int flags = O_RDONLY | O_DIRECTORY;
    bool follow = dl->follow_links != 0;
    if (!follow)
        flags |= O_NOFOLLOW;
    for (;;) {
        int anchor = dl->root->fd;
        const char *rest = len ? rel : ".";
        size_t rest_len = len ? len : 1;
        const ancestor *a = len ? nearest_kept(dl, rel, len) : nullptr;
        if (a) {
            anchor = a->fd;
            rest = rel + a->len + 1;
            rest_len = len - a->len - 1;
        }
        int need = qv_open_below_needs(rest_len, follow);
        if (!qv_fd_try_take(&dl->root->share, need)) {
            // Wait holding nothing: the kept ancestors go back first.
            drop_kept(dl, 0);
            anchor = dl->root->fd;
            rest = len ? rel : ".";
            rest_len = len ? len : 1;
            need = qv_open_below_needs(rest_len, follow);
            if (!qv_fd_take(&dl->root->share, need, dl->cancel))
                return -2;
        }
        qv_call_begin(dl->watch);
        int fd = qv_open_below(anchor, rest, rest_len, flags, follow);
        int err = errno;
        dl->landing = fd;
        dl->landing_share = need;
        qv_call_end(dl->watch);
        dl->landing = -1;
        dl->landing_share = 0;
        qv_fd_give(&dl->root->share, fd >= 0 ? need - 1 : need);
        if (fd >= 0)
            return fd;
        if (!qv_fd_exhausted(err)) {
            errno = err;
            return -1;
        }
        // The process is out of descriptors: give ours back and wait for one.
        drop_kept(dl, 0);
        if (!qv_fd_wait(dl->cancel))
            return -2;
    }
}

// Nothing is lent: a path below the root opens in one call (openat2).
qv_dir_loan qv_dirlist_lend(qv_dirlist *, const char *, size_t) { return 0; }

void qv_dir_loan_return(qv_dir_loan) {}

int qv_dirlist_open(qv_dirlist *dl, const qv_dir_where *where, qv_dir_info *info)
{
    const char *rel = where->rel;
    size_t rel_len = where->rel_len;
    const qv_dir_info *parent = where->chain && where->depth > 0 ? &where->chain[where->depth - 1] : nullptr;
    qv_dirlist_close(dl);
    dl->error = 0;
    dl->skipped = 0;
    dl->defer = 0;
    if (qv_cancel_set(dl->cancel))
        return -1;
    int fd = open_dir(dl, rel, rel_len);
    if (fd == -2)
        return -1;
    if (fd < 0)
        return errno > 0 ? errno : EIO;
    // The descriptor is the listing's from here: the owner's given_up
    // closes it should a call below never return.
    dl->fd = fd;
    struct stat st;
    qv_call_begin(dl->watch);
    int rc = r_fstat(fd, &st);
    int err = errno;
    qv_call_end(dl->watch);
    if (rc != 0) {
        dl->fd = -1;
        close_fd(fd);
        qv_fd_give(&dl->root->share, 1);
        return err;
    }
    info->id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino};
    info->has_id = 1;
    info->meta = meta_of(st);
    // A file system can begin only where the device changes.
    if (!parent || parent->id.dev != info->id.dev) {
        qv_call_begin(dl->watch);
        info->pseudo_fs = (uint8_t)qv_on_pseudo_fs(fd, (uint64_t)st.st_dev);
        qv_call_end(dl->watch);
    } else {
        info->pseudo_fs = parent->pseudo_fs;
    }
    memcpy(dl->last_path, rel, rel_len);
    dl->last_path[rel_len] = '\0';
    dl->last_len = rel_len;
    dl->len = dl->pos = 0;
    return 0;
}

void qv_dirlist_close(qv_dirlist *dl)
{
    // The enumeration ends; the directory is kept to open what lies below
    // (the root needs no keeping: its descriptor is always there).
    if (dl->fd < 0)
        return;
    if (dl->last_len == 0) {
        close_fd(dl->fd);
        qv_fd_give(&dl->root->share, 1);
        dl->fd = -1;
        return;
    }
    if (dl->nkept == ANCESTOR_FDS) {
        close_fd(dl->kept[0].fd);
        qv_fd_give(&dl->root->share, 1);
        memmove(dl->kept, dl->kept + 1, (ANCESTOR_FDS - 1) * sizeof(ancestor));
        dl->nkept--;
    }
    dl->kept[dl->nkept++] = {dl->fd, dl->last_len};
    dl->fd = -1;
}

int qv_dirlist_error(const qv_dirlist *dl) { return dl->error; }

// The tag is open for a moment only, without a share of the budget: a
// walker that waited for one while holding its listing could wait for ever.
int qv_dirlist_is_cache(qv_dirlist *dl)
{
    if (dl->fd < 0)
        return 0;
    int fd;
    for (;;) {
        qv_call_begin(dl->watch);
        fd = r_openat(dl->fd, QV_CACHEDIR_TAG, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        int err = errno;
        dl->landing = fd;  // outside the budget: no share
        qv_call_end(dl->watch);
        dl->landing = -1;
        if (fd >= 0 || !qv_fd_exhausted(err))
            break;
        drop_kept(dl, 0);
        if (!qv_fd_wait(dl->cancel))
            return 0;
    }
    if (fd < 0)
        return 0;
    char head[QV_CACHEDIR_HEAD];
    size_t got = 0;
    qv_call_begin(dl->watch);
    dl->landing = fd;
    while (got < sizeof head) {
        ssize_t n = read(fd, head + got, sizeof head - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close_fd(fd);
    dl->landing = -1;
    qv_call_end(dl->watch);
    return qv_cachedir_signed(head, got) ? 1 : 0;
}

uint64_t qv_dirlist_skipped(const qv_dirlist *dl) { return dl->skipped; }

static bool is_dot_or_dotdot(const char *n)
{
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}


// Size, link, time and owner fields of a file from its status.
static void file_fields(const qv_dirlist *dl, const struct stat &st, qv_dir_child *out)
{
    out->meta = meta_of(st);
    out->is_dir = 0;
    out->linked = 0;
    uint64_t blocks = st.st_blocks > 0 ? (uint64_t)st.st_blocks * 512u : 0;
    uint64_t length = st.st_size > 0 ? (uint64_t)st.st_size : 0;
    bool on_disk = dl->size_kind == DISK_SIZE_ON_DISK;
    out->size = on_disk ? blocks : length;
    out->other_size = on_disk ? length : blocks;
    if (st.st_nlink > 1 || dl->file_ids) {
        out->linked = 1;
        out->link_id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino};
    }
}

// Fills type and size of a child; false when the child is to be left out.
static bool describe(qv_dirlist *dl, const char *name, unsigned char type, qv_dir_child *out)
{
    struct stat st;
    out->stat_later = 0;
    out->other_size = 0;
    out->dir_ino = 0;  // opening below a descriptor never follows a link: nothing to check
    out->meta = qv_entry_stat{};
    if (type == DT_DIR && !dl->dir_meta) {
        out->is_dir = 1;
        out->size = 0;
        out->linked = 0;
        return true;
    }
    if (type == DT_REG && dl->defer) {
        out->is_dir = 0;
        out->size = 0;
        out->linked = 0;
        out->stat_later = 1;
        return true;
    }
    if (type == DT_LNK && !dl->follow_links)
        return false;
    if (watched_fstatat(dl->watch, dl->fd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) {
        // Gone since the listing: nothing is lost. Anything else is.
        if (errno != ENOENT)
            dl->skipped++;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        if (!dl->follow_links)
            return false;
        // Recorded as what it points to; a dangling link as an empty file.
        if (watched_fstatat(dl->watch, dl->fd, name, &st, AT_NO_AUTOMOUNT) != 0) {
            out->is_dir = 0;
            out->size = 0;
            out->linked = 0;
            return true;
        }
    }
    out->linked = 0;
    if (S_ISDIR(st.st_mode)) {
        out->meta = meta_of(st);
        out->is_dir = 1;
        out->size = 0;
        return true;
    }
    file_fields(dl, st, out);
    return true;
}

void qv_dirlist_defer_stats(qv_dirlist *dl)
{
    dl->defer = 1;
}

int qv_dirlist_stat(const qv_dirlist *dl, const char *name, qv_dir_child *out, qv_call_watch *watch)
{
    struct stat st;
    if (watched_fstatat(watch, dl->fd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
        return errno > 0 ? errno : EIO;
    // Replaced since the listing by what a file's place cannot hold.
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
        return ENOENT;
    file_fields(dl, st, out);
    return 0;
}

int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out)
{
    if (dl->fd < 0)
        return 0;
    for (;;) {
        if (dl->pos >= dl->len) {
            long n;
            qv_call_begin(dl->watch);
            do
                n = syscall(SYS_getdents64, dl->fd, dl->buf, DIRLIST_BUF);
            while (n < 0 && errno == EINTR);
            int err = errno;
            qv_call_end(dl->watch);
            if (n < 0)
                dl->error = err;
            if (n <= 0)
                return 0;
            dl->len = n;
            dl->pos = 0;
        }
        auto *d = reinterpret_cast<linux_dirent64 *>(dl->buf + dl->pos);
        dl->pos += d->d_reclen;
        if (is_dot_or_dotdot(d->d_name))
            continue;
        if (!describe(dl, d->d_name, d->d_type, out))
            continue;
        out->name = d->d_name;
        out->name_len = (uint32_t)strlen(d->d_name);
        return 1;
    }
}
