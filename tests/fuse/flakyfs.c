/* flakyfs: a read-only FUSE 3 passthrough of a source directory that fails
 * calls on purpose, to test a walker against file systems that misbehave
 * (network and user-space file systems answer with EINTR and EIO).
 *
 *   flakyfs [options] SRC MNT [-f] [-o FUSE options]
 *   umount MNT (root) or fusermount3 -u MNT
 *
 *   --eintr             every call of getattr, readlink, access, open, opendir,
 *                       readdir and statfs fails with EINTR the first time it is
 *                       made on a path, then succeeds: a caller that retries
 *                       sees everything, one that does not loses entries.
 *   --eintr=N           the same, and again every Nth call after (N >= 3:
 *                       one system call can make two requests of a kind on a
 *                       path, so with 2 a retrying caller might never pass).
 *   --eio-stat=S        getattr of a path whose last name contains S fails
 *                       with EIO: the entry is listed, its attributes cannot
 *                       be read.
 *   --eio-opendir=S     opendir of a directory whose name contains S fails
 *                       with EIO: it cannot be listed at all.
 *   --eio-readdir=S     listing a directory whose name contains S gives a
 *                       first chunk of 16 entries, then fails with EIO.
 *   --twice=S           listing a directory whose name contains S gives its
 *                       first name (after . and ..) a second time at the end,
 *                       as a file system with a broken listing can.
 *   --hang=S            every call above on an entry named S, or on one below
 *                       it, is never answered, as a share whose server went
 *                       away, not even when its caller is interrupted, until
 *                       flakyfs gets SIGUSR1 (the server is back: the calls
 *                       waiting and every later one are answered) or ends
 *                       (they fail with ENOTCONN). The kernel lets one
 *                       lookup or listing at a time into a directory of
 *                       this file system: a held lookup of S holds every
 *                       later one in S's directory as well. --hang=/ holds
 *                       the calls on the root alone, statfs among them: a
 *                       mount that does not answer at all.
 *   --latency-us=N      every call above waits N microseconds before it is
 *                       answered; a call whose caller takes a signal while
 *                       it waits (the kernel sends an interrupt) is answered
 *                       EINTR at once, as a network file system does.
 *
 * Nothing is cached by the kernel (entry and attribute timeouts of 0, no
 * READDIRPLUS), so every system call of a caller reaches these rules. On
 * unmount, the number of failures sent goes to stderr.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

enum { OP_GETATTR, OP_READLINK, OP_ACCESS, OP_OPEN, OP_OPENDIR, OP_READDIR, OP_STATFS };

static struct options {
    char *source;
    int eintr;            /* 1: first call fails */
    unsigned eintr_every; /* 0: only the first */
    char *eio_stat;
    char *eio_opendir;
    char *eio_readdir;
    char *twice;
    char *hang;
    unsigned latency_us;
} opt;

static int src_fd = -1;
static atomic_ulong sent_eintr, sent_eio, held;
static atomic_int server_back; /* SIGUSR1: --hang answers again */

static void on_usr1(int sig)
{
    (void)sig;
    atomic_store(&server_back, 1);
}

/* Whether path names an entry called name or lies below one. */
static int has_component(const char *path, const char *name)
{
    size_t n = name ? strlen(name) : 0;
    if (!n)
        return 0;
    for (const char *p = path; (p = strstr(p, name)) != NULL; p++)
        if ((p == path || p[-1] == '/') && (p[n] == '/' || p[n] == 0))
            return 1;
    return 0;
}

/* A call that --hang holds: it waits, deaf to interrupts, until SIGUSR1. */
static void hold_if_hung(const char *path)
{
    if (!has_component(path, opt.hang) || atomic_load(&server_back))
        return;
    atomic_fetch_add(&held, 1);
    while (!atomic_load(&server_back)) {
        struct timespec slice = {0, 20 * 1000 * 1000};
        nanosleep(&slice, NULL);
    }
}

/* ---- calls made per (operation, path), for --eintr ---- */

struct counter {
    struct counter *next;
    unsigned long calls;
    int op;
    char path[];
};

#define NBUCKETS 65536
static struct counter *buckets[NBUCKETS];
static pthread_mutex_t counters_mu = PTHREAD_MUTEX_INITIALIZER;

static uint32_t hash(int op, const char *path)
{
    uint32_t h = 2166136261u ^ (uint32_t)op;
    for (const unsigned char *p = (const unsigned char *)path; *p; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

/* How many times op was called on path before this call. */
static unsigned long count_call(int op, const char *path)
{
    uint32_t b = hash(op, path) % NBUCKETS;
    pthread_mutex_lock(&counters_mu);
    struct counter *c = buckets[b];
    while (c && (c->op != op || strcmp(c->path, path) != 0))
        c = c->next;
    if (!c) {
        size_t n = strlen(path) + 1;
        c = calloc(1, sizeof *c + n);
        if (!c) {
            pthread_mutex_unlock(&counters_mu);
            return 1; /* never fail what cannot be counted */
        }
        c->op = op;
        memcpy(c->path, path, n);
        c->next = buckets[b];
        buckets[b] = c;
    }
    unsigned long before = c->calls++;
    pthread_mutex_unlock(&counters_mu);
    return before;
}

/* Waits out the latency; -EINTR when the caller was interrupted meanwhile. */
static int wait_latency(void)
{
    if (!opt.latency_us)
        return 0;
    struct timespec end, now;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_nsec += (long)(opt.latency_us % 1000000) * 1000;
    end.tv_sec += opt.latency_us / 1000000 + end.tv_nsec / 1000000000;
    end.tv_nsec %= 1000000000;
    for (;;) {
        if (fuse_interrupted())
            return -EINTR;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec))
            return 0;
        struct timespec slice = {0, 50 * 1000};
        nanosleep(&slice, NULL);
    }
}

/* The failure a call of op on path gets before it is carried out, or 0. */
static int injected(int op, const char *path)
{
    hold_if_hung(path);
    int err = wait_latency();
    if (!err && opt.eintr) {
        unsigned long k = count_call(op, path);
        if (k == 0 || (opt.eintr_every && k % opt.eintr_every == 0))
            err = -EINTR;
    }
    if (err)
        atomic_fetch_add(&sent_eintr, 1);
    return err;
}

static int eio(void)
{
    atomic_fetch_add(&sent_eio, 1);
    return -EIO;
}

static int last_name_has(const char *path, const char *s)
{
    const char *name = strrchr(path, '/');
    return s && *s && strstr(name ? name + 1 : path, s) != NULL;
}

/* The path below the source directory: "/" is ".", "/a/b" is "a/b". */
static const char *rel(const char *path)
{
    return path[1] ? path + 1 : ".";
}

/* ---- operations ---- */

static void *fl_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    conn->want &= ~FUSE_CAP_READDIRPLUS;
    cfg->use_ino = 1;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}

static void fl_destroy(void *data)
{
    (void)data;
    fprintf(stderr, "flakyfs: sent %lu EINTR, %lu EIO; held %lu calls\n", (unsigned long)atomic_load(&sent_eintr),
            (unsigned long)atomic_load(&sent_eio), (unsigned long)atomic_load(&held));
}

static int fl_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    int err = injected(OP_GETATTR, path);
    if (err)
        return err;
    if (last_name_has(path, opt.eio_stat))
        return eio();
    return fstatat(src_fd, rel(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int fl_readlink(const char *path, char *buf, size_t size)
{
    int err = injected(OP_READLINK, path);
    if (err)
        return err;
    ssize_t n = readlinkat(src_fd, rel(path), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

static int fl_access(const char *path, int mask)
{
    int err = injected(OP_ACCESS, path);
    if (err)
        return err;
    if (mask & W_OK)
        return -EROFS;
    return faccessat(src_fd, rel(path), mask, 0) == 0 ? 0 : -errno;
}

static int fl_open(const char *path, struct fuse_file_info *fi)
{
    int err = injected(OP_OPEN, path);
    if (err)
        return err;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int fd = openat(src_fd, rel(path), O_RDONLY | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fl_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    (void)path;
    ssize_t n = pread((int)fi->fh, buf, size, off);
    return n < 0 ? -errno : (int)n;
}

static int fl_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fl_statfs(const char *path, struct statvfs *sv)
{
    int err = injected(OP_STATFS, path);
    if (err)
        return err;
    return fstatvfs(src_fd, sv) == 0 ? 0 : -errno;
}

/* An open directory of the source; entries are handed out by their offsets,
 * so that each chunk the kernel asks for is a call of its own. */
struct dir {
    DIR *dp;
    struct dirent *pending; /* read but not yet taken by the kernel */
    off_t offset;
    char first[256]; /* the first name listed, for --twice */
};

/* The offset after the name --twice gives again: the listing's end. */
#define TWICE_DONE ((off_t)INT64_MAX)

static int fl_opendir(const char *path, struct fuse_file_info *fi)
{
    int err = injected(OP_OPENDIR, path);
    if (err)
        return err;
    if (last_name_has(path, opt.eio_opendir))
        return eio();
    struct dir *d = calloc(1, sizeof *d);
    if (!d)
        return -ENOMEM;
    int fd = openat(src_fd, rel(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0 || !(d->dp = fdopendir(fd))) {
        err = -errno;
        if (fd >= 0)
            close(fd);
        free(d);
        return err;
    }
    fi->fh = (uint64_t)(uintptr_t)d;
    return 0;
}

static int fl_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)flags;
    int err = injected(OP_READDIR, path);
    if (err)
        return err;
    int failing = last_name_has(path, opt.eio_readdir);
    if (failing && offset != 0)
        return eio();
    struct dir *d = (struct dir *)(uintptr_t)fi->fh;
    if (offset == TWICE_DONE)
        return 0;
    if (offset != d->offset) {
        seekdir(d->dp, offset);
        d->pending = NULL;
        d->offset = offset;
    }
    /* A failing listing hands out one short chunk before it fails, however
     * large a buffer the caller reads into. */
    for (int given = 0; !failing || given < 16; given++) {
        if (!d->pending) {
            errno = 0;
            d->pending = readdir(d->dp);
            if (!d->pending && errno == 0 && d->first[0] && last_name_has(path, opt.twice)) {
                struct stat again;
                memset(&again, 0, sizeof again);
                filler(buf, d->first, &again, TWICE_DONE, 0);
                return 0;
            }
            if (!d->pending)
                return -errno;
            if (!d->first[0] && strcmp(d->pending->d_name, ".") && strcmp(d->pending->d_name, ".."))
                snprintf(d->first, sizeof d->first, "%s", d->pending->d_name);
        }
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_ino = d->pending->d_ino;
        st.st_mode = (mode_t)(d->pending->d_type << 12);
        off_t next = d->pending->d_off;
        if (filler(buf, d->pending->d_name, &st, next, 0))
            return 0; /* the kernel's buffer is full: this entry comes next time */
        d->pending = NULL;
        d->offset = next;
    }
    return 0;
}

static int fl_releasedir(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    struct dir *d = (struct dir *)(uintptr_t)fi->fh;
    closedir(d->dp);
    free(d);
    return 0;
}

static const struct fuse_operations ops = {
    .getattr = fl_getattr,
    .readlink = fl_readlink,
    .open = fl_open,
    .read = fl_read,
    .statfs = fl_statfs,
    .release = fl_release,
    .opendir = fl_opendir,
    .readdir = fl_readdir,
    .releasedir = fl_releasedir,
    .init = fl_init,
    .destroy = fl_destroy,
    .access = fl_access,
};

/* ---- command line ---- */

enum { KEY_EINTR };

#define OPT(t, p) {t, offsetof(struct options, p), 1}
static const struct fuse_opt option_table[] = {
    FUSE_OPT_KEY("--eintr", KEY_EINTR),
    OPT("--eintr=%u", eintr_every),
    OPT("--eio-stat=%s", eio_stat),
    OPT("--eio-opendir=%s", eio_opendir),
    OPT("--eio-readdir=%s", eio_readdir),
    OPT("--twice=%s", twice),
    OPT("--hang=%s", hang),
    OPT("--latency-us=%u", latency_us),
    FUSE_OPT_END,
};

static int take_arg(void *data, const char *arg, int key, struct fuse_args *outargs)
{
    (void)data;
    (void)outargs;
    if (key == KEY_EINTR) {
        opt.eintr = 1;
        return 0;
    }
    if (key == FUSE_OPT_KEY_NONOPT && !opt.source) {
        opt.source = strdup(arg);
        return 0;
    }
    return 1; /* everything else goes to fuse_main */
}

int main(int argc, char *argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &opt, option_table, take_arg) != 0)
        return 2;
    if (opt.eintr_every) {
        if (opt.eintr_every < 3) {
            fprintf(stderr, "flakyfs: --eintr=N needs N >= 3\n");
            return 2;
        }
        opt.eintr = 1;
    }
    if (!opt.source) {
        fprintf(stderr, "usage: flakyfs [--eintr[=N]] [--eio-stat=S] [--eio-opendir=S] [--eio-readdir=S] [--twice=S]\n"
                        "               [--hang=S] [--latency-us=N] SRC MNT [-f] [-o options]\n");
        return 2;
    }
    src_fd = open(opt.source, O_RDONLY | O_DIRECTORY);
    if (src_fd < 0) {
        perror(opt.source);
        return 2;
    }
    signal(SIGUSR1, on_usr1);
    /* Each call --hang holds keeps a thread: room for many scans' worth. */
    fuse_opt_add_arg(&args, "-oro,fsname=flakyfs,subtype=flakyfs,max_idle_threads=16,max_threads=1024");
    int rc = fuse_main(args.argc, args.argv, &ops, NULL);
    fuse_opt_free_args(&args);
    return rc;
}
