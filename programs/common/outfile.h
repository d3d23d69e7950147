// Files qvdisk writes (--save, --html) are replaced whole or not at all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Writes name through write(FILE *) into a new file beside it, flushes it to
// storage, then renames it over name: a write that fails (a full disk, an
// error) leaves an existing file as it was and no new file behind. False,
// with why in *err, when name was not replaced. The new file keeps the old
// one's permissions; a symbolic link is followed and stays; a name that is
// no plain file (a pipe, /dev/stdout) is written as it is.
bool write_whole(const char *name, const std::function<bool(FILE *)> &write, std::string *err);
