#include "owner.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>

#include <vector>

std::string user_name(uint32_t uid)
{
    std::vector<char> buf(1024);
    for (;;) {
        struct passwd rec, *found = nullptr;
        int rc = getpwuid_r((uid_t)uid, &rec, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        return rc == 0 && found ? std::string(found->pw_name) : std::to_string(uid);
    }
}

std::string group_name(uint32_t gid)
{
    std::vector<char> buf(1024);
    for (;;) {
        struct group rec, *found = nullptr;
        int rc = getgrgid_r((gid_t)gid, &rec, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        return rc == 0 && found ? std::string(found->gr_name) : std::to_string(gid);
    }
}
