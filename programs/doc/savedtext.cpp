// A compact tree written back as the document it was read from.
#include <cstdio>

#include "saved.h"

std::string sv_quote(std::string_view s)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : s) {
        unsigned char c = (unsigned char)ch;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "";
            if (c != '\n' && c != '\r' && c != '\t') {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string sv_text(const sv_tree &t)
{
    if (t.entries.empty())
        return {};
    const sv_entry &root = t.entries[0];
    char time[32];
    snprintf(time, sizeof time, "%.1f", t.scan_time_ms);
    std::string buf = "{\"path\":" + sv_quote(t.path) + ",\"total_size\":" + std::to_string(root.size) +
                      ",\"total_files\":" + std::to_string(root.files) + ",\"total_dirs\":" +
                      std::to_string(t.total_dirs) + ",\"scan_time_ms\":" + time;
    // Pre-order without recursion: the stack holds the next entry to write
    // at each open level (0: the level's list ends there).
    struct level {
        uint32_t next;
        bool first;
    };
    std::vector<level> stack;
    if (root.first_child) {
        buf += ",\"children\":[";
        stack.push_back({root.first_child, true});
    } else {
        buf += "}";
    }
    while (!stack.empty()) {
        level &lv = stack.back();
        uint32_t i = lv.next;
        if (!i) {
            stack.pop_back();
            buf += "]}";  // the list and the object that holds it
            continue;
        }
        const sv_entry &e = t.entries[i];
        if (!lv.first)
            buf += ",";
        lv.first = false;
        lv.next = e.next_sibling;
        buf += "{\"name\":" + sv_quote(t.name(e)) + ",\"size\":" + std::to_string(e.size) +
               ",\"files\":" + std::to_string(e.files) + (e.is_dir ? ",\"is_dir\":true" : ",\"is_dir\":false");
        if (e.first_child) {
            buf += ",\"children\":[";
            stack.push_back({e.first_child, true});
        } else {
            buf += "}";
        }
    }
    return buf;
}
