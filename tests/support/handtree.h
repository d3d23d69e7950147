// Trees built by hand with the tree operations, for cases a real directory
// cannot give (sizes and counts beyond 2^32, exact child orders, 16,000
// levels), and a stand-in scan slot to run the document writers on them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture.h"
#include "scanner.h"
#include "tree.h"

namespace qvtest {

struct HandTree {
    qv_scan_result *r;

    explicit HandTree(const std::string &root_name)
    {
        r = qv_scan_result_create();
        if (!r)
            throw std::runtime_error("no scan result");
        r->root = make(nullptr, root_name, 0, true);
    }
    ~HandTree() { qv_scan_result_free(r); }
    HandTree(const HandTree &) = delete;
    HandTree &operator=(const HandTree &) = delete;

    qv_entry *root() const { return r->root; }

    // Linked at the head of parent's list, as the walker does.
    qv_entry *make(qv_entry *parent, const std::string &name, uint64_t size, bool is_dir)
    {
        qv_entry *e = qv_tree_new_entry(qv_scan_result_first_arena(r), name.data(), (uint32_t)name.size());
        if (!e)
            throw std::runtime_error("no entry");
        e->is_dir = is_dir ? 1 : 0;
        e->size = size;
        if (parent)
            qv_tree_add_child(parent, e);
        return e;
    }
    qv_entry *dir(qv_entry *parent, const std::string &name) { return make(parent, name, 0, true); }
    qv_entry *file(qv_entry *parent, const std::string &name, uint64_t size) { return make(parent, name, size, false); }

    // Totals as a finished scan has them.
    void finish(double ms = 0.0)
    {
        qv_tree_accumulate_sizes(r->root);
        r->total_size = r->root->size;
        r->total_files = r->root->file_count;
        r->total_dirs = r->root->dir_count;
        r->scan_time_ms = ms;
    }
};

// A finished slot around a scan result it does not own; releases
// the texts it was given, as disk_free would.
struct FakeSlot {
    scan_slot s{};
    explicit FakeSlot(qv_scan_result *r)
    {
        s.result = r;
        s.state.store(SCAN_DONE);
    }
    ~FakeSlot()
    {
        free(s.result_json);
        free(s.top_json);
        free(s.ext_json);
        free(s.dir_json);
    }
    FakeSlot(const FakeSlot &) = delete;
    FakeSlot &operator=(const FakeSlot &) = delete;
};

// Runs fn to its end on a thread whose stack is 1 MiB (the Windows default).
inline void run_on_small_stack(const std::function<void()> &fn)
{
    run_with_stack(1u << 20, fn);
}

// Names of e's children in list order (names may hold any bytes).
inline std::vector<std::string> names_of(const qv_entry *e)
{
    std::vector<std::string> out;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
        out.push_back(qv_tree_get_name(c));
    return out;
}

}  // namespace qvtest
