// Shell patterns without recursion: one backtracking point, the last '*',
// suffices, since a later '*' can always absorb what an earlier one would.
#include "match.h"

#include <cstring>

// Whether c belongs to the named class ("[:digit:]" and the like, C locale).
static bool in_class(const char *name, size_t len, unsigned char c)
{
    struct named {
        const char *name;
        bool (*test)(unsigned char);
    };
    static const named classes[] = {
        {"alnum", [](unsigned char x) { return (x | 32) - 'a' < 26u || x - '0' < 10u; }},
        {"alpha", [](unsigned char x) { return (x | 32) - 'a' < 26u; }},
        {"blank", [](unsigned char x) { return x == ' ' || x == '\t'; }},
        {"cntrl", [](unsigned char x) { return x < 32 || x == 127; }},
        {"digit", [](unsigned char x) { return x - '0' < 10u; }},
        {"graph", [](unsigned char x) { return x > 32 && x < 127; }},
        {"lower", [](unsigned char x) { return x - 'a' < 26u; }},
        {"print", [](unsigned char x) { return x >= 32 && x < 127; }},
        {"punct", [](unsigned char x) { return x > 32 && x < 127 && (x | 32) - 'a' >= 26u && x - '0' >= 10u; }},
        {"space", [](unsigned char x) { return x == ' ' || (x >= '\t' && x <= '\r'); }},
        {"upper", [](unsigned char x) { return x - 'A' < 26u; }},
        {"xdigit", [](unsigned char x) { return x - '0' < 10u || (x | 32) - 'a' < 6u; }},
    };
    for (const named &n : classes)
        if (strlen(n.name) == len && memcmp(n.name, name, len) == 0)
            return n.test(c);
    return false;
}

// One member of a set at q (a byte, maybe quoted by '\'): its value, and q
// moved past it.
static unsigned char set_byte(const char **q)
{
    const char *p = *q;
    if (*p == '\\' && p[1])
        p++;
    *q = p + 1;
    return (unsigned char)*p;
}

// Matches the set starting at p ('[') against c. Returns the byte after the
// set's ']' and stores the verdict, or null when the set is not closed.
static const char *match_set(const char *p, unsigned char c, bool *hit)
{
    const char *q = p + 1;
    bool negate = *q == '!' || *q == '^';
    if (negate)
        q++;
    bool found = false;
    bool first = true;
    while (*q && (*q != ']' || first)) {
        first = false;
        if (q[0] == '[' && q[1] == ':') {
            const char *end = strstr(q + 2, ":]");
            if (end) {
                found = found || in_class(q + 2, (size_t)(end - q - 2), c);
                q = end + 2;
                continue;
            }
        }
        unsigned char lo = set_byte(&q);
        unsigned char hi = lo;
        if (q[0] == '-' && q[1] && q[1] != ']') {
            q++;
            hi = set_byte(&q);
        }
        if (lo <= c && c <= hi)
            found = true;
    }
    if (*q != ']')
        return nullptr;
    *hit = found != negate;
    return q + 1;
}

// Whether the single-byte token at p matches c; stores the token's end.
static bool match_one(const char *p, unsigned char c, const char **next)
{
    if (*p == '?') {
        *next = p + 1;
        return true;
    }
    if (*p == '[') {
        bool hit = false;
        if (const char *end = match_set(p, c, &hit)) {
            *next = end;
            return hit;
        }
    }
    if (*p == '\\' && p[1])
        p++;
    *next = p + 1;
    return (unsigned char)*p == c;
}

bool qv_pattern_match(const char *pattern, const char *text)
{
    const char *p = pattern, *t = text;
    const char *star_p = nullptr, *star_t = nullptr;
    while (*t) {
        if (*p == '*') {
            while (*p == '*')
                p++;
            star_p = p;
            star_t = t;
            continue;
        }
        const char *next;
        if (*p && match_one(p, (unsigned char)*t, &next)) {
            p = next;
            t++;
            continue;
        }
        if (!star_p)
            return false;
        p = star_p;
        t = ++star_t;
    }
    while (*p == '*')
        p++;
    return *p == '\0';
}
