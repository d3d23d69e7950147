// The document of one directory: the text of that directory inside the
// result document, cut at a number of levels, found by the path the
// largest-files document writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "documents.h"
#include "fixture.h"
#include "handtree.h"
#include "quorvel_disk.h"

using qvtest::FakeSlot;
using qvtest::HandTree;

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

nlohmann::json parse(const std::string &doc)
{
    try {
        return nlohmann::json::parse(doc);
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what() << " in " << doc.substr(0, 200);
        return nullptr;
    }
}

std::string text_or_null(const char *doc) { return doc ? doc : "(null)"; }

// An entry object as the result document holds it, without its children
// below levels (0: not even its own).
nlohmann::json cut(nlohmann::json j, int levels)
{
    std::vector<std::pair<nlohmann::json *, int>> todo{{&j, levels}};
    while (!todo.empty()) {
        auto [node, left] = todo.back();
        todo.pop_back();
        if (!node->contains("children"))
            continue;
        if (left == 0) {
            node->erase("children");
            continue;
        }
        for (auto &c : (*node)["children"])
            todo.push_back({&c, left - 1});
    }
    return j;
}

// For every directory of the result document full (root path root): the
// directory document asked for with the path the largest-files document
// would write, at levels 0 to 2, is that directory's object in full, the
// uncut one found in full byte for byte. get(path, levels) asks for it.
template <typename Get> void check_every_directory(const std::string &full, const std::string &root, Get get)
{
    nlohmann::json doc = parse(full);
    EXPECT_EQ(text_or_null(get(root, 0)), full);
    struct Item {
        const nlohmann::json *node;
        std::string path;
    };
    std::vector<Item> todo{{&doc, root}};
    int dirs = 0;
    while (!todo.empty()) {
        Item it = todo.back();
        todo.pop_back();
        dirs++;
        for (int levels = 0; levels <= 2; levels++) {
            std::string text = text_or_null(get(it.path, levels));
            SCOPED_TRACE(it.path + " levels " + std::to_string(levels));
            if (levels == 0 && it.node != &doc) {
                EXPECT_NE(full.find(text), std::string::npos) << text.substr(0, 200);
            }
            EXPECT_EQ(parse(text), cut(*it.node, levels == 0 ? -1 : levels));
        }
        if (!it.node->contains("children"))
            continue;
        for (const nlohmann::json &c : (*it.node)["children"]) {
            if (c["is_dir"] != true)
                continue;
            const std::string name = c["name"];
            todo.push_back({&c, it.path + (it.path.empty() || it.path.back() == '/' ? "" : "/") + name});
        }
    }
    EXPECT_GT(dirs, 1);
}

// A tree whose sizes tie often (the order of equal entries is where two
// orderings could differ), with names to escape and to mend, four levels
// deep. The same seed gives the same tree in the same walk order.
void grow(HandTree &t, uint32_t seed)
{
    const char *names[] = {"a", "b.txt", "tab\there", "q\"uote", "bad\xFF", "\xC3\xA9t\xC3\xA9", "back\\slash"};
    std::vector<std::pair<qv_entry *, int>> dirs{{t.root(), 0}};
    int made = 0;
    while (!dirs.empty()) {
        auto [d, depth] = dirs.back();
        dirs.pop_back();
        for (int i = 0; i < 12; i++) {
            seed = seed * 1103515245u + 12345u;
            std::string name = std::string(names[(seed >> 8) % 7]) + std::to_string(made++);
            if (depth < 3 && (seed >> 16) % 3 == 0)
                dirs.push_back({t.dir(d, name), depth + 1});
            else
                t.file(d, name, (seed >> 20) % 4);  // sizes 0 to 3: many ties
        }
    }
    t.finish(12.0);
}

std::string dir_doc(FakeSlot &slot, const std::string &path, int levels)
{
    return text_or_null(qv_doc_dir(&slot.s, path.c_str(), levels));
}

// /r: a.txt 10, sub/ (b.bin 5, empty/, deep/x 2), z 1.
struct SmallTree {
    HandTree t{"/r"};
    SmallTree()
    {
        t.file(t.root(), "z", 1);
        qv_entry *sub = t.dir(t.root(), "sub");
        t.file(t.dir(sub, "deep"), "x", 2);
        t.dir(sub, "empty");
        t.file(sub, "b.bin", 5);
        t.file(t.root(), "a.txt", 10);
        t.finish(250.0);
    }
};

const std::string HEAD = "{\"path\":\"/r\",\"total_size\":18,\"total_files\":4,\"total_dirs\":3,\"scan_time_ms\":250.0";
const std::string A_TXT = "{\"name\":\"a.txt\",\"size\":10,\"files\":1,\"is_dir\":false}";
const std::string Z = "{\"name\":\"z\",\"size\":1,\"files\":1,\"is_dir\":false}";
const std::string SUB_HEAD = "{\"name\":\"sub\",\"size\":7,\"files\":2,\"is_dir\":true";
const std::string B_BIN = "{\"name\":\"b.bin\",\"size\":5,\"files\":1,\"is_dir\":false}";
const std::string DEEP_HEAD = "{\"name\":\"deep\",\"size\":2,\"files\":1,\"is_dir\":true";
const std::string X = "{\"name\":\"x\",\"size\":2,\"files\":1,\"is_dir\":false}";
const std::string EMPTY = "{\"name\":\"empty\",\"size\":0,\"files\":0,\"is_dir\":true}";

}  // namespace

TEST(DirDoc, PathsAndLevels)
{
    SmallTree st;
    FakeSlot slot(st.t.r);
    const std::string sub_all = SUB_HEAD + ",\"children\":[" + B_BIN + "," + DEEP_HEAD + ",\"children\":[" + X +
                                "]}," + EMPTY + "]}";
    struct Case {
        const char *path;
        int levels;
        std::string want;
    } cases[] = {
        {"/r", 1, HEAD + ",\"children\":[" + A_TXT + "," + SUB_HEAD + "}," + Z + "]}"},
        {"/r", 2, HEAD + ",\"children\":[" + A_TXT + "," + SUB_HEAD + ",\"children\":[" + B_BIN + "," + DEEP_HEAD +
                      "}," + EMPTY + "]}," + Z + "]}"},
        {"/r", 0, HEAD + ",\"children\":[" + A_TXT + "," + sub_all + "," + Z + "]}"},
        {"/r", -5, HEAD + ",\"children\":[" + A_TXT + "," + sub_all + "," + Z + "]}"},
        {"/r/sub", 0, sub_all},
        {"/r/sub", 1, SUB_HEAD + ",\"children\":[" + B_BIN + "," + DEEP_HEAD + "}," + EMPTY + "]}"},
        {"/r/sub/deep", 1, DEEP_HEAD + ",\"children\":[" + X + "]}"},
        {"/r/sub/empty", 3, EMPTY},
        // Names nothing: a file, a missing name, other joins of the same names.
        {"/r/a.txt", 0, "(null)"},
        {"/r/sub/b.bin", 0, "(null)"},
        {"/r/nope", 0, "(null)"},
        {"/r/", 0, "(null)"},
        {"/r/sub/", 0, "(null)"},
        {"/r//sub", 0, "(null)"},
        {"/rsub", 0, "(null)"},
        {"/r/Sub", 0, "(null)"},
        {"r/sub", 0, "(null)"},
        {"", 0, "(null)"},
        {"sub", 0, "(null)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " levels " + std::to_string(c.levels));
        EXPECT_EQ(dir_doc(slot, c.path, c.levels), c.want);
    }
    EXPECT_EQ(qv_doc_dir(&slot.s, nullptr, 0), nullptr);
    // Asked for before the result document, the directories leave it as it
    // is: the whole of it equals the root asked for without limit.
    EXPECT_EQ(std::string(qv_doc_scan_result(&slot.s)), cases[2].want);
}

// Root paths as a host gives them: a trailing "/" takes no second one,
// backslashes stay as they are (escaped in the text, not in the path).
TEST(DirDoc, RootForms)
{
    for (const std::string root : {"/", "C:\\data\\", "C:\\data", "rel"}) {
        SCOPED_TRACE(root);
        HandTree t(root);
        t.file(t.dir(t.root(), "d"), "f", 2);
        t.finish();
        FakeSlot slot(t.r);
        std::string d = root.back() == '/' ? root + "d" : root + "/d";
        EXPECT_EQ(dir_doc(slot, d, 0),
                  "{\"name\":\"d\",\"size\":2,\"files\":1,\"is_dir\":true,\"children\":["
                  "{\"name\":\"f\",\"size\":2,\"files\":1,\"is_dir\":false}]}");
        EXPECT_EQ(dir_doc(slot, root + "\\d", 0), "(null)");
        if (root.back() == '/') {
            EXPECT_EQ(dir_doc(slot, root + "/d", 0), "(null)");
        }
    }
}

// A name is matched by its bytes or as the documents write it; a written
// form that two directories share, neither by its bytes, names nothing.
TEST(DirDoc, NamesAsTheDocumentsWriteThem)
{
    HandTree t("/r");
    t.file(t.dir(t.root(), "one\xFF"), "a", 1);
    t.file(t.dir(t.root(), "two\xFE"), "b", 2);
    t.file(t.dir(t.root(), "two\xFF"), "c", 3);
    t.file(t.dir(t.root(), "tab\tname"), "d", 4);
    t.finish();
    FakeSlot slot(t.r);
    auto names_of = [](const std::string &doc) {
        std::vector<std::string> out;
        nlohmann::json j = parse(doc);
        for (const auto &c : j["children"])
            out.push_back(c["name"]);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(names_of(dir_doc(slot, "/r/one" + R, 0)), V{"a"});
    EXPECT_EQ(names_of(dir_doc(slot, "/r/one\xFF", 0)), V{"a"});
    EXPECT_EQ(names_of(dir_doc(slot, "/r/two\xFE", 0)), V{"b"});
    EXPECT_EQ(names_of(dir_doc(slot, "/r/two\xFF", 0)), V{"c"});
    EXPECT_EQ(dir_doc(slot, "/r/two" + R, 0), "(null)");
    EXPECT_EQ(names_of(dir_doc(slot, "/r/tab\tname", 0)), V{"d"});
    EXPECT_EQ(dir_doc(slot, "/r/one", 0), "(null)");
    EXPECT_EQ(dir_doc(slot, "/r/one" + R + R, 0), "(null)");
}

// Directory documents asked for first or after leave the result document the
// same, and each is its directory's part of it.
TEST(DirDoc, EveryDirectoryIsItsPartOfTheResultDocument)
{
    HandTree first("/r"), later("/r");
    grow(first, 7);
    grow(later, 7);
    FakeSlot a(first.r), b(later.r);
    std::string full_first = qv_doc_scan_result(&a.s);
    // b: directories first (which orders the tree), the whole text after.
    check_every_directory(full_first, "/r", [&](const std::string &path, int levels) {
        return qv_doc_dir(&b.s, path.c_str(), levels);
    });
    EXPECT_EQ(std::string(qv_doc_scan_result(&b.s)), full_first);
    check_every_directory(full_first, "/r", [&](const std::string &path, int levels) {
        return qv_doc_dir(&a.s, path.c_str(), levels);
    });
}

TEST(Exports, DirDocOfARealTree)
{
    qvtest::TempDir td;
    for (const char *d : {"s1/a", "s1/b/c", "s2", "s2/e", "tie1", "tie2"})
        qvtest::mkdirp(td / d);
    const char *files[][2] = {{"s1/a/f1", "300"}, {"s1/b/c/f2", "300"}, {"s1/b/f3", "7"}, {"s2/f4", "900"},
                              {"tie1/x", "5"},    {"tie2/y", "5"},      {"top", "5"},      {"s1/f5", "0"}};
    for (auto &f : files)
        qvtest::wfile(td / f[0], std::stoull(f[1]));
    int id = disk_scan(td.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(qvtest::wait_scan(id), SCAN_DONE);
    // Directories first, then the whole text: each is its part of it.
    std::string sub = text_or_null(disk_get_dir(id, (td.path + "/s1/b").c_str(), 0));
    std::string full = disk_scan_result(id);
    EXPECT_NE(full.find(sub), std::string::npos) << sub;
    check_every_directory(full, td.path, [&](const std::string &path, int levels) {
        return disk_get_dir(id, path.c_str(), levels);
    });
    EXPECT_EQ(disk_scan_result(id), disk_scan_result(id));
    for (int bad : {-1, 32, INT32_MIN})
        EXPECT_EQ(disk_get_dir(bad, td.path.c_str(), 0), nullptr);
    EXPECT_EQ(disk_get_dir(id, nullptr, 0), nullptr);
    EXPECT_EQ(disk_get_dir(id, (td.path + "/top").c_str(), 0), nullptr);
    disk_free(id);
    EXPECT_EQ(disk_get_dir(id, td.path.c_str(), 0), nullptr);
}
