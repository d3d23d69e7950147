// Shell patterns without recursion: one backtracking point, the last '*',
// suffices, since a later '*' can always absorb what an earlier one would.
#include "match.h"

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
        unsigned char lo = (unsigned char)*q;
        if (lo == '\\' && q[1])
            lo = (unsigned char)*++q;
        q++;
        unsigned char hi = lo;
        if (q[0] == '-' && q[1] && q[1] != ']') {
            hi = (unsigned char)q[1];
            if (hi == '\\' && q[2])
                hi = (unsigned char)*++q;
            q += 2;
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
