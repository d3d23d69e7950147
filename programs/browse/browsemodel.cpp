// qvdisk -i: the model's operations. Nothing here draws or reads keys.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "browse.h"
#include "quorvel_disk.h"

namespace {

std::string join(const std::string &dir, const std::string &name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Lower-case ASCII: the filter ignores case for plain letters.
std::string folded(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

// Adds delta (which may be negative, as two's complement) to the totals of
// node and every directory above it.
void add_above(browser &b, int node, uint64_t dsize, uint64_t dfiles)
{
    for (int p = node; p >= 0; p = b.nodes[(size_t)p].parent) {
        b.nodes[(size_t)p].size += dsize;
        b.nodes[(size_t)p].files += dfiles;
    }
}

void set_meta(bnode &n, const doc_entry &e)
{
    n.fields = (uint8_t)(e.fields & (DISK_FIELD_MTIME | DISK_FIELD_OWNER));
    n.mtime = e.mtime;
    n.uid = e.uid;
    n.gid = e.gid;
    n.mode = e.mode;
}

// Marks on node (unless keep_node) and below it go: what they named is
// gone from the model.
void unmark_below(browser &b, int node, bool keep_node)
{
    for (auto it = b.marks.begin(); it != b.marks.end();)
        it = (*it != node || !keep_node) && is_below(b, *it, node) ? b.marks.erase(it) : std::next(it);
}

// The directory shown is gone from the model with gone (a marked directory
// above it deleted, or scanned again): show dir instead.
void show_instead(browser &b, int gone, int dir)
{
    if (b.cur == dir || !is_below(b, b.cur, gone))
        return;
    b.cur = dir;
    b.filter.clear();
    b.sel = b.top = 0;
}

dir_problem problem_at(browser &b, int scan, const std::string &lib_path)
{
    const problem_map &problems = b.problems[scan];
    auto p = problems.find(lib_path);
    return p == problems.end() ? dir_problem{} : p->second;
}

}  // namespace

void browser_init(browser &b, int scan, const std::string &root_raw, const char *root_doc)
{
    b.nodes.clear();
    b.marks.clear();
    b.problems.clear();
    b.problems[scan] = read_problems(disk_get_problems(scan));
    b.nodes.emplace_back();
    bnode &root = b.nodes[0];
    root.is_dir = true;
    root.scan = scan;
    root.lib_path = root_raw;
    root.problem = problem_at(b, scan, root_raw);
    b.root_raw = root_raw;
    read_dir_doc(root_doc, [&](int depth, const doc_entry &e) {
        if (depth == 0) {
            b.nodes[0].name = e.name;
            b.nodes[0].size = e.size;
            b.nodes[0].files = e.files;
            set_meta(b.nodes[0], e);
        }
    });
    b.has_times = (b.nodes[0].fields & DISK_FIELD_MTIME) != 0;
    b.has_owners = (b.nodes[0].fields & DISK_FIELD_OWNER) != 0;
    b.cur = 0;
    load_dir(b, 0);
    refresh_rows(b);
}

bool load_dir(browser &b, int node)
{
    if (b.nodes[(size_t)node].loaded)
        return true;
    const bnode d = b.nodes[(size_t)node];
    std::vector<int> kids;
    bool ok = read_dir_doc(disk_get_dir(d.scan, d.lib_path.c_str(), 1), [&](int depth, const doc_entry &e) {
        if (depth != 1)
            return;
        bnode c;
        c.name = e.name;
        c.size = e.size;
        c.files = e.files;
        c.is_dir = e.is_dir;
        c.parent = node;
        c.scan = d.scan;
        set_meta(c, e);
        if (c.is_dir) {
            c.lib_path = join(d.lib_path, e.name);
            c.problem = problem_at(b, d.scan, c.lib_path);
        }
        kids.push_back((int)b.nodes.size());
        b.nodes.push_back(std::move(c));
    });
    if (!ok) {
        b.message = "cannot read this directory from the scan";
        return false;
    }
    b.nodes[(size_t)node].kids = std::move(kids);
    b.nodes[(size_t)node].loaded = true;
    return true;
}

void refresh_rows(browser &b)
{
    const bnode &d = b.nodes[(size_t)b.cur];
    std::string want = folded(b.filter);
    b.rows.clear();
    for (int k : d.kids)
        if (want.empty() || folded(b.nodes[(size_t)k].name).find(want) != std::string::npos)
            b.rows.push_back(k);
    const std::vector<bnode> &n = b.nodes;
    auto size_desc = [&](int x, int y) { return n[(size_t)x].size > n[(size_t)y].size; };
    switch (b.sort) {
    case BY_SIZE:  // the document's order already
        break;
    case BY_NAME:
        std::stable_sort(b.rows.begin(), b.rows.end(), [&](int x, int y) { return n[(size_t)x].name < n[(size_t)y].name; });
        break;
    case BY_COUNT:
        std::stable_sort(b.rows.begin(), b.rows.end(),
                         [&](int x, int y) { return n[(size_t)x].files > n[(size_t)y].files; });
        break;
    case BY_EXT:
        // Directories first, then by extension, each extension largest first.
        std::stable_sort(b.rows.begin(), b.rows.end(), [&](int x, int y) {
            if (n[(size_t)x].is_dir != n[(size_t)y].is_dir)
                return n[(size_t)x].is_dir;
            std::string ex = extension_of(n[(size_t)x].name), ey = extension_of(n[(size_t)y].name);
            return ex != ey ? ex < ey : size_desc(x, y);
        });
        break;
    case BY_TIME:
        // Newest first; entries without a time after all that have one.
        std::stable_sort(b.rows.begin(), b.rows.end(), [&](int x, int y) {
            bool tx = n[(size_t)x].fields & DISK_FIELD_MTIME, ty = n[(size_t)y].fields & DISK_FIELD_MTIME;
            if (tx != ty)
                return tx;
            return tx && n[(size_t)x].mtime > n[(size_t)y].mtime;
        });
        break;
    }
    if (b.reverse)
        std::reverse(b.rows.begin(), b.rows.end());
    b.sel = std::clamp(b.sel, 0, std::max(0, (int)b.rows.size() - 1));
}

void move_sel(browser &b, int delta)
{
    if (b.rows.empty())
        return;
    long s = (long)b.sel + delta;
    b.sel = (int)std::clamp(s, 0L, (long)b.rows.size() - 1);
}

void open_selected(browser &b)
{
    if (b.rows.empty())
        return;
    int n = b.rows[(size_t)b.sel];
    if (!b.nodes[(size_t)n].is_dir || !load_dir(b, n))
        return;
    b.cur = n;
    b.sel = b.top = 0;
    b.filter.clear();
    refresh_rows(b);
}

void go_up(browser &b)
{
    int from = b.cur, up = b.nodes[(size_t)from].parent;
    if (up < 0)
        return;
    b.cur = up;
    b.filter.clear();
    refresh_rows(b);
    auto at = std::find(b.rows.begin(), b.rows.end(), from);
    b.sel = at == b.rows.end() ? 0 : (int)(at - b.rows.begin());
    b.top = 0;
}

void set_sort(browser &b, sort_key k)
{
    int keep = b.rows.empty() ? -1 : b.rows[(size_t)b.sel];
    b.reverse = b.sort == k ? !b.reverse : false;
    b.sort = k;
    refresh_rows(b);
    auto at = std::find(b.rows.begin(), b.rows.end(), keep);
    b.sel = at == b.rows.end() ? 0 : (int)(at - b.rows.begin());
}

void take_meta(browser &b, int node, const doc_entry &e)
{
    set_meta(b.nodes[(size_t)node], e);
    if (!(e.fields & DISK_FIELD_MTIME))
        return;
    for (int p = b.nodes[(size_t)node].parent; p >= 0; p = b.nodes[(size_t)p].parent) {
        bnode &up = b.nodes[(size_t)p];
        if ((up.fields & DISK_FIELD_MTIME) && up.mtime < e.mtime)
            up.mtime = e.mtime;
    }
}

std::string shown_path(const browser &b, int node)
{
    std::vector<std::string> names = names_below_root(b, node);
    std::string out = b.nodes[0].name;
    for (const std::string &n : names)
        out = join(out, n);
    return out;
}

std::vector<std::string> names_below_root(const browser &b, int node)
{
    std::vector<std::string> names;
    for (int p = node; p > 0; p = b.nodes[(size_t)p].parent)
        names.push_back(b.nodes[(size_t)p].name);
    std::reverse(names.begin(), names.end());
    return names;
}

bool is_below(const browser &b, int node, int top)
{
    for (int p = node; p >= 0; p = b.nodes[(size_t)p].parent)
        if (p == top)
            return true;
    return false;
}

void remove_node(browser &b, int node)
{
    bnode &n = b.nodes[(size_t)node];
    int parent = n.parent;
    if (parent < 0)
        return;
    unmark_below(b, node, false);
    add_above(b, parent, (uint64_t)0 - n.size, (uint64_t)0 - (n.is_dir ? n.files : 1));
    std::vector<int> &kids = b.nodes[(size_t)parent].kids;
    kids.erase(std::remove(kids.begin(), kids.end(), node), kids.end());
    show_instead(b, node, parent);
    if (b.cur == parent)
        refresh_rows(b);
}

void replace_dir(browser &b, int node, int scan, const std::string &lib_path, uint64_t size, uint64_t files)
{
    bnode &n = b.nodes[(size_t)node];
    uint64_t dsize = size - n.size, dfiles = files - n.files;
    n.scan = scan;
    n.lib_path = lib_path;
    b.problems[scan] = read_problems(disk_get_problems(scan));  // the id may have served another scan
    n.problem = problem_at(b, scan, lib_path);
    n.loaded = false;
    unmark_below(b, node, true);
    show_instead(b, node, node);
    n.kids.clear();
    add_above(b, node, dsize, dfiles);
    load_dir(b, node);
    if (b.cur == node)
        refresh_rows(b);
}

void toggle_mark(browser &b)
{
    if (b.rows.empty())
        return;
    int node = b.rows[(size_t)b.sel];
    if (!b.marks.erase(node))
        b.marks.insert(node);
    move_sel(b, 1);
}

std::vector<int> marks_to_act_on(const browser &b)
{
    std::vector<int> out;
    for (int m : b.marks) {
        int p = b.nodes[(size_t)m].parent;
        while (p >= 0 && !b.marks.count(p))
            p = b.nodes[(size_t)p].parent;
        if (p < 0)
            out.push_back(m);
    }
    return out;
}

mark_totals totals_of(const browser &b, const std::vector<int> &nodes)
{
    mark_totals t;
    for (int n : nodes) {
        const bnode &e = b.nodes[(size_t)n];
        t.count++;
        t.size += e.size;
        t.files += e.is_dir ? e.files : 1;
    }
    return t;
}

void list_marks(browser &b)
{
    std::vector<int> acted = marks_to_act_on(b);
    b.stats.clear();
    for (int m : b.marks) {
        const bnode &n = b.nodes[(size_t)m];
        bool inside = std::find(acted.begin(), acted.end(), m) == acted.end();
        b.stats.push_back({shown_path(b, m) + (n.is_dir ? "/" : "") + (inside ? "  (in a marked directory)" : ""),
                           n.size, n.is_dir ? n.files : 1});
    }
    std::sort(b.stats.begin(), b.stats.end(), [](const stat_row &x, const stat_row &y) { return x.name < y.name; });
    b.stats_top = 0;
}
