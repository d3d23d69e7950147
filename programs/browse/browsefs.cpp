// qvdisk -i: the file system below the root, reached only through the
// root's descriptor: deleting an entry and naming a directory for a rescan.
// Names come from the documents, where bytes that are not UTF-8 read as
// U+FFFD; the real name is then found by listing the directory.
#include "browsefs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "utf8.h"

namespace {

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
            out += UTF8_REPLACEMENT;
            p += utf8_bad_len(p);
        }
    }
    return out;
}

std::string why(const std::string &what, int err) { return what + ": " + strerror(err); }

// The real name in dirfd of the entry the documents call shown.
bool find_raw(int dirfd, const std::string &shown, std::string *raw, std::string *err)
{
    struct stat st;
    if (shown.find(UTF8_REPLACEMENT) == std::string::npos) {
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

// Where an entry lies: its identity and the mount it is on. The mount is
// known from Linux 5.8 on; before, only the device tells mounts apart, and
// a bind mount of the same file system looks like any directory.
const uint64_t UNKNOWN_MOUNT = UINT64_MAX;
struct place {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t mnt = UNKNOWN_MOUNT;
    bool is_dir = false;
    int64_t born_ns = -1;
};

// The place of name in fd, or of fd itself when name is empty.
bool place_of(int fd, const char *name, place *p)
{
    int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
    struct statx sx;
    if (statx(fd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID | STATX_BTIME, &sx) == 0) {
        p->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        p->ino = sx.stx_ino;
        p->is_dir = S_ISDIR(sx.stx_mode);
        p->mnt = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : UNKNOWN_MOUNT;
        if (sx.stx_mask & STATX_BTIME)
            p->born_ns = (int64_t)sx.stx_btime.tv_sec * 1000000000 + sx.stx_btime.tv_nsec;
        return true;
    }
    struct stat st;
    if (errno != ENOSYS || fstatat(fd, name, &st, flags) != 0)
        return false;
    *p = {st.st_dev, st.st_ino, UNKNOWN_MOUNT, S_ISDIR(st.st_mode), -1};
    return true;
}

bool same_entry(const place &a, dev_t dev, ino_t ino) { return a.dev == dev && a.ino == ino; }

bool same_mount(const place &a, const place &b)
{
    return a.dev == b.dev && (a.mnt == UNKNOWN_MOUNT || b.mnt == UNKNOWN_MOUNT || a.mnt == b.mnt);
}

// A descriptor of the directory holding the last of names, every step taken
// from the root's descriptor without following a link; -1 and err on failure.
// above, when given, gets the place of the root and of each directory down
// to that one: what lies above the entry can never be entered again.
int open_parent(int root_fd, const std::vector<std::string> &names, std::string *err,
                std::vector<place> *above = nullptr)
{
    int fd = fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *err = why("the root", errno);
        return -1;
    }
    for (size_t i = 0;; i++) {
        place here;
        if (above && place_of(fd, "", &here))
            above->push_back(here);
        if (i + 1 >= names.size())
            break;
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

// Whether the directory holds a valid CACHEDIR.TAG.
bool is_cache(int fd)
{
    static const char SIGNATURE[] = "Signature: 8a477f597d28d172789f06886806bc55";
    int tag = openat(fd, "CACHEDIR.TAG", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (tag < 0)
        return false;
    char buf[sizeof SIGNATURE - 1];
    size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = read(tag, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(tag);
    return got == sizeof buf && memcmp(buf, SIGNATURE, sizeof buf) == 0;
}

// One directory being emptied. Only the deepest ones are held open; a
// shallower one is opened again through ".." of the one below it, and
// checked to be the same directory, when the walk comes back up to it.
struct level {
    DIR *dir = nullptr;
    std::string name;   // raw, in the directory above
    std::string shown;  // in reports
    place id;
    int entered = -1;               // node in the scan's directories
    std::vector<std::string> kept;  // raw names here that stay
};

struct remover {
    int parent;  // of the entry deleted: held open throughout
    const delete_options &opts;
    std::vector<std::string> *kept;
    place top;
    std::vector<place> above;  // the root down to parent
    std::vector<level> stack;
    bool stopped = false;
};

void keep(remover &r, const std::string &shown, const std::string &reason) { r.kept->push_back(shown + ": " + reason); }

// Descriptor of stack[i], opened again from stack[i + 1] when closed.
int level_fd(remover &r, size_t i)
{
    level &l = r.stack[i];
    if (l.dir)
        return dirfd(l.dir);
    int fd = openat(dirfd(r.stack[i + 1].dir), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    place now;
    if (fd >= 0 && (!place_of(fd, "", &now) || !same_entry(now, l.id.dev, l.id.ino))) {
        close(fd);
        fd = -1;
    }
    l.dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!l.dir) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Opens directory name in at, seen as seen, and stacks it; or tells why it
// stays.
void enter(remover &r, int at, const std::string &name, const std::string &shown, const place &seen, int entered)
{
    bool unseen = r.opts.entered && entered < 0;
    int fd = unseen ? -1 : openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    place now;
    const char *refused = nullptr;
    auto is_now = [&](const place &p) { return same_entry(p, now.dev, now.ino); };
    if (unseen) {
        refused = "not entered by the scan; not deleted";
    } else if (fd < 0 || !place_of(fd, "", &now)) {
        keep(r, shown, strerror(errno));
    } else if (!same_entry(now, seen.dev, seen.ino)) {
        refused = "replaced while deleting; not entered";
    } else if (!r.stack.empty() && !same_mount(now, r.top)) {
        refused = "another mount; not entered";
    } else if (std::any_of(r.above.begin(), r.above.end(), is_now) ||
               std::any_of(r.stack.begin(), r.stack.end(), [&](const level &l) { return is_now(l.id); })) {
        refused = "a loop; not entered";
    } else if (r.opts.skip_caches && is_cache(fd)) {
        refused = "a cache directory the scan did not enter; not deleted";
    } else {
        DIR *d = fdopendir(fd);
        if (d) {
            if (r.stack.size() >= (size_t)std::max(r.opts.max_open, 2)) {
                level &old = r.stack[r.stack.size() - (size_t)std::max(r.opts.max_open, 2)];
                if (old.dir)
                    closedir(old.dir);
                old.dir = nullptr;
            }
            r.stack.push_back({d, name, shown, now, entered, {}});
            return;
        }
        keep(r, shown, strerror(errno));
    }
    if (refused)
        keep(r, shown, refused);
    if (fd >= 0)
        close(fd);
    if (!r.stack.empty())
        r.stack.back().kept.push_back(name);
}

// The top directory is listed to its end: remove it, or keep it (and tell
// the level above) when something in it stays.
void finish_level(remover &r)
{
    level done = std::move(r.stack.back());
    r.stack.pop_back();
    int up = r.stack.empty() ? r.parent : -1;
    if (!r.stack.empty()) {
        r.stack.push_back(std::move(done));  // level_fd reopens through it
        up = level_fd(r, r.stack.size() - 2);
        done = std::move(r.stack.back());
        r.stack.pop_back();
    }
    closedir(done.dir);
    if (up < 0) {
        keep(r, r.stack.back().shown, "moved while deleting; stopped");
        r.stopped = true;
        return;
    }
    if (done.kept.empty() && unlinkat(up, done.name.c_str(), AT_REMOVEDIR) == 0)
        return;
    if (done.kept.empty())
        keep(r, done.shown, strerror(errno));
    if (!r.stack.empty())
        r.stack.back().kept.push_back(done.name);
}

// One entry of the top directory: a file is removed, a directory entered.
void take(remover &r, const char *name)
{
    level &l = r.stack.back();
    if (std::find(l.kept.begin(), l.kept.end(), name) != l.kept.end())
        return;
    std::string shown = l.shown + "/" + mended(name);
    int at = dirfd(l.dir);
    place p;
    if (!place_of(at, name, &p)) {
        if (errno != ENOENT) {
            keep(r, shown, strerror(errno));
            l.kept.push_back(name);
        }
    } else if (p.is_dir) {
        int entered = r.opts.entered ? r.opts.entered->find(l.entered, mended(name)) : -1;
        enter(r, at, name, shown, p, entered);
    } else if (unlinkat(at, name, 0) != 0 && errno != ENOENT) {
        keep(r, shown, strerror(errno));
        l.kept.push_back(name);
    }
}

// Empties and removes directory raw in r.parent, depth first with a stack
// (no recursion) that holds at most opts.max_open directories open.
void remove_tree(remover &r, const std::string &raw, const std::string &shown, const place &seen)
{
    enter(r, r.parent, raw, shown, seen, 0);
    while (!r.stack.empty() && !r.stopped) {
        errno = 0;
        dirent *ent = readdir(r.stack.back().dir);
        if (ent && strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0)
            take(r, ent->d_name);
        else if (!ent && errno != 0) {
            keep(r, r.stack.back().shown, "cannot be listed: " + std::string(strerror(errno)));
            r.stack.back().kept.push_back(".");
            finish_level(r);
        } else if (!ent) {
            finish_level(r);
        }
    }
    for (level &l : r.stack)
        if (l.dir)
            closedir(l.dir);
    r.stack.clear();
}

}  // namespace

int entered_dirs::add(int parent, const std::string &name)
{
    auto [it, fresh] = kids.emplace(std::to_string(parent) + "/" + name, count);
    if (fresh)
        count++;
    return it->second;
}

int entered_dirs::find(int parent, const std::string &name) const
{
    auto it = kids.find(std::to_string(parent) + "/" + name);
    return parent < 0 || it == kids.end() ? -1 : it->second;
}

void entered_dirs::not_entered(const std::vector<std::string> &names)
{
    int at = 0;
    for (size_t i = 0; at >= 0 && i + 1 < names.size(); i++)
        at = find(at, names[i]);
    if (at >= 0 && !names.empty())
        kids.erase(std::to_string(at) + "/" + names.back());
}

int open_root(const std::string &root, std::string *err)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        *err = why(root, errno);
    return fd;
}

bool identify_below_root(int root_fd, const std::vector<std::string> &names, entry_id *id, std::string *err)
{
    if (names.empty()) {
        *err = "the root itself is not deleted";
        return false;
    }
    int fd = open_parent(root_fd, names, err);
    if (fd < 0)
        return false;
    std::string raw;
    place p;
    bool ok = find_raw(fd, names.back(), &raw, err);
    if (ok && !place_of(fd, raw.c_str(), &p)) {
        *err = why(names.back(), errno);
        ok = false;
    }
    close(fd);
    if (ok)
        *id = {p.dev, p.ino, p.is_dir, p.born_ns};
    return ok;
}

// The entry at the end of names, opened to act on: its parent's
// descriptor (-1 and err when it cannot be had), its real name there, its
// place and the parent's. An entry that is not the one confirmed is not
// had ("no longer what was confirmed").
struct confirmed_entry {
    int parent = -1;
    std::string raw;
    place now, here;
    std::vector<place> above;  // the root down to parent
};

bool reach_confirmed(int root_fd, const std::vector<std::string> &names, const entry_id &confirmed,
                     confirmed_entry *e, std::string *err)
{
    const std::string &shown = names.back();
    e->parent = open_parent(root_fd, names, err, &e->above);
    if (e->parent < 0)
        return false;
    bool ok = find_raw(e->parent, shown, &e->raw, err);
    if (ok && (!place_of(e->parent, e->raw.c_str(), &e->now) || !place_of(e->parent, "", &e->here))) {
        *err = why(shown, errno);
        ok = false;
    } else if (ok && (!same_entry(e->now, confirmed.dev, confirmed.ino) || e->now.is_dir != confirmed.is_dir ||
                      (e->now.born_ns >= 0 && confirmed.born_ns >= 0 && e->now.born_ns != confirmed.born_ns))) {
        *err = shown + ": no longer what was confirmed; not touched";
        ok = false;
    }
    if (!ok) {
        close(e->parent);
        e->parent = -1;
    }
    return ok;
}

bool delete_below_root(int root_fd, const std::vector<std::string> &names, const entry_id &confirmed,
                       const delete_options &opts, std::vector<std::string> *kept)
{
    std::string err;
    if (names.empty()) {
        kept->push_back("the root itself is not deleted");
        return false;
    }
    const std::string &shown = names.back();
    confirmed_entry e;
    if (!reach_confirmed(root_fd, names, confirmed, &e, &err)) {
        kept->push_back(err);
        return false;
    }
    size_t before = kept->size();
    if (e.now.is_dir && !same_mount(e.now, e.here)) {
        kept->push_back(shown + ": a mount point; not deleted");
    } else if (e.now.is_dir) {
        remover r{e.parent, opts, kept, e.now, std::move(e.above), {}, false};
        remove_tree(r, e.raw, shown, e.now);
    } else if (unlinkat(e.parent, e.raw.c_str(), 0) != 0) {
        // Between the look and here the name can change hands; unlinkat
        // takes no identity, so this window stays, a system call wide.
        kept->push_back(why(shown, errno));
    }
    close(e.parent);
    return kept->size() == before;
}

trash_result trash_below_root(int root_fd, const std::vector<std::string> &names, const entry_id &confirmed)
{
    trash_result r;
    if (names.empty()) {
        r.why = "the root itself is not moved";
        return r;
    }
    confirmed_entry e;
    if (!reach_confirmed(root_fd, names, confirmed, &e, &r.why))
        return r;
    // As with unlinkat, the rename takes no identity: the same window.
    r = move_to_trash({e.parent, e.raw});
    close(e.parent);
    if (r.outcome != TRASH_MOVED)
        r.why = names.back() + ": " + r.why;
    return r;
}

bool raw_path_below_root(int root_fd, const std::string &root, const std::vector<std::string> &names,
                         std::string *path, std::string *err)
{
    *path = root;
    int fd = fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
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

bool sizes_below_root(int root_fd, const std::vector<std::string> &names, uint64_t *apparent, uint64_t *on_disk)
{
    std::string err, raw;
    if (names.empty())
        return false;
    int fd = open_parent(root_fd, names, &err);
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
