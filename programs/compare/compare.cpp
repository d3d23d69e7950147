#include "compare.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>
#include <utility>

namespace {

const uint32_t NONE = UINT32_MAX;  // no entry on that side

uint64_t gap(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

// Calls pair(o, n) for each child of old directory oi and new directory ni
// (either may be absent: NONE), matched by name: the trees keep each
// directory's entries by name, so this is one merge of two sorted lists.
// Names the library mended to the same text meet in document order.
template <typename F>
void match_children(const sv_tree &ot, uint32_t oi, const sv_tree &nt, uint32_t ni, F pair)
{
    const uint32_t *ol = oi == NONE ? nullptr : ot.kids_of(ot.entries[oi]);
    const uint32_t *nl = ni == NONE ? nullptr : nt.kids_of(nt.entries[ni]);
    size_t on = oi == NONE ? 0 : ot.entries[oi].kid_count, nn = ni == NONE ? 0 : nt.entries[ni].kid_count;
    size_t i = 0, j = 0;
    while (i < on || j < nn) {
        int order = i == on ? 1 : j == nn ? -1 : ot.name(ot.entries[ol[i]]).compare(nt.name(nt.entries[nl[j]]));
        if (order < 0) {
            pair(ol[i++], NONE);
        } else if (order > 0) {
            pair(NONE, nl[j++]);
        } else if (ot.entries[ol[i]].is_dir != nt.entries[nl[j]].is_dir) {
            pair(ol[i++], NONE);
            pair(NONE, nl[j++]);
        } else {
            pair(ol[i++], nl[j++]);
        }
    }
}

uint64_t sat_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Directories met while comparing, each by its parent and name: a path is
// put together only for an entry that makes a list, so the cost does not
// grow with the depth of every directory on the way.
struct dir_paths {
    struct node {
        uint32_t parent;
        std::string_view name;
    };
    std::string root;
    std::vector<node> nodes{{NONE, {}}};  // [0]: the root

    uint32_t add(uint32_t parent, std::string_view name)
    {
        nodes.push_back({parent, name});
        return (uint32_t)nodes.size() - 1;
    }
    std::string path(uint32_t dir, std::string_view name) const
    {
        std::vector<std::string_view> parts{name};
        for (uint32_t d = dir; d != 0; d = nodes[d].parent)
            parts.push_back(nodes[d].name);
        std::string p = root;
        for (size_t i = parts.size(); i-- > 0;) {
            if (p.empty() || p.back() != '/')
                p += '/';
            p.append(parts[i]);
        }
        return p;
    }
};

// An entry that may make a list: where it is, and its sizes.
struct candidate {
    uint64_t key, seq;  // seq: the order met, which breaks ties
    uint32_t dir;
    std::string_view name;
    uint64_t old_size, new_size;
    bool is_dir;
};

// The top entries by a key, largest first, equal keys in the order met
// (directories are visited in name order, each one's entries by name).
struct ranking {
    size_t keep;
    std::vector<candidate> items;

    static bool before(const candidate &a, const candidate &b)
    {
        return a.key != b.key ? a.key > b.key : a.seq < b.seq;
    }
    bool wants(uint64_t key) const { return keep && (items.size() < keep || key > items.front().key); }
    void add(const candidate &c)
    {
        items.push_back(c);
        std::push_heap(items.begin(), items.end(), before);
        if (items.size() > keep) {
            std::pop_heap(items.begin(), items.end(), before);
            items.pop_back();
        }
    }
    std::vector<cmp_item> sorted(const dir_paths &paths)
    {
        std::sort_heap(items.begin(), items.end(), before);
        std::vector<cmp_item> out;
        for (const candidate &c : items)
            out.push_back({paths.path(c.dir, c.name), c.old_size, c.new_size, c.is_dir});
        return out;
    }
};

struct walker {
    const sv_tree &ot, &nt;
    cmp_result &r;
    uint64_t grow_floor = 1, shrink_floor = 1;
    int levels;

    // Directories below the pair (oi, ni) whose growth (grow) or shrinking
    // reaches the floor, or that hold one that does.
    std::vector<cmp_dir> notable(uint32_t oi, uint32_t ni, int depth, bool grow)
    {
        std::vector<cmp_dir> out;
        if (depth >= levels)
            return out;
        match_children(ot, oi, nt, ni, [&](uint32_t o, uint32_t n) {
            const sv_entry *oe = o != NONE ? &ot.entries[o] : nullptr, *ne = n != NONE ? &nt.entries[n] : nullptr;
            if ((oe && !oe->is_dir) || (ne && !ne->is_dir))
                return;
            uint64_t before = oe ? oe->size : 0, after = ne ? ne->size : 0;
            if (grow ? after <= before : after >= before)
                return;
            cmp_dir d;
            d.name = std::string(oe ? ot.name(*oe) : nt.name(*ne));
            d.old_size = before;
            d.new_size = after;
            d.is_new = !oe;
            d.is_gone = !ne;
            d.children = notable(o, n, depth + 1, grow);
            if (gap(before, after) >= (grow ? grow_floor : shrink_floor) || !d.children.empty())
                out.push_back(std::move(d));
        });
        std::sort(out.begin(), out.end(), [](const cmp_dir &a, const cmp_dir &b) {
            uint64_t ga = gap(a.old_size, a.new_size), gb = gap(b.old_size, b.new_size);
            return ga != gb ? ga > gb : a.name < b.name;
        });
        if (out.size() > CMP_MAX_CHILDREN)
            out.resize(CMP_MAX_CHILDREN);
        return out;
    }
};

}  // namespace

std::string signed_diff(uint64_t old_size, uint64_t new_size)
{
    if (new_size == old_size)
        return "0";
    std::string out = new_size > old_size ? "" : "-";
    return out + std::to_string(gap(old_size, new_size));
}

cmp_result compare_scans(const sv_tree &ot, const sv_tree &nt, int levels, int top)
{
    cmp_result r;
    ranking fresh{(size_t)std::max(top, 0), {}}, gone{fresh.keep, {}}, grown{fresh.keep, {}};
    dir_paths paths;
    paths.root = nt.path;
    uint64_t seq = 0;
    // Matched directory pairs still to visit, each with its node in paths;
    // the subdirectories of one pair are stacked so that they come off in
    // name order.
    struct pending {
        uint32_t o, n, dir;
    };
    std::vector<pending> work{{0, 0, 0}}, below;
    while (!work.empty()) {
        pending at = work.back();
        work.pop_back();
        below.clear();
        match_children(ot, at.o, nt, at.n, [&](uint32_t o, uint32_t n) {
            seq++;
            if (o != NONE && n != NONE) {
                const sv_entry &oe = ot.entries[o], &ne = nt.entries[n];
                if (oe.is_dir) {
                    below.push_back({o, n, paths.add(at.dir, nt.name(ne))});
                } else if (ne.size > oe.size) {
                    r.added = sat_add(r.added, ne.size - oe.size);
                    r.grown_count++;
                    if (grown.wants(ne.size - oe.size))
                        grown.add({ne.size - oe.size, seq, at.dir, nt.name(ne), oe.size, ne.size, false});
                } else {
                    r.removed = sat_add(r.removed, oe.size - ne.size);
                }
            } else if (n != NONE) {
                const sv_entry &ne = nt.entries[n];
                r.added = sat_add(r.added, ne.size);
                r.new_count++;
                if (fresh.wants(ne.size))
                    fresh.add({ne.size, seq, at.dir, nt.name(ne), 0, ne.size, ne.is_dir != 0});
            } else {
                const sv_entry &oe = ot.entries[o];
                r.removed = sat_add(r.removed, oe.size);
                r.vanished_count++;
                if (gone.wants(oe.size))
                    gone.add({oe.size, seq, at.dir, ot.name(oe), oe.size, 0, oe.is_dir != 0});
            }
        });
        work.insert(work.end(), below.rbegin(), below.rend());
    }
    r.new_entries = fresh.sorted(paths);
    r.vanished = gone.sorted(paths);
    r.grown_files = grown.sorted(paths);

    uint64_t grow_floor = std::max<uint64_t>(1, (uint64_t)((double)r.added * CMP_NOTABLE));
    uint64_t shrink_floor = std::max<uint64_t>(1, (uint64_t)((double)r.removed * CMP_NOTABLE));
    walker w{ot, nt, r, grow_floor, shrink_floor, levels};
    r.grew = w.notable(0, 0, 0, true);
    r.shrank = w.notable(0, 0, 0, false);
    return r;
}

std::string growth_doc(const sv_tree &ot, const sv_tree &nt)
{
    std::vector<int64_t> old_size(nt.entries.size(), -1);
    std::vector<std::pair<uint32_t, uint32_t>> work{{0, 0}};
    while (!work.empty()) {
        auto [oi, ni] = work.back();
        work.pop_back();
        match_children(ot, oi, nt, ni, [&](uint32_t o, uint32_t n) {
            if (o == NONE || n == NONE)
                return;
            // Sizes past 2^63 are beyond what the page's numbers hold exactly anyway.
            old_size[n] = (int64_t)std::min<uint64_t>(ot.entries[o].size, INT64_MAX);
            if (ot.entries[o].is_dir)
                work.emplace_back(o, n);
        });
    }
    std::string out = "{\"old_path\":" + sv_quote(ot.path) + ",\"old_total_size\":" +
                      std::to_string(ot.entries[0].size) + ",\"old_total_files\":" +
                      std::to_string(ot.entries[0].files) + ",\"old\":[";
    for (size_t i = 1; i < old_size.size(); i++) {
        if (i > 1)
            out += ',';
        out += std::to_string(old_size[i]);
    }
    return out + "]}";
}
