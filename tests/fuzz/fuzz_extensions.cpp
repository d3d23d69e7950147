// Fuzz target: the extension totals (qv_extension_breakdown) and the rule
// behind them: the extension of a file name is the text from its last dot,
// and a name with no dot, or whose only dot is its first byte, has none.
//
// Input: "/"-separated items below a root directory called "scan.root". An
// empty item goes back to the root; an item that starts with NUL is a
// directory named by the bytes after it (up to the next NUL), created in the
// current directory and entered; any other item is a file in the current
// directory named by its bytes up to the first NUL. File k (from 0) has size
// (k + 1) * 1000003: no two files alike, so a file counted under the wrong
// extension shows in the totals, not only in the counts.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "sorter.h"
#include "tree.h"

namespace {

const size_t MAX_NAME = 0xFFFF;  // the tree keeps 16-bit name lengths

struct totals {
    uint64_t size = 0, count = 0;
};

qv_entry *add_entry(qv_scan_result *r, qv_entry *parent, const std::string &name, bool dir)
{
    qv_entry *e = qv_tree_new_entry(qv_scan_result_first_arena(r), name.data(), (uint32_t)name.size());
    FUZZ_CHECK(e != nullptr);
    e->is_dir = dir;
    if (parent)
        qv_tree_add_child(parent, e);
    return e;
}

std::string item_name(const char *p, const char *q)
{
    const void *nul = memchr(p, 0, (size_t)(q - p));
    size_t n = nul ? (size_t)(static_cast<const char *>(nul) - p) : (size_t)(q - p);
    return std::string(p, n < MAX_NAME ? n : MAX_NAME);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One result for the whole run: its arenas are emptied for each input.
    static qv_scan_result *r = qv_scan_result_create();
    FUZZ_CHECK(r != nullptr);
    qv_arena_reset(qv_scan_result_first_arena(r));
    r->root = add_entry(r, nullptr, "scan.root", true);

    std::map<std::string, totals> want;
    std::vector<std::string> file_names;
    qv_entry *dir = r->root;
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    while (p < end) {
        const char *q = static_cast<const char *>(memchr(p, '/', (size_t)(end - p)));
        if (!q)
            q = end;
        if (q == p) {
            dir = r->root;
        } else if (*p == '\0') {
            dir = add_entry(r, dir, item_name(p + 1, q), true);
        } else {
            std::string name = item_name(p, q);
            uint64_t file_size = (file_names.size() + 1) * 1000003ull;
            qv_entry *e = add_entry(r, dir, name, false);
            e->size = file_size;
            size_t dot = name.rfind('.');
            if (dot != std::string::npos && dot != 0) {
                totals &t = want[name.substr(dot)];
                t.size += file_size;
                t.count += 1;
            }
            file_names.push_back(std::move(name));
        }
        p = q + 1;
    }

    int32_t count = -1;
    qv_ext_info *got = qv_extension_breakdown(r->root, &count);
    FUZZ_CHECK(count == (int32_t)want.size());
    FUZZ_CHECK((got == nullptr) == want.empty());
    // Names reversed and sorted: an extension ends some longer name when its
    // reverse is a proper prefix of one of them.
    std::vector<std::string> reversed;
    for (const std::string &name : file_names)
        reversed.emplace_back(name.rbegin(), name.rend());
    std::sort(reversed.begin(), reversed.end());
    std::set<std::string> seen;
    for (int32_t i = 0; i < count; i++) {
        FUZZ_CHECK(got[i].ext != nullptr);
        std::string ext = got[i].ext;
        FUZZ_CHECK(ext[0] == '.');
        std::string rext(ext.rbegin(), ext.rend());
        auto longer = std::upper_bound(reversed.begin(), reversed.end(), rext);
        FUZZ_CHECK(longer != reversed.end() && longer->compare(0, rext.size(), rext) == 0);
        FUZZ_CHECK(seen.insert(ext).second);
        auto it = want.find(ext);
        FUZZ_CHECK(it != want.end());
        FUZZ_CHECK(got[i].total_size == it->second.size && got[i].count == it->second.count);
        if (i > 0)
            FUZZ_CHECK(got[i - 1].total_size >= got[i].total_size);
    }
    qv_extension_breakdown_free(got, count);
    return 0;
}
