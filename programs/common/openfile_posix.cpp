#include "openfile.h"

// Names are bytes, given to the system as they are.
FILE *open_file(const char *name, const char *mode)
{
    return fopen(name, mode);
}
