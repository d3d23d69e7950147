#include "scanroots.h"

#include <algorithm>

namespace {

// Whether inner lies below outer; the path below it in *rel.
bool lies_below(const std::string &outer, const std::string &inner, std::string *rel)
{
    size_t n = outer.size();
    bool ends_in_slash = n > 0 && outer[n - 1] == '/';
    if (inner.size() <= n || inner.compare(0, n, outer) != 0 || (!ends_in_slash && inner[n] != '/'))
        return false;
    *rel = inner.substr(ends_in_slash ? n : n + 1);
    return !rel->empty();
}

// One scan told into the whole, the directories another root holds left
// out: their entries, and their ends, are not passed on.
struct telling {
    int into;
    const std::vector<std::string> &inner;
    std::string path;          // below the root, "/"-joined
    std::vector<size_t> lens;  // of path, at each directory open
    size_t hidden = 0;         // depth inside a directory left out
    bool refused = false;
};

bool held_elsewhere(telling &t, const disk_entry &e)
{
    if (t.inner.empty() || !e.is_dir || t.lens.empty())
        return false;
    std::string at = t.path;
    if (!at.empty())
        at += '/';
    at.append(e.name, e.name_len);
    return std::find(t.inner.begin(), t.inner.end(), at) != t.inner.end();
}

int tell(void *ctx, const disk_entry *e)
{
    auto *t = static_cast<telling *>(ctx);
    if (t->hidden > 0) {
        if (!e)
            t->hidden--;
        else if (e->is_dir)
            t->hidden++;
        return 0;
    }
    if (e && held_elsewhere(*t, *e)) {
        t->hidden = 1;
        return 0;
    }
    if (!t->inner.empty()) {
        if (!e) {
            t->path.resize(t->lens.empty() ? 0 : t->lens.back());
            if (!t->lens.empty())
                t->lens.pop_back();
        } else if (e->is_dir) {
            t->lens.push_back(t->path.size());
            // The root's own name is not part of the paths below it.
            if (t->lens.size() > 1) {
                if (!t->path.empty())
                    t->path += '/';
                t->path.append(e->name, e->name_len);
            }
        }
    }
    if (disk_import_entry(t->into, e) != 0) {
        t->refused = true;
        return 1;
    }
    return 0;
}

}  // namespace

std::vector<std::vector<std::string>> roots_inside(const std::vector<std::string> &real)
{
    std::vector<std::vector<std::string>> inside(real.size());
    std::string rel;
    for (size_t i = 0; i < real.size(); i++)
        for (size_t j = 0; j < real.size(); j++)
            if (i != j && !real[i].empty() && lies_below(real[i], real[j], &rel))
                inside[i].push_back(rel);
    return inside;
}

roots_builder::roots_builder(const disk_scan_options &opts)
{
    id_ = disk_import_begin("", &opts);
    disk_entry root{};
    root.struct_size = sizeof root;
    root.name = "";
    root.is_dir = 1;
    if (id_ >= 0 && disk_import_entry(id_, &root) != 0) {
        disk_free(id_);
        id_ = -1;
    }
}

roots_builder::~roots_builder()
{
    if (id_ >= 0)
        disk_free(id_);
}

bool roots_builder::add(int id, const std::vector<std::string> &inner, std::string *error)
{
    telling t{id_, inner};
    int rc = disk_visit(id, tell, &t);
    if (rc == 0)
        return true;
    *error = t.refused ? "the library refused an entry (memory, or a path deeper than 32767 bytes)"
             : rc == -2 ? "out of memory"
                        : "the library has no finished scan to tell";
    return false;
}

int roots_builder::finish()
{
    int id = id_;
    id_ = -1;
    if (disk_import_end(id) != 0) {
        disk_free(id);
        return -1;
    }
    return id;
}
