// Fuzz target: qvdisk's reader of saved scans (programs/saved.cpp). Any
// input is either refused with a reason or read into a tree that
//  - writes back as a document the reader takes again, to the same text;
//  - keeps the rules the reader stands for: directory sums agree (an empty
//    directory holds nothing), names are real file names, a file has no
//    entries and counts one file, total_dirs counts the directories;
//  - compared with itself, shows nothing new, vanished, grown or shrunk.
// Read as a scan straight from the library (names listed twice merged),
// it is the same tree when nothing was merged, and what that reader keeps
// always writes back as a document the strict reader takes: a save never
// writes what --compare refuses.
#include <cstring>
#include <string>

#include "compare.h"
#include "fuzz_check.h"
#include "saved.h"

namespace {

void check_as_scan(const char *text, size_t size, bool strict_ok, const std::string &strict_text)
{
    sv_tree merged_tree;
    uint64_t merged = 0;
    std::string why;
    bool ok = sv_read_scan(text, size, &merged_tree, &merged, &why);
    FUZZ_CHECK(ok == why.empty());
    FUZZ_CHECK(!strict_ok || (ok && merged == 0 && sv_text(merged_tree) == strict_text));
    if (!ok)
        return;
    FUZZ_CHECK(strict_ok || merged > 0);
    std::string saved = sv_text(merged_tree);
    sv_tree again;
    FUZZ_CHECK(sv_read(saved.data(), saved.size(), &again, &why));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sv_tree tree;
    std::string why;
    const char *input = reinterpret_cast<const char *>(data);
    bool ok = sv_read(input, size, &tree, &why);
    FUZZ_CHECK(ok == why.empty());
    check_as_scan(input, size, ok, ok ? sv_text(tree) : std::string());
    if (!ok) {
        FUZZ_CHECK(tree.entries.empty());
        return 0;
    }
    FUZZ_CHECK(!tree.entries.empty() && tree.entries[0].is_dir);
    uint64_t dirs = 0;
    for (size_t i = 0; i < tree.entries.size(); i++) {
        const sv_entry &e = tree.entries[i];
        if (i > 0) {
            std::string_view name = tree.name(e);
            FUZZ_CHECK(!name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos);
        }
        FUZZ_CHECK(e.is_dir || (!e.first_child && e.files == 1));
        dirs += i > 0 && e.is_dir;
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
        FUZZ_CHECK(!e.is_dir || (sum == e.size && files == e.files));
    }
    FUZZ_CHECK(dirs == tree.total_dirs);

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
