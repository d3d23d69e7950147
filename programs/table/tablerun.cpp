#include "tablerun.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "quorvel_disk.h"
#include "saved.h"
#include "scanfeed.h"
#include "settings.h"
#include "table.h"
#include "termtext.h"
#include "utf8.h"

namespace {

std::string host_name()
{
#ifdef _WIN32
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = sizeof name;
    return GetComputerNameA(name, &n) ? std::string(name, n) : std::string();
#else
    char name[256] = {0};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
#endif
}

// s as a JSON string, ill-formed UTF-8 as U+FFFD (a pattern is any bytes).
std::string quoted(const char *s)
{
    std::string clean;
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t n = strlen(s), i = 0; i < n;) {
        size_t len = utf8_len_n(p + i, n - i);
        if (len == 0) {
            clean += UTF8_REPLACEMENT;
            i += utf8_bad_len_n(p + i, n - i);
        } else {
            clean.append(s + i, len);
            i += len;
        }
    }
    return sv_quote(clean);
}

// What the scan counted and how it walked, as the scans table keeps it.
std::string options_json(int id)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    if (disk_scan_get_options(id, &o) != 0)
        return "{}";
    std::string j = "{\"size_kind\":";
    j += o.size_kind == DISK_SIZE_APPARENT ? "\"apparent\"" : "\"disk\"";
    j += ",\"hard_links_once\":" + std::string(o.hard_links_once ? "true" : "false");
    j += ",\"one_file_system\":" + std::string(o.one_file_system ? "true" : "false");
    j += ",\"exclude_caches\":" + std::string(o.exclude_caches ? "true" : "false");
    j += ",\"follow_links\":" + std::string(o.follow_links ? "true" : "false");
    j += ",\"max_depth\":" + std::to_string(o.max_depth > 0 ? o.max_depth : 0);
    j += ",\"excludes\":[";
    for (int i = 0; i < o.exclude_count; i++)
        j += (i ? "," : "") + quoted(o.excludes[i]);
    return j + "]}";
}

}  // namespace

int write_table(const char *file, int id, const char *root)
{
    table_scan scan;
    scan.host = host_name();
    scan.root = root;
    scan.time = (int64_t)time(nullptr);
    scan.options = options_json(id);
    std::string why;
    std::unique_ptr<doc_sink> sink = table_open(file, scan, &why);
    if (sink && scan_feed(id, *sink, &why))
        return EXIT_OK;
    fprintf(stderr, "qvdisk: cannot write the table to '%s': %s\n", term_safe(file).c_str(), why.c_str());
    return EXIT_SCAN_FAILED;
}
