// Opening a file by a name as qvdisk holds every name: UTF-8.
#pragma once

#include <cstdio>
#include <string>

// fopen() for a UTF-8 name: on Windows through the name's UTF-16 form, as
// the narrow fopen() reads it in the ANSI code page and cannot reach names
// outside it. mode as fopen() takes it.
FILE *open_file(const char *name, const char *mode);

// The directory name as the system finally reaches it: absolute, every
// link and "." or ".." resolved, "/" between names (on Windows too), each
// name spelt as the file system keeps it. False when name leads nowhere.
bool real_dir_path(const char *name, std::string *out);
