// Fuzz target: entry paths cut to a buffer (qv_tree_get_path), as the
// largest-files document builds them with a 4096-byte buffer.
//
// Input: byte 0 picks the buffer size: 0 gives 0 (and -1), 1 to 127 that
// many bytes, 128 to 255 give 4096 down to 3969. The rest is the root's name
// up to the first NUL (any other bytes, "/" included, as a root path may
// be), then names that contain neither NUL nor "/": a name after a NUL is a
// child of the entry before it, after a "/" a sibling of it.
//
// Every path must be the names from the root down, "/" between two of them
// unless the text so far is empty or ends in "/" already (a root of "/" or
// "dir/"), cut to cap - 1 bytes and terminated, written into a heap block of
// exactly cap bytes.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "tree.h"

namespace {

const size_t MAX_NAME = 0xFFFF;  // the tree keeps 16-bit name lengths
const size_t CHECKED_ENDS = 32;  // entries checked at each end of a long list

struct node {
    qv_entry *entry;
    size_t parent;  // index into the list; the root is its own parent
    std::string name;
};

std::string expected_path(const std::vector<node> &nodes, size_t i)
{
    std::vector<size_t> chain;
    for (;; i = nodes[i].parent) {
        chain.push_back(i);
        if (i == 0)
            break;
    }
    std::string path;
    for (size_t k = chain.size(); k-- > 0;) {
        if (k + 1 < chain.size() && !path.empty() && path.back() != '/')
            path += '/';
        path += nodes[chain[k]].name;
    }
    return path;
}

void check_path(const std::vector<node> &nodes, size_t i, int32_t cap)
{
    std::string want = expected_path(nodes, i);
    if (want.size() > (size_t)cap - 1)
        want.resize((size_t)cap - 1);
    std::unique_ptr<char[]> buf(new char[(size_t)cap]);
    memset(buf.get(), 0x5A, (size_t)cap);
    char *got = qv_tree_get_path(nodes[i].entry, buf.get(), cap);
    FUZZ_CHECK(got == buf.get());
    FUZZ_CHECK(buf[want.size()] == '\0');
    FUZZ_CHECK(memcmp(buf.get(), want.data(), want.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // One result for the whole run: its arenas are emptied for each input.
    static qv_scan_result *r = qv_scan_result_create();
    FUZZ_CHECK(r != nullptr);
    qv_arena_reset(qv_scan_result_first_arena(r));

    int32_t cap = data[0] == 0 ? 0 : data[0] < 128 ? data[0] : 4096 - (data[0] - 128);
    const char *p = reinterpret_cast<const char *>(data) + 1;
    const char *end = reinterpret_cast<const char *>(data) + size;

    std::vector<node> nodes;
    size_t prev = 0;
    char sep = 0;  // what came before the current name
    while (p <= end) {
        const char *q = p;
        if (nodes.empty()) {
            while (q < end && *q != '\0')
                q++;
        } else {
            while (q < end && *q != '\0' && *q != '/')
                q++;
        }
        std::string name(p, (size_t)(q - p) < MAX_NAME ? (size_t)(q - p) : MAX_NAME);
        qv_entry *e = qv_tree_new_entry(qv_scan_result_first_arena(r), name.data(), (uint32_t)name.size());
        FUZZ_CHECK(e != nullptr);
        size_t parent = 0;
        if (nodes.empty()) {
            r->root = e;
            e->is_dir = 1;
        } else {
            parent = sep == '/' && prev != 0 ? nodes[prev].parent : prev;
            nodes[parent].entry->is_dir = 1;
            qv_tree_add_child(nodes[parent].entry, e);
        }
        nodes.push_back({e, parent, std::move(name)});
        prev = nodes.size() - 1;
        if (q == end)
            break;
        sep = *q;
        p = q + 1;
    }

    if (cap == 0) {
        // Nothing may be written: the buffer given is the end of a block.
        std::unique_ptr<char[]> block(new char[1]);
        char *none = block.get() + 1;
        FUZZ_CHECK(qv_tree_get_path(nodes.back().entry, none, 0) == none);
        FUZZ_CHECK(qv_tree_get_path(nodes.back().entry, none, -1) == none);
        return 0;
    }
    for (size_t i = 0; i < nodes.size(); i++) {
        if (i < CHECKED_ENDS || i + CHECKED_ENDS >= nodes.size())
            check_path(nodes, i, cap);
    }
    // No entry: the empty text.
    std::unique_ptr<char[]> one(new char[(size_t)cap]);
    one[0] = 'x';
    FUZZ_CHECK(qv_tree_get_path(nullptr, one.get(), cap) == one.get() && one[0] == '\0');
    return 0;
}
