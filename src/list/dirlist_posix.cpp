// Listing one directory on Linux: getdents64 in large batches, the type from
// d_type, the size from fstatat relative to the open directory.
//
// Every directory is opened relative to a descriptor of one of its
// ancestors, at the least the root's, and never through a symbolic link
// unless links are followed (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS, or one O_NOFOLLOW openat per component where the
// kernel lacks it): a directory swapped for a link while the scan runs
// cannot lead the walk out of the tree.
#include "dirlist.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

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

// --- Descriptor budget -------------------------------------------------------
//
// All scans of the process share one budget of descriptors, half the soft
// RLIMIT_NOFILE, so that many scans at once never take the host's last
// descriptors. A scan starts only once it can hold its root and ROOT_SPARE
// more, which stay its own while it runs: whatever the other scans hold,
// one of its walkers can always go on. A walker that must wait for a
// descriptor holds none: it gives its kept ancestors back first.

#define ROOT_SPARE 2
#define FD_BUDGET_MIN (1 + ROOT_SPARE)
#define FD_BUDGET_MAX (1 << 19)
#define FD_WAIT_MS 10

namespace {
struct fd_budget {
    std::atomic<int64_t> left;
    std::atomic<int32_t> waiters;  // threads that may sleep on cv
    std::mutex m;
    std::condition_variable cv;
};
}  // namespace

static int64_t fd_budget_size()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur / 2 > FD_BUDGET_MAX)
        return FD_BUDGET_MAX;
    int64_t n = (int64_t)(rl.rlim_cur / 2);
    return n < FD_BUDGET_MIN ? FD_BUDGET_MIN : n;
}

// Never destroyed: a thread left inside a call that storage does not
// answer may still give its descriptors back while the process exits.
static fd_budget &budget()
{
    static fd_budget *b = new (calloc(1, sizeof(fd_budget))) fd_budget{{fd_budget_size()}, {0}, {}, {}};
    return *b;
}

static bool is_cancelled(const std::atomic<int32_t> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed) != 0;
}

static bool fd_try_take(int n)
{
    std::atomic<int64_t> &left = budget().left;
    int64_t have = left.load(std::memory_order_relaxed);
    while (have >= n) {
        if (left.compare_exchange_weak(have, have - n, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
    return false;
}

// Sleeps until a descriptor may have come back, at most FD_WAIT_MS.
static void fd_nap()
{
    fd_budget &b = budget();
    b.waiters.fetch_add(1);
    {
        std::unique_lock<std::mutex> lock(b.m);
        b.cv.wait_for(lock, std::chrono::milliseconds(FD_WAIT_MS));
    }
    b.waiters.fetch_sub(1);
}

// Waits until n descriptors are free in the budget; false when cancelled.
static bool fd_take(int n, const std::atomic<int32_t> *cancel)
{
    while (!fd_try_take(n)) {
        if (is_cancelled(cancel))
            return false;
        fd_nap();
    }
    return true;
}

// Wakes the walkers waiting for a descriptor.
static void fd_wake()
{
    fd_budget &b = budget();
    if (b.waiters.load() > 0) {
        std::lock_guard<std::mutex> lock(b.m);
        b.cv.notify_all();
    }
}

static void fd_give(int n)
{
    if (n <= 0)
        return;
    budget().left.fetch_add(n, std::memory_order_release);
    fd_wake();
}

// Waits a moment for the process to get a descriptor back (another scan or
// the host closing one); false when cancelled.
static bool wait_for_descriptor(const std::atomic<int32_t> *cancel)
{
    if (is_cancelled(cancel))
        return false;
    fd_nap();
    return !is_cancelled(cancel);
}

static bool out_of_descriptors(int err)
{
    return err == EMFILE || err == ENFILE;
}

int qv_fd_scarce(void)
{
    fd_budget &b = budget();
    return b.waiters.load(std::memory_order_relaxed) > 0 ||
           b.left.load(std::memory_order_relaxed) < fd_budget_size() / 4;
}

void qv_fd_budget_reset(void)
{
    budget().left.store(fd_budget_size());
}

// --- System calls, retried when a signal interrupts them ----------------------

static int close_fd(int fd)
{
    // Linux releases the descriptor even when close reports EINTR.
    return close(fd);
}

static int r_openat(int dirfd, const char *path, int flags)
{
    int fd;
    do
        fd = openat(dirfd, path, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

static int r_fstat(int fd, struct stat *st)
{
    int rc;
    do
        rc = fstat(fd, st);
    while (rc != 0 && errno == EINTR);
    return rc;
}

static int r_fstatat(int dirfd, const char *name, struct stat *st, int flags)
{
    int rc;
    do
        rc = fstatat(dirfd, name, st, flags);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// fstatat marked on watch (when there is one); errno as fstatat left it.
static int watched_fstatat(qv_call_watch *watch, int dirfd, const char *name, struct stat *st, int flags)
{
    qv_call_begin(watch);
    int rc = r_fstatat(dirfd, name, st, flags);
    int err = errno;
    qv_call_end(watch);
    errno = err;
    return rc;
}

static int r_fstatfs(int fd, struct statfs *st)
{
    int rc;
    do
        rc = fstatfs(fd, st);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// 1 while openat2 is worth trying; 0 once the kernel (or a seccomp filter)
// has refused it.
static std::atomic<int> s_have_openat2{1};

// One openat2 beneath dirfd that refuses every link; -1 with errno ENOSYS
// when openat2 is not available.
static int r_openat2_beneath(int dirfd, const char *path, int flags)
{
    if (!s_have_openat2.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = (uint64_t)(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int tries = 0;; tries++) {
        long fd = syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        if (fd >= 0)
            return (int)fd;
        // EAGAIN: a rename raced the lookup; the kernel asks for a retry.
        if (errno == EINTR || (errno == EAGAIN && tries < 64))
            continue;
        if (errno == ENOSYS || errno == EPERM) {
            s_have_openat2.store(0, std::memory_order_relaxed);
            errno = ENOSYS;
        }
        return -1;
    }
}

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
    int fd;                  // O_PATH, the root as the host named it
    std::atomic<int> spare;  // descriptors of the budget kept for this scan alone
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
    long len;  // bytes of records in buf
    long pos;  // next record
    char *buf;
    ancestor kept[ANCESTOR_FDS];  // shallowest first
    int nkept;
    size_t last_len;
    char *last_path;  // SCAN_PATH_MAX bytes: the directory listed last
};

// Descriptors for a walker: from the shared budget, else from its scan's
// spares. What comes back refills the spares first.
static bool dl_try_take(qv_dirlist *dl, int n)
{
    if (fd_try_take(n))
        return true;
    std::atomic<int> &spare = dl->root->spare;
    int have = spare.load();
    while (have >= n) {
        if (spare.compare_exchange_weak(have, have - n))
            return true;
    }
    return false;
}

static bool dl_take(qv_dirlist *dl, int n)
{
    while (!dl_try_take(dl, n)) {
        if (is_cancelled(dl->cancel))
            return false;
        fd_nap();
    }
    return true;
}

static void dl_give(qv_dirlist *dl, int n)
{
    std::atomic<int> &spare = dl->root->spare;
    int have = spare.load();
    while (n > 0 && have < ROOT_SPARE) {
        if (spare.compare_exchange_weak(have, have + 1)) {
            have++;
            n--;
        }
    }
    if (n > 0)
        fd_give(n);
    else
        fd_wake();
}

static void drop_kept(qv_dirlist *dl, int keep)
{
    int n = dl->nkept - keep;
    while (dl->nkept > keep)
        close_fd(dl->kept[--dl->nkept].fd);
    dl_give(dl, n);
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
    if (n > 0)
        fd_give(n);
    free(dl->buf);
    free(dl->last_path);
    free(dl);
}

// --- Opening below an ancestor -------------------------------------------------

// Opens path (len bytes, fewer than PATH_MAX, no leading separator) below
// dirfd. Without links followed, no component may be a link.
static int open_piece(int dirfd, const char *path, int flags, bool follow)
{
    if (follow)
        return r_openat(dirfd, path, flags);
    int fd = r_openat2_beneath(dirfd, path, flags);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    // No openat2: one component at a time, none of them followed.
    char name[NAME_MAX + 1];
    int cur = dirfd;
    const char *p = path;
    for (;;) {
        const char *end = strchr(p, '/');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n > NAME_MAX) {
            if (cur != dirfd)
                close_fd(cur);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, p, n);
        name[n] = '\0';
        int next = r_openat(cur, name, end ? O_PATH | O_DIRECTORY | O_NOFOLLOW : flags | O_NOFOLLOW);
        int saved = errno;
        if (cur != dirfd)
            close_fd(cur);
        if (next < 0 || !end) {
            errno = saved;
            return next;
        }
        cur = next;
        p = end + 1;
    }
}

// Opens rel (len bytes) below dirfd with flags, in pieces shorter than
// PATH_MAX, each opened below the one before. Needs two descriptors at most
// at once.
static int open_below(int dirfd, const char *rel, size_t len, int flags, bool follow)
{
    if (len < PATH_MAX)
        return open_piece(dirfd, rel, flags, follow);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(copy, rel, len + 1);
    int cur = dirfd;
    char *rest = copy;
    int fd = -1;
    for (;;) {
        size_t left = strlen(rest);
        char *cut = nullptr;
        if (left >= PATH_MAX) {
            // The last separator that leaves a piece openat accepts.
            for (char *p = rest + PATH_MAX - 1; p > rest; p--) {
                if (*p == '/') {
                    cut = p;
                    break;
                }
            }
            if (!cut) {
                errno = ENAMETOOLONG;
                break;
            }
            *cut = '\0';
        }
        fd = open_piece(cur, rest, cut ? O_PATH | O_DIRECTORY : flags, follow);
        int saved = errno;
        if (cur != dirfd)
            close_fd(cur);
        cur = dirfd;
        errno = saved;
        if (fd < 0 || !cut)
            break;
        cur = fd;
        fd = -1;
        // A run of separators at the cut: the next piece starts after it,
        // relative to the piece before, never from the top.
        rest = cut + 1;
        while (*rest == '/')
            rest++;
        if (!*rest) {
            static char here[] = ".";
            rest = here;
        }
    }
    int saved = errno;
    if (cur != dirfd)
        close_fd(cur);
    free(copy);
    errno = saved;
    return fd;
}

// --- Pseudo file systems ---------------------------------------------------------

// File systems whose contents the kernel makes up: never worth a walk, and
// some of them (/proc/kcore) would add absurd sizes.
static bool pseudo_magic(unsigned long t)
{
    switch (t) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case PSTOREFS_MAGIC:
    case BPF_FS_MAGIC:
    case 0x62656570:  // configfs
    case EFIVARFS_MAGIC:
    case AUTOFS_SUPER_MAGIC:
    case BINFMTFS_MAGIC:
    case 0x65735543:  // fusectl
    case 0x19800202:  // mqueue
    case HUGETLBFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case NSFS_MAGIC:
    case RDTGROUP_SUPER_MAGIC:
    case USBDEVICE_SUPER_MAGIC:
    case OPENPROM_SUPER_MAGIC:
    case 0x6e667364:  // nfsd
    case 0x67596969:  // rpc_pipefs
    case 0xabba1974:  // xenfs
        return true;
    default:
        return false;
    }
}

// devtmpfs reports the magic of tmpfs: the mount table tells them apart.
static bool is_devtmpfs(dev_t dev)
{
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return false;
    char line[4096];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [FIELDS...] - FSTYPE ..."
        unsigned maj, min;
        if (sscanf(line, "%*u %*u %u:%u", &maj, &min) != 2 || makedev(maj, min) != dev)
            continue;
        const char *dash = strstr(line, " - ");
        found = dash && strncmp(dash + 3, "devtmpfs ", 9) == 0;
    }
    fclose(f);
    return found;
}

static bool on_pseudo_fs(int fd, dev_t dev)
{
    struct statfs sf;
    if (r_fstatfs(fd, &sf) != 0)
        return false;
    unsigned long t = (unsigned long)sf.f_type;
    if (pseudo_magic(t))
        return true;
    return t == TMPFS_MAGIC && is_devtmpfs(dev);
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
    if (!fd_take(1 + ROOT_SPARE, cancel)) {
        free(root);
        *err = -1;
        return nullptr;
    }
    new (&root->spare) std::atomic<int>(ROOT_SPARE);
    for (;;) {
        // The root is followed when it is a link: the host named it.
        qv_call_begin(watch);
        int fd = path[0] ? open_below(AT_FDCWD, path, strlen(path), O_PATH | O_DIRECTORY, true) : -1;
        int open_err = path[0] ? errno : ENOENT;
        qv_call_end(watch);
        errno = open_err;
        if (fd >= 0) {
            root->fd = fd;
            return root;
        }
        if (out_of_descriptors(errno) && wait_for_descriptor(cancel))
            continue;
        *err = out_of_descriptors(errno) ? -1 : errno;
        fd_give(1 + ROOT_SPARE);
        free(root);
        return nullptr;
    }
}

void qv_dirroot_close(qv_dirroot *root)
{
    if (!root)
        return;
    close_fd(root->fd);
    fd_give(1 + root->spare.load());
    free(root);
}

// Descriptors open at once while rest is opened: the result, and the
// directories in between where a path is opened in pieces or one name at a
// time.
static int descriptors_needed(size_t rest_len, bool follow)
{
    int need = rest_len < PATH_MAX ? 1 : 2;
    if (!follow && !s_have_openat2.load(std::memory_order_relaxed))
        need++;
    return need;
}

// Opens rel for listing, below its nearest kept ancestor or the root, once a
// descriptor is to be had; its budget share stays with it. -1 with errno on
// failure, -2 when cancelled while waiting.
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
        int need = descriptors_needed(rest_len, follow);
        if (!dl_try_take(dl, need)) {
            // Wait holding nothing: the kept ancestors go back first.
            drop_kept(dl, 0);
            anchor = dl->root->fd;
            rest = len ? rel : ".";
            rest_len = len ? len : 1;
            need = descriptors_needed(rest_len, follow);
            if (!dl_take(dl, need))
                return -2;
        }
        qv_call_begin(dl->watch);
        int fd = open_below(anchor, rest, rest_len, flags, follow);
        int err = errno;
        dl->landing = fd;
        dl->landing_share = need;
        qv_call_end(dl->watch);
        dl->landing = -1;
        dl->landing_share = 0;
        dl_give(dl, fd >= 0 ? need - 1 : need);
        if (fd >= 0)
            return fd;
        if (!out_of_descriptors(err)) {
            errno = err;
            return -1;
        }
        // The process is out of descriptors: give ours back and wait for one.
        drop_kept(dl, 0);
        if (!wait_for_descriptor(dl->cancel))
            return -2;
    }
}

int qv_dirlist_open(qv_dirlist *dl, const char *rel, size_t rel_len, const qv_dir_info *parent, qv_dir_info *info)
{
    qv_dirlist_close(dl);
    dl->error = 0;
    dl->skipped = 0;
    dl->defer = 0;
    if (is_cancelled(dl->cancel))
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
        dl_give(dl, 1);
        return err;
    }
    info->id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino};
    info->has_id = 1;
    // A file system can begin only where the device changes.
    if (!parent || parent->id.dev != info->id.dev) {
        qv_call_begin(dl->watch);
        info->pseudo_fs = (uint8_t)on_pseudo_fs(fd, st.st_dev);
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
        dl_give(dl, 1);
        dl->fd = -1;
        return;
    }
    if (dl->nkept == ANCESTOR_FDS) {
        close_fd(dl->kept[0].fd);
        dl_give(dl, 1);
        memmove(dl->kept, dl->kept + 1, (ANCESTOR_FDS - 1) * sizeof(ancestor));
        dl->nkept--;
    }
    dl->kept[dl->nkept++] = {dl->fd, dl->last_len};
    dl->fd = -1;
}

int qv_dirlist_error(const qv_dirlist *dl) { return dl->error; }

#define CACHEDIR_SIGNATURE "Signature: 8a477f597d28d172789f06886806bc55"

// The tag is open for a moment only, without a share of the budget: a
// walker that waited for one while holding its listing could wait for ever.
int qv_dirlist_is_cache(qv_dirlist *dl)
{
    if (dl->fd < 0)
        return 0;
    int fd;
    for (;;) {
        qv_call_begin(dl->watch);
        fd = r_openat(dl->fd, "CACHEDIR.TAG", O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        int err = errno;
        dl->landing = fd;  // outside the budget: no share
        qv_call_end(dl->watch);
        dl->landing = -1;
        if (fd >= 0 || !out_of_descriptors(err))
            break;
        drop_kept(dl, 0);
        if (!wait_for_descriptor(dl->cancel))
            return 0;
    }
    if (fd < 0)
        return 0;
    char head[sizeof CACHEDIR_SIGNATURE - 1];
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
    return got == sizeof head && memcmp(head, CACHEDIR_SIGNATURE, sizeof head) == 0 ? 1 : 0;
}

uint64_t qv_dirlist_skipped(const qv_dirlist *dl) { return dl->skipped; }

static bool is_dot_or_dotdot(const char *n)
{
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// Size and link fields of a file from its status.
static void file_fields(const qv_dirlist *dl, const struct stat &st, qv_dir_child *out)
{
    out->is_dir = 0;
    out->linked = 0;
    if (dl->size_kind == DISK_SIZE_ON_DISK)
        out->size = st.st_blocks > 0 ? (uint64_t)st.st_blocks * 512u : 0;
    else
        out->size = st.st_size > 0 ? (uint64_t)st.st_size : 0;
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
    if (type == DT_DIR) {
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
