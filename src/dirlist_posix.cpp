// Listing one directory on Linux: getdents64 in large batches, the type from
// d_type, the size from fstatat relative to the open directory.
#include "dirlist.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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

// Directories listed earlier stay open (their enumerations are over) while
// they lie on the path being walked, up to ANCESTOR_FDS of them, so that the
// next directory, a child or a near descendant of one of them, is opened with
// openat() of a short relative path instead of a lookup of the whole path:
// a deep tree then costs linear, not quadratic, time, and siblings are
// reached from their parent.
#define ANCESTOR_FDS 16

struct ancestor {
    int fd;
    size_t len;  // its path is the first len bytes of last_path
};

struct qv_dirlist {
    int fd;
    int follow_links;
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
    while (dl->nkept > keep)
        close(dl->kept[--dl->nkept].fd);
}

// Whether the kept directory k is an ancestor of path (its path a prefix
// of path ending at a separator).
static bool holds(const qv_dirlist *dl, const ancestor &k, const char *path, size_t len)
{
    if (k.len >= len || memcmp(path, dl->last_path, k.len) != 0)
        return false;
    return path[k.len] == '/' || (k.len > 0 && dl->last_path[k.len - 1] == '/');
}

// Drops kept directories that are not ancestors of path; returns the
// deepest one that is, or null.
static const ancestor *nearest_kept(qv_dirlist *dl, const char *path, size_t len)
{
    while (dl->nkept > 0 && !holds(dl, dl->kept[dl->nkept - 1], path, len))
        drop_kept(dl, dl->nkept - 1);
    return dl->nkept > 0 ? &dl->kept[dl->nkept - 1] : nullptr;
}

qv_dirlist *qv_dirlist_new(void)
{
    auto *dl = static_cast<qv_dirlist *>(calloc(1, sizeof(qv_dirlist)));
    if (!dl)
        return nullptr;
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

// Opens a path longer than one open() accepts by walking it in pieces of
// fewer than PATH_MAX bytes, each relative to the directory before it.
static int open_long(const char *path, int flags)
{
    size_t len = strlen(path);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy)
        return -1;
    memcpy(copy, path, len + 1);
    int dirfd = AT_FDCWD;
    char *rest = copy;
    while (strlen(rest) >= PATH_MAX) {
        // Cut at the last separator that leaves a piece open() accepts.
        char *cut = nullptr;
        for (char *p = rest + PATH_MAX - 1; p > rest; p--) {
            if (*p == '/') {
                cut = p;
                break;
            }
        }
        if (!cut) {
            if (dirfd != AT_FDCWD)
                close(dirfd);
            free(copy);
            errno = ENAMETOOLONG;
            return -1;
        }
        *cut = '\0';
        int fd = openat(dirfd, rest[0] ? rest : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirfd != AT_FDCWD)
            close(dirfd);
        if (fd < 0) {
            free(copy);
            return -1;
        }
        dirfd = fd;
        rest = cut + 1;
        while (*rest == '/')
            rest++;
    }
    int fd = openat(dirfd, rest[0] ? rest : ".", flags);
    if (dirfd != AT_FDCWD)
        close(dirfd);
    free(copy);
    return fd;
}

// Opens by path. When the process is out of descriptors (many scans at once
// near a low limit), waits briefly for other walkers to give theirs back
// rather than leave the directory out.
static int open_path(const char *path, size_t len, int flags)
{
    for (int tries = 0;; tries++) {
        int fd = len < PATH_MAX ? open(path, flags) : open_long(path, flags);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || tries == 200)
            return fd;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

int qv_dirlist_open(qv_dirlist *dl, const char *path, int is_root, int follow_links)
{
    qv_dirlist_close(dl);
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    // Below the root, a directory swapped for a link is never followed.
    if (!is_root && !follow_links)
        flags |= O_NOFOLLOW;
    size_t len = strlen(path);
    int fd = -1;
    bool tried = false;
    const ancestor *anc = nearest_kept(dl, path, len);
    if (anc) {
        const char *rest = path + anc->len;
        if (*rest == '/')
            rest++;
        if (strlen(rest) < PATH_MAX) {
            fd = openat(anc->fd, rest, flags);
            tried = true;
        }
    }
    if (fd < 0 && tried && (errno == EMFILE || errno == ENFILE)) {
        drop_kept(dl, 0);  // gives the descriptors back before a retry
        tried = false;
    }
    // A relative open that failed otherwise gives the answer a whole-path
    // open would give.
    if (fd < 0 && !tried)
        fd = open_path(path, len, flags);
    if (fd < 0)
        return -1;
    dl->fd = fd;
    memcpy(dl->last_path, path, len);
    dl->last_len = len;
    dl->follow_links = follow_links;
    dl->len = dl->pos = 0;
    return 0;
}

void qv_dirlist_close(qv_dirlist *dl)
{
    // The enumeration ends; the directory is kept to open what lies below.
    if (dl->fd < 0)
        return;
    if (dl->nkept == ANCESTOR_FDS) {
        close(dl->kept[0].fd);
        memmove(dl->kept, dl->kept + 1, (ANCESTOR_FDS - 1) * sizeof(ancestor));
        dl->nkept--;
    }
    dl->kept[dl->nkept++] = {dl->fd, dl->last_len};
    dl->fd = -1;
}

static bool is_dot_or_dotdot(const char *n)
{
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// Fills type and size of a child; false when the child is to be left out.
static bool describe(const qv_dirlist *dl, const char *name, unsigned char type, qv_dir_child *out)
{
    struct stat st;
    if (type == DT_DIR) {
        out->is_dir = 1;
        out->size = 0;
        return true;
    }
    if (type == DT_LNK && !dl->follow_links)
        return false;
    // What cannot be read (vanished since the listing, no search permission
    // on the directory) is left out.
    if (fstatat(dl->fd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        if (!dl->follow_links)
            return false;
        // Recorded as what it points to; a dangling link as an empty file.
        if (fstatat(dl->fd, name, &st, AT_NO_AUTOMOUNT) != 0) {
            out->is_dir = 0;
            out->size = 0;
            return true;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        out->is_dir = 1;
        out->size = 0;
    } else {
        out->is_dir = 0;
        out->size = st.st_size > 0 ? (uint64_t)st.st_size : 0;
    }
    return true;
}

int qv_dirlist_next(qv_dirlist *dl, qv_dir_child *out)
{
    if (dl->fd < 0)
        return 0;
    for (;;) {
        if (dl->pos >= dl->len) {
            long n = syscall(SYS_getdents64, dl->fd, dl->buf, DIRLIST_BUF);
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
