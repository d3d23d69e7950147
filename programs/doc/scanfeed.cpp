#include "scanfeed.h"

namespace {

struct feeding {
    doc_sink &sink;
    bool rooted = false;
};

int tell(void *ctx, const disk_entry *e)
{
    auto *f = static_cast<feeding *>(ctx);
    if (!e)
        return f->sink.leave() ? 0 : 1;
    if (!f->rooted) {
        f->rooted = true;
        doc_root r;
        r.path = {e->name, e->name_len};
        r.size = e->size;
        r.files = e->files;
        r.dirs = e->dirs;
        r.entry = e;
        return f->sink.root(r) ? 0 : 1;
    }
    doc_node n;
    n.name = {e->name, e->name_len};
    n.size = e->size;
    n.files = e->files;
    n.dirs = e->dirs;
    n.is_dir = e->is_dir != 0;
    n.entry = e;
    return f->sink.enter(n) ? 0 : 1;
}

}  // namespace

bool scan_feed(int id, doc_sink &sink, std::string *error)
{
    feeding f{sink};
    int rc = disk_visit(id, tell, &f);
    if (rc == 0 && sink.end())
        return true;
    *error = rc == 1 || rc == 0 ? sink.refusal()
             : rc == -2         ? std::string("out of memory")
                                : std::string("the library has no finished scan to tell");
    return false;
}

scan_builder::~scan_builder()
{
    if (id_ >= 0)
        disk_free(id_);
}

bool scan_builder::root(const doc_root &r)
{
    std::string path(r.path);
    // An empty path: a root of no name, several roots below it.
    if (id_ >= 0 || path.find('\0') != std::string::npos)
        return refuse("a root path that cannot be a path");
    root_path_ = path;
    id_ = disk_import_begin(path.c_str(), &opts_);
    if (id_ < 0)
        return refuse("no scan to be had from the library (32 at once, or memory)");
    disk_entry e = r.entry ? *r.entry : disk_entry{};
    e.struct_size = sizeof e;
    e.is_dir = 1;
    return disk_import_entry(id_, &e) == 0 || refuse("the library refused the root");
}

bool scan_builder::enter(const doc_node &n)
{
    if (!n.entry)
        return refuse("an entry without what a scan needs of it");
    if (n.name.size() > 65535)
        return refuse("an entry name that cannot be a file name");
    disk_entry e = *n.entry;
    e.struct_size = sizeof e;
    e.name = n.name.data();
    e.name_len = (unsigned)n.name.size();
    e.is_dir = n.is_dir;
    return disk_import_entry(id_, &e) == 0 ||
           refuse("an entry the library refused (a path deeper than 32767 bytes below the root, or memory)");
}

bool scan_builder::leave()
{
    return disk_import_entry(id_, nullptr) == 0 || refuse("the library refused the end of a directory");
}

bool scan_builder::end()
{
    if (id_ < 0)
        return refuse("no root");
    if (disk_import_end(id_) != 0)
        return refuse("the library could not finish the scan");
    done_ = true;
    return true;
}

int scan_builder::take()
{
    if (!done_)
        return -1;
    int id = id_;
    id_ = -1;
    done_ = false;
    return id;
}
