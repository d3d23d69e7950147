// The JSON writer: a sink that writes what it is told as the library writes
// a scan result, fed here from a tree.
#include <cstdio>
#include <vector>

#include "saved.h"

namespace {

class text_writer : public doc_sink {
public:
    explicit text_writer(std::string &out) : out_(out) {}

    bool root(const doc_root &r) override
    {
        char time[32];
        snprintf(time, sizeof time, "%.1f", r.scan_time_ms);
        out_ += "{\"path\":";
        out_ += sv_quote(r.path);
        number(",\"total_size\":", r.size);
        number(",\"total_files\":", r.files);
        number(",\"total_dirs\":", r.dirs);
        out_ += ",\"scan_time_ms\":";
        out_ += time;
        listed_.push_back(false);
        return true;
    }
    bool enter(const doc_node &n) override
    {
        out_ += listed_.back() ? ",{\"name\":" : ",\"children\":[{\"name\":";
        listed_.back() = true;
        out_ += sv_quote(n.name);
        number(",\"size\":", n.size);
        number(",\"files\":", n.files);
        if (n.is_dir) {
            out_ += ",\"is_dir\":true";
            listed_.push_back(false);
        } else {
            out_ += ",\"is_dir\":false}";
        }
        return true;
    }
    bool leave() override
    {
        // The list of entries, when there was one, and the object.
        out_ += listed_.back() ? "]}" : "}";
        listed_.pop_back();
        return true;
    }

private:
    std::string &out_;
    std::vector<bool> listed_;  // each open directory: an entry written in it

    void number(const char *member, uint64_t n)
    {
        out_ += member;
        out_ += std::to_string(n);
    }
};

}  // namespace

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
    std::string out;
    out.reserve(t.names.size() + t.entries.size() * 64);
    text_writer w(out);
    if (!sv_feed(t, w))
        return {};
    return out;
}
