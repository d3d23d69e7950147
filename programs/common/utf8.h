// UTF-8 as the library's documents hold names: byte for byte when they are
// well-formed, else with each maximal ill-formed part written as U+FFFD.
#pragma once

#include <cstddef>

// U+FFFD, the replacement character, as UTF-8.
inline constexpr char UTF8_REPLACEMENT[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at p, or 0 when it is not one
// (p is NUL-terminated).
inline size_t utf8_len(const unsigned char *p)
{
    if (p[0] < 0x80)
        return 1;
    if (p[0] < 0xC2)
        return 0;
    size_t n = p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : p[0] < 0xF5 ? 4 : 0;
    unsigned lo = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned hi = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return n;
}

// The bytes of the maximal ill-formed part at p (1 to 3), where utf8_len()
// gave 0: what one U+FFFD stands for.
inline size_t utf8_bad_len(const unsigned char *p)
{
    size_t n = p[0] >= 0xE0 && p[0] < 0xF5 ? (p[0] < 0xF0 ? 3 : 4) : 1;
    unsigned lo = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned hi = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (n == 1 || p[1] < lo || p[1] > hi)
        return 1;
    size_t i = 2;
    while (i < n - 1 && (p[i] & 0xC0) == 0x80)
        i++;
    return i;
}

// utf8_len() and utf8_bad_len() for n bytes at p that need not be
// NUL-terminated (a name inside a larger buffer): when fewer than 4 bytes
// are left, f looks at a zero-padded copy of them.
template <class F>
size_t utf8_within(const unsigned char *p, size_t n, F f)
{
    if (n >= 4)
        return f(p);
    unsigned char tail[5] = {};
    for (size_t i = 0; i < n; i++)
        tail[i] = p[i];
    return f(tail);
}

// utf8_len() within n bytes.
inline size_t utf8_len_n(const unsigned char *p, size_t n)
{
    return utf8_within(p, n, utf8_len);
}

// utf8_bad_len() within n bytes, never more than n.
inline size_t utf8_bad_len_n(const unsigned char *p, size_t n)
{
    size_t bad = utf8_within(p, n, utf8_bad_len);
    return bad < n ? bad : n;
}
