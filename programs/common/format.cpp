#include "format.h"

#include <cstdio>

std::string human(uint64_t bytes)
{
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    char buf[32];
    if (bytes < 1024) {
        snprintf(buf, sizeof buf, "%llu B", (unsigned long long)bytes);
        return buf;
    }
    double v = (double)bytes;
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        u++;
    }
    // Rounding may carry into the next unit: 1023.95 KiB shows as 1.0 MiB.
    if (v >= 1023.95 && u < 4) {
        v /= 1024.0;
        u++;
    }
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string grouped(uint64_t n)
{
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

size_t columns(const std::string &s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string printable(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

std::string fit_right(const std::string &s, size_t cols)
{
    if (columns(s) <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    std::string out;
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xC0) != 0x80 && ++n > cols - 3)
            break;
        out += s[i];
    }
    return out + "...";
}

std::string fit_left(const std::string &s, size_t cols)
{
    size_t total = columns(s);
    if (total <= cols)
        return s;
    if (cols < 3)
        return std::string(cols, '.');
    size_t skip = total - (cols - 3), n = 0, i = 0;
    for (; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xC0) != 0x80 && n++ == skip)
            break;
    }
    return "..." + s.substr(i);
}

std::string pad_left(const std::string &s, size_t cols)
{
    size_t n = columns(s);
    return n >= cols ? s : std::string(cols - n, ' ') + s;
}
