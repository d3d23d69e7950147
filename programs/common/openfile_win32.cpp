#include "openfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

FILE *open_file(const char *name, const char *mode)
{
    std::wstring wmode(mode, mode + strlen(mode));
    std::filesystem::path path;
    try {
        path = std::filesystem::u8path(name);
    } catch (const std::system_error &) {  // not UTF-8
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(path.c_str(), wmode.c_str());
}

bool real_dir_path(const char *name, std::string *out)
{
    std::error_code ec;
    std::filesystem::path real;
    try {
        real = std::filesystem::canonical(std::filesystem::u8path(name), ec);
    } catch (const std::system_error &) {  // not UTF-8
        return false;
    }
    if (ec)
        return false;
    std::u8string u8 = real.generic_u8string();
    // The names as the file system spells them: a root's path below
    // another is matched against the names its scan read.
    out->assign(u8.begin(), u8.end());
    return true;
}
