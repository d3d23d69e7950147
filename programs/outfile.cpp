#include "outfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// A new file of its own beside name: never one that is there already.
FILE *open_beside(const char *name, std::string *tmp)
{
    for (int attempt = 0; attempt < 100; attempt++) {
#ifdef _WIN32
        *tmp = std::string(name) + ".part-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
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
        *tmp = std::string(name) + ".part-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
bool replace_name(const std::string &from, const char *to, int *why)
{
#ifdef _WIN32
    if (MoveFileExW(fs::u8path(from).c_str(), fs::u8path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *why = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    if (rename(from.c_str(), to) == 0)
        return true;
    *why = errno;
    return false;
#endif
}

}  // namespace

bool write_whole(const char *name, const std::function<bool(FILE *)> &write, std::string *err)
{
    std::string tmp;
    FILE *f = open_beside(name, &tmp);
    if (!f) {
        *err = strerror(errno);
        return false;
    }
    errno = 0;
    bool ok = write(f) && flush_to_storage(f);
    int why = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (ok && replace_name(tmp, name, &why))
        return true;
    std::error_code ec;
    fs::remove(fs::u8path(tmp), ec);
    *err = why ? strerror(why) : "the write failed";
    return false;
}
