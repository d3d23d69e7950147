// qvdisk -i: reading the library's directory documents as a stream of
// entries, and the largest files and extensions below a directory.
#include <algorithm>
#include <cstring>
#include <queue>
#include <unordered_map>

#include "browse.h"
#include "docread.h"
#include "quorvel_disk.h"

namespace {

// The entries of a directory document, each with its depth, for
// read_dir_doc()'s callers.
class depth_sink : public doc_sink {
public:
    explicit depth_sink(const std::function<void(int, const doc_entry &)> &fn) : fn_(fn) {}

    bool root(const doc_root &r) override
    {
        tell(r.path, r.size, r.files, true, r.meta);
        open_ = 1;
        return true;
    }
    bool enter(const doc_node &n) override
    {
        tell(n.name, n.size, n.files, n.is_dir, n.meta);
        open_ += n.is_dir;
        return true;
    }
    bool leave() override
    {
        open_--;
        return true;
    }

private:
    const std::function<void(int, const doc_entry &)> &fn_;
    int open_ = 0;  // directories open: the depth of what comes next
    doc_entry e_;

    void tell(std::string_view name, uint64_t size, uint64_t files, bool is_dir, const doc_meta &m)
    {
        e_.name.assign(name);
        e_.size = size;
        e_.files = files;
        e_.is_dir = is_dir;
        e_.fields = m.fields;
        e_.mtime = m.mtime;
        e_.uid = m.uid;
        e_.gid = m.gid;
        e_.mode = m.mode;
        fn_(open_, e_);
    }
};

class problem_sink : public doc_sink {
public:
    explicit problem_sink(problem_map &out) : out_(out) {}
    bool row(const doc_row &r) override
    {
        if (r.name.empty() || r.problem.empty())
            return true;
        dir_problem &d = out_[std::string(r.name)];
        d.kind.assign(r.problem);
        d.error = (int)r.error;
        return true;
    }

private:
    problem_map &out_;
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
    depth_sink sink(fn);
    std::string why;
    return doc_read_text(text, strlen(text), doc_form::library, sink, &why);
}

problem_map read_problems(const char *text)
{
    problem_map out;
    problem_sink sink(out);
    std::string why;
    if (!text || !doc_read_text(text, strlen(text), doc_form::list, sink, &why))
        out.clear();
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
