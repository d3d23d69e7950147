// Platform helpers that are the same on every system.
#include "platform.h"

#include <cstring>

int qv_is_pseudo_fs(const char *path)
{
    static const char *const pseudo_paths[] = {"/proc", "/sys", "/dev", "/run", "/snap", "/tmp/.mount_"};
    if (!path)
        return 1;
    for (const char *prefix : pseudo_paths) {
        size_t n = strlen(prefix);
        if (strncmp(path, prefix, n) != 0)
            continue;
        // "/tmp/.mount_" names the start of a directory name (one per
        // mounted AppImage); the others are whole directory names.
        if (path[n] == '\0' || path[n] == '/' || prefix[n - 1] == '_')
            return 1;
    }
    return 0;
}
