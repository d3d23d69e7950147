// Opening below an open directory: openat2 where the kernel has it, else
// one name at a time; long paths in pieces.
#include "openbelow_posix.h"

#include <limits.h>
#include <linux/openat2.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>

#include <atomic>

#include "syscalls_posix.h"

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

// In pieces shorter than PATH_MAX, each opened below the one before: two
// descriptors at most at once.
int qv_open_below(int dirfd, const char *rel, size_t len, int flags, bool follow)
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

int qv_open_below_needs(size_t len, bool follow)
{
    int need = len < PATH_MAX ? 1 : 2;
    if (!follow && !s_have_openat2.load(std::memory_order_relaxed))
        need++;
    return need;
}
