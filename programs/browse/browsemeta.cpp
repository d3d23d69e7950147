// qvdisk -i: times, modes and owners as text. The browser is built where
// curses is (not on Windows): the POSIX calls are always there.
#include "browsemeta.h"

#include <sys/stat.h>
#include <time.h>

#include <unordered_map>

#include "owner.h"

std::string time_text(int64_t t, int width)
{
    const char *form = width >= 19 ? "%Y-%m-%d %H:%M:%S"
                       : width >= 16 ? "%Y-%m-%d %H:%M"
                       : width >= 10 ? "%Y-%m-%d"
                       : width >= 4  ? "%Y"
                                     : nullptr;
    time_t at = (time_t)t;
    struct tm local;
    char buf[64];
    if (!form || !localtime_r(&at, &local) || strftime(buf, sizeof buf, form, &local) == 0)
        return "";
    return buf;
}

std::string mode_text(uint32_t mode)
{
    char type = S_ISDIR(mode) ? 'd' : S_ISLNK(mode) ? 'l' : S_ISCHR(mode) ? 'c' : S_ISBLK(mode) ? 'b'
                : S_ISFIFO(mode) ? 'p' : S_ISSOCK(mode) ? 's' : '-';
    std::string out(1, type);
    // Each of user, group, others: r, w, and x or the special bit's letter.
    struct who {
        uint32_t r, w, x, special;
        char with_x, without_x;
    };
    const who whom[] = {{S_IRUSR, S_IWUSR, S_IXUSR, S_ISUID, 's', 'S'},
                        {S_IRGRP, S_IWGRP, S_IXGRP, S_ISGID, 's', 'S'},
                        {S_IROTH, S_IWOTH, S_IXOTH, S_ISVTX, 't', 'T'}};
    for (const who &w : whom) {
        out += mode & w.r ? 'r' : '-';
        out += mode & w.w ? 'w' : '-';
        bool x = mode & w.x;
        out += mode & w.special ? (x ? w.with_x : w.without_x) : x ? 'x' : '-';
    }
    return out;
}

namespace {

std::unordered_map<uint32_t, std::string> g_users, g_groups;

}  // namespace

const std::string &user_shown(uint32_t uid)
{
    auto at = g_users.find(uid);
    return at != g_users.end() ? at->second : g_users.emplace(uid, user_name(uid)).first->second;
}

const std::string &group_shown(uint32_t gid)
{
    auto at = g_groups.find(gid);
    return at != g_groups.end() ? at->second : g_groups.emplace(gid, group_name(gid)).first->second;
}
