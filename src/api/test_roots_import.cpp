// Several scans put under one root of no name (disk_import_begin("")): the
// children of that root alone may be named by paths, the documents and
// disk_get_dir() reach through them, and a file two scans share counts once.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fixture.h"
#include "quorvel_disk.h"

using namespace qvtest;
using json = nlohmann::json;

namespace {

disk_entry dir_named(const char *name)
{
    disk_entry e{sizeof(disk_entry), (unsigned)strlen(name), name, 1};
    return e;
}

disk_entry file_named(const char *name, uint64_t size)
{
    disk_entry e{sizeof(disk_entry), (unsigned)strlen(name), name, 0};
    e.apparent_size = e.disk_size = size;
    return e;
}

struct feeding {
    int into;
    bool failed = false;
};

int pass_on(void *ctx, const disk_entry *e)
{
    auto *f = static_cast<feeding *>(ctx);
    if (disk_import_entry(f->into, e) != 0)
        f->failed = true;
    return f->failed ? 1 : 0;
}

// Walks each path and tells it into one import under "", as qvdisk does
// with several roots; the import's id (done).
int combined(const std::vector<std::string> &paths, const disk_scan_options &o)
{
    int id = disk_import_begin("", &o);
    EXPECT_GE(id, 0);
    disk_entry root = dir_named("");
    EXPECT_EQ(disk_import_entry(id, &root), 0);
    for (const std::string &p : paths) {
        int walked = disk_scan_ex(p.c_str(), &o);
        EXPECT_EQ(wait_scan(walked), SCAN_DONE);
        feeding f{id};
        EXPECT_EQ(disk_visit(walked, pass_on, &f), 0) << p;
        disk_free(walked);
    }
    EXPECT_EQ(disk_import_end(id), 0);
    return id;
}

}  // namespace

// Names of paths only directly below the empty root; any other place keeps
// the rule of file names, and an import named otherwise takes none.
TEST(RootsImport, PathNamesOnlyDirectlyBelowTheEmptyRoot)
{
    struct name_case {
        const char *root;    // the import's path
        bool nested;         // the name comes one level down, below "/x"
        const char *name;
        size_t len;
        bool taken;
    } cases[] = {
        {"", false, "/a/b", 4, true},   {"", false, "/", 1, true},     {"", false, ".", 1, true},
        {"", false, "..", 2, true},     {"", false, "../x/", 5, true}, {"", false, "", 0, false},
        {"", false, "a\0b", 3, false},  {"", true, "a/b", 3, false},   {"", true, "..", 2, false},
        {"/r", false, "a/b", 3, false}, {"/r", false, "..", 2, false},
    };
    for (const name_case &c : cases) {
        int id = disk_import_begin(c.root, nullptr);
        ASSERT_GE(id, 0);
        disk_entry root = dir_named(c.root), up = dir_named("/x");
        ASSERT_EQ(disk_import_entry(id, &root), 0);
        if (c.nested) {
            ASSERT_EQ(disk_import_entry(id, &up), 0);
        }
        disk_entry e = dir_named("");
        e.name = c.name;
        e.name_len = (unsigned)c.len;
        EXPECT_EQ(disk_import_entry(id, &e), c.taken ? 0 : -1) << c.root << " " << c.name;
        EXPECT_EQ(disk_import_end(id), c.taken ? 0 : -1) << c.name;
        disk_free(id);
    }
}

// Roots named "/a" and "/a/b" side by side (one inside the other): a path
// is found below whichever root it leads on from, the longer name first;
// files' paths begin with their root's name; totals are sums.
TEST(RootsImport, DocumentsAndDirectoriesReachEachRoot)
{
    int id = disk_import_begin("", nullptr);
    ASSERT_GE(id, 0);
    disk_entry root = dir_named(""), a = dir_named("/a"), ab = dir_named("/a/b"), sub = dir_named("sub"),
               x = dir_named("x"), slash = dir_named("/"), f1 = file_named("f1", 10),
               f2 = file_named("f2", 200), f3 = file_named("f3", 3000);
    for (const disk_entry *e : std::vector<const disk_entry *>{&root, &a, &sub, &f1, nullptr, nullptr, &ab, &x, &f2,
                                                               nullptr, nullptr, &slash, &f3, nullptr, nullptr})
        ASSERT_EQ(disk_import_entry(id, e), 0);
    ASSERT_EQ(disk_import_end(id), 0);

    json doc = json::parse(disk_scan_result(id));
    EXPECT_EQ(doc["path"], "");
    EXPECT_EQ(doc["total_size"], 3210);
    EXPECT_EQ(doc["total_files"], 3);
    EXPECT_EQ(doc["total_dirs"], 5);
    ASSERT_EQ(doc["children"].size(), 3u);
    EXPECT_EQ(doc["children"][0]["name"], "/");
    EXPECT_EQ(doc["children"][2]["name"], "/a");

    struct reach {
        const char *path;
        const char *name;  // of the directory found, or null for none
    } cases[] = {
        {"/a", "/a"},       {"/a/sub", "sub"}, {"/a/b", "/a/b"}, {"/a/b/x", "x"}, {"/", "/"},
        {"/sub", nullptr},  {"/a/x", nullptr}, {"/a/", nullptr}, {"/ab", nullptr}, {"a", nullptr},
        {"/a/b/f2", nullptr},
    };
    for (const reach &c : cases) {
        const char *text = disk_get_dir(id, c.path, 1);
        if (!c.name) {
            EXPECT_EQ(text, nullptr) << c.path;
            continue;
        }
        ASSERT_NE(text, nullptr) << c.path;
        EXPECT_EQ(json::parse(text)["name"], c.name) << c.path;
    }
    EXPECT_EQ(json::parse(disk_get_dir(id, "", 0))["total_size"], 3210);
    EXPECT_STREQ(disk_get_top(id, 3), "[{\"path\":\"/f3\",\"size\":3000},{\"path\":\"/a/b/x/f2\",\"size\":200},"
                                      "{\"path\":\"/a/sub/f1\",\"size\":10}]");
    disk_free(id);
}

#ifndef _WIN32
// Walked roots told into one: a file linked from both counts once (each
// scan met one of its names), an unreadable directory stays a problem under
// its root's name, and the sum is what each root gives on its own less the
// shared file.
TEST(RootsImport, WalkedRootsShareLinksAndKeepTheirProblems)
{
    TempDir t;
    mkdirp(t / "one/locked");
    mkdirp(t / "two");
    wfile(t / "one/shared", 50000);
    wfile(t / "one/own", 700);
    wfile(t / "two/own", 900);
    ASSERT_EQ(link((t / "one/shared").c_str(), (t / "two/shared").c_str()), 0);
    bool locks = geteuid() != 0;  // root reads every directory
    if (locks) {
        ASSERT_EQ(chmod((t / "one/locked").c_str(), 0), 0);
    }
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.size_kind = DISK_SIZE_APPARENT;
    for (int once : {1, 0}) {
        o.hard_links_once = once;
        int id = combined({t / "one", t / "two"}, o);
        json doc = json::parse(disk_scan_result(id));
        EXPECT_EQ(doc["total_size"], 700u + 900u + (once ? 50000u : 100000u));
        EXPECT_EQ(doc["total_files"], 4);
        ASSERT_EQ(doc["children"].size(), 2u);
        EXPECT_EQ(doc["children"][0]["name"], once ? t / "one" : t / "two");
        std::string top = disk_get_top(id, 4);
        EXPECT_NE(top.find("{\"path\":\"" + t / "one/shared" + "\",\"size\":50000}"), std::string::npos) << top;
        EXPECT_NE(top.find("{\"path\":\"" + t / "two/shared" + "\",\"size\":" + (once ? "0" : "50000") + "}"),
                  std::string::npos)
            << top;
        if (locks) {
            EXPECT_EQ(std::string(disk_get_problems(id)),
                      "[{\"path\":\"" + t / "one/locked" + "\",\"problem\":\"unreadable\",\"error\":13}]");
            disk_problems p{};
            p.struct_size = sizeof p;
            disk_scan_problems(id, &p);
            EXPECT_EQ(p.unreadable_dirs, 1u);
        }
        EXPECT_NE(disk_get_dir(id, (t / "two").c_str(), 0), nullptr);
        disk_free(id);
    }
    chmod((t / "one/locked").c_str(), 0755);
}
#endif
