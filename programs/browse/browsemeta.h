// qvdisk -i: what a scan with -e keeps of an entry, as the browser shows it:
// the modification time, the mode as ls writes it, the owner's names.
#pragma once

#include <cstdint>
#include <string>

// The time t (seconds since 1970) in local time, in at most width columns:
// "2026-12-11 09:30" (16), "2026-12-11" (10) or "2026" (4); with seconds
// ("2026-12-11 09:30:05") for width 19 or more. Empty below 4.
std::string time_text(int64_t t, int width);
// st_mode as ls -l writes it: "drwxr-xr-x", "-rwsr-x---", "drwxrwxrwt";
// s/t where the setuid, setgid or sticky bit goes with x, S/T without.
std::string mode_text(uint32_t mode);
// The user's and the group's names (owner.h), each looked up once: a name
// service may be slow, and the status line asks at every key.
const std::string &user_shown(uint32_t uid);
const std::string &group_shown(uint32_t gid);
