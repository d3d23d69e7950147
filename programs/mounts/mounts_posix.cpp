// What is mounted, from the kernel's own table of this process's mounts,
// and each file system's space from statvfs().
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mounts.h"

bool read_mount_table(std::vector<mount_entry> *out, std::string *err)
{
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f) {
        *err = std::string("cannot read /proc/self/mountinfo: ") + strerror(errno);
        return false;
    }
    std::string text;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    bool failed = ferror(f) != 0;
    int code = errno;
    fclose(f);
    if (failed) {
        *err = std::string("cannot read /proc/self/mountinfo: ") + strerror(code);
        return false;
    }
    *out = mounts_from_mountinfo(text);
    return true;
}

void query_space(mount_entry *m)
{
    struct statvfs sv;
    int rc;
    do
        rc = statvfs(m->point.c_str(), &sv);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m->state = MOUNT_FAILED;
        m->error = errno;
        return;
    }
    uint64_t unit = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    m->state = MOUNT_READ;
    m->size = (uint64_t)sv.f_blocks * unit;
    m->used = (uint64_t)(sv.f_blocks >= sv.f_bfree ? sv.f_blocks - sv.f_bfree : 0) * unit;
    m->free = (uint64_t)sv.f_bavail * unit;
}
