// Entries told to the host (disk_visit) and taken from it (disk_import_*):
// what a visit tells matches the files on disk, and a scan imported from
// its own visit answers every document as the walk did.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fixture.h"
#include "quorvel_disk.h"

using namespace qvtest;

namespace {

// One call of a visit, kept whole: an entry, or "end" of a directory.
struct told {
    bool end = false;
    disk_entry e{};
    std::string name;
};

int keep(void *ctx, const disk_entry *e)
{
    told t;
    t.end = e == nullptr;
    if (e) {
        t.e = *e;
        t.name.assign(e->name, e->name_len);
        t.e.name = nullptr;
    }
    static_cast<std::vector<told> *>(ctx)->push_back(t);
    return 0;
}

std::vector<told> visit(int id)
{
    std::vector<told> calls;
    EXPECT_EQ(disk_visit(id, keep, &calls), 0);
    return calls;
}

int scan_done(const std::string &path, const disk_scan_options &o)
{
    int id = disk_scan_ex(path.c_str(), &o);
    EXPECT_GE(id, 0);
    EXPECT_EQ(wait_scan(id), SCAN_DONE);
    return id;
}

disk_scan_options options(int size_kind, int links_once)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.size_kind = size_kind;
    o.hard_links_once = links_once;
    return o;
}

// Feeds calls to a new import named path; the import's id (ended).
int import_calls(const std::string &path, const disk_scan_options &o, const std::vector<told> &calls)
{
    int id = disk_import_begin(path.c_str(), &o);
    EXPECT_GE(id, 0);
    for (const told &t : calls) {
        disk_entry e = t.e;
        e.name = t.name.data();
        EXPECT_EQ(disk_import_entry(id, t.end ? nullptr : &e), 0) << t.name;
    }
    EXPECT_EQ(disk_import_end(id), 0);
    EXPECT_EQ(disk_scan_status(id), SCAN_DONE);
    return id;
}

std::string without_time(std::string doc)
{
    size_t at = doc.find("\"scan_time_ms\":");
    size_t end = doc.find(',', at);
    return at == std::string::npos ? doc : doc.erase(at, end - at);
}

const told *find_told(const std::vector<told> &calls, const std::string &name)
{
    for (const told &t : calls)
        if (!t.end && t.name == name)
            return &t;
    return nullptr;
}

}  // namespace

#ifndef _WIN32
TEST(Visit, TellsBothSizesLinksAndStatesOfAWalk)
{
    TempDir t;
    mkdirp(t / "a/deep");
    mkdirp(t / "b");
    wfile(t / "a/sparse", 5u << 20);  // a hole: far fewer blocks than bytes
    wfile(t / "a/deep/small", 100);
    wfile(t / "b/linked", 70000);
    ASSERT_EQ(link((t / "b/linked").c_str(), (t / "a/linked").c_str()), 0);
    mkdirp(t / "cache");
    wfile(t / "cache/CACHEDIR.TAG", 0);
    {
        FILE *f = fopen((t / "cache/CACHEDIR.TAG").c_str(), "w");
        fputs("Signature: 8a477f597d28d172789f06886806bc55\n", f);
        fclose(f);
    }
    for (int kind : {DISK_SIZE_ON_DISK, DISK_SIZE_APPARENT}) {
        disk_scan_options o = options(kind, 1);
        o.exclude_caches = 1;
        int id = scan_done(t.path, o);
        std::vector<told> calls = visit(id);
        // Balanced: one end per directory, the root's last.
        int open = 0, dirs = 0;
        for (const told &c : calls) {
            open += c.end ? -1 : c.e.is_dir;
            dirs += !c.end && c.e.is_dir;
            ASSERT_GE(open, c.end ? 0 : 1);
        }
        EXPECT_EQ(open, 0);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].name, t.path);
        EXPECT_TRUE(calls.back().end);

        for (const char *rel : {"a/sparse", "a/deep/small", "b/linked"}) {
            struct stat st;
            ASSERT_EQ(stat((t / rel).c_str(), &st), 0);
            const told *f = find_told(calls, strrchr(rel, '/') + 1);
            ASSERT_NE(f, nullptr) << rel;
            EXPECT_EQ(f->e.apparent_size, (uint64_t)st.st_size) << rel;
            EXPECT_EQ(f->e.disk_size, (uint64_t)st.st_blocks * 512) << rel;
        }
        // Both names of the linked file carry its identity; its size counts
        // under one of them only, so the files' counted sizes sum to the total.
        struct stat ls;
        ASSERT_EQ(stat((t / "b/linked").c_str(), &ls), 0);
        uint64_t counted = 0;
        int names = 0;
        for (const told &c : calls) {
            if (c.end || c.e.is_dir)
                continue;
            counted += c.e.size;
            if (c.name == "linked") {
                names++;
                EXPECT_EQ(c.e.ino, (uint64_t)ls.st_ino);
                EXPECT_EQ(c.e.dev, (uint64_t)ls.st_dev);
                EXPECT_EQ(c.e.nlink, 2u);
            } else {
                EXPECT_EQ(c.e.ino, 0u) << c.name;
            }
        }
        EXPECT_EQ(names, 2);
        EXPECT_EQ(counted, calls[0].e.size);
        EXPECT_EQ(calls[0].e.dirs, (uint64_t)dirs - 1);
        const told *cache = find_told(calls, "cache");
        ASSERT_NE(cache, nullptr);
        EXPECT_EQ(cache->e.state, DISK_ENTRY_CACHE);
        EXPECT_EQ(find_told(calls, "a")->e.state, DISK_ENTRY_WHOLE);
        // A cache directory is not a problem.
        EXPECT_STREQ(disk_get_problems(id), "[]");
        disk_free(id);
    }
}

TEST(Visit, UnreadableDirectoryAsRoot)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every directory";
    TempDir t;
    mkdirp(t / "shut");
    wfile(t / "shut/f", 10);
    chmod((t / "shut").c_str(), 0);
    int id = scan_done(t.path, options(DISK_SIZE_ON_DISK, 1));
    std::vector<told> calls = visit(id);
    chmod((t / "shut").c_str(), 0755);
    const told *shut = find_told(calls, "shut");
    ASSERT_NE(shut, nullptr);
    EXPECT_EQ(shut->e.state, DISK_ENTRY_UNREADABLE);
    EXPECT_EQ(shut->e.error, EACCES);
    disk_free(id);
}
#endif

// A walk told to an import gives the same documents, problems and visit.
TEST(Import, WalkVisitedAndImportedAnswersTheSame)
{
    TempDir t;
    for (int d = 0; d < 6; d++) {
        mkdirp(t / ("d" + std::to_string(d) + "/sub"));
        for (int f = 0; f < 7; f++)
            wfile(t / ("d" + std::to_string(d) + (f % 2 ? "/sub/f" : "/f") + std::to_string(f) + ".x" +
                       std::to_string(f % 3)),
                  (uint64_t)(d * 1000 + f * 37));
    }
    mkdirp(t / "empty");
#ifndef _WIN32
    ASSERT_EQ(link((t / "d1/f0.x0").c_str(), (t / "d2/twin").c_str()), 0);
#endif
    for (int links_once : {1, 0}) {
        disk_scan_options o = options(DISK_SIZE_APPARENT, links_once);
        o.extended = links_once;  // times and owners, in one of the two rounds
        int walked = scan_done(t.path, o);
        std::vector<told> calls = visit(walked);
        int imported = import_calls(t.path, o, calls);
        EXPECT_EQ(without_time(disk_scan_result(walked)), without_time(disk_scan_result(imported)));
        EXPECT_STREQ(disk_get_top(walked, 20), disk_get_top(imported, 20));
        EXPECT_STREQ(disk_get_extensions(walked), disk_get_extensions(imported));
        EXPECT_STREQ(disk_get_problems(walked), disk_get_problems(imported));
        std::string d1 = t.path + "/d1";
        EXPECT_STREQ(disk_get_dir(walked, d1.c_str(), 1), disk_get_dir(imported, d1.c_str(), 1));
        std::vector<told> again = visit(imported);
        ASSERT_EQ(again.size(), calls.size());
        for (size_t i = 0; i < calls.size(); i++) {
            EXPECT_EQ(again[i].name, calls[i].name);
            EXPECT_EQ(memcmp(&again[i].e, &calls[i].e, sizeof(disk_entry)), 0) << calls[i].name;
        }
        disk_free(walked);
        disk_free(imported);
    }
}

TEST(Import, HardLinksCountOnceUnderTheFirstPath)
{
    disk_entry root{sizeof(disk_entry), 1, "r", 1};
    disk_entry b{sizeof(disk_entry), 1, "b", 1}, a{sizeof(disk_entry), 1, "a", 1};
    disk_entry f{sizeof(disk_entry), 1, "f", 0};
    f.apparent_size = 1000;
    f.disk_size = 4096;
    f.dev = 7;
    f.ino = 42;
    f.nlink = 2;
    for (int once : {1, 0}) {
        disk_scan_options o = options(DISK_SIZE_ON_DISK, once);
        int id = disk_import_begin("/r", &o);
        ASSERT_GE(id, 0);
        // b/f comes first, but a/f sorts first and keeps the size.
        for (const disk_entry *e : std::vector<const disk_entry *>{&root, &b, &f, nullptr, &a, &f})
            ASSERT_EQ(disk_import_entry(id, e), 0);
        ASSERT_EQ(disk_import_end(id), 0);
        std::string top = disk_get_top(id, 5);
        EXPECT_NE(top.find("{\"path\":\"/r/a/f\",\"size\":4096}"), std::string::npos) << top;
        EXPECT_NE(top.find(once ? "{\"path\":\"/r/b/f\",\"size\":0}" : "{\"path\":\"/r/b/f\",\"size\":4096}"),
                  std::string::npos)
            << top;
        disk_free(id);
    }
}

// Every refused call spoils the import: the scan ends failed, never
// half-built as though it were whole.
// An extended import keeps what each entry's bits say it has, and only that;
// a host built before the fields existed (a shorter struct_size) gives none.
TEST(Import, ExtendedKeepsTheFieldsEntriesHave)
{
    disk_scan_options o = options(DISK_SIZE_APPARENT, 0);
    o.extended = 1;
    disk_entry root{sizeof(disk_entry), 1, "r", 1};
    disk_entry timed{sizeof(disk_entry), 1, "t", 0}, owned{sizeof(disk_entry), 1, "o", 0};
    disk_entry bare{sizeof(disk_entry), 1, "b", 0}, old{offsetof(disk_entry, fields), 1, "p", 0};
    timed.fields = DISK_FIELD_MTIME;
    timed.mtime = 1600000000;
    timed.uid = 7;  // not said to be there: not kept
    owned.fields = DISK_FIELD_MTIME | DISK_FIELD_OWNER;
    owned.mtime = 1700000000;
    owned.uid = 1000, owned.gid = 100, owned.mode = 0100640;
    bare.mtime = old.mtime = 1800000000;  // no bits: no time
    old.fields = DISK_FIELD_MTIME;
    for (bool with_owner : {false, true}) {
        int id = disk_import_begin("/r", &o);
        ASSERT_EQ(disk_import_entry(id, &root), 0);
        for (const disk_entry *e : {&timed, &bare, &old})
            ASSERT_EQ(disk_import_entry(id, e), 0);
        if (with_owner)
            ASSERT_EQ(disk_import_entry(id, &owned), 0);
        ASSERT_EQ(disk_import_end(id), 0);
        std::string doc = disk_scan_result(id);
        EXPECT_NE(doc.find(with_owner ? R"("fields":["mtime","uid","gid","mode"],"mtime":1700000000)"
                                      : R"("fields":["mtime"],"mtime":1600000000,"children")"),
                  std::string::npos)
            << doc;
        EXPECT_NE(doc.find(R"("name":"t","size":0,"files":1,"is_dir":false,"mtime":1600000000})"), std::string::npos);
        EXPECT_NE(doc.find(R"("name":"b","size":0,"files":1,"is_dir":false,"mtime":0})"), std::string::npos);
        EXPECT_NE(doc.find(R"("name":"p","size":0,"files":1,"is_dir":false,"mtime":0})"), std::string::npos);
        if (with_owner)
            EXPECT_NE(doc.find(R"("name":"o","size":0,"files":1,"is_dir":false,"mtime":1700000000,"uid":1000,)"
                               R"("gid":100,"mode":33184})"),
                      std::string::npos)
                << doc;
        disk_free(id);
    }
}

TEST(Import, RefusedCallsSpoilTheImport)
{
    const disk_entry dir{sizeof(disk_entry), 1, "d", 1}, file{sizeof(disk_entry), 1, "f", 0};
    disk_entry sealed = dir;
    sealed.state = DISK_ENTRY_OTHER_FS;
    std::string long_name(65536, 'n'), deep_name(40000, 'n');
    auto named = [&](const char *n, size_t len) {
        disk_entry e = file;
        e.name = n;
        e.name_len = (unsigned)len;
        return e;
    };
    struct refusal {
        const char *what;
        std::vector<disk_entry> before;  // accepted, after the root
        bool end_first;                  // the root ends before the bad call
        disk_entry bad;
        bool as_root = false;  // the bad call comes first
    } cases[] = {
        {"a file as the root", {}, false, file, true},
        {"an empty name", {}, false, named("", 0)},
        {"a name of .", {}, false, named(".", 1)},
        {"a name of ..", {}, false, named("..", 2)},
        {"a name with a slash", {}, false, named("a/b", 3)},
        {"a name with NUL", {}, false, named("a\0b", 3)},
        {"a name too long", {}, false, named(long_name.data(), long_name.size())},
        {"a path deeper than a walk goes", {}, false, named(deep_name.data(), deep_name.size())},
        {"an entry below a directory not entered", {sealed}, false, file},
        {"an entry after the root ended", {}, true, file},
        {"a struct_size too small", {}, false, disk_entry{4, 1, "f", 0}},
    };
    for (const refusal &c : cases) {
        int id = disk_import_begin("/r", nullptr);
        ASSERT_GE(id, 0);
        if (!c.as_root)
            ASSERT_EQ(disk_import_entry(id, &dir), 0);
        for (const disk_entry &e : c.before)
            ASSERT_EQ(disk_import_entry(id, &e), 0) << c.what;
        if (c.end_first)
            ASSERT_EQ(disk_import_entry(id, nullptr), 0) << c.what;  // the root ends
        EXPECT_EQ(disk_import_entry(id, &c.bad), -1) << c.what;
        EXPECT_EQ(disk_import_entry(id, &file), -1) << c.what;  // spoiled
        EXPECT_EQ(disk_import_end(id), -1) << c.what;
        EXPECT_EQ(disk_scan_status(id), SCAN_FAILED) << c.what;
        EXPECT_EQ(disk_scan_result(id), nullptr) << c.what;
        disk_free(id);
    }
    // An end with nothing open, a call on a walked scan, an import ended twice.
    int id = disk_import_begin("/r", nullptr);
    EXPECT_EQ(disk_import_entry(id, nullptr), -1);
    disk_free(id);
    id = disk_import_begin("/r", nullptr);
    ASSERT_EQ(disk_import_entry(id, &dir), 0);
    ASSERT_EQ(disk_import_end(id), 0);
    EXPECT_EQ(disk_import_end(id), -1);
    EXPECT_EQ(disk_import_entry(id, &file), -1);
    EXPECT_EQ(disk_scan_status(id), SCAN_DONE);
    disk_free(id);
    EXPECT_EQ(disk_import_entry(40, &file), -1);
    EXPECT_EQ(disk_import_begin(nullptr, nullptr), -1);
}

TEST(Import, CancelledAndProblemsCounted)
{
    disk_entry root{sizeof(disk_entry), 1, "r", 1}, bad{sizeof(disk_entry), 3, "bad", 1};
    bad.state = DISK_ENTRY_UNREADABLE;
    bad.error = 13;
    int id = disk_import_begin("/r", nullptr);
    ASSERT_EQ(disk_import_entry(id, &root), 0);
    ASSERT_EQ(disk_import_entry(id, &bad), 0);
    ASSERT_EQ(disk_import_end(id), 0);
    disk_problems p{};
    p.struct_size = sizeof p;
    EXPECT_EQ(disk_scan_problems(id, &p), SCAN_DONE);
    EXPECT_EQ(p.unreadable_dirs, 1u);
    EXPECT_STREQ(disk_get_problems(id), "[{\"path\":\"/r/bad\",\"problem\":\"unreadable\",\"error\":13}]");
    disk_free(id);

    id = disk_import_begin("/r", nullptr);
    ASSERT_EQ(disk_import_entry(id, &root), 0);
    disk_scan_cancel(id);
    EXPECT_EQ(disk_import_entry(id, &bad), -1);
    EXPECT_EQ(disk_import_end(id), -1);
    EXPECT_EQ(disk_scan_status(id), SCAN_CANCELLED);
    disk_free(id);
}

// A chain as deep as a walk goes (paths below the root up to 32767 bytes),
// deeper than a stack could recurse through.
TEST(Import, DeepChainImportsAndVisits)
{
    const int depth = 16382;  // "d/d/.../d": 32765 bytes
    disk_entry d{sizeof(disk_entry), 1, "d", 1}, f{sizeof(disk_entry), 1, "f", 0};
    f.apparent_size = 5;
    int id = disk_import_begin("/r", nullptr);
    for (int i = 0; i <= depth; i++)
        ASSERT_EQ(disk_import_entry(id, &d), 0);
    ASSERT_EQ(disk_import_entry(id, &f), 0);
    ASSERT_EQ(disk_import_end(id), 0);  // closes what is still open
    uint64_t ends = 0, entries = 0;
    auto count = [](void *ctx, const disk_entry *e) {
        (e ? static_cast<uint64_t *>(ctx)[0] : static_cast<uint64_t *>(ctx)[1])++;
        return 0;
    };
    uint64_t n[2] = {0, 0};
    ASSERT_EQ(disk_visit(id, count, n), 0);
    entries = n[0];
    ends = n[1];
    EXPECT_EQ(entries, (uint64_t)depth + 2);
    EXPECT_EQ(ends, (uint64_t)depth + 1);
    // A visit the host stops returns 1, whatever the host returned.
    EXPECT_EQ(disk_visit(id, [](void *, const disk_entry *) { return 7; }, nullptr), 1);
    EXPECT_EQ(disk_visit(id, [](void *, const disk_entry *) { return -2; }, nullptr), 1);
    EXPECT_EQ(disk_visit(id, nullptr, nullptr), -1);
    disk_free(id);
}
