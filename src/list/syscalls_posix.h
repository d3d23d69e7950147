// System calls of the Linux listing, retried when a signal interrupts them:
// the host's handlers may run on any thread of the process.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "callwatch.h"

static inline int close_fd(int fd)
{
    // Linux releases the descriptor even when close reports EINTR.
    return close(fd);
}

static inline int r_openat(int dirfd, const char *path, int flags)
{
    int fd;
    do
        fd = openat(dirfd, path, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

static inline int r_fstat(int fd, struct stat *st)
{
    int rc;
    do
        rc = fstat(fd, st);
    while (rc != 0 && errno == EINTR);
    return rc;
}

static inline int r_fstatat(int dirfd, const char *name, struct stat *st, int flags)
{
    int rc;
    do
        rc = fstatat(dirfd, name, st, flags);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// fstatat marked on watch (when there is one); errno as fstatat left it.
static inline int watched_fstatat(qv_call_watch *watch, int dirfd, const char *name, struct stat *st, int flags)
{
    qv_call_begin(watch);
    int rc = r_fstatat(dirfd, name, st, flags);
    int err = errno;
    qv_call_end(watch);
    errno = err;
    return rc;
}

static inline int r_fstatfs(int fd, struct statfs *st)
{
    int rc;
    do
        rc = fstatfs(fd, st);
    while (rc != 0 && errno == EINTR);
    return rc;
}
