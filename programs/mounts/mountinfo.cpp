// /proc/self/mountinfo read as text: kept apart from the file itself so that
// every system's tests can read it.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "mounts.h"

namespace {

// tmpfs is not among them: its files are someone's, and take memory.
const char *const KERNEL_FS[] = {
    "proc", "sysfs", "cgroup", "cgroup2", "debugfs", "tracefs", "securityfs", "pstore", "bpf", "configfs",
    "fusectl", "mqueue", "hugetlbfs", "devpts", "autofs", "binfmt_misc", "nsfs", "rpc_pipefs", "efivarfs",
    "devtmpfs", "selinuxfs",
};

bool is_octal(char c) { return c >= '0' && c <= '7'; }

bool is_byte_escape(std::string_view s, size_t i)
{
    return s[i] == '\\' && i + 3 < s.size() && s[i + 1] <= '3' && is_octal(s[i + 1]) && is_octal(s[i + 2]) &&
           is_octal(s[i + 3]);
}

// The kernel writes space, tab, newline and backslash in paths as \ and
// three octal digits (a byte: \000 to \377); anything else after a
// backslash is taken as it is.
std::string unescape(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (is_byte_escape(s, i)) {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> out;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > at)
            out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// Which of two mounts of one file system to list: the whole file system
// before a part of it, then the shorter path (it reads as the home of the
// file system), then the first.
bool better(const mount_entry &a, const mount_entry &b)
{
    bool a_whole = a.fs_root == "/", b_whole = b.fs_root == "/";
    if (a_whole != b_whole)
        return a_whole;
    return a.point.size() < b.point.size();
}

}  // namespace

bool is_kernel_fs(const std::string &type)
{
    return std::any_of(std::begin(KERNEL_FS), std::end(KERNEL_FS), [&](const char *k) { return type == k; });
}

// ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
bool parse_mountinfo_line(std::string_view line, mount_entry *out)
{
    std::vector<std::string_view> f = fields_of(line);
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-")
        dash++;
    if (dash + 1 >= f.size() || f[2].find(':') == std::string_view::npos)
        return false;
    *out = mount_entry{};
    out->dev_id = std::string(f[2]);
    out->fs_root = unescape(f[3]);
    out->point = unescape(f[4]);
    out->type = unescape(f[dash + 1]);
    out->device = dash + 2 < f.size() ? unescape(f[dash + 2]) : "";
    return true;
}

std::vector<mount_entry> mounts_from_mountinfo(std::string_view text)
{
    std::vector<mount_entry> all;
    std::unordered_map<std::string, size_t> at_point;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = std::min(text.find('\n', at), text.size());
        mount_entry m;
        if (parse_mountinfo_line(text.substr(at, end - at), &m) && !is_kernel_fs(m.type)) {
            // A later mount at the same point hides the earlier one.
            auto [it, fresh] = at_point.emplace(m.point, all.size());
            if (fresh)
                all.push_back(std::move(m));
            else
                all[it->second] = std::move(m);
        }
        at = end + 1;
    }
    std::unordered_map<std::string, size_t> chosen;  // dev_id -> index in all
    for (size_t i = 0; i < all.size(); i++) {
        if (all[i].dev_id.empty())
            continue;
        auto [it, fresh] = chosen.emplace(all[i].dev_id, i);
        if (!fresh && better(all[i], all[it->second]))
            it->second = i;
    }
    std::vector<mount_entry> out;
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].dev_id.empty() || chosen[all[i].dev_id] == i)
            out.push_back(all[i]);
    return out;
}
