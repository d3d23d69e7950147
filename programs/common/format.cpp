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
