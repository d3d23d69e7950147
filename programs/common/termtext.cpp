#include "termtext.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "termwidth.h"

namespace {

const uint32_t NOT_UTF8 = 0xFFFFFFFF;

// The code point at s[i] and its length in *n; NOT_UTF8 (with *n 1) for a
// byte that does not start a well-formed sequence: no overlong forms, no
// surrogates, nothing above U+10FFFF, nothing cut short.
uint32_t decode(std::string_view s, size_t i, size_t *n)
{
    auto byte = [&](size_t k) { return i + k < s.size() ? (unsigned char)s[i + k] : 0u; };
    auto cont = [&](size_t k, unsigned lo, unsigned hi) { return byte(k) >= lo && byte(k) <= hi; };
    unsigned b0 = byte(0);
    *n = 1;
    if (b0 < 0x80)
        return b0;
    if (b0 >= 0xC2 && b0 <= 0xDF && cont(1, 0x80, 0xBF)) {
        *n = 2;
        return (b0 & 0x1F) << 6 | (byte(1) & 0x3F);
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
        if (cont(1, lo, hi) && cont(2, 0x80, 0xBF)) {
            *n = 3;
            return (b0 & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        }
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
        if (cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF)) {
            *n = 4;
            return (b0 & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
        }
    }
    return NOT_UTF8;
}

bool obeyed(uint32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

template <size_t N>
bool in(const cp_range (&table)[N], uint32_t cp)
{
    const cp_range *end = table + N;
    const cp_range *r = std::upper_bound(table, end, cp, [](uint32_t c, const cp_range &x) { return c < x.lo; });
    return r != table && cp <= r[-1].hi;
}

// Columns of one code point as term_safe() leaves it.
size_t cols_of(uint32_t cp)
{
    if (cp == NOT_UTF8 || obeyed(cp) || cp < 0x300)
        return 1;
    if (in(k_zero_width, cp))
        return 0;
    return in(k_double_width, cp) ? 2 : 1;
}

// The code points of s: where each starts, and its columns.
struct piece {
    size_t at, len, cols;
};

std::vector<piece> pieces(const std::string &s)
{
    std::vector<piece> out;
    for (size_t i = 0, n; i < s.size(); i += n) {
        uint32_t cp = decode(s, i, &n);
        out.push_back({i, n, cols_of(cp)});
    }
    return out;
}

}  // namespace

std::string term_safe(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0, n; i < s.size(); i += n) {
        uint32_t cp = decode(s, i, &n);
        if (cp == NOT_UTF8 || obeyed(cp))
            out += '?';
        else
            out.append(s.substr(i, n));
    }
    return out;
}

size_t term_cols(std::string_view s)
{
    size_t cols = 0;
    for (size_t i = 0, n; i < s.size(); i += n)
        cols += cols_of(decode(s, i, &n));
    return cols;
}

std::string fit_right(const std::string &s, size_t cols)
{
    if (term_cols(s) <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    // Whole code points, with the marks that combine with the last one.
    size_t used = 0, to = 0;
    for (const piece &p : pieces(s)) {
        if (used + p.cols > cols - 3)
            break;
        used += p.cols;
        to = p.at + p.len;
    }
    return s.substr(0, to) + "...";
}

std::string fit_left(const std::string &s, size_t cols)
{
    if (term_cols(s) <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    std::vector<piece> ps = pieces(s);
    size_t used = 0, first = ps.size();
    while (first > 0 && used + ps[first - 1].cols <= cols - 3)
        used += ps[--first].cols;
    // A mark whose letter was cut off would sit on the dots.
    while (first < ps.size() && ps[first].cols == 0)
        first++;
    return "..." + (first < ps.size() ? s.substr(ps[first].at) : std::string());
}

std::string pad_left(const std::string &s, size_t cols)
{
    size_t n = term_cols(s);
    return n >= cols ? s : std::string(cols - n, ' ') + s;
}

std::string pad_right(const std::string &s, size_t cols)
{
    size_t n = term_cols(s);
    return n >= cols ? s : s + std::string(cols - n, ' ');
}
