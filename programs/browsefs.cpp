// qvdisk -i: the file system below the root, reached only through the
// root's descriptor: deleting an entry and naming a directory for a rescan.
// Names come from the documents, where bytes that are not UTF-8 read as
// U+FFFD; the real name is then found by listing the directory.
#include "browsefs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at p, or 0 when it is not one.
size_t utf8_len(const unsigned char *p)
{
    if (p[0] < 0x80)
        return 1;
    if (p[0] < 0xC2)
        return 0;
    size_t n = p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : p[0] < 0xF5 ? 4 : 0;
    unsigned lo = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned hi = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return n;
}

// The bytes of a maximal ill-formed subpart at p (1 to 3).
size_t bad_len(const unsigned char *p)
{
    size_t n = p[0] >= 0xE0 && p[0] < 0xF5 ? (p[0] < 0xF0 ? 3 : 4) : 1;
    unsigned lo = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned hi = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (n == 1 || p[1] < lo || p[1] > hi)
        return 1;
    size_t i = 2;
    while (i < n - 1 && (p[i] & 0xC0) == 0x80)
        i++;
    return i;
}

std::string mended(const char *name)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    while (*p) {
        size_t n = utf8_len(p);
        if (n > 0) {
            out.append(reinterpret_cast<const char *>(p), n);
            p += n;
        } else {
            out += REPLACEMENT;
            p += bad_len(p);
        }
    }
    return out;
}

std::string why(const std::string &what, int err) { return what + ": " + strerror(err); }

// The real name in dirfd of the entry the documents call shown.
bool find_raw(int dirfd, const std::string &shown, std::string *raw, std::string *err)
{
    struct stat st;
    if (shown.find(REPLACEMENT) == std::string::npos) {
        if (fstatat(dirfd, shown.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *err = why(shown, errno);
            return false;
        }
        *raw = shown;
        return true;
    }
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close(fd);
        *err = why(shown, errno);
        return false;
    }
    int found = 0;
    while (dirent *ent = readdir(d)) {
        if (mended(ent->d_name) == shown) {
            *raw = ent->d_name;
            found++;
        }
    }
    closedir(d);
    if (found != 1)
        *err = shown + (found ? ": several names read so; not touched" : ": no longer there");
    return found == 1;
}

// A descriptor of the directory holding the last of names (root-relative),
// every step taken without following a link; -1 and err on failure.
int open_parent(const std::string &root, const std::vector<std::string> &names, std::string *err)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *err = why(root, errno);
        return -1;
    }
    for (size_t i = 0; i + 1 < names.size(); i++) {
        std::string raw;
        int next = find_raw(fd, names[i], &raw, err)
                       ? openat(fd, raw.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                       : -2;
        if (next == -1)
            *err = why(names[i], errno);
        close(fd);
        if (next < 0)
            return -1;
        fd = next;
    }
    return fd;
}

// Removes directory name in parent with all it holds, depth first with a
// stack of open directories (no recursion), never leaving device dev.
bool remove_tree(int parent, const std::string &name, dev_t dev, std::string *err)
{
    struct level {
        DIR *dir;
        std::string name;  // in the directory below on the stack
    };
    std::vector<level> stack;
    auto push = [&](int at, const std::string &n) {
        int fd = openat(at, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!d) {
            *err = why(n, errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
        stack.push_back({d, n});
        return true;
    };
    bool ok = push(parent, name);
    while (ok && !stack.empty()) {
        int at = dirfd(stack.back().dir);
        errno = 0;
        dirent *ent = readdir(stack.back().dir);
        if (!ent) {
            level done = stack.back();
            stack.pop_back();
            int up = stack.empty() ? parent : dirfd(stack.back().dir);
            if (unlinkat(up, done.name.c_str(), AT_REMOVEDIR) != 0) {
                *err = why(done.name, errno);
                ok = false;
            }
            closedir(done.dir);
            continue;
        }
        if (!strcmp(ent->d_name, ".") || !strcmp(ent->d_name, ".."))
            continue;
        struct stat st;
        if (fstatat(at, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *err = why(ent->d_name, errno);
            ok = false;
        } else if (S_ISDIR(st.st_mode) && st.st_dev != dev) {
            *err = std::string(ent->d_name) + ": on another file system; not deleted";
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            ok = push(at, ent->d_name);
        } else if (unlinkat(at, ent->d_name, 0) != 0) {
            *err = why(ent->d_name, errno);
            ok = false;
        }
    }
    for (level &l : stack)
        closedir(l.dir);
    return ok;
}

}  // namespace

bool delete_below_root(const std::string &root, const std::vector<std::string> &names, std::string *err)
{
    if (names.empty()) {
        *err = "the root itself is not deleted";
        return false;
    }
    int fd = open_parent(root, names, err);
    if (fd < 0)
        return false;
    std::string raw;
    struct stat st, top;
    bool ok = find_raw(fd, names.back(), &raw, err) && fstat(fd, &top) == 0;
    if (ok && fstatat(fd, raw.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *err = why(names.back(), errno);
        ok = false;
    } else if (ok && S_ISDIR(st.st_mode)) {
        if (st.st_dev != top.st_dev) {
            *err = names.back() + ": on another file system; not deleted";
            ok = false;
        } else {
            ok = remove_tree(fd, raw, st.st_dev, err);
        }
    } else if (ok && unlinkat(fd, raw.c_str(), 0) != 0) {
        *err = why(names.back(), errno);
        ok = false;
    }
    close(fd);
    return ok;
}

bool raw_path_below_root(const std::string &root, const std::vector<std::string> &names, std::string *path,
                         std::string *err)
{
    *path = root;
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *err = why(root, errno);
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < names.size(); i++) {
        std::string raw;
        ok = find_raw(fd, names[i], &raw, err);
        int next = ok ? openat(fd, raw.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (ok && next < 0) {
            *err = why(names[i], errno);
            ok = false;
        }
        close(fd);
        fd = next;
        if (ok)
            *path += (path->empty() || path->back() == '/' ? "" : "/") + raw;
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

bool sizes_below_root(const std::string &root, const std::vector<std::string> &names, uint64_t *apparent,
                      uint64_t *on_disk)
{
    std::string err, raw;
    if (names.empty())
        return false;
    int fd = open_parent(root, names, &err);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = find_raw(fd, names.back(), &raw, &err) && fstatat(fd, raw.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    close(fd);
    if (ok) {
        *apparent = (uint64_t)st.st_size;
        *on_disk = (uint64_t)st.st_blocks * 512;
    }
    return ok;
}
