// Fuzz target: qvdisk's reader of saved scans (programs/doc: docread.cpp
// under saved.cpp's tree). Any input is either refused with a reason or
// read into a tree that
//  - writes back as a document the reader takes again, to the same text;
//  - keeps the rules the reader stands for: directory sums agree (an empty
//    directory holds nothing), names are real file names, a file has no
//    entries and counts one file, total_dirs counts the directories;
//  - lists each directory's entries once, by name (ties in document order),
//    and keeps entries in document order (each directory's entries after it);
//  - compared with itself, shows nothing new, vanished, grown or shrunk.
// Read as a scan straight from the library (names listed twice merged),
// it is the same tree when nothing was merged, and what that reader keeps
// always writes back as a document the strict reader takes: a save never
// writes what --compare refuses. Read as the library's own document (the
// lenient form), whatever the strict reader takes is told the same.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "compare.h"
#include "docread.h"
#include "docrecorder.h"
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

void check_tree(const sv_tree &tree)
{
    FUZZ_CHECK(!tree.entries.empty() && tree.entries[0].is_dir);
    uint64_t dirs = 0;
    std::vector<int> listed(tree.entries.size(), 0);
    // end[i]: one past the last entry below i; entries below a directory
    // follow it, so each listed entry lies inside its directory's span.
    std::vector<size_t> end(tree.entries.size());
    for (size_t i = tree.entries.size(); i-- > 0;) {
        const sv_entry &e = tree.entries[i];
        FUZZ_CHECK(!e.dropped);
        end[i] = i + 1;
        const uint32_t *kids = tree.kids_of(e);
        for (uint32_t k = 0; k < e.kid_count; k++)
            end[i] = std::max(end[i], end[kids[k]]);
    }
    for (size_t i = 0; i < tree.entries.size(); i++) {
        const sv_entry &e = tree.entries[i];
        if (i > 0) {
            std::string_view name = tree.name(e);
            FUZZ_CHECK(!name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos);
        }
        FUZZ_CHECK(e.is_dir || (e.kid_count == 0 && e.files == 1));
        dirs += i > 0 && e.is_dir;
        uint64_t sum = 0, files = 0;
        const uint32_t *kids = tree.kids_of(e);
        for (uint32_t k = 0; k < e.kid_count; k++) {
            uint32_t c = kids[k];
            FUZZ_CHECK(c > i && c < end[i]);
            listed[c]++;
            if (k > 0) {
                int order = tree.name(tree.entries[kids[k - 1]]).compare(tree.name(tree.entries[c]));
                FUZZ_CHECK(order < 0 || (order == 0 && kids[k - 1] < c));
            }
            const sv_entry &x = tree.entries[c];
            sum = x.size > UINT64_MAX - sum ? UINT64_MAX : sum + x.size;
            files = x.files > UINT64_MAX - files ? UINT64_MAX : files + x.files;
        }
        FUZZ_CHECK(!e.is_dir || (sum == e.size && files == e.files));
    }
    for (size_t i = 1; i < listed.size(); i++)
        FUZZ_CHECK(listed[i] == 1);
    FUZZ_CHECK(end[0] == tree.entries.size());
    FUZZ_CHECK(dirs == tree.total_dirs);
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
        FUZZ_CHECK(why.find(" at byte ") != std::string::npos);
        FUZZ_CHECK(std::stoull(why.substr(why.rfind(' ') + 1)) <= size);
        return 0;
    }
    check_tree(tree);

    std::string text = sv_text(tree);
    sv_tree again;
    FUZZ_CHECK(sv_read(text.data(), text.size(), &again, &why));
    FUZZ_CHECK(sv_text(again) == text);
    FUZZ_CHECK(again.entries.size() == tree.entries.size());

    // The tree as a source tells what its text tells, and the library's
    // form of the reader tells the input the same.
    recorder from_tree, from_text, from_input;
    FUZZ_CHECK(sv_feed(tree, from_tree));
    FUZZ_CHECK(doc_read_text(text.data(), text.size(), doc_form::saved, from_text, &why));
    FUZZ_CHECK(doc_read_text(input, size, doc_form::library, from_input, &why));
    FUZZ_CHECK(from_tree.calls == from_text.calls && from_text.calls == from_input.calls);

    cmp_result same = compare_scans(tree, tree, 3, 5);
    FUZZ_CHECK(same.added == 0 && same.removed == 0);
    FUZZ_CHECK(same.new_count == 0 && same.vanished_count == 0 && same.grown_count == 0);
    FUZZ_CHECK(same.grew.empty() && same.shrank.empty());
    return 0;
}
