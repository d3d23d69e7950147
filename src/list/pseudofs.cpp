// Pseudo file systems told by path, and the walk's rule; the same on every
// system.
#include "pseudofs.h"

#include <cstring>

namespace {
// A path given as up to three pieces, read byte by byte without joining.
struct pieces {
    const char *p[3];
    size_t n[3];
    size_t len() const { return n[0] + n[1] + n[2]; }
    char at(size_t i) const
    {
        for (int k = 0; k < 3; k++) {
            if (i < n[k])
                return p[k][i];
            i -= n[k];
        }
        return '\0';
    }
};
}  // namespace

static int match_pseudo(const pieces &path)
{
    static const char *const pseudo_paths[] = {"/proc", "/sys", "/dev", "/run", "/snap", "/tmp/.mount_"};
    size_t len = path.len();
    for (const char *prefix : pseudo_paths) {
        size_t n = strlen(prefix);
        if (len < n)
            continue;
        size_t i = 0;
        while (i < n && path.at(i) == prefix[i])
            i++;
        if (i < n)
            continue;
        // "/tmp/.mount_" names the start of a directory name (one per
        // mounted AppImage); the others are whole directory names.
        char next = path.at(n);
        if (next == '\0' || next == '/' || prefix[n - 1] == '_')
            return 1;
    }
    return 0;
}

int qv_is_pseudo_fs(const char *path)
{
    if (!path)
        return 1;
    return match_pseudo(pieces{{path, "", ""}, {strlen(path), 0, 0}});
}

int qv_is_pseudo_fs_below(const char *base, const char *rel)
{
    if (!base || !rel)
        return 1;
    size_t bl = strlen(base), rl = strlen(rel);
    bool sep = rl > 0 && (bl == 0 || base[bl - 1] != '/');
    return match_pseudo(pieces{{base, "/", rel}, {bl, sep ? 1u : 0u, rl}});
}

void qv_pseudo_rule_init(qv_pseudo_rule *r, const char *real_root, const char *abs_root)
{
    r->root = real_root ? real_root : abs_root;
    r->whole = (uint8_t)(abs_root[0] != '\0' && qv_is_pseudo_fs(r->root));
}

bool qv_pseudo_rule_skips_path(const qv_pseudo_rule *r, const char *rel)
{
    return !r->whole && qv_is_pseudo_fs_below(r->root, rel) != 0;
}

bool qv_pseudo_rule_skips_opened(qv_pseudo_rule *r, bool is_root, bool on_pseudo)
{
    if (is_root) {
        r->whole = (uint8_t)(r->whole | on_pseudo);
        return false;
    }
    return on_pseudo && !r->whole;
}
