// Sinks that keep what the report shows: the top levels of a tree and the
// rows of a list.
#include "jsonread.h"

#include <cstring>

#include "docread.h"

namespace {

class node_tree : public doc_sink {
public:
    node_tree(jr_node &root, int levels) : root_(root), levels_(levels) {}

    bool root(const doc_root &r) override
    {
        root_.name.assign(r.path);
        root_.size = r.size;
        root_.files = r.files;
        root_.dirs = r.dirs;
        root_.scan_time_ms = r.scan_time_ms;
        open_.push_back(&root_);
        return true;
    }
    bool enter(const doc_node &n) override
    {
        // open_ holds the directories down to the depth kept, then nulls.
        jr_node *parent = open_.back();
        jr_node *kept = nullptr;
        if (parent && (int)open_.size() <= levels_) {
            parent->children.emplace_back();
            kept = &parent->children.back();
            kept->name.assign(n.name);
            kept->size = n.size;
            kept->files = n.files;
            kept->is_dir = n.is_dir;
        }
        if (n.is_dir)
            open_.push_back(kept);
        return true;
    }
    bool leave() override
    {
        open_.pop_back();
        return true;
    }

private:
    jr_node &root_;
    int levels_;
    std::vector<jr_node *> open_;
};

class node_list : public doc_sink {
public:
    explicit node_list(std::vector<jr_node> &items) : items_(items) {}
    bool row(const doc_row &r) override
    {
        jr_node n;
        n.name.assign(r.name);
        n.size = r.size;
        n.files = r.count;
        items_.push_back(std::move(n));
        return true;
    }

private:
    std::vector<jr_node> &items_;
};

}  // namespace

bool jr_read_tree(const char *text, int levels, jr_node *root)
{
    *root = jr_node{};
    root->is_dir = true;
    if (!text)
        return false;
    node_tree sink(*root, levels);
    std::string why;
    return doc_read_text(text, strlen(text), doc_form::library, sink, &why);
}

bool jr_read_list(const char *text, std::vector<jr_node> *items)
{
    items->clear();
    if (!text)
        return false;
    node_list sink(*items);
    std::string why;
    return doc_read_text(text, strlen(text), doc_form::list, sink, &why);
}
