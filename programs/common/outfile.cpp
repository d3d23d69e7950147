#include "outfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "openfile.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// The longest name one folder takes (bytes on POSIX; UTF-16 units on
// Windows, which a byte count never exceeds).
const size_t NAME_MAX_BYTES = 255;

// "<name>.part-<pid>-<attempt>", its last part cut (at a character
// boundary) so that it fits where name itself just fits.
std::string beside(const std::string &name, long pid, int attempt)
{
    std::string suffix = ".part-" + std::to_string(pid) + "-" + std::to_string(attempt);
    size_t slash = name.find_last_of("/\\");
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t keep = name.size() - base;
    if (keep + suffix.size() > NAME_MAX_BYTES) {
        keep = NAME_MAX_BYTES - suffix.size();
        while (keep > 0 && ((unsigned char)name[base + keep] & 0xC0) == 0x80)
            keep--;
    }
    return name.substr(0, base + keep) + suffix;
}

// A new file of its own beside name: never one that is there already.
FILE *open_beside(const std::string &name, std::string *tmp)
{
    for (int attempt = 0; attempt < 100; attempt++) {
#ifdef _WIN32
        *tmp = beside(name, (long)GetCurrentProcessId(), attempt);
        int fd = _wopen(fs::u8path(*tmp).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            FILE *f = _fdopen(fd, "wb");
            if (!f)
                _close(fd);
            return f;
        }
        if (errno != EEXIST)
            return nullptr;
#else
        *tmp = beside(name, (long)getpid(), attempt);
        // Private until keep_access gives it the mode it is to have: nobody
        // else may open it meanwhile.
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            FILE *f = fdopen(fd, "wb");
            if (!f)
                close(fd);
            return f;
        }
        if (errno != EEXIST)
            return nullptr;
#endif
    }
    return nullptr;
}

bool flush_to_storage(FILE *f)
{
    if (fflush(f) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0 || errno == EINVAL;  // EINVAL: a file that cannot be synced (a pipe)
#endif
}

// Renames from over to in one step; false with the error in *why.
bool replace_name(const std::string &from, const std::string &to, int *why)
{
#ifdef _WIN32
    if (MoveFileExW(fs::u8path(from).c_str(), fs::u8path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *why = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    if (rename(from.c_str(), to.c_str()) == 0)
        return true;
    *why = errno;
    return false;
#endif
}

// What name leads to. A symbolic link stays a link: the file it points at
// is the one replaced. A pipe, a terminal or a device (/dev/null,
// /dev/stdout) cannot be replaced without harm, least of all as root: it
// is written as it is.
struct target {
    std::string path;
    bool in_place = false;
    bool exists = false;
#ifndef _WIN32
    struct stat st {};
#endif
};

// The file a chain of symbolic links from name ends at (name when it is
// none), whether that file is there yet or not; empty for a chain that does
// not end (a loop), which only writing through name can report.
std::string follow_links(const char *name)
{
    std::string path = name;
#ifndef _WIN32
    for (int hops = 0;; hops++) {
        struct stat ls;
        if (lstat(path.c_str(), &ls) != 0 || !S_ISLNK(ls.st_mode))
            break;
        if (hops == 40)
            return {};
        std::string link(PATH_MAX, '\0');
        ssize_t n = readlink(path.c_str(), link.data(), link.size());
        if (n <= 0 || (size_t)n >= link.size())
            break;
        link.resize((size_t)n);
        size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
#endif
    return path;
}

target look_at(const char *name)
{
    target t;
    t.path = name;
#ifndef _WIN32
    t.exists = stat(name, &t.st) == 0;
    t.in_place = t.exists && !S_ISREG(t.st.st_mode) && !S_ISDIR(t.st.st_mode);
    if (t.in_place)
        return t;
    t.path = follow_links(name);
    if (t.path.empty()) {
        t.path = name;
        t.in_place = true;
        return t;
    }
    // A link the kernel reads its own way (/dev/stdout to a file through
    // /proc) may name another file, or one deleted: then only writing to
    // name itself reaches the right one.
    struct stat there;
    if (t.exists && (stat(t.path.c_str(), &there) != 0 || there.st_dev != t.st.st_dev || there.st_ino != t.st.st_ino)) {
        t.path = name;
        t.in_place = true;
    }
#else
    std::error_code ec;
    fs::file_status s = fs::status(fs::u8path(name), ec);
    t.exists = !ec && fs::exists(s);
    t.in_place = t.exists && !fs::is_regular_file(s) && !fs::is_directory(s);
#endif
    return t;
}

// The new file gets the old one's permissions (and owner, where that is
// allowed): a save must not open a private file to everyone.
void keep_access(FILE *f, const target &t)
{
#ifndef _WIN32
    if (!t.exists) {
        // A new file: what the umask leaves of 0666, as fopen would make it.
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fileno(f), 0666 & ~mask) != 0)
            errno = 0;
        return;
    }
    // Giving a file away is root's alone.
    if (fchown(fileno(f), t.st.st_uid, t.st.st_gid) != 0)
        errno = 0;
    if (fchmod(fileno(f), t.st.st_mode & 07777) != 0)
        errno = 0;
#else
    (void)f;
    (void)t;
#endif
}

bool write_in_place(const char *name, const std::function<bool(FILE *)> &write, std::string *err)
{
    FILE *f = open_file(name, "wb");
    if (!f) {
        *err = strerror(errno);
        return false;
    }
    errno = 0;
    bool ok = write(f) && fflush(f) == 0;
    int why = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (!ok)
        *err = why ? strerror(why) : "the write failed";
    return ok;
}

}  // namespace

bool write_whole(const char *name, const std::function<bool(FILE *)> &write, std::string *err)
{
    target t = look_at(name);
    if (t.in_place)
        return write_in_place(name, write, err);
    std::string tmp;
    FILE *f = open_beside(t.path, &tmp);
    if (!f) {
        *err = strerror(errno);
        return false;
    }
    keep_access(f, t);
    errno = 0;
    bool ok;
    try {
        ok = write(f) && flush_to_storage(f);
    } catch (...) {
        fclose(f);
        std::error_code ec;
        fs::remove(fs::u8path(tmp), ec);
        throw;
    }
    int why = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (ok && replace_name(tmp, t.path, &why))
        return true;
    std::error_code ec;
    fs::remove(fs::u8path(tmp), ec);
    *err = why ? strerror(why) : "the write failed";
    return false;
}
