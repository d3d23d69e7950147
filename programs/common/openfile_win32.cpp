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
