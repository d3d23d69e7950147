// The freedesktop.org trash: the home trash, or one at the top directory of
// the entry's mount; the entry goes in by one rename, never copied.
#include "trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const uint64_t UNKNOWN_MOUNT = UINT64_MAX;

// What is looked at of an entry: where it is, what it is, whose it is.
struct look_at {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t mnt = UNKNOWN_MOUNT;  // known from Linux 5.8 on
    mode_t mode = 0;
    uid_t uid = 0;
};

// name in fd without following a link (unless follow), or fd itself when
// name is empty.
bool look(int fd, const char *name, look_at *l, bool follow = false)
{
    int flags = (follow ? 0 : AT_SYMLINK_NOFOLLOW) | (*name ? 0 : AT_EMPTY_PATH);
    struct statx sx;
    if (statx(fd, name, flags, STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_MNT_ID, &sx) == 0) {
        l->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        l->ino = sx.stx_ino;
        l->mnt = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : UNKNOWN_MOUNT;
        l->mode = sx.stx_mode;
        l->uid = sx.stx_uid;
        return true;
    }
    struct stat st;
    if (errno != ENOSYS || fstatat(fd, name, &st, flags) != 0)
        return false;
    *l = {st.st_dev, st.st_ino, UNKNOWN_MOUNT, st.st_mode, st.st_uid};
    return true;
}

bool same_mount(const look_at &a, const look_at &b)
{
    return a.dev == b.dev && (a.mnt == UNKNOWN_MOUNT || b.mnt == UNKNOWN_MOUNT || a.mnt == b.mnt);
}

std::string why(const std::string &what, int err) { return what + ": " + strerror(err); }

std::string join(const std::string &dir, const std::string &name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A descriptor closed as it goes out of scope.
struct fd_holder {
    int fd;
    explicit fd_holder(int f = -1) : fd(f) {}
    fd_holder(const fd_holder &) = delete;
    fd_holder &operator=(const fd_holder &) = delete;
    ~fd_holder()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The path the system knows for the directory fd now.
bool fd_path(int fd, std::string *path)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(link, buf.data(), buf.size());
        if (n < 0)
            return false;
        if ((size_t)n < buf.size()) {
            buf.resize((size_t)n);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    *path = buf;
    return !buf.empty() && buf[0] == '/';
}

// Path as the trash records it: a URL's path, every byte but the unreserved
// ones (RFC 3986: letters, digits, - . _ ~) and "/" written as %XX.
std::string percent_encoded(const std::string &path)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out += (char)c;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

std::string deletion_date()
{
    time_t now = time(nullptr);
    struct tm local;
    char buf[32];
    if (!localtime_r(&now, &local) || strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local) == 0)
        return "";
    return buf;
}

// $XDG_DATA_HOME/Trash when that is an absolute path, else
// $HOME/.local/share/Trash; empty when neither is known.
std::string home_trash_path()
{
    const char *data = getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return join(data, "Trash");
    const char *home = getenv("HOME");
    if (home && home[0] == '/')
        return join(home, ".local/share/Trash");
    return "";
}

// Whether the directory at path, or the one it would be made in, is on the
// mount of l.
bool would_be_on(std::string path, const look_at &l)
{
    look_at there;
    while (!look(AT_FDCWD, path.c_str(), &there, true)) {
        if (errno != ENOENT || path == "/")
            return false;
        size_t slash = path.find_last_of('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return same_mount(there, l);
}

// Makes the missing directories of an absolute path, mode 0700.
bool make_dirs(const std::string &path)
{
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Directory name in at, made (mode 0700) when missing, never through a link;
// -1 and err when it cannot be had.
int own_dir(int at, const char *name, std::string *err)
{
    if (mkdirat(at, name, 0700) != 0 && errno != EEXIST) {
        *err = why(name, errno);
        return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        *err = why(name, errno == ELOOP ? ENOTDIR : errno);
    return fd;
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

// Renames without replacing what is at to.
int rename_new(int from_dir, const char *from, int to_dir, const char *to)
{
    if (renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without RENAME_NOREPLACE (or a directory moved into
    // itself, which renameat refuses as well): look, then rename.
    struct stat st;
    if (fstatat(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(from_dir, from, to_dir, to);
}

// The entry's name as a name in the trash: cut (at a whole UTF-8 character)
// so that "NAME.NNNNN.trashinfo" fits a file name.
std::string trash_base(const std::string &name)
{
    const size_t room = 255 - strlen(".trashinfo") - 6;
    if (name.size() <= room)
        return name;
    size_t cut = room;
    while (cut > 0 && ((unsigned char)name[cut] & 0xC0) == 0x80)
        cut--;
    // Not UTF-8 at all (continuation bytes only): cut where it fits.
    return name.substr(0, cut > 0 ? cut : room);
}

enum put_end { PUT_TAKEN, PUT_UNUSABLE, PUT_REFUSED };

// What a trash made of the entry: taken into where, refused (err), or not
// usable (none: why no trash could).
trash_result ended(put_end end, const std::string &where, const std::string &err, const std::string &none)
{
    trash_result r;
    r.outcome = end == PUT_TAKEN ? TRASH_MOVED : end == PUT_REFUSED ? TRASH_FAILED : TRASH_NONE;
    if (end == PUT_TAKEN)
        r.where = where;
    else
        r.why = end == PUT_REFUSED ? err : none + ": " + err;
    return r;
}

// Puts the entry into the trash trash_fd: info/NAME.trashinfo first, then
// the rename to files/NAME. PUT_UNUSABLE: this trash cannot take it, another
// may; PUT_REFUSED: the entry cannot be moved at all.
put_end put_in(int trash_fd, const look_at &entry, const trash_entry &e, const std::string &path, std::string *err)
{
    look_at here;
    if (!look(trash_fd, "", &here) || !same_mount(here, entry)) {
        *err = "on another file system";
        return PUT_UNUSABLE;
    }
    fd_holder files(own_dir(trash_fd, "files", err));
    fd_holder info(files.fd >= 0 ? own_dir(trash_fd, "info", err) : -1);
    if (info.fd < 0)
        return PUT_UNUSABLE;
    std::string text = "[Trash Info]\nPath=" + percent_encoded(path) + "\nDeletionDate=" + deletion_date() + "\n";
    std::string base = trash_base(e.name);
    for (int n = 1; n < 100000; n++) {
        std::string name = n == 1 ? base : base + "." + std::to_string(n);
        std::string info_name = name + ".trashinfo";
        int fd = openat(info.fd, info_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            *err = why("info", errno);
            return PUT_UNUSABLE;
        }
        bool written = write_all(fd, text);
        int write_err = errno;
        if (close(fd) != 0 && written) {
            written = false;
            write_err = errno;
        }
        if (!written) {
            unlinkat(info.fd, info_name.c_str(), 0);
            *err = why("info", write_err);
            return PUT_UNUSABLE;
        }
        if (rename_new(e.dir_fd, e.name.c_str(), files.fd, name.c_str()) == 0)
            return PUT_TAKEN;
        int rename_err = errno;
        unlinkat(info.fd, info_name.c_str(), 0);
        if (rename_err == EEXIST || rename_err == ENOTEMPTY)  // files/NAME left without its info
            continue;
        *err = strerror(rename_err);
        return rename_err == EXDEV ? PUT_UNUSABLE : PUT_REFUSED;
    }
    *err = "no free name in the trash";
    return PUT_UNUSABLE;
}

// The top directory of the mount that dir_fd is on, or -1.
int mount_top(int dir_fd)
{
    look_at at;
    int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0 || !look(fd, "", &at)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    for (int i = 0; i < 65536; i++) {
        // O_PATH: a parent the user may not read (0711) is still climbed;
        // stopping below it would take a folder amid the user's data for
        // the top, and hide a trash there.
        int up = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        look_at above;
        if (up < 0 || !look(up, "", &above)) {
            if (up >= 0)
                close(up);
            close(fd);
            return -1;  // the top is not known: no trash rather than a guess
        }
        if (!same_mount(above, at) || (above.ino == at.ino && above.dev == at.dev)) {
            close(up);
            return fd;
        }
        close(fd);
        fd = up;
        at = above;
    }
    return fd;
}

// The trashes at the top of the entry's mount, in order: the first that can
// take it is the one.
trash_result top_trash(int dir_fd, const look_at &entry, const trash_entry &e, const std::string &path)
{
    fd_holder top(mount_top(dir_fd));
    std::string top_path, err;
    if (top.fd < 0 || !fd_path(top.fd, &top_path))
        return ended(PUT_UNUSABLE, "", "its top directory cannot be reached", "no trash on its file system");
    // A trash at the top records the path from the top: the file system may
    // be mounted elsewhere when the entry is put back.
    std::string below = top_path == "/" ? "/" : top_path + "/";
    std::string recorded = path.compare(0, below.size(), below) == 0 ? path.substr(below.size()) : path;
    const std::string uid = std::to_string(getuid());
    const uid_t me = geteuid();
    look_at l;
    // $topdir/.Trash, set up by an administrator: a directory, no link,
    // sticky; then the user's own folder in it.
    fd_holder shared(openat(top.fd, ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (shared.fd >= 0 && look(shared.fd, "", &l) && (l.mode & S_ISVTX)) {
        fd_holder mine(own_dir(shared.fd, uid.c_str(), &err));
        put_end end = mine.fd >= 0 && look(mine.fd, "", &l) && l.uid == me ? put_in(mine.fd, entry, e, recorded, &err)
                                                                            : PUT_UNUSABLE;
        if (end != PUT_UNUSABLE)
            return ended(end, join(top_path, ".Trash/" + uid), err, "");
    }
    // $topdir/.Trash-$uid, the user's own.
    const std::string own = ".Trash-" + uid;
    fd_holder mine(own_dir(top.fd, own.c_str(), &err));
    put_end end = PUT_UNUSABLE;
    if (mine.fd >= 0 && (!look(mine.fd, "", &l) || l.uid != me))
        err = own + ": not the user's own folder";
    else if (mine.fd >= 0)
        end = put_in(mine.fd, entry, e, recorded, &err);
    return ended(end, join(top_path, own), err, "no trash on its file system (at " + top_path + ")");
}

}  // namespace

trash_result move_to_trash(const trash_entry &e)
{
    trash_result r;
    look_at entry, dir;
    std::string dir_path;
    if (!look(e.dir_fd, e.name.c_str(), &entry) || !look(e.dir_fd, "", &dir)) {
        r.why = strerror(errno);
        return r;
    }
    if (!same_mount(entry, dir)) {
        r.why = "a mount point; not moved";
        return r;
    }
    if (!fd_path(e.dir_fd, &dir_path)) {
        r.why = "its path cannot be read (/proc)";
        return r;
    }
    std::string path = join(dir_path, e.name);
    std::string home = home_trash_path();
    if (home.empty() || !would_be_on(home, entry))
        return top_trash(e.dir_fd, entry, e, path);
    std::string err;
    fd_holder trash(make_dirs(home) ? open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    put_end end = PUT_UNUSABLE;
    if (trash.fd < 0)
        err = why(home, errno);
    else
        end = put_in(trash.fd, entry, e, path, &err);
    return ended(end, home, err, "the home trash cannot take it");
}
