// The one reader of the library's documents (docread.cpp) in its three
// forms, the tree it builds for saved scans (saved.cpp) with the checks
// that tie entries together, the writer fed from that tree, and the
// report's nodes (jsonread.cpp); then the documents a real scan hands out.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "docread.h"
#include "fixture.h"
#include "testrun.h"
#include "jsonread.h"
#include "quorvel_disk.h"
#include "docrecorder.h"
#include "saved.h"

using namespace qvtest;

namespace {

// One file in a folder of its own, whole: a scan result as the library writes it.
const std::string OK = "{\"path\":\"r\",\"total_size\":3,\"total_files\":1,\"total_dirs\":0,\"scan_time_ms\":0.1,"
                       "\"children\":[{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]}";

std::string with(std::string doc, const std::string &from, const std::string &to)
{
    size_t at = doc.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? doc : doc.replace(at, from.size(), to);
}

// Where a marker ends in doc: the byte a refusal names when the marker is
// what was found wrong.
size_t past(const std::string &doc, const std::string &marker)
{
    size_t at = doc.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    return at + marker.size();
}

std::string refusal(const std::string &doc, doc_form form)
{
    recorder r;
    std::string why;
    return doc_read_text(doc.data(), doc.size(), form, r, &why) ? "read" : why;
}

std::string calls_of(const std::string &doc, doc_form form)
{
    recorder r;
    std::string why;
    EXPECT_TRUE(doc_read_text(doc.data(), doc.size(), form, r, &why)) << why;
    return r.calls;
}

std::string tree_refusal(const std::string &doc)
{
    sv_tree t;
    std::string why;
    return sv_read(doc.data(), doc.size(), &t, &why) ? "read" : why;
}

struct refused {
    const char *what;
    std::string doc;
    std::string phrase;
    size_t at;
};

void expect_refusals(const std::vector<refused> &rows, const std::function<std::string(const std::string &)> &read)
{
    for (const refused &r : rows)
        EXPECT_EQ(read(r.doc), r.phrase + " at byte " + std::to_string(r.at)) << r.what;
}

// A file holding text, opened for reading.
struct text_file {
    TempDir dir;
    FILE *f = nullptr;
    explicit text_file(const std::string &text)
    {
        std::string path = dir / "doc.json";
        FILE *w = fopen(path.c_str(), "wb");
        EXPECT_TRUE(w && fwrite(text.data(), 1, text.size(), w) == text.size());
        if (w)
            fclose(w);
        f = fopen(path.c_str(), "rb");
    }
    ~text_file()
    {
        if (f)
            fclose(f);
    }
};

}  // namespace

TEST(SavedForm, RefusesWhatTheLibraryNeverWrites)
{
    std::string no_dirs = with(OK, "\"total_dirs\":0,", "");
    std::string late_time = "{\"path\":\"r\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"children\":[],"
                            "\"scan_time_ms\":0.1}";
    std::vector<refused> rows = {
        {"an unknown member", with(OK, "false}", "false,\"nlink\":1}"), "an unknown member \"nlink\"",
         past(with(OK, "false}", "false,\"nlink\":1}"), "\"nlink\"")},
        {"a member twice", with(OK, "\"files\":1,", "\"files\":1,\"files\":1,"), "the member \"files\" twice",
         past(with(OK, "\"files\":1,", "\"files\":1,\"files\":1,"), "\"files\":1,\"files\"")},
        {"a member after children", late_time, "the member \"scan_time_ms\" out of order",
         past(late_time, "\"scan_time_ms\"")},
        {"a member missing before another", with(OK, "\"size\":3,\"files\"", "\"files\""),
         "an entry without its name, size, files or is_dir", past(with(OK, "\"size\":3,\"files\"", "\"files\""), "\"a\",\"files\"")},
        {"a member missing at the end", with(OK, ",\"is_dir\":false}", "}"),
         "an entry without its name, size, files or is_dir", past(with(OK, ",\"is_dir\":false}", "}"), "\"files\":1}")},
        {"a root without total_dirs", no_dirs, "a document that is not a scan result", past(no_dirs, "\"scan_time_ms\"")},
        {"is_dir not true or false", with(OK, "false}", "0}"), "\"is_dir\" is not true or false",
         past(with(OK, "false}", "0}"), "\"is_dir\":0")},
        {"a name that is not a string", with(OK, "\"name\":\"a\"", "\"name\":null"), "\"name\" is not a string",
         past(with(OK, "\"name\":\"a\"", "\"name\":null"), "null")},
        {"children that are not a list", with(OK, "[{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]", "{}"),
         "expected a list of entries", past(with(OK, "[{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]", "{}"), "\"children\":{")},
        {"a number among the entries", with(OK, "[{", "[7,{"), "expected an entry object", past(with(OK, "[{", "[7,{"), "[7")},
        {"a scan time below 0", with(OK, "0.1", "-0.1"), "\"scan_time_ms\" is not a number of milliseconds",
         past(with(OK, "0.1", "-0.1"), "-0.1")},
        {"a scan time of 1e15 ms", with(OK, "0.1", "1e15"), "\"scan_time_ms\" is not a number of milliseconds",
         past(with(OK, "0.1", "1e15"), "1e15")},
        {"a scan time that is not JSON", with(OK, "0.1", "12."), "\"scan_time_ms\" is not a number of milliseconds",
         past(with(OK, "0.1", "12."), "12.,")},
        {"a negative size", with(OK, "\"size\":3", "\"size\":-3"), "\"size\" is not a whole number",
         past(with(OK, "\"size\":3", "\"size\":-3"), "-3")},
        {"a size with a fraction", with(OK, "\"size\":3", "\"size\":3.0"), "\"size\" is not a whole number",
         past(with(OK, "\"size\":3", "\"size\":3.0"), "3.0")},
        {"a size past 2^64-1", with(OK, "\"size\":3", "\"size\":18446744073709551616"), "\"size\" is larger than 2^64-1",
         past(with(OK, "\"size\":3", "\"size\":18446744073709551616"), "18446744073709551616")},
        {"a size as a string", with(OK, "\"size\":3", "\"size\":\"3\""), "\"size\" is not a whole number",
         past(with(OK, "\"size\":3", "\"size\":\"3\""), "\"size\":\"3\"")},
        {"text after the document", OK + " x", "text after the document", OK.size()},
        {"a NUL byte after the document", OK + std::string("\0{}", 3), "text after the document", OK.size()},
        {"a byte order mark", "\xEF\xBB\xBF" + OK, "expected a scan result object", 0},
        {"a list", "  [" + OK + "]", "expected a scan result object", 2},
        {"nothing but white space", " \n\t", "the document ends early", 3},
        {"a control character in a name", with(OK, "\"a\"", "\"a\x01\""), "a control character in a string",
         past(with(OK, "\"a\"", "\"a\x01\""), "a\x01")},
        {"a bad escape", with(OK, "\"a\"", "\"a\\x\""), "a bad escape", past(with(OK, "\"a\"", "\"a\\x\""), "a\\x")},
        {"a short \\u escape", with(OK, "\"a\"", "\"\\u12g4\""), "a bad \\u escape",
         past(with(OK, "\"a\"", "\"\\u12g4\""), "\\u12g")},
        {"a lone low surrogate", with(OK, "\"a\"", "\"\\udc00\""), "a lone surrogate escape",
         past(with(OK, "\"a\"", "\"\\udc00\""), "\\udc00")},
        {"a high surrogate alone", with(OK, "\"a\"", "\"\\ud800x\""), "a lone surrogate escape",
         past(with(OK, "\"a\"", "\"\\ud800x\""), "\\ud800x")},
        {"bytes that are not UTF-8", with(OK, "\"a\"", "\"a\xC0\x80\""), "text that is not UTF-8",
         past(with(OK, "\"a\"", "\"a\xC0\x80\""), "a\xC0")},
        {"no ':' after a member name", with(OK, "\"name\":", "\"name\" "), "expected ':'",
         past(with(OK, "\"name\":", "\"name\" "), "\"name\" \"a\"")},
        {"no ',' between members", with(OK, "\"r\",", "\"r\" "), "expected ',' or '}'",
         past(with(OK, "\"r\",", "\"r\" "), "\"r\" \"total_size\"")},
        {"a ',' before '}'", with(OK, "false}", "false,}"), "expected a member name", past(with(OK, "false}", "false,}"), "false,}")},
        {"a ',' before ']'", with(OK, "false}]", "false},]"), "expected an entry object",
         past(with(OK, "false}]", "false},]"), "},]")},
        {"a file with entries", with(OK, "false}", "false,\"children\":[]}"), "a file with entries",
         past(with(OK, "false}", "false,\"children\":[]}"), "false,\"children\"")},
    };
    expect_refusals(rows, [](const std::string &doc) { return refusal(doc, doc_form::saved); });
    // The tree's own reading says the same.
    expect_refusals(rows, tree_refusal);
}

// A saved scan of several PATHs: a root of no name, each PATH a directory
// below it named by its path; below those, names are file names again.
TEST(SavedForm, PathNamesOnlyDirectlyBelowARootOfNoName)
{
    const std::string several =
        "{\"path\":\"\",\"total_size\":3,\"total_files\":1,\"total_dirs\":2,\"scan_time_ms\":0.1,"
        "\"children\":[{\"name\":\"/x/a\",\"size\":3,\"files\":1,\"is_dir\":true,\"children\":"
        "[{\"name\":\"f\",\"size\":3,\"files\":1,\"is_dir\":false}]},"
        "{\"name\":\"..\",\"size\":0,\"files\":0,\"is_dir\":true}]}";
    EXPECT_EQ(refusal(several, doc_form::saved), "read");
    std::string deeper = with(several, "\"name\":\"f\"", "\"name\":\"g/f\"");
    EXPECT_EQ(refusal(deeper, doc_form::saved).substr(0, 40), "an entry name that cannot be a file name");
    std::string named = with(several, "\"path\":\"\"", "\"path\":\"r\"");
    EXPECT_EQ(refusal(named, doc_form::saved).substr(0, 40), "an entry name that cannot be a file name");
}

TEST(SavedForm, NamesThatCannotBeFileNames)
{
    for (const std::string &name : {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
                                    std::string("a\\u0000b"), std::string(65536, 'x')}) {
        std::string doc = with(OK, "\"name\":\"a\"", "\"name\":\"" + name + "\"");
        EXPECT_EQ(refusal(doc, doc_form::saved), "an entry name that cannot be a file name at byte " +
                                                     std::to_string(past(doc, "\"name\":\"" + name + "\"")))
            << name.substr(0, 10);
    }
    // The longest a tree keeps, and names no file system would refuse.
    for (const std::string &name : {std::string(65535, 'x'), std::string("..."), std::string(".a"),
                                    std::string("\\u00e9\\t\\\"")})
        EXPECT_EQ(refusal(with(OK, "\"name\":\"a\"", "\"name\":\"" + name + "\""), doc_form::saved), "read")
            << name.substr(0, 10);
}

TEST(SavedForm, EveryProperPrefixEndsEarly)
{
    for (size_t n = 0; n < OK.size(); n++)
        EXPECT_EQ(refusal(OK.substr(0, n), doc_form::saved), "the document ends early at byte " + std::to_string(n));
    EXPECT_EQ(refusal(OK, doc_form::saved), "read");
    EXPECT_EQ(refusal(" \n" + OK + "\r\n\t ", doc_form::saved), "read");
}

TEST(Tree, RefusesEntriesThatDisagree)
{
    std::string one_dir = with(with(OK, "\"total_dirs\":0", "\"total_dirs\":1"), "false}", "true}");
    std::string twice = with(with(OK, "\"total_size\":3,\"total_files\":1", "\"total_size\":6,\"total_files\":2"),
                             "false}]", "false},{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]");
    std::string twice_odd = with(with(twice, "\"name\":\"a\"", "\"name\":\"a\\n\""), "\"name\":\"a\"", "\"name\":\"a\\n\"");
    std::vector<refused> rows = {
        {"a sum that disagrees", with(OK, "\"size\":3", "\"size\":4"),
         "a directory whose size or file count is not the sum of its entries", OK.size()},
        {"a file count sum that disagrees", with(OK, "\"total_files\":1", "\"total_files\":2"),
         "a directory whose size or file count is not the sum of its entries", OK.size() },
        {"an empty directory with a size", one_dir, "a directory with no entries but a size or files",
         past(one_dir, "true}")},
        {"a file counting no file", with(with(OK, "\"total_files\":1", "\"total_files\":0"), "\"files\":1", "\"files\":0"),
         "a file whose file count is not 1", OK.size() - 2},
        {"total_dirs that disagrees", with(OK, "\"total_dirs\":0", "\"total_dirs\":2"),
         "\"total_dirs\" is not the number of directories", OK.size()},
        {"a name twice", twice, "the name \"a\" twice in one directory", twice.size()},
        {"a name twice, shown without its control character", twice_odd, "the name \"a?\" twice in one directory",
         twice_odd.size()},
    };
    expect_refusals(rows, tree_refusal);
}

TEST(Tree, SumsThatReach2To64Stay)
{
    const std::string doc =
        "{\"path\":\"r\",\"total_size\":18446744073709551615,\"total_files\":2,\"total_dirs\":0,\"scan_time_ms\":0.0,"
        "\"children\":[{\"name\":\"a\",\"size\":18446744073709551615,\"files\":1,\"is_dir\":false},"
        "{\"name\":\"b\",\"size\":18446744073709551615,\"files\":1,\"is_dir\":false}]}";
    EXPECT_EQ(tree_refusal(doc), "read");
}

TEST(Tree, ListsEntriesByNameAndKeepsDocumentOrder)
{
    // Names the library mended (U+FFFD) may meet; they stay, in document order.
    const std::string doc =
        "{\"path\":\"r\",\"total_size\":15,\"total_files\":5,\"total_dirs\":1,\"scan_time_ms\":1.0,\"children\":["
        "{\"name\":\"b\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
        "{\"name\":\"z\",\"size\":3,\"files\":1,\"is_dir\":false},{\"name\":\"y\",\"size\":2,\"files\":1,\"is_dir\":false}]},"
        "{\"name\":\"x\xEF\xBF\xBD\",\"size\":4,\"files\":1,\"is_dir\":false},"
        "{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false},"
        "{\"name\":\"x\xEF\xBF\xBD\",\"size\":3,\"files\":1,\"is_dir\":false}]}";
    sv_tree t;
    std::string why;
    ASSERT_TRUE(sv_read(doc.data(), doc.size(), &t, &why)) << why;
    std::vector<std::string> order;
    for (const sv_entry &e : t.entries)
        order.push_back(std::string(t.name(e)) + ":" + std::to_string(e.size));
    EXPECT_EQ(order, (std::vector<std::string>{":15", "b:5", "z:3", "y:2", "x\xEF\xBF\xBD:4", "a:3", "x\xEF\xBF\xBD:3"}));
    auto by_name = [&](uint32_t dir) {
        std::vector<std::string> names;
        for (uint32_t k = 0; k < t.entries[dir].kid_count; k++) {
            const sv_entry &e = t.entries[t.kids_of(t.entries[dir])[k]];
            names.push_back(std::string(t.name(e)) + ":" + std::to_string(e.size));
        }
        return names;
    };
    EXPECT_EQ(by_name(0), (std::vector<std::string>{"a:3", "b:5", "x\xEF\xBF\xBD:4", "x\xEF\xBF\xBD:3"}));
    EXPECT_EQ(by_name(1), (std::vector<std::string>{"y:2", "z:3"}));
    EXPECT_EQ(t.path, "r");
    EXPECT_EQ(t.total_dirs, 1u);
    EXPECT_EQ(t.scan_time_ms, 1.0);
}

TEST(Tree, WritesBackWhatItRead)
{
    for (const std::string &doc : {
             OK,
             std::string("{\"path\":\"/\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"scan_time_ms\":0.0}"),
             std::string("{\"path\":\"r\xC3\xA9\\\\\",\"total_size\":5,\"total_files\":2,\"total_dirs\":2,\"scan_time_ms\":12.5,"
                         "\"children\":[{\"name\":\"d\\n\\\"x\\\"\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
                         "{\"name\":\"\xF0\x9F\x98\x80\",\"size\":4,\"files\":1,\"is_dir\":false},"
                         "{\"name\":\"\xE5\x86\x99\\u0001\",\"size\":1,\"files\":1,\"is_dir\":false},"
                         "{\"name\":\"e\",\"size\":0,\"files\":0,\"is_dir\":true}]}]}"),
         }) {
        sv_tree t;
        std::string why;
        ASSERT_TRUE(sv_read(doc.data(), doc.size(), &t, &why)) << why;
        EXPECT_EQ(sv_text(t), doc);
        // The tree as a source tells what its text tells.
        recorder from_tree;
        ASSERT_TRUE(sv_feed(t, from_tree));
        EXPECT_EQ(from_tree.calls, calls_of(doc, doc_form::saved));
    }
    // Escapes the library does not write come back as it writes them.
    sv_tree t;
    std::string why, doc = with(OK, "\"a\"", "\"\\u0061\\ud83d\\ude00\\u007f\"");
    ASSERT_TRUE(sv_read(doc.data(), doc.size(), &t, &why)) << why;
    EXPECT_EQ(sv_text(t), with(OK, "\"a\"", "\"a\xF0\x9F\x98\x80\x7f\""));
    EXPECT_EQ(sv_text(sv_tree{}), "");
}

TEST(Tree, ScanResultsKeepTheFirstOfANameListedTwice)
{
    struct row {
        const char *what;
        std::string doc, after;
        uint64_t merged;
    };
    const std::string head = "{\"path\":\"r\",";
    const std::vector<row> rows = {
        {"a directory listed twice, with all below it",
         head + "\"total_size\":13,\"total_files\":4,\"total_dirs\":3,\"scan_time_ms\":0.1,\"children\":["
                "{\"name\":\"d\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
                "{\"name\":\"f\",\"size\":3,\"files\":1,\"is_dir\":false},{\"name\":\"g\",\"size\":2,\"files\":1,\"is_dir\":false}]},"
                "{\"name\":\"x\",\"size\":6,\"files\":1,\"is_dir\":false},"
                "{\"name\":\"d\",\"size\":2,\"files\":1,\"is_dir\":true,\"children\":["
                "{\"name\":\"e\",\"size\":2,\"files\":1,\"is_dir\":true,\"children\":["
                "{\"name\":\"g\",\"size\":2,\"files\":1,\"is_dir\":false}]}]}]}",
         head + "\"total_size\":11,\"total_files\":3,\"total_dirs\":1,\"scan_time_ms\":0.1,\"children\":["
                "{\"name\":\"d\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
                "{\"name\":\"f\",\"size\":3,\"files\":1,\"is_dir\":false},{\"name\":\"g\",\"size\":2,\"files\":1,\"is_dir\":false}]},"
                "{\"name\":\"x\",\"size\":6,\"files\":1,\"is_dir\":false}]}",
         1},
        {"twice inside a directory that is itself listed twice",
         head + "\"total_size\":2,\"total_files\":2,\"total_dirs\":4,\"scan_time_ms\":0.1,\"children\":["
                "{\"name\":\"d\",\"size\":2,\"files\":2,\"is_dir\":true,\"children\":["
                "{\"name\":\"a\",\"size\":1,\"files\":1,\"is_dir\":false},{\"name\":\"a\",\"size\":1,\"files\":1,\"is_dir\":false}]},"
                "{\"name\":\"d\",\"size\":0,\"files\":0,\"is_dir\":true,\"children\":["
                "{\"name\":\"x\",\"size\":0,\"files\":0,\"is_dir\":true},{\"name\":\"x\",\"size\":0,\"files\":0,\"is_dir\":true}]}]}",
         head + "\"total_size\":1,\"total_files\":1,\"total_dirs\":1,\"scan_time_ms\":0.1,\"children\":["
                "{\"name\":\"d\",\"size\":1,\"files\":1,\"is_dir\":true,\"children\":["
                "{\"name\":\"a\",\"size\":1,\"files\":1,\"is_dir\":false}]}]}",
         3},
        {"mended names are not one name", with(with(with(OK, "\"total_size\":3,\"total_files\":1", "\"total_size\":6,\"total_files\":2"),
                                                     "false}]", "false},{\"name\":\"a\xEF\xBF\xBD\",\"size\":3,\"files\":1,\"is_dir\":false}]"),
                                                "\"name\":\"a\"", "\"name\":\"a\xEF\xBF\xBD\""),
         "", 0},
    };
    for (const row &r : rows) {
        sv_tree t;
        uint64_t merged = 99;
        std::string why;
        ASSERT_TRUE(sv_read_scan(r.doc.data(), r.doc.size(), &t, &merged, &why)) << r.what << ": " << why;
        EXPECT_EQ(merged, r.merged) << r.what;
        EXPECT_EQ(sv_text(t), r.after.empty() ? r.doc : r.after) << r.what;
        // Saved, the text reads as a saved scan.
        std::string saved = sv_text(t);
        sv_tree again;
        EXPECT_TRUE(sv_read(saved.data(), saved.size(), &again, &why)) << r.what << ": " << why;
        // Read as saved, the same text is refused.
        if (r.merged) {
            EXPECT_NE(tree_refusal(r.doc).find("twice in one directory"), std::string::npos) << r.what;
        }
    }
}

TEST(LibraryForm, PassesOverMembersItDoesNotKnow)
{
    const std::string extra = "{\"children\":[{\"name\":\"x\",\"size\":1,\"files\":1,\"is_dir\":false}],\"name\":\"y\","
                              "\"deep\":[[[{\"a\":null}]],true,-1.5e3,\"s\"]}";
    std::string doc = with(with(OK, "\"scan_time_ms\":0.1,", "\"scan_time_ms\":0.1,\"extra\":" + extra + ","),
                           "\"is_dir\":false}", "\"is_dir\":false,\"mode\":" + extra + ",\"id\":7}");
    EXPECT_EQ(calls_of(doc, doc_form::library), calls_of(OK, doc_form::saved));
    EXPECT_EQ(calls_of(OK, doc_form::library), "root r 3 1 0\nenter a 3 1\nleave\nend\n");
    EXPECT_EQ(refusal(doc, doc_form::saved), "an unknown member \"extra\" at byte " + std::to_string(past(doc, "\"extra\"")));
}

TEST(LibraryForm, ReadsOneDirectoryOfAScan)
{
    // disk_get_dir(): an entry object on top, directories at the last level
    // written without their entries.
    const std::string dir = "{\"name\":\"d\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
                            "{\"name\":\"f\",\"size\":3,\"files\":1,\"is_dir\":false},"
                            "{\"name\":\"g\",\"size\":2,\"files\":1,\"is_dir\":true}]}";
    EXPECT_EQ(calls_of(dir, doc_form::library), "root d 5 2 0\nenter f 3 1\nenter g 2 1 dir\nleave\nleave\nend\n");
    EXPECT_EQ(refusal(dir, doc_form::saved), "an unknown member \"name\" at byte 7");
    std::vector<refused> rows = {
        {"the library's stand-in for a document", "{\"error\":\"out of memory\"}", "a document that is not a scan result", 25},
        {"a list", "[]", "expected a scan result object", 0},
        {"nothing", "", "the document ends early", 0},
    };
    expect_refusals(rows, [](const std::string &doc) { return refusal(doc, doc_form::library); });
}

TEST(ListForm, ReadsEachListTheLibraryHandsOut)
{
    EXPECT_EQ(calls_of("[{\"path\":\"r/a\",\"size\":3},{\"path\":\"r/b\",\"size\":1,\"new\":{\"x\":[]}}]", doc_form::list),
              "row r/a 3 0  0\nrow r/b 1 0  0\nend\n");
    EXPECT_EQ(calls_of("[{\"ext\":\".txt\",\"total_size\":10,\"count\":2}]", doc_form::list), "row .txt 10 2  0\nend\n");
    EXPECT_EQ(calls_of("[{\"path\":\"r/x\",\"problem\":\"unreadable\",\"error\":13},{\"path\":\"r/y\",\"problem\":\"loop\"}]",
                       doc_form::list),
              "row r/x 0 0 unreadable 13\nrow r/y 0 0 loop 0\nend\n");
    EXPECT_EQ(calls_of("[]", doc_form::list), "end\n");
    std::vector<refused> rows = {
        {"a tree", OK, "expected a list", 0},
        {"a number in the list", "[{\"path\":\"a\"},1]", "expected an object in the list", 15},
        {"a size that is a string", "[{\"path\":\"a\",\"size\":\"1\"}]", "\"size\" is not a whole number", 23},
        {"cut short", "[{\"path\":\"a\"}", "the document ends early", 13},
    };
    expect_refusals(rows, [](const std::string &doc) { return refusal(doc, doc_form::list); });
}

TEST(Pieces, AFileReadsAsItsTextWhateverThePieces)
{
    // Some 3,000 entries with names long enough to cross pieces of any size.
    std::string doc = "{\"path\":\"r\",\"total_size\":3000,\"total_files\":3000,\"total_dirs\":30,\"scan_time_ms\":1.0,\"children\":[";
    for (int d = 0; d < 30; d++) {
        doc += std::string(d ? "," : "") + "{\"name\":\"dir " + std::to_string(d) +
               "\",\"size\":100,\"files\":100,\"is_dir\":true,\"children\":[";
        for (int f = 0; f < 100; f++)
            doc += std::string(f ? "," : "") + "{\"name\":\"file \\u00e9 " + std::to_string(f) +
                   std::string(f % 50, 'n') + "\",\"size\":1,\"files\":1,\"is_dir\":false}";
        doc += "]}";
    }
    doc += "]}";
    std::string whole = calls_of(doc, doc_form::saved);
    for (size_t piece : {1, 2, 3, 7, 64, 4096, 1 << 20}) {
        text_file file(doc);
        recorder r;
        std::string why;
        ASSERT_TRUE(doc_read_file(file.f, doc_form::saved, r, &why, piece)) << piece << ": " << why;
        EXPECT_EQ(r.calls, whole) << piece;
    }
    // Cut anywhere, it says what the text cut there says.
    for (size_t cut : {doc.size() / 3, doc.size() / 2 + 1, doc.size() - 1}) {
        std::string part = doc.substr(0, cut);
        for (size_t piece : {5, 4096}) {
            text_file file(part);
            recorder r;
            std::string why;
            EXPECT_FALSE(doc_read_file(file.f, doc_form::saved, r, &why, piece));
            EXPECT_EQ(why, refusal(part, doc_form::saved)) << cut << " " << piece;
        }
    }
    text_file file(doc);
    sv_tree t;
    std::string why;
    ASSERT_TRUE(sv_read_file(file.f, &t, &why)) << why;
    std::string as_written = doc;
    for (size_t at; (at = as_written.find("\\u00e9")) != std::string::npos;)
        as_written.replace(at, 6, "\xC3\xA9");
    EXPECT_EQ(sv_text(t), as_written);
}

namespace {


}  // namespace

TEST(Depth, AHundredThousandLevelsOnASmallStack)
{
    const int depth = 100000;
    std::string level = "{\"name\":\"d\",\"size\":1,\"files\":1,\"is_dir\":true,\"children\":[";
    std::string doc = "{\"path\":\"deep\",\"total_size\":1,\"total_files\":1,\"total_dirs\":" + std::to_string(depth) +
                      ",\"scan_time_ms\":1.0,\"children\":[";
    doc.reserve(doc.size() + level.size() * depth + 64 + 2 * depth);
    for (int i = 0; i < depth; i++)
        doc += level;
    doc += "{\"name\":\"f\",\"size\":1,\"files\":1,\"is_dir\":false}";
    for (int i = 0; i <= depth; i++)
        doc += "]}";
    text_file file(doc);
    bool read = false, written = false, lenient = false;
    size_t entries = 0;
    on_small_stack([&] {
        sv_tree t;
        std::string why;
        read = sv_read_file(file.f, &t, &why);
        entries = t.entries.size();
        written = read && sv_text(t) == doc;
        recorder r;
        lenient = doc_read_text(doc.data(), doc.size(), doc_form::library, r, &why) &&
                  r.calls.size() > (size_t)depth * 6;
    });
    EXPECT_TRUE(read);
    EXPECT_EQ(entries, (size_t)depth + 2);
    EXPECT_TRUE(written);
    EXPECT_TRUE(lenient);
}

TEST(ReportNodes, KeepTheLevelsAsked)
{
    const std::string doc =
        "{\"path\":\"r\",\"total_size\":6,\"total_files\":3,\"total_dirs\":2,\"scan_time_ms\":2500.0,\"children\":["
        "{\"name\":\"d\",\"size\":5,\"files\":2,\"is_dir\":true,\"children\":["
        "{\"name\":\"e\",\"size\":4,\"files\":1,\"is_dir\":true,\"children\":[{\"name\":\"f\",\"size\":4,\"files\":1,\"is_dir\":false}]},"
        "{\"name\":\"g\",\"size\":1,\"files\":1,\"is_dir\":false}]},"
        "{\"name\":\"h\",\"size\":1,\"files\":1,\"is_dir\":false}]}";
    // The names at each depth, depth first.
    auto shape = [](const jr_node &n) {
        std::string out;
        std::vector<std::pair<const jr_node *, int>> todo{{&n, 0}};
        while (!todo.empty()) {
            auto [at, depth] = todo.back();
            todo.pop_back();
            out += std::string((size_t)depth, '.') + at->name + (at->is_dir ? "/ " : " ");
            for (size_t i = at->children.size(); i-- > 0;)
                todo.push_back({&at->children[i], depth + 1});
        }
        return out;
    };
    const char *want[] = {"r/ ", "r/ .d/ .h ", "r/ .d/ ..e/ ..g .h ", "r/ .d/ ..e/ ...f ..g .h "};
    for (int levels = 0; levels < 4; levels++) {
        jr_node root;
        ASSERT_TRUE(jr_read_tree(doc.c_str(), levels, &root));
        EXPECT_EQ(shape(root), want[levels]) << levels;
        EXPECT_EQ(root.size, 6u);
        EXPECT_EQ(root.files, 3u);
        EXPECT_EQ(root.dirs, 2u);
        EXPECT_EQ(root.scan_time_ms, 2500.0);
    }
    jr_node root;
    EXPECT_FALSE(jr_read_tree("{\"error\":\"out of memory\"}", 1, &root));
    EXPECT_FALSE(jr_read_tree(nullptr, 1, &root));
    std::vector<jr_node> rows;
    ASSERT_TRUE(jr_read_list("[{\"ext\":\".txt\",\"total_size\":10,\"count\":2},{\"ext\":\".c\",\"total_size\":1,\"count\":1}]", &rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name + " " + std::to_string(rows[0].size) + " " + std::to_string(rows[0].files), ".txt 10 2");
    EXPECT_EQ(rows[1].name, ".c");
    EXPECT_FALSE(jr_read_list("{}", &rows));
}

TEST(LibraryDocuments, EveryDocumentOfAScanReads)
{
    TempDir td;
    mkdirp(td / "d/e");
    wfile(td / "a.txt", 3000);
    wfile(td / "d/b.txt", 2000);
    wfile(td / "d/e/c.bin", 1000);
    wfile(td / "d/e/x", 10);
    int id = disk_scan(td.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    const char *result = disk_scan_result(id);
    ASSERT_NE(result, nullptr);
    std::string text = result;
    // As saved and as handed out, the same; and written back, the same text.
    EXPECT_EQ(calls_of(text, doc_form::saved), calls_of(text, doc_form::library));
    sv_tree t;
    std::string why;
    ASSERT_TRUE(sv_read(text.data(), text.size(), &t, &why)) << why;
    EXPECT_EQ(sv_text(t), text);
    EXPECT_EQ(t.entries.size(), 7u);
    EXPECT_EQ(t.total_dirs, 2u);

    std::string d = td.path + "/d";
    std::string one = calls_of(disk_get_dir(id, d.c_str(), 1), doc_form::library);
    EXPECT_EQ(one.substr(0, one.find('\n')), "root d " + std::to_string(t.entries[t.kids_of(t.entries[0])[1]].size) + " 3 0");
    EXPECT_NE(one.find("enter e "), std::string::npos);
    EXPECT_EQ(one.find("enter c.bin"), std::string::npos);  // one level only

    std::string top = calls_of(disk_get_top(id, 2), doc_form::list);
    EXPECT_EQ(top.substr(0, 5 + td.path.size()), "row " + td.path + "/");
    EXPECT_EQ(std::count(top.begin(), top.end(), '\n'), 3);  // two rows and the end
    std::string ext = calls_of(disk_get_extensions(id), doc_form::list);
    size_t txt = ext.find("row .txt ");
    ASSERT_NE(txt, std::string::npos);
    std::string line = ext.substr(txt, ext.find('\n', txt) - txt);
    EXPECT_EQ(line.substr(line.size() - 5), " 2  0");  // two files, no problem
    EXPECT_EQ(calls_of(disk_get_problems(id), doc_form::list), "end\n");
    disk_free(id);
}
