// Path forms of the Win32 listing: the long form of a root, and the name
// of the directory itself as CreateFileW takes it.
#include "dirlist_win32.h"

#include <cstdio>
#include <cstring>

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
static size_t dir_len_in_pattern(const char *p, size_t n)
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
