// The three documents, byte for byte: on hand-built trees through the
// writers, and on real directories through the exports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "documents.h"
#include "fixture.h"
#include "handtree.h"
#include "quorvel_disk.h"
#include "sorter.h"

using qvtest::FakeSlot;
using qvtest::HandTree;

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// Parses strictly (UTF-8 checked); a failure names the document.
nlohmann::json parse(const char *doc)
{
    try {
        return nlohmann::json::parse(doc);
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what() << " in " << doc;
        return nullptr;
    }
}

std::string file_obj(const std::string &name, uint64_t size)
{
    return "{\"name\":\"" + name + "\",\"size\":" + std::to_string(size) + ",\"files\":1,\"is_dir\":false}";
}

// /r: a.txt 10, sub/ (b.bin 5, empty/), z 1, listed in walk order (reversed).
struct SmallTree {
    HandTree t{"/r"};
    SmallTree()
    {
        t.file(t.root(), "z", 1);
        qv_entry *sub = t.dir(t.root(), "sub");
        t.dir(sub, "empty");
        t.file(sub, "b.bin", 5);
        t.file(t.root(), "a.txt", 10);
        t.finish(250.0);
    }
};

const char SMALL_DOC[] =
    "{\"path\":\"/r\",\"total_size\":16,\"total_files\":3,\"total_dirs\":2,\"scan_time_ms\":250.0,"
    "\"children\":[{\"name\":\"a.txt\",\"size\":10,\"files\":1,\"is_dir\":false},"
    "{\"name\":\"sub\",\"size\":5,\"files\":1,\"is_dir\":true,\"children\":["
    "{\"name\":\"b.bin\",\"size\":5,\"files\":1,\"is_dir\":false},"
    "{\"name\":\"empty\",\"size\":0,\"files\":0,\"is_dir\":true}]},"
    "{\"name\":\"z\",\"size\":1,\"files\":1,\"is_dir\":false}]}";

}  // namespace

TEST(ScanResultDoc, SmallTreeByteForByte)
{
    SmallTree st;
    FakeSlot slot(st.t.r);
    const char *doc = qv_doc_scan_result(&slot.s);
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc, SMALL_DOC);
    nlohmann::json j = parse(doc);
    EXPECT_EQ(j["children"][1]["children"][0]["name"], "b.bin");
}

// The first call orders and builds; the second returns the same text and
// touches nothing, even when the tree was reordered in between.
TEST(ScanResultDoc, CachedAfterTheFirstCall)
{
    SmallTree st;
    FakeSlot slot(st.t.r);
    const char *first = qv_doc_scan_result(&slot.s);
    EXPECT_EQ(first, slot.s.result_json);
    qv_sort_tree(st.t.root(), SORT_NAME);
    std::vector<std::string> by_name = qvtest::names_of(st.t.root());
    EXPECT_EQ(qv_doc_scan_result(&slot.s), first);
    EXPECT_EQ(qvtest::names_of(st.t.root()), by_name);
    EXPECT_STREQ(first, SMALL_DOC);
}

TEST(ScanResultDoc, RootForms)
{
    struct Case {
        std::string root;
        std::string path_json;
    } cases[] = {
        {"/r", "/r"},
        {"C:\\data\\", "C:\\\\data\\\\"},
        {"tab\there", "tab\\there"},
        {"bad\xFF" "root", "bad" + R + "root"},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path_json);
        HandTree t(c.root);
        t.finish(0.0);
        FakeSlot slot(t.r);
        // No child: no "children" member at all.
        EXPECT_EQ(std::string(qv_doc_scan_result(&slot.s)),
                  "{\"path\":\"" + c.path_json +
                      "\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"scan_time_ms\":0.0}");
    }
}

// Every size and count in full, beyond 32 bits.
TEST(ScanResultDoc, NumbersBeyond32Bits)
{
    HandTree t("/big");
    qv_entry *many = t.dir(t.root(), "many");
    t.file(many, "n", 0);
    t.file(t.root(), "huge.iso", 5ull * (1ull << 32) + 3);
    t.finish(123456789.0);
    many->file_count = (1ull << 33) + 1;  // as if the walk had found that many
    t.r->total_files = UINT64_MAX;
    t.r->total_dirs = (1ull << 32) + 1;
    FakeSlot slot(t.r);
    EXPECT_STREQ(qv_doc_scan_result(&slot.s),
                 "{\"path\":\"/big\",\"total_size\":21474836483,\"total_files\":18446744073709551615,"
                 "\"total_dirs\":4294967297,\"scan_time_ms\":123456789.0,\"children\":["
                 "{\"name\":\"huge.iso\",\"size\":21474836483,\"files\":1,\"is_dir\":false},"
                 "{\"name\":\"many\",\"size\":0,\"files\":8589934593,\"is_dir\":true,\"children\":["
                 "{\"name\":\"n\",\"size\":0,\"files\":1,\"is_dir\":false}]}]}");
}

TEST(ScanResultDoc, ErrorTextsAreKept)
{
    FakeSlot none(nullptr);
    const char *doc = qv_doc_scan_result(&none.s);
    EXPECT_STREQ(doc, "{\"error\":\"no result\"}");
    EXPECT_EQ(qv_doc_scan_result(&none.s), doc);

    HandTree t("/r");
    t.r->root = nullptr;
    FakeSlot rootless(t.r);
    EXPECT_STREQ(qv_doc_scan_result(&rootless.s), "{\"error\":\"no result\"}");
}

TEST(ScanResultDoc, NamesAreEscaped)
{
    HandTree t("/r");
    t.file(t.root(), "q\"b\\s/\x01", 3);
    t.file(t.root(), "caf\xC3\xA9\xC3", 2);
    t.file(t.root(), "", 1);  // no name
    t.finish();
    FakeSlot slot(t.r);
    const char *doc = qv_doc_scan_result(&slot.s);
    EXPECT_EQ(std::string(doc),
              "{\"path\":\"/r\",\"total_size\":6,\"total_files\":3,\"total_dirs\":0,\"scan_time_ms\":0.0,"
              "\"children\":[" + file_obj("q\\\"b\\\\s/\\u0001", 3) + "," + file_obj("caf\xC3\xA9" + R, 2) + "," +
                  file_obj("", 1) + "]}");
    nlohmann::json j = parse(doc);
    EXPECT_EQ(j["children"][0]["name"], "q\"b\\s/\x01");
}

// Entries of the greatest width (names of control bytes, 20-digit numbers)
// falling across many growths of the buffer.
TEST(ScanResultDoc, WidestEntriesAcrossGrowth)
{
    HandTree t("/w");
    std::string children;
    for (int i = 300; i >= 1; i--) {
        std::string name(i, '\x01'), json;
        for (int k = 0; k < i; k++)
            json += "\\u0001";
        qv_entry *f = t.file(t.root(), name, UINT64_MAX - (uint64_t)i);
        f->file_count = UINT64_MAX;  // set by hand: a file's count is 1 after accumulation
        children = "{\"name\":\"" + json + "\",\"size\":" + std::to_string(UINT64_MAX - (uint64_t)i) +
                   ",\"files\":18446744073709551615,\"is_dir\":false}" + (children.empty() ? "" : ",") + children;
    }
    t.r->total_size = 1;  // totals as given, not summed
    FakeSlot slot(t.r);
    EXPECT_EQ(std::string(qv_doc_scan_result(&slot.s)),
              "{\"path\":\"/w\",\"total_size\":1,\"total_files\":0,\"total_dirs\":0,\"scan_time_ms\":0.0,"
              "\"children\":[" + children + "]}");
}

// Only a directory writes "children"; a file never does, even one that was
// given entries by hand.
TEST(ScanResultDoc, ChildrenOnlyOnDirectories)
{
    HandTree t("/r");
    qv_entry *f = t.file(t.root(), "f", 2);
    t.file(f, "inside", 1);
    t.finish();
    FakeSlot slot(t.r);
    EXPECT_EQ(std::string(qv_doc_scan_result(&slot.s)),
              "{\"path\":\"/r\",\"total_size\":2,\"total_files\":1,\"total_dirs\":0,\"scan_time_ms\":0.0,"
              "\"children\":[" + file_obj("f", 2) + "]}");
}

// --- Largest files -------------------------------------------------------

TEST(TopDoc, CountsOfN)
{
    struct Case {
        int32_t n;
        const char *doc;
    } cases[] = {
        {0, "[]"},
        {-7, "[]"},
        {1, "[{\"path\":\"/r/a.txt\",\"size\":10}]"},
        {2, "[{\"path\":\"/r/a.txt\",\"size\":10},{\"path\":\"/r/sub/b.bin\",\"size\":5}]"},
        {3, "[{\"path\":\"/r/a.txt\",\"size\":10},{\"path\":\"/r/sub/b.bin\",\"size\":5},{\"path\":\"/r/z\",\"size\":1}]"},
        {INT32_MAX, "[{\"path\":\"/r/a.txt\",\"size\":10},{\"path\":\"/r/sub/b.bin\",\"size\":5},{\"path\":\"/r/z\",\"size\":1}]"},
    };
    SmallTree st;
    FakeSlot slot(st.t.r);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        const char *doc = qv_doc_top(&slot.s, c.n);
        EXPECT_STREQ(doc, c.doc);
        EXPECT_EQ(doc, slot.s.top_json);  // the slot holds the latest text
        parse(doc);
    }
}

TEST(TopDoc, PathOfAFileBelowTheRoot)
{
    struct Case {
        std::string root;
        std::string file;
        std::string path_json;
    } cases[] = {
        {"/r", "f.txt", "/r/f.txt"},
        {"/r/", "f.txt", "/r/f.txt"},
        {"D:/", "f.txt", "D:/f.txt"},
        {"C:\\data", "f.txt", "C:\\\\data/f.txt"},
        {"D:\\", "f.txt", "D:\\\\/f.txt"},
        {"", "f.txt", "f.txt"},
        {"/r", "tab\t\xFF", "/r/tab\\t" + R},
        // 4095 bytes: the cut splits the two bytes of the name's first letter.
        {std::string(4093, 'x'), "\xC3\xA9x", std::string(4093, 'x') + "/" + R},
        // ...or falls right after the separator.
        {std::string(4094, 'x'), "f", std::string(4094, 'x') + "/"},
        {std::string(5000, 'x'), "f", std::string(4095, 'x')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path_json.substr(0, 40));
        HandTree t(c.root);
        t.file(t.root(), c.file, 3);
        t.finish();
        FakeSlot slot(t.r);
        EXPECT_EQ(std::string(qv_doc_top(&slot.s, 5)), "[{\"path\":\"" + c.path_json + "\",\"size\":3}]");
    }
}

// Directories are never listed, whatever their totals; sizes in full.
TEST(TopDoc, OnlyFilesWithFullSizes)
{
    HandTree t("/r");
    qv_entry *d = t.dir(t.root(), "d");
    t.file(d, "x", (1ull << 32) + 1);
    t.file(d, "y", 1ull << 32);
    t.dir(t.root(), "e");
    t.finish();
    FakeSlot slot(t.r);
    EXPECT_STREQ(qv_doc_top(&slot.s, 10),
                 "[{\"path\":\"/r/d/x\",\"size\":4294967297},{\"path\":\"/r/d/y\",\"size\":4294967296}]");
}

TEST(TopDoc, EmptyTreesAndMissingResult)
{
    HandTree t("/r");
    t.dir(t.root(), "only-dirs");
    t.finish();
    FakeSlot slot(t.r);
    EXPECT_STREQ(qv_doc_top(&slot.s, 10), "[]");

    FakeSlot none(nullptr);
    const char *doc = qv_doc_top(&none.s, 10);
    EXPECT_STREQ(doc, "[]");
    EXPECT_EQ(none.s.top_json, doc);
}

// --- Extensions ----------------------------------------------------------

TEST(ExtensionsDoc, ByteForByteAndCached)
{
    HandTree t("/r.dir");
    t.file(t.root(), "report.tar.gz", 3ull << 31);  // totals past 2^32
    t.file(t.root(), "old.gz", 3ull << 31);
    t.file(t.root(), "notes.", 7);
    t.file(t.root(), ".profile", 1000);
    t.file(t.root(), ".config.json", 40);
    t.file(t.root(), "a.JPG", 5);
    t.file(t.root(), "b.jpg", 6);
    t.file(t.root(), "c.jpg", 0);
    t.file(t.root(), "x.\"q\"", 1);
    qv_entry *d = t.dir(t.root(), "dir.txt");
    t.file(d, "Makefile", 2000);
    t.finish();
    FakeSlot slot(t.r);
    const char *doc = qv_doc_extensions(&slot.s);
    EXPECT_STREQ(doc,
                 "[{\"ext\":\".gz\",\"total_size\":12884901888,\"count\":2},"
                 "{\"ext\":\".json\",\"total_size\":40,\"count\":1},"
                 "{\"ext\":\".\",\"total_size\":7,\"count\":1},"
                 "{\"ext\":\".jpg\",\"total_size\":6,\"count\":2},"
                 "{\"ext\":\".JPG\",\"total_size\":5,\"count\":1},"
                 "{\"ext\":\".\\\"q\\\"\",\"total_size\":1,\"count\":1}]");
    parse(doc);
    EXPECT_EQ(qv_doc_extensions(&slot.s), doc);
    EXPECT_EQ(slot.s.ext_json, doc);
}

TEST(ExtensionsDoc, NothingToReportIsKept)
{
    HandTree t("/r");
    t.file(t.root(), "README", 5);
    t.file(t.root(), ".gitignore", 5);
    t.finish();
    FakeSlot slot(t.r);
    const char *doc = qv_doc_extensions(&slot.s);
    EXPECT_STREQ(doc, "[]");
    t.file(t.root(), "late.txt", 1);  // would count, but the text is kept
    EXPECT_EQ(qv_doc_extensions(&slot.s), doc);
    EXPECT_STREQ(doc, "[]");

    FakeSlot none(nullptr);
    const char *empty = qv_doc_extensions(&none.s);
    EXPECT_STREQ(empty, "[]");
    EXPECT_EQ(qv_doc_extensions(&none.s), empty);
}

// --- Any depth -------------------------------------------------------------

// 16,000 nested directories, each also holding a 1-byte file "f"; the bottom
// one holds "end". Written and selected on a 1 MiB stack.
TEST(Deep, SixteenThousandLevelsOnASmallStack)
{
    const int levels = 16000;
    const uint64_t big = 1ull << 40;
    HandTree t("/deep");
    qv_entry *d = t.root();
    for (int i = 0; i < levels; i++) {
        qv_entry *next = t.dir(d, "d");  // listed after f until ordered
        t.file(d, "f", 1);
        d = next;
    }
    t.file(d, "end", big);
    t.finish(5.0);

    std::string want = "{\"path\":\"/deep\",\"total_size\":" + std::to_string(big + levels) +
                       ",\"total_files\":" + std::to_string(levels + 1) +
                       ",\"total_dirs\":" + std::to_string(levels) + ",\"scan_time_ms\":5.0,\"children\":[";
    for (int k = 1; k <= levels; k++)
        want += "{\"name\":\"d\",\"size\":" + std::to_string(big + (uint64_t)(levels - k)) +
                ",\"files\":" + std::to_string(levels - k + 1) + ",\"is_dir\":true,\"children\":[";
    want += file_obj("end", big);
    for (int k = levels; k >= 1; k--)
        want += "]}," + file_obj("f", 1);
    want += "]}";

    std::string top_path = "/deep";
    for (int k = 0; k < levels; k++)
        top_path += "/d";
    top_path = top_path.substr(0, 4095);

    FakeSlot slot(t.r);
    std::string doc, top, ext;
    qvtest::run_on_small_stack([&] {
        doc = qv_doc_scan_result(&slot.s);
        top = qv_doc_top(&slot.s, 1);
        ext = qv_doc_extensions(&slot.s);
    });
    EXPECT_EQ(doc.size(), want.size());
    EXPECT_TRUE(doc == want);  // not printed: megabytes
    EXPECT_EQ(top, "[{\"path\":\"" + top_path + "\",\"size\":" + std::to_string(big) + "}]");
    EXPECT_EQ(ext, "[]");
}

// --- Through the exports, on real directories -----------------------------

namespace {

int wait_done(int id)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int st;
    while ((st = disk_scan_status(id)) == SCAN_RUNNING || st == SCAN_IDLE) {
        if (std::chrono::steady_clock::now() > until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return st;
}

// The scan time text of a result document, e.g. "3.0".
std::string scan_time_of(const std::string &doc)
{
    size_t at = doc.find("\"scan_time_ms\":");
    if (at == std::string::npos)
        return "";
    at += 15;
    size_t end = doc.find_first_of(",}", at);
    return doc.substr(at, end - at);
}

}  // namespace

// A path as the documents write it: backslashes (Windows) doubled.
static std::string json_path(const std::string &p)
{
    std::string out;
    for (char c : p) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

TEST(Exports, DocumentsOfARealTree)
{
    qvtest::TempDir td;
    qvtest::mkdirp(td / "sub");
    qvtest::mkdirp(td / "empty");
    qvtest::wfile(td / "sub/big.iso", 5ull * (1ull << 30) + 7);  // sparse
    qvtest::wfile(td / "sub/s.txt", 3);
    qvtest::wfile(td / "a.txt", 10);
    qvtest::wfile(td / "z", 1);

    int id = disk_scan(td.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_done(id), SCAN_DONE);
    const char *doc = disk_scan_result(id);
    ASSERT_NE(doc, nullptr);
    std::string ms = scan_time_of(doc);
    EXPECT_TRUE(ms.size() >= 3 && ms.substr(ms.size() - 2) == ".0") << ms;
    const std::string big = "5368709127";
    EXPECT_EQ(std::string(doc),
              "{\"path\":\"" + json_path(td.path) + "\",\"total_size\":5368709141,\"total_files\":4,\"total_dirs\":2,"
              "\"scan_time_ms\":" + ms + ",\"children\":["
              "{\"name\":\"sub\",\"size\":5368709130,\"files\":2,\"is_dir\":true,\"children\":[" +
                  file_obj("big.iso", 5368709127ull) + "," + file_obj("s.txt", 3) + "]}," +
                  file_obj("a.txt", 10) + "," + file_obj("z", 1) + "," +
                  "{\"name\":\"empty\",\"size\":0,\"files\":0,\"is_dir\":true}]}");
    EXPECT_EQ(disk_scan_result(id), doc);
    nlohmann::json j = parse(doc);
    EXPECT_EQ(j["total_size"].get<uint64_t>(), 5368709141ull);

    std::string top = disk_get_top(id, 3);
    EXPECT_EQ(top, "[{\"path\":\"" + json_path(td.path) + "/sub/big.iso\",\"size\":" + big + "},{\"path\":\"" + json_path(td.path) +
                       "/a.txt\",\"size\":10},{\"path\":\"" + json_path(td.path) + "/sub/s.txt\",\"size\":3}]");
    EXPECT_STREQ(disk_get_top(id, 0), "[]");
    EXPECT_STREQ(disk_get_top(id, -1), "[]");
    EXPECT_EQ(std::string(disk_get_top(id, INT32_MAX)),
              top.substr(0, top.size() - 1) + ",{\"path\":\"" + json_path(td.path) + "/z\",\"size\":1}]");

    const char *ext = disk_get_extensions(id);
    EXPECT_STREQ(ext, "[{\"ext\":\".iso\",\"total_size\":5368709127,\"count\":1},"
                      "{\"ext\":\".txt\",\"total_size\":13,\"count\":2}]");
    EXPECT_EQ(disk_get_extensions(id), ext);
    disk_free(id);
    EXPECT_EQ(disk_scan_result(id), nullptr);
    EXPECT_EQ(disk_get_top(id, 3), nullptr);
    EXPECT_EQ(disk_get_extensions(id), nullptr);
}

TEST(Exports, EmptyDirectoryAndBadIds)
{
    qvtest::TempDir td;
    int id = disk_scan(td.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_done(id), SCAN_DONE);
    std::string doc = disk_scan_result(id);
    EXPECT_EQ(doc, "{\"path\":\"" + json_path(td.path) + "\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,"
                   "\"scan_time_ms\":" + scan_time_of(doc) + "}");
    EXPECT_STREQ(disk_get_top(id, 10), "[]");
    EXPECT_STREQ(disk_get_extensions(id), "[]");
    for (int bad : {-1, 32, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(disk_scan_result(bad), nullptr);
        EXPECT_EQ(disk_get_top(bad, 1), nullptr);
        EXPECT_EQ(disk_get_extensions(bad), nullptr);
    }
    disk_free(id);
}

// The header lets several threads ask for the problems of one scan at once,
// while another orders the tree for its document: every one of them gets
// the one cached text, and nothing built meanwhile is lost (LeakSanitizer
// and ThreadSanitizer builds check the rest). Many loops make the text long
// enough to build that the first calls overlap.
TEST(Exports, ProblemsAskedFromManyThreadsAtOnce)
{
    qvtest::TempDir td;
    qvtest::mkdirp(td / "d");
    const int loops = 300;
    for (int i = 0; i < loops; i++)
        ASSERT_TRUE(qvtest::symlink_to(td.path, td / ("d/up" + std::to_string(i))));
    const int threads = 6;
    for (int round = 0; round < 8; round++) {
        int id = disk_scan(td.path.c_str(), 0, 1);
        ASSERT_GE(id, 0);
        ASSERT_EQ(wait_done(id), SCAN_DONE);
        std::atomic<int> ready{0};
        std::vector<const char *> got(threads, nullptr);
        const char *tree = nullptr;
        std::vector<std::thread> askers;
        for (int i = 0; i <= threads; i++)
            askers.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() <= threads) {
                }
                if (i == threads)
                    tree = disk_scan_result(id);
                else
                    got[i] = disk_get_problems(id);
            });
        for (std::thread &a : askers)
            a.join();
        EXPECT_NE(tree, nullptr);
        ASSERT_NE(got[0], nullptr);
        for (const char *g : got)
            EXPECT_EQ(g, got[0]);
        nlohmann::json j = parse(got[0]);
        ASSERT_TRUE(j.is_array());
        EXPECT_EQ(j.size(), (size_t)loops);
        EXPECT_EQ(j[0]["problem"], "loop");
        EXPECT_EQ(disk_get_problems(id), got[0]);
        disk_free(id);
    }
}

#ifndef _WIN32
// Raw bytes that are not UTF-8, in a name and in the root path: every
// document stays strict JSON.
TEST(Exports, IllFormedNamesGiveValidDocuments)
{
    qvtest::TempDir td;
    std::string root = td / "r\xE9p";
    qvtest::mkdirp(root);
    qvtest::wfile(root + "/n\xC3.bin", 4);
    qvtest::wfile(root + "/ok\xC3\xA9.t\xFF", 2);
    int id = disk_scan(root.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_done(id), SCAN_DONE);
    const std::string root_json = json_path(td.path) + "/r" + R + "p";
    std::string doc = disk_scan_result(id);
    EXPECT_EQ(doc, "{\"path\":\"" + root_json + "\",\"total_size\":6,\"total_files\":2,\"total_dirs\":0,"
                   "\"scan_time_ms\":" + scan_time_of(doc) + ",\"children\":[" + file_obj("n" + R + ".bin", 4) +
                   "," + file_obj("ok\xC3\xA9.t" + R, 2) + "]}");
    parse(doc.c_str());
    EXPECT_STREQ(disk_get_top(id, 1), ("[{\"path\":\"" + root_json + "/n" + R + ".bin\",\"size\":4}]").c_str());
    EXPECT_STREQ(disk_get_extensions(id), ("[{\"ext\":\".bin\",\"total_size\":4,\"count\":1},"
                                           "{\"ext\":\".t" + R + "\",\"total_size\":2,\"count\":1}]").c_str());
    parse(disk_get_extensions(id));
    disk_free(id);
}
#endif
