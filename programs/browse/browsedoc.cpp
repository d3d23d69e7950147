// qvdisk -i: reading the library's directory documents as a stream of
// entries, and the largest files and extensions below a directory.
#include <algorithm>
#include <queue>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "browse.h"
#include "quorvel_disk.h"

namespace {

// Members come in a fixed order, "children" last: an entry is complete when
// its "children" begin or its object ends, whichever comes first.
struct entry_reader : nlohmann::json_sax<nlohmann::json> {
    const std::function<void(int, const doc_entry &)> &fn;
    std::vector<doc_entry> open;  // one per object being read
    std::vector<bool> told;
    std::string key_;

    explicit entry_reader(const std::function<void(int, const doc_entry &)> &f) : fn(f) {}
    void tell()
    {
        if (!told.back()) {
            told.back() = true;
            fn((int)open.size() - 1, open.back());
        }
    }
    bool null() override { return true; }
    bool boolean(bool v) override
    {
        if (key_ == "is_dir" && !open.empty())
            open.back().is_dir = v;
        return true;
    }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t v) override
    {
        if (open.empty())
            return true;
        if (key_ == "size" || key_ == "total_size")
            open.back().size = v;
        else if (key_ == "files" || key_ == "total_files")
            open.back().files = v;
        return true;
    }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &v) override
    {
        if ((key_ == "name" || key_ == "path") && !open.empty())
            open.back().name = std::move(v);
        return true;
    }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override
    {
        open.emplace_back();
        told.push_back(false);
        return true;
    }
    bool key(string_t &k) override
    {
        key_ = k;
        if (k == "children")
            tell();
        return true;
    }
    bool end_object() override
    {
        tell();
        open.pop_back();
        told.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }
};

struct by_size_then_path {
    bool operator()(const stat_row &a, const stat_row &b) const
    {
        return a.size != b.size ? a.size > b.size : a.name < b.name;
    }
};

// Directories with more files than this are read a level at a time, so
// that no text of a whole large subtree is held at once.
const uint64_t WHOLE_SUBTREE_FILES = 20000;

// Every file below node, with its path below node: the opened directories
// from the model (which knows what was deleted or rescanned), the others
// from the library.
void each_file(browser &b, int node, const std::function<void(const std::string &, uint64_t)> &fn)
{
    struct item {
        int node;  // in the model, or -1: a directory only the scan knows
        int scan;
        std::string lib_path, prefix;
        uint64_t files;
    };
    std::vector<item> todo{{node, -1, "", "", 0}};
    while (!todo.empty()) {
        item it = todo.back();
        todo.pop_back();
        if (it.node >= 0 && b.nodes[(size_t)it.node].loaded) {
            for (int k : b.nodes[(size_t)it.node].kids) {
                const bnode &c = b.nodes[(size_t)k];
                if (c.is_dir)
                    todo.push_back({k, c.scan, c.lib_path, it.prefix + c.name + "/", c.files});
                else
                    fn(it.prefix + c.name, c.size);
            }
            continue;
        }
        bool whole = it.files <= WHOLE_SUBTREE_FILES;
        const char *doc = disk_get_dir(it.scan, it.lib_path.c_str(), whole ? 0 : 1);
        std::vector<std::string> dirs{it.prefix};  // the path of each open level
        read_dir_doc(doc, [&](int depth, const doc_entry &e) {
            if (depth == 0)
                return;
            dirs.resize((size_t)depth);
            if (e.is_dir && !whole)
                todo.push_back({-1, it.scan, it.lib_path + (it.lib_path.back() == '/' ? "" : "/") + e.name,
                                dirs.back() + e.name + "/", e.files});
            else if (e.is_dir)
                dirs.push_back(dirs.back() + e.name + "/");
            else
                fn(dirs.back() + e.name, e.size);
        });
    }
}

}  // namespace

bool read_dir_doc(const char *text, const std::function<void(int depth, const doc_entry &)> &fn)
{
    if (!text)
        return false;
    entry_reader r(fn);
    return nlohmann::json::sax_parse(text, &r) && r.open.empty();
}

problem_map read_problems(const char *text)
{
    problem_map out;
    nlohmann::json list = nlohmann::json::parse(text ? text : "[]", nullptr, false);
    for (const auto &p : list.is_array() ? list : nlohmann::json::array()) {
        if (!p.is_object() || !p.contains("path") || !p["path"].is_string() || !p.contains("problem") ||
            !p["problem"].is_string())
            continue;
        dir_problem &d = out[p["path"].get<std::string>()];
        d.kind = p["problem"].get<std::string>();
        if (p.contains("error") && p["error"].is_number_integer())
            d.error = p["error"].get<int>();
    }
    return out;
}

std::string problem_text(const dir_problem &p)
{
    if (p.kind == "unreadable")
        return "could not be read (error " + std::to_string(p.error) + ")";
    if (p.kind == "stalled")
        return "stalled: the storage did not answer";
    if (p.kind == "pseudo_fs")
        return "not entered: pseudo file system";
    return "not entered: " + p.kind;
}

std::string problem_tag(const dir_problem &p)
{
    return p.kind == "pseudo_fs" ? "pseudo fs" : p.kind;
}

std::string extension_of(const std::string &name)
{
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
}

void largest_files(browser &b, int node, size_t n, std::vector<stat_row> *out)
{
    // A min-heap of the n largest so far: the smallest kept is on top.
    std::priority_queue<stat_row, std::vector<stat_row>, by_size_then_path> heap;
    each_file(b, node, [&](const std::string &path, uint64_t size) {
        if (heap.size() < n) {
            heap.push({path, size, 1});
        } else if (n > 0 && size > heap.top().size) {
            heap.pop();
            heap.push({path, size, 1});
        }
    });
    out->clear();
    for (; !heap.empty(); heap.pop())
        out->push_back(heap.top());
    std::sort(out->begin(), out->end(), by_size_then_path());
}

void extensions(browser &b, int node, std::vector<stat_row> *out)
{
    std::unordered_map<std::string, stat_row> by_ext;
    each_file(b, node, [&](const std::string &path, uint64_t size) {
        size_t slash = path.rfind('/');
        std::string ext = extension_of(slash == std::string::npos ? path : path.substr(slash + 1));
        if (ext.empty())
            return;
        stat_row &r = by_ext[ext];
        r.name = ext;
        r.size += size;
        r.count++;
    });
    out->clear();
    for (auto &kv : by_ext)
        out->push_back(kv.second);
    std::sort(out->begin(), out->end(), by_size_then_path());
}
