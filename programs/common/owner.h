// Names of users and groups by number, as the system knows them.
#pragma once

#include <cstdint>
#include <string>

// The user's name, or its number when the system has no name for it (and
// always on Windows, whose scans keep no owners).
std::string user_name(uint32_t uid);
std::string group_name(uint32_t gid);
