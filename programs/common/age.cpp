#include "age.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Seconds of one unit letter, 0 for none known.
int64_t unit_seconds(char c)
{
    switch (c) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 86400;
    case 'w': return 7 * 86400;
    case 'y': return 365 * 86400;
    default: return 0;
    }
}

bool parse_relative(const char *text, int64_t now, int64_t *at)
{
    int64_t n = 0;
    const char *p = text;
    if (*p < '0' || *p > '9')
        return false;
    for (; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (*p - '0');
        if (n > 1000000000)  // far beyond 1970 in any unit but seconds
            return false;
    }
    int64_t unit = unit_seconds(*p);
    if (unit == 0 || p[1] != '\0' || n * unit > now)
        return false;
    *at = now - n * unit;
    return true;
}

bool parse_date(const char *text, int64_t *at)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    size_t len = strlen(text);
    bool ok = (sscanf(text, "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3 && (size_t)used == len) ||
              (sscanf(text, "%4d-%2d-%2d%*1[ T]%2d:%2d%n", &y, &mo, &d, &h, &mi, &used) == 5 &&
               (size_t)used == len) ||
              (sscanf(text, "%4d-%2d-%2d%*1[ T]%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) == 6 &&
               (size_t)used == len);
    if (!ok || y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    struct tm tm {};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d;
    tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    // mktime moves an impossible day (February 30) on: refused, not moved.
    if (t == (time_t)-1 || tm.tm_mday != d || tm.tm_mon != mo - 1)
        return false;
    *at = (int64_t)t;
    return true;
}

}  // namespace

bool parse_age(const char *text, int64_t now, int64_t *at)
{
    if (!text || !*text)
        return false;
    return strchr(text, '-') ? parse_date(text, at) : parse_relative(text, now, at);
}

std::string age_words(int64_t seconds)
{
    struct unit {
        int64_t seconds;
        const char *one, *many;
    };
    static const unit units[] = {{365 * 86400, "year", "years"}, {30 * 86400, "month", "months"},
                                 {86400, "day", "days"},         {3600, "hour", "hours"},
                                 {60, "minute", "minutes"}};
    for (const unit &u : units) {
        if (seconds < u.seconds)
            continue;
        int64_t n = seconds / u.seconds;
        return std::to_string(n) + " " + (n == 1 ? u.one : u.many);
    }
    return "just now";
}

std::string local_date(int64_t t)
{
    time_t tt = (time_t)t;
    struct tm tm {};
#ifdef _WIN32
    if (localtime_s(&tm, &tt) != 0)
        return "?";
#else
    if (!localtime_r(&tt, &tm))
        return "?";
#endif
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}
