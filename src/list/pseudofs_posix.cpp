// Pseudo file systems told by their type, on Linux.
#include "pseudofs.h"

#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include "syscalls_posix.h"

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

bool qv_on_pseudo_fs(int fd, uint64_t dev)
{
    struct statfs sf;
    if (r_fstatfs(fd, &sf) != 0)
        return false;
    unsigned long t = (unsigned long)sf.f_type;
    if (pseudo_magic(t))
        return true;
    return t == TMPFS_MAGIC && is_devtmpfs((dev_t)dev);
}
