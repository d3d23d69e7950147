// Extended scans: every entry's modification time (a directory's the newest
// below it) and, on Linux, its owner and mode, in the tree and the
// documents; scans without the option stay as they were.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <ctime>
#include <map>
#include <string>

#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "fixture.h"
#include "quorvel_disk.h"
#include "walker.h"

using namespace qvtest;
using json = nlohmann::json;

namespace {

// Sets path's modification time (and access time) to t.
void set_time(const std::string &path, int64_t t)
{
#ifdef _WIN32
    // Directories too, which the C runtime's _utime cannot open.
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    uint64_t ticks = (uint64_t)((t + 11644473600ll) * 10000000ll);
    FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    EXPECT_TRUE(SetFileTime(h, nullptr, &ft, &ft)) << path;
    CloseHandle(h);
#else
    struct timespec ts[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
#endif
}

disk_scan_options extended(int on)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.extended = on;
    return o;
}

// Every object of a tree document by its path below the root ("" the root).
std::map<std::string, json> by_path(const json &tree)
{
    std::map<std::string, json> out;
    std::vector<std::pair<const json *, std::string>> stack = {{&tree, ""}};
    while (!stack.empty()) {
        auto [e, p] = stack.back();
        stack.pop_back();
        json flat = *e;
        flat.erase("children");
        out[p] = flat;
        if (e->contains("children"))
            for (const json &c : e->at("children"))
                stack.push_back({&c, (p.empty() ? "" : p + "/") + c["name"].get<std::string>()});
    }
    return out;
}

const int64_t Y2019 = 1546300800, Y2020 = 1577836800, Y2022 = 1640995200;

}  // namespace

// Times set on disk come back per entry; a directory reads as the newest of
// itself and all below it, however deep; times outside what is kept are cut
// to its ends.
TEST(Extended, TimesOfEntriesAndNewestBelowDirectories)
{
    TempDir t;
    mkdirp(t / "a/b/c");
    mkdirp(t / "quiet");
    mkdirp(t / "edges");
    wfile(t / "a/f", 30);  // the largest file
    wfile(t / "a/b/c/deep", 10);
    wfile(t / "edges/ancient", 1);
    wfile(t / "edges/far", 1);
    set_time(t / "a/f", Y2019);
    set_time(t / "a/b/c/deep", Y2022);
    for (const char *dir : {"a/b/c", "a/b", "a", "quiet"})
        set_time(t / dir, Y2020);
    set_time(t / "edges/ancient", -1000);
#ifndef _WIN32
    set_time(t / "edges/far", (int64_t)1 << 33);  // in 2242
#endif
    set_time(t / "edges", Y2019);
    set_time(t.path, Y2019);

    disk_scan_options o = extended(1);
    int id = disk_scan_ex(t.path.c_str(), &o);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    json doc = json::parse(disk_scan_result(id));
    std::map<std::string, json> at = by_path(doc);
    const std::map<std::string, int64_t> want = {
        {"a/f", Y2019},      {"a/b/c/deep", Y2022}, {"a/b/c", Y2022}, {"a/b", Y2022},
        {"a", Y2022},        {"quiet", Y2020},      {"edges/ancient", 0},
    };
    for (const auto &[path, time] : want)
        EXPECT_EQ(at[path]["mtime"].get<int64_t>(), time) << path;
#ifndef _WIN32
    EXPECT_EQ(at["edges/far"]["mtime"].get<int64_t>(), (int64_t)UINT32_MAX);
    EXPECT_EQ(at["edges"]["mtime"].get<int64_t>(), (int64_t)UINT32_MAX);
    EXPECT_EQ(doc["mtime"].get<int64_t>(), (int64_t)UINT32_MAX);
    EXPECT_EQ(doc["fields"], json::parse(R"(["mtime","uid","gid","mode"])"));
#else
    EXPECT_EQ(doc["fields"], json::parse(R"(["mtime"])"));  // no owners from the listing
    EXPECT_FALSE(at["a/f"].contains("uid"));
#endif
    // The largest files carry the same, and a directory alone reads as in
    // the whole tree.
    json top = json::parse(disk_get_top(id, 1));
    EXPECT_EQ(top[0]["mtime"].get<int64_t>(), Y2019);  // a/f
    std::string a = t / "a";
    json dir = json::parse(disk_get_dir(id, a.c_str(), 0));
    EXPECT_EQ(dir["mtime"].get<int64_t>(), Y2022);
    disk_free(id);

#ifndef _WIN32
    // Directories listed but not entered (past --max-depth) keep their own.
    disk_scan_options shallow = extended(1);
    shallow.max_depth = 1;
    id = disk_scan_ex(t.path.c_str(), &shallow);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    std::map<std::string, json> top_level = by_path(json::parse(disk_scan_result(id)));
    EXPECT_EQ(top_level["a"]["mtime"].get<int64_t>(), Y2020);
    EXPECT_EQ(top_level["quiet"]["mtime"].get<int64_t>(), Y2020);
    EXPECT_TRUE(top_level["a"].contains("uid"));
    disk_free(id);
#endif

    // Without the option, nothing of it anywhere.
    disk_scan_options plain = extended(0);
    id = disk_scan_ex(t.path.c_str(), &plain);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    for (const char *text : {disk_scan_result(id), disk_get_top(id, 5)})
        for (const char *member : {"\"mtime\"", "\"uid\"", "\"fields\""})
            EXPECT_EQ(strstr(text, member), nullptr) << member << " in " << text;
    disk_free(id);
}

#ifndef _WIN32
// Owner and mode as stat gives them, for files of other users too.
TEST(Extended, OwnersAndModesAsOnDisk)
{
    TempDir t;
    mkdirp(t / "d");
    wfile(t / "d/mine", 5);
    wfile(t / "d/setuid", 5);
    wfile(t / "theirs", 5);
    chmod((t / "d/setuid").c_str(), 04755);
    chmod((t / "d").c_str(), 01777);
    bool root = geteuid() == 0;
    if (root)
        ASSERT_EQ(chown((t / "theirs").c_str(), 12345, 54321), 0);
    disk_scan_options o = extended(1);
    int id = disk_scan_ex(t.path.c_str(), &o);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    std::map<std::string, json> at = by_path(json::parse(disk_scan_result(id)));
    for (const char *rel : {"", "d", "d/mine", "d/setuid", "theirs"}) {
        struct stat st;
        ASSERT_EQ(lstat((*rel ? t / rel : t.path).c_str(), &st), 0) << rel;
        EXPECT_EQ(at[rel]["uid"].get<uint32_t>(), st.st_uid) << rel;
        EXPECT_EQ(at[rel]["gid"].get<uint32_t>(), st.st_gid) << rel;
        EXPECT_EQ(at[rel]["mode"].get<uint32_t>(), st.st_mode) << rel;
    }
    EXPECT_EQ(at["d/setuid"]["mode"].get<uint32_t>(), (uint32_t)(S_IFREG | 04755));
    EXPECT_EQ(at["d"]["mode"].get<uint32_t>(), (uint32_t)(S_IFDIR | 01777));
    if (root)
        EXPECT_EQ(at["theirs"]["uid"].get<uint32_t>(), 12345u);
    disk_free(id);
}

// The files of a large directory looked at by other workers (after its
// listing) get their times and owners too.
TEST(Extended, FilesLookedAtByOtherWorkers)
{
    TempDir t;
    mkdirp(t / "big");
    const int n = 600;
    for (int i = 0; i < n; i++) {
        std::string f = t / ("big/f" + std::to_string(i));
        wfile(f, 1);
        set_time(f, Y2019 + i);
    }
    struct Hold {
        qv_walk_ctx *ctx;
        std::atomic<int> deferred{0};
    } hold{nullptr};
    WalkRun w;
    hold.ctx = &w.ctx;
    w.ctx.hooks.workers = 4;
    w.ctx.hooks.arg = &hold;
    w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
        if (dir->depth == 0)
            wait_for_idle_workers(static_cast<Hold *>(arg)->ctx, 3);
    };
    w.ctx.hooks.deferring = [](void *arg, const qv_entry *) { static_cast<Hold *>(arg)->deferred++; };
    disk_scan_options o = extended(1);
    w.run(t.path, &o);
    ASSERT_GT(hold.deferred.load(), 0);
    const qv_entry *big = find_child(w.root, "big");
    ASSERT_NE(big, nullptr);
    int seen = 0;
    for (const qv_entry *c = big->first_child; c; c = c->next_sibling, seen++) {
        int i = atoi(qv_tree_get_name(c) + 1);
        EXPECT_EQ(qv_tree_meta(c)->mtime, (uint32_t)(Y2019 + i)) << qv_tree_get_name(c);
        qv_owner own = qv_owner_at(&w.r->owners, qv_tree_meta(c)->owner);
        EXPECT_EQ(own.uid, (uint32_t)geteuid());
        EXPECT_EQ(own.mode & S_IFMT, (uint32_t)S_IFREG);
    }
    EXPECT_EQ(seen, n);
}
#endif
