// Fuzz target: qvdisk's reader of saved scans (programs/saved.cpp). Any
// input is either refused with a reason or read into a tree that
//  - writes back as a document the reader takes again, to the same text;
//  - keeps the rules the reader stands for: directory sums agree, names are
//    real file names, a file has no entries;
//  - compared with itself, shows nothing new, vanished, grown or shrunk.
#include <cstring>
#include <string>

#include "compare.h"
#include "fuzz_check.h"
#include "saved.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sv_tree tree;
    std::string why;
    bool ok = sv_read(reinterpret_cast<const char *>(data), size, &tree, &why);
    FUZZ_CHECK(ok == why.empty());
    if (!ok) {
        FUZZ_CHECK(tree.entries.empty());
        return 0;
    }
    FUZZ_CHECK(!tree.entries.empty() && tree.entries[0].is_dir);
    for (size_t i = 0; i < tree.entries.size(); i++) {
        const sv_entry &e = tree.entries[i];
        if (i > 0) {
            std::string_view name = tree.name(e);
            FUZZ_CHECK(!name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos);
        }
        FUZZ_CHECK(e.is_dir || !e.first_child);
        uint64_t sum = 0, files = 0;
        uint32_t count = 0;
        for (uint32_t c = e.first_child; c; c = tree.entries[c].next_sibling) {
            FUZZ_CHECK(c > i && c < tree.entries.size());
            const sv_entry &k = tree.entries[c];
            sum = k.size > UINT64_MAX - sum ? UINT64_MAX : sum + k.size;
            files = k.files > UINT64_MAX - files ? UINT64_MAX : files + k.files;
            count++;
        }
        FUZZ_CHECK(count == e.child_count);
        FUZZ_CHECK(!e.first_child || (sum == e.size && files == e.files));
    }

    std::string text = sv_text(tree);
    sv_tree again;
    FUZZ_CHECK(sv_read(text.data(), text.size(), &again, &why));
    FUZZ_CHECK(sv_text(again) == text);
    FUZZ_CHECK(again.entries.size() == tree.entries.size());

    cmp_result same = compare_scans(tree, tree, 3, 5);
    FUZZ_CHECK(same.added == 0 && same.removed == 0);
    FUZZ_CHECK(same.new_count == 0 && same.vanished_count == 0 && same.grown_count == 0);
    FUZZ_CHECK(same.grew.empty() && same.shrank.empty());
    return 0;
}
