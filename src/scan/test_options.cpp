// Scans with options (disk_scan_ex): size on disk, hard links counted once,
// one file system, exclude patterns, cache directories; and the options
// read back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixture.h"
#include "match.h"
#include "quorvel_disk.h"

using namespace qvtest;
using json = nlohmann::json;

namespace {

struct Scan {
    int id = -1;
    json tree;
    Scan(const std::string &path, const disk_scan_options *opts)
    {
        id = disk_scan_ex(path.c_str(), opts);
        EXPECT_GE(id, 0) << path;
        int state = id >= 0 ? wait_scan(id) : -1;
        EXPECT_EQ(state, SCAN_DONE) << path;
        if (state == SCAN_DONE)
            tree = json::parse(disk_scan_result(id));
    }
    ~Scan() { disk_free(id); }
    // Size of every entry by its path below the root.
    std::map<std::string, uint64_t> sizes() const
    {
        std::map<std::string, uint64_t> out;
        std::vector<std::pair<const json *, std::string>> stack;
        if (tree.contains("children"))
            for (const json &c : tree.at("children"))
                stack.push_back({&c, c["name"].get<std::string>()});
        while (!stack.empty()) {
            auto [e, p] = stack.back();
            stack.pop_back();
            out[p] = (*e)["size"].get<uint64_t>();
            if (e->contains("children"))
                for (const json &c : e->at("children"))
                    stack.push_back({&c, p + "/" + c["name"].get<std::string>()});
        }
        return out;
    }
};

disk_scan_options options()
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    return o;
}

uint64_t blocks_of(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return (uint64_t)st.st_blocks * 512;
}

}  // namespace

TEST(Options, SizeOnDiskIsTheAllocatedSpace)
{
    TempDir t;
    wfile(t / "sparse", 1ull << 30);  // a few bytes written, the rest a hole
    wfile(t / "small", 1000);
    disk_scan_options o = options();
    o.size_kind = DISK_SIZE_ON_DISK;
    Scan disk(t.path, &o), apparent(t.path, nullptr);
    ASSERT_EQ(disk_scan_status(disk.id), SCAN_DONE);
    EXPECT_EQ(disk.sizes(), (std::map<std::string, uint64_t>{{"sparse", blocks_of(t / "sparse")},
                                                             {"small", blocks_of(t / "small")}}));
    EXPECT_LT(disk.tree["total_size"].get<uint64_t>(), 1u << 20);
    EXPECT_EQ(apparent.tree["total_size"].get<uint64_t>(), (1ull << 30) + 1000);
}

TEST(Options, HardLinksCountOnceUnderTheFirstPath)
{
    TempDir t;
    mkdirp(t / "b");
    mkdirp(t / "a");
    wfile(t / "b/data", 5000);
    ASSERT_EQ(link((t / "b/data").c_str(), (t / "a/copy").c_str()), 0);
    ASSERT_EQ(link((t / "b/data").c_str(), (t / "b/again").c_str()), 0);
    wfile(t / "a/plain", 7);
    disk_scan_options o = options();
    o.hard_links_once = 1;
    // The same answer with and without the pool, whatever order it met them.
    std::vector<FlatEntry> walked[2];
    for (int pool = 0; pool < 2; pool++) {
        qv_walk_hooks hooks{};
        hooks.workers = pool ? 0 : 1;
        qv_scan_result *r = scan_sync_with(t.path, &o, hooks);
        walked[pool] = flatten(r);
        qv_scan_result_free(r);
    }
    EXPECT_EQ(walked[0], walked[1]);
    Scan once(t.path, &o), each(t.path, nullptr);
    EXPECT_EQ(once.sizes(), (std::map<std::string, uint64_t>{
                                {"a", 5007}, {"a/copy", 5000}, {"a/plain", 7}, {"b", 0}, {"b/data", 0}, {"b/again", 0}}));
    EXPECT_EQ(once.tree["total_size"], 5007u);
    EXPECT_EQ(once.tree["total_files"], 4u);
    EXPECT_EQ(each.tree["total_size"], 15007u);
    unsigned long long bytes = 0;
    disk_scan_progress(once.id, nullptr, nullptr, &bytes);
    EXPECT_EQ(bytes, 5007u);
}

// With links followed, a file reached under several names, by symbolic
// links as well as hard links, counts once (as du -L counts it) under the
// name whose path sorts first; each name counts with count-links (du -L -l),
// and without links followed only the hard links are there to merge. A link
// to a directory of the tree shows that directory again, its files at 0. The
// expected sizes follow from the table of names below.
TEST(Options, FollowedLinksCountEachFileOnce)
{
    TempDir t;
    const std::string tree = t / "tree";
    mkdirp(tree + "/a");
    mkdirp(tree + "/b");
    mkdirp(tree + "/c");
    mkdirp(t / "outside");
    struct File {
        const char *made_at;  // below t
        uint64_t size;
    } files[] = {{"tree/a/data", 5000}, {"tree/a/more", 11}, {"tree/c/plain", 7}, {"outside/ext", 300}};
    for (const File &f : files)
        wfile(t / f.made_at, f.size);
    ASSERT_EQ(link((tree + "/a/data").c_str(), (tree + "/c/hard").c_str()), 0);
    for (auto [target, at] : {std::pair{"../a/data", "b/to_data"}, {"../a/data", "b/to_data_too"},
                              {"../c/plain", "b/to_plain"}, {"../outside/ext", "to_ext"}, {"a", "to_a"}, {"nowhere", "dangling"}})
        ASSERT_EQ(symlink(target, (tree + "/" + at).c_str()), 0) << at;
    const int DANGLING = -1;
    struct Name {
        std::string path;  // below tree
        int file;          // index in files, or DANGLING (an empty file when followed)
        bool through_link;
    } names[] = {{"a/data", 0, false},     {"a/more", 1, false},     {"c/hard", 0, false},
                 {"c/plain", 2, false},    {"b/to_data", 0, true},   {"b/to_data_too", 0, true},
                 {"b/to_plain", 2, true},  {"to_ext", 3, true},      {"to_a/data", 0, true},   {"to_a/more", 1, true},
                 {"dangling", DANGLING, true}};
    for (int follow = 0; follow < 2; follow++) {
        for (int once = 0; once < 2; once++) {
            SCOPED_TRACE("follow_links " + std::to_string(follow) + " hard_links_once " + std::to_string(once));
            std::map<std::string, uint64_t> want;
            std::map<int, std::string> first_name;  // of each file, in byte order
            for (const Name &n : names)
                if ((follow || !n.through_link) && n.file != DANGLING &&
                    (!first_name.count(n.file) || n.path < first_name[n.file]))
                    first_name[n.file] = n.path;
            uint64_t total = 0, count = 0;
            for (const char *dir : {"a", "b", "c", "to_a"})
                if (follow || std::string(dir) != "to_a")
                    want[dir] = 0;
            for (const Name &n : names) {
                if (!follow && n.through_link)
                    continue;
                uint64_t size = n.file == DANGLING ? 0 : files[n.file].size;
                if (once && n.file != DANGLING && first_name[n.file] != n.path)
                    size = 0;
                want[n.path] = size;
                size_t slash = n.path.find('/');
                if (slash != std::string::npos)
                    want[n.path.substr(0, slash)] += size;
                total += size;
                count++;
            }
            disk_scan_options o = options();
            o.follow_links = follow;
            o.hard_links_once = once;
            Scan s(tree, &o);
            EXPECT_EQ(s.sizes(), want);
            EXPECT_EQ(s.tree["total_size"], total);
            EXPECT_EQ(s.tree["total_files"], count);
        }
    }
}

TEST(Options, ExcludePatternsLeaveEntriesOutAsDuDoes)
{
    TempDir t;
    for (const char *d : {"src/a/b", "src/node_modules/x", "docs", "a/b"})
        mkdirp(t / d);
    for (const char *f : {"src/main.o", "src/main.c", "src/a/b/deep.c", "src/node_modules/x/m.js", "docs/r[1].txt",
                          "a/b/c", "top.o", "*star"})
        wfile(t / f, 1);
    struct Case {
        std::vector<std::string> patterns;
        std::set<std::string> gone;  // paths that must be left out (with what is below)
    } cases[] = {
        {{"*.o"}, {"src/main.o", "top.o"}},
        {{"node_modules"}, {"src/node_modules"}},
        {{"a/b"}, {"src/a/b", "a/b"}},                      // a part of the path after a '/'
        {{"src/*.c"}, {"src/main.c", "src/a/b/deep.c"}},    // '*' matches '/'
        {{"r\\[1].txt"}, {"docs/r[1].txt"}},                // quoted bracket
        {{"[t]op.?"}, {"top.o"}},
        {{"\\*star"}, {"*star"}},
        {{t.path.substr(1) + "/docs"}, {"docs"}},           // the root's own spelling counts
        {{"nomatch", "*.js", "deep*"}, {"src/node_modules/x/m.js", "src/a/b/deep.c"}},
    };
    Scan all(t.path, nullptr);
    std::map<std::string, uint64_t> everything = all.sizes();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.patterns[0]);
        std::vector<const char *> p;
        for (const std::string &s : c.patterns)
            p.push_back(s.c_str());
        disk_scan_options o = options();
        o.excludes = p.data();
        o.exclude_count = (int)p.size();
        Scan s(t.path, &o);
        std::set<std::string> got, want;
        for (const auto &[path, size] : s.sizes())
            got.insert(path);
        for (const auto &[path, size] : everything) {
            bool below = false;
            for (const std::string &g : c.gone)
                below = below || path == g || path.rfind(g + "/", 0) == 0;
            if (!below)
                want.insert(path);
        }
        EXPECT_EQ(got, want);
    }
}

TEST(Options, ARootThatMatchesKeepsNoChildren)
{
    TempDir t;
    mkdirp(t / "skipme/sub");
    wfile(t / "skipme/sub/f", 5);
    for (const char *pattern : {"skipme", "*", "*/skip*"}) {
        SCOPED_TRACE(pattern);
        const char *p[] = {pattern};
        disk_scan_options o = options();
        o.excludes = p;
        o.exclude_count = 1;
        Scan s(t / "skipme", &o);
        EXPECT_TRUE(s.sizes().empty());
        EXPECT_EQ(s.tree["total_size"], 0u);
    }
}

TEST(Options, PatternMatcherTable)
{
    struct Case {
        const char *pattern, *text;
        bool match;
    } cases[] = {
        {"*", "", true},           {"*", "a/b", true},       {"a*b", "a/x/b", true},  {"a?c", "abc", true},
        {"a?c", "ac", false},      {"[a-c]x", "bx", true},   {"[!a-c]x", "bx", false}, {"[^a]x", "zx", true},
        {"[]]", "]", true},        {"[", "[", true},          {"[a", "[a", true},      {"\\*", "*", true},
        {"\\*", "a", false},       {"*.o", "x.o.c", false},  {"**.c", "a.c", true},   {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false}, {"", "", true},           {"", "a", false},        {"\\", "\\", true},
        {"*[[:digit:]]", "x5", true}, {"*[[:digit:]]", "x:]", false}, {"[[:alpha:]_]x", "_x", true},
        {"[![:space:]]", " ", false}, {"[a-\\z]z", "az", true}, {"[\\]]", "]", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qv_pattern_match(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
}

TEST(Options, CacheDirectoriesKeepNoChildren)
{
    TempDir t;
    mkdirp(t / "cache/sub");
    mkdirp(t / "fake");
    wfile(t / "cache/big", 1000);
    wfile(t / "fake/big", 1000);
    auto tag = [](const std::string &path, const std::string &text) {
        FILE *f = fopen(path.c_str(), "wb");
        fputs(text.c_str(), f);
        fclose(f);
    };
    tag(t / "cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n");
    tag(t / "fake/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc5");  // one byte short
    disk_scan_options o = options();
    o.exclude_caches = 1;
    Scan s(t.path, &o);
    std::map<std::string, uint64_t> sizes = s.sizes();
    EXPECT_EQ(sizes.count("cache"), 1u);
    EXPECT_EQ(sizes.count("cache/big"), 0u);
    EXPECT_EQ(sizes.count("fake/big"), 1u);
}

TEST(Options, OneFileSystemStopsAtMounts)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: needs root to mount a tmpfs";
    TempDir t;
    mkdirp(t / "mnt");
    wfile(t / "here", 10);
    ASSERT_EQ(mount("tmpfs", (t / "mnt").c_str(), "tmpfs", 0, "size=1m"), 0);
    wfile(t / "mnt/there", 20);
    disk_scan_options o = options();
    o.one_file_system = 1;
    {
        Scan x(t.path, &o), all(t.path, nullptr);
        EXPECT_EQ(x.sizes(), (std::map<std::string, uint64_t>{{"here", 10}, {"mnt", 0}}));
        EXPECT_EQ(all.tree["total_size"], 30u);
    }
    umount2((t / "mnt").c_str(), MNT_DETACH);
}

TEST(Options, DefaultsBadArgumentsAndReadingBack)
{
    TempDir t;
    wfile(t / "f", 3);
    // Null options and zeroed options are disk_scan.
    disk_scan_options zero = options();
    for (const disk_scan_options *o : {(const disk_scan_options *)nullptr, (const disk_scan_options *)&zero}) {
        Scan a(t.path, o);
        int plain = disk_scan(t.path.c_str(), 0, 0);
        ASSERT_EQ(wait_scan(plain), SCAN_DONE);
        json p = json::parse(disk_scan_result(plain));
        p["scan_time_ms"] = a.tree["scan_time_ms"];
        EXPECT_EQ(a.tree, p);
        disk_free(plain);
    }
    // Refused: no path, a struct too small, an unknown size kind, a bad list.
    const char *null_pattern[] = {nullptr};
    disk_scan_options bad_kind = options(), bad_count = options(), bad_list = options(), tiny = options();
    bad_kind.size_kind = 7;
    bad_count.exclude_count = -1;
    bad_list.excludes = null_pattern;
    bad_list.exclude_count = 1;
    tiny.struct_size = 2;
    EXPECT_EQ(disk_scan_ex(nullptr, nullptr), -1);
    for (const disk_scan_options *o : {&bad_kind, &bad_count, &bad_list, &tiny})
        EXPECT_EQ(disk_scan_ex(t.path.c_str(), o), -1);

    // Read back, patterns copied; an older host's struct ends early.
    std::string pattern = "*.tmp";
    const char *patterns[] = {pattern.c_str()};
    disk_scan_options o = options();
    o.max_depth = 3;
    o.size_kind = DISK_SIZE_ON_DISK;
    o.hard_links_once = 1;
    o.excludes = patterns;
    o.exclude_count = 1;
    int id = disk_scan_ex(t.path.c_str(), &o);
    pattern = "changed";
    disk_scan_options back = options();
    ASSERT_EQ(disk_scan_get_options(id, &back), 0);
    EXPECT_EQ(back.max_depth, 3);
    EXPECT_EQ(back.size_kind, DISK_SIZE_ON_DISK);
    EXPECT_EQ(back.hard_links_once, 1);
    EXPECT_EQ(back.one_file_system, 0);
    ASSERT_EQ(back.exclude_count, 1);
    EXPECT_STREQ(back.excludes[0], "*.tmp");
    disk_scan_options older{};
    older.struct_size = offsetof(disk_scan_options, size_kind);
    older.size_kind = 99;  // past its end: left alone
    ASSERT_EQ(disk_scan_get_options(id, &older), 0);
    EXPECT_EQ(older.follow_links, 0);
    EXPECT_EQ(older.max_depth, 3);
    EXPECT_EQ(older.size_kind, 99);
    wait_scan(id);
    disk_free(id);
    EXPECT_EQ(disk_scan_get_options(id, &back), -1);
    EXPECT_EQ(disk_scan_get_options(-1, &back), -1);
}
