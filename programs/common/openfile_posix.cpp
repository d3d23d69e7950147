#include "openfile.h"

#include <cstdlib>

// Names are bytes, given to the system as they are.
FILE *open_file(const char *name, const char *mode)
{
    return fopen(name, mode);
}

bool real_dir_path(const char *name, std::string *out)
{
    char *real = realpath(name, nullptr);
    if (!real)
        return false;
    *out = real;
    free(real);
    return true;
}
