// The directory walk on real trees, each run with and without the worker
// pool: the trees must come out the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fixture.h"
#include "platform.h"
#include "quorvel_disk.h"
#include "documents.h"
#include "handtree.h"
#include "threadpool.h"
#include "walker.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

struct ResultPtr {
    qv_scan_result *r;
    explicit ResultPtr(qv_scan_result *p) : r(p) {}
    ~ResultPtr() { qv_scan_result_free(r); }
    qv_scan_result *operator->() const { return r; }
};

// A mixed tree: nested, wide and empty directories, dot names, sizes of 0,
// small and above 4 GiB (sparse).
void make_mixed_tree(const std::string &root)
{
    mkdirp(root + "/a/b/c");
    mkdirp(root + "/empty");
    mkdirp(root + "/wide");
    mkdirp(root + "/.hidden dir");
    wfile(root + "/top.txt", 123);
    wfile(root + "/zero", 0);
    wfile(root + "/.profile", 7);
    wfile(root + "/..data", 9);
    wfile(root + "/...", 11);
    wfile(root + "/a/one", 1);
    wfile(root + "/a/b/two", 2);
    wfile(root + "/a/b/c/big", (1ull << 32) + 5);
    wfile(root + "/.hidden dir/x.y.z", 42);
    for (int i = 0; i < 60; i++) {
        wfile(root + "/wide/f" + std::to_string(i), (uint64_t)i * 100);
        if (i % 10 == 0)
            mkdirp(root + "/wide/d" + std::to_string(i) + "/inner");
    }
}

class Walk : public ::testing::TestWithParam<bool> {
protected:
    bool pool() const { return GetParam(); }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(PoolAndSequential, Walk, ::testing::Values(true, false),
                         [](const auto &p) { return p.param ? "pool" : "sequential"; });

TEST_P(Walk, MatchesIndependentWalkAndTotals)
{
    TempDir t;
    make_mixed_tree(t.path);
    ResultPtr r(scan_sync(t.path, 0, false, pool()));
    ASSERT_NE(r.r, nullptr);
    ASSERT_NE(r->root, nullptr);
    std::vector<FlatEntry> want = walk_fs(t.path);
    EXPECT_EQ(flatten(r.r), want);

    uint64_t size = 0, files = 0, dirs = 0;
    for (const FlatEntry &e : want) {
        size += e.size;
        files += !e.is_dir;
        dirs += e.is_dir;
    }
    EXPECT_EQ(r->total_size, size);
    EXPECT_EQ(r->total_files, files);
    EXPECT_EQ(r->total_dirs, dirs);
    EXPECT_GT(r->total_size, 1ull << 32);
    EXPECT_STREQ(qv_tree_get_name(r->root), t.path.c_str());
    EXPECT_GE(r->scan_time_ms, 0.0);
    EXPECT_EQ(r->scan_time_ms, (double)(uint64_t)r->scan_time_ms);

    // "." and ".." never; other dot names always.
    std::vector<std::string> names = child_names(r->root);
    for (const char *n : {".profile", "..data", "...", ".hidden dir"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
    for (const char *n : {".", ".."})
        EXPECT_EQ(std::find(names.begin(), names.end(), n), names.end()) << n;
}

TEST_P(Walk, ChildrenStandInReverseEnumerationOrder)
{
    TempDir t;
    mkdirp(t / "sub");
    for (int i = 0; i < 40; i++) {
        wfile(t / ("f" + std::to_string(i * 7919 % 1000)), 1);
        wfile(t / ("sub/g" + std::to_string(i)), 1);
    }
    ResultPtr r(scan_sync(t.path, 0, false, pool()));
    for (const char *dir : {"", "sub"}) {
        std::vector<std::string> listed;
        for (const auto &d : fs::directory_iterator(t.path + "/" + dir))
            listed.push_back(d.path().filename().string());
        std::reverse(listed.begin(), listed.end());
        const qv_entry *e = *dir ? find_child(r->root, dir) : r->root;
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(child_names(e), listed) << dir;
    }
}

TEST_P(Walk, MaxDepthLimitsListedLevels)
{
    TempDir t;
    mkdirp(t / "a/b/c");
    wfile(t / "a/b/c/f", 1);
    wfile(t / "a/f", 1);
    struct Case {
        int max_depth;
        std::set<std::string> want;
    } cases[] = {
        {1, {"a"}},
        {2, {"a", "a/b", "a/f"}},
        {3, {"a", "a/b", "a/f", "a/b/c"}},
        {0, {"a", "a/b", "a/f", "a/b/c", "a/b/c/f"}},
        {-3, {"a", "a/b", "a/f", "a/b/c", "a/b/c/f"}},
    };
    for (const Case &c : cases) {
        ResultPtr r(scan_sync(t.path, c.max_depth, false, pool()));
        std::set<std::string> got;
        for (const FlatEntry &e : flatten(r.r))
            got.insert(e.path);
        EXPECT_EQ(got, c.want) << "max_depth " << c.max_depth;
    }
}

TEST_P(Walk, MissingOrNonDirectoryRootGivesEmptyTree)
{
    TempDir t;
    wfile(t / "file", 10);
    for (std::string path : {t / "missing", t / "file", std::string("")}) {
        ResultPtr r(scan_sync(path, 0, false, pool()));
        ASSERT_NE(r->root, nullptr);
        EXPECT_EQ(r->root->first_child, nullptr) << path;
        EXPECT_EQ(r->total_size + r->total_files + r->total_dirs, 0u);
    }
}

#ifndef _WIN32

TEST_P(Walk, LinksLeftOutOrFollowed)
{
    TempDir t;
    mkdirp(t / "real/sub");
    wfile(t / "real/sub/data", 1000);
    wfile(t / "file", 321);
    ASSERT_TRUE(symlink_to(t / "real", t / "dirlink"));
    ASSERT_TRUE(symlink_to(t / "file", t / "filelink"));
    ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling").c_str()), 0);

    ResultPtr plain(scan_sync(t.path, 0, false, pool()));
    std::vector<FlatEntry> want = walk_fs(t.path);  // links not followed
    EXPECT_EQ(flatten(plain.r), want);

    ResultPtr followed(scan_sync(t.path, 0, true, pool()));
    const qv_entry *dl = find_child(followed->root, "dirlink");
    const qv_entry *fl = find_child(followed->root, "filelink");
    const qv_entry *dg = find_child(followed->root, "dangling");
    ASSERT_TRUE(dl && fl && dg);
    EXPECT_TRUE(dl->is_dir);
    EXPECT_EQ(dl->size, 1000u);  // walked: its subtree counts
    EXPECT_NE(find_child(dl, "sub"), nullptr);
    EXPECT_FALSE(fl->is_dir);
    EXPECT_EQ(fl->size, 321u);
    EXPECT_FALSE(dg->is_dir);
    EXPECT_EQ(dg->size, 0u);
    EXPECT_EQ(followed->total_size, plain->total_size + 1000 + 321);
}

TEST_P(Walk, LinkLoopsAreRecordedButNotEntered)
{
    // Without a depth limit: a link to the root, one to its own directory
    // and two in one directory would each be walked without end.
    TempDir t;
    mkdirp(t / "loop");
    mkdirp(t / "two");
    wfile(t / "two/f", 5);
    ASSERT_TRUE(symlink_to(t.path, t / "loop/back"));
    ASSERT_TRUE(symlink_to(".", t / "two/self"));
    ASSERT_TRUE(symlink_to("..", t / "two/up"));
    ResultPtr r(scan_sync(t.path, 0, true, pool()));
    // loop, loop/back, two, two/self, two/up: each link a directory without
    // children.
    EXPECT_EQ(r->total_dirs, 5u);
    EXPECT_EQ(r->total_files, 1u);
    EXPECT_EQ(r->total_size, 5u);
    const qv_entry *two = find_child(r->root, "two");
    ASSERT_NE(two, nullptr);
    for (const char *name : {"self", "up"}) {
        const qv_entry *l = find_child(two, name);
        ASSERT_NE(l, nullptr) << name;
        EXPECT_TRUE(l->is_dir);
        EXPECT_EQ(l->first_child, nullptr) << name;
    }
    ResultPtr plain(scan_sync(t.path, 0, false, pool()));
    EXPECT_EQ(plain->total_dirs, 2u);
}

// Creates depth nested directories named name below root with mkdirat, so
// that paths beyond what one open() accepts can be made. Returns the path.
static std::string make_chain(const std::string &root, const std::string &name, int depth, uint64_t file_size)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = root;
    for (int i = 0; i < depth; i++) {
        EXPECT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        path += "/" + name;
    }
    int f = openat(fd, "leaf", O_CREAT | O_WRONLY, 0644);
    EXPECT_EQ(ftruncate(f, (off_t)file_size), 0);
    close(f);
    close(fd);
    return path;
}

// rm copes with paths longer than PATH_MAX; TempDir's removal may not.
static void remove_deep(const std::string &path)
{
    std::string cmd = "rm -rf '" + path + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST_P(Walk, PathsBeyondOneOpenAreWalked)
{
    TempDir t;
    std::string name(200, 'n');
    std::string deepest = make_chain(t.path, name, 30, 4242);  // about 6,000 bytes
    ASSERT_GT(deepest.size(), 4095u);
    ResultPtr r(scan_sync(t.path, 0, false, pool()));
    EXPECT_EQ(r->total_dirs, 30u);
    EXPECT_EQ(r->total_files, 1u);
    EXPECT_EQ(r->total_size, 4242u);
    remove_deep(t / name);
}

TEST(DeepWalk, SixteenThousandLevelsOnOneMebibyteStack)
{
    // 16,000 levels of "d": the path nears the 32767-byte limit of the walk.
    // Built once (mkdir is the slow part), scanned with and without the pool.
    TempDir t;
    const int depth = 16000;
    make_chain(t.path, "d", depth, 77);
    for (bool pool : {true, false}) {
        run_with_stack(1 << 20, [&] {
            ResultPtr r(scan_sync(t.path, 0, false, pool));
            EXPECT_EQ(r->total_dirs, (uint64_t)depth) << pool;
            EXPECT_EQ(r->total_files, 1u);
            EXPECT_EQ(r->total_size, 77u);
        });
    }
    remove_deep(t / "d");
}

TEST_P(Walk, PathLimitStopsTheWalk)
{
    // Below a path of 32767 bytes nothing more can be listed: the directory
    // that would pass it is recorded without children.
    TempDir t;
    std::string name(250, 'x');
    int depth = (32767 - (int)t.path.size()) / 251 + 2;
    make_chain(t.path, name, depth, 5);
    ResultPtr r(scan_sync(t.path, 0, false, pool()));
    uint64_t listable = (uint64_t)(32767 - t.path.size()) / 251;
    EXPECT_EQ(r->total_dirs, listable + 1);
    EXPECT_EQ(r->total_files, 0u);
    remove_deep(t / name);
}

TEST(PseudoFs, ScanOfRootRecordsButDoesNotEnter)
{
    ResultPtr r(scan_sync("/", 2, false, true));
    const qv_entry *proc = find_child(r->root, "proc");
    const qv_entry *etc = find_child(r->root, "etc");
    ASSERT_NE(proc, nullptr);
    ASSERT_NE(etc, nullptr);
    EXPECT_TRUE(proc->is_dir);
    EXPECT_EQ(proc->first_child, nullptr);
    EXPECT_NE(etc->first_child, nullptr);
    // Named as the root, a pseudo file system is walked as asked, all of it.
    ResultPtr p(scan_sync("/proc", 1, false, true));
    EXPECT_NE(p->root->first_child, nullptr);
    ResultPtr dev(scan_sync("/dev", 3, false, true));
    bool nested = false;
    for (const qv_entry *c = dev->root->first_child; c; c = c->next_sibling)
        nested = nested || (c->is_dir && c->first_child);
    EXPECT_TRUE(nested) << "no directory below /dev was entered";
}

TEST(PseudoFs, JudgedOnTheRealPathOfTheRoot)
{
    // "//" and "." (from /) name the same directory as "/".
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/"), 0);
    for (const char *root : {"//", ".", "/./"}) {
        ResultPtr r(scan_sync(root, 2, false, true));
        const qv_entry *proc = find_child(r->root, "proc");
        ASSERT_NE(proc, nullptr) << root;
        EXPECT_EQ(proc->first_child, nullptr) << root;
        const qv_entry *etc = find_child(r->root, "etc");
        ASSERT_NE(etc, nullptr) << root;
        EXPECT_NE(etc->first_child, nullptr) << root;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

#endif  // !_WIN32


namespace {

// A tree whose files all have the same size, so that the order of equal
// entries in the documents shows how children were linked: a chain of
// single directories, then a fan of directories of uneven depth.
void make_tied_tree(const std::string &root)
{
    std::string at = root;
    for (int i = 0; i < 4; i++) {
        at += "/lvl" + std::to_string(i);
        mkdirp(at);
        wfile(at + "/f", 100);
    }
    for (int d = 0; d < 12; d++) {
        std::string dir = at + "/d" + std::to_string(d);
        for (int k = 0; k < d % 4; k++)
            dir += "/s" + std::to_string(k);
        mkdirp(dir);
        for (int f = 0; f < 3 + d % 5; f++)
            wfile(dir + "/f" + std::to_string(f) + (f % 2 ? ".txt" : ".bin"), 100);
    }
}

std::string documents_of(qv_scan_result *r)
{
    r->scan_time_ms = 0.0;
    qvtest::FakeSlot slot(r);
    std::string out = qv_doc_scan_result(&slot.s);
    out += qv_doc_top(&slot.s, 7);
    out += qv_doc_extensions(&slot.s);
    return out;
}

}  // namespace

TEST(Sharing, DocumentsDoNotDependOnTheWorkerCount)
{
    TempDir t;
    make_tied_tree(t.path);
    std::string alone;
    {
        ResultPtr r(scan_sync(t.path, 0, false, false));
        ASSERT_NE(r.r, nullptr);
        alone = documents_of(r.r);
    }
    EXPECT_NE(alone.find("\"lvl3\""), std::string::npos);
    for (int workers : {2, 3, 8}) {
        for (int round = 0; round < 3; round++) {
            qv_walk_hooks hooks{};
            hooks.workers = workers;
            ResultPtr r(scan_sync_with(t.path, nullptr, hooks));
            ASSERT_NE(r.r, nullptr);
            EXPECT_TRUE(documents_of(r.r) == alone) << workers << " workers";
        }
    }
}

// A large directory is listed by one worker while the files it lists are
// handed to the others waiting for work (or looked at by the lister, if it
// gets to them first): every size still lands on its file, and the
// documents are those of a walk by one worker.
TEST(Sharing, FilesOfALargeDirectoryAreLookedAtByIdleWorkers)
{
    TempDir t;
    mkdirp(t / "big");
    uint64_t want = 0;
    for (int i = 0; i < 1500; i++) {
        wfile(t / ("big/f" + std::to_string(i)), (size_t)(i % 97) * 13 + 1);
        want += (uint64_t)(i % 97) * 13 + 1;
    }
    wfile(t / "top", 5);
    std::string alone;
    {
        ResultPtr r(scan_sync(t.path, 0, false, false));
        alone = documents_of(r.r);
    }
    WalkRun w;
    w.ctx.hooks.workers = 4;
    w.ctx.hooks.arg = &w.ctx;
    w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
        auto *ctx = static_cast<qv_walk_ctx *>(arg);
        // The root is listed: wait (bounded) until the others wait for work.
        if (dir->depth == 0)
            wait_for_idle_workers(ctx, 3);
    };
    w.run(t.path);
    qv_tree_accumulate_sizes(w.root);
    EXPECT_EQ(w.root->size, want + 5);
    EXPECT_EQ(w.root->file_count, 1501u);
#ifndef _WIN32
    EXPECT_GT(w.ctx.progress.stats_handed.load(), 0u);  // Windows lists sizes with the names
#endif
    EXPECT_EQ(w.ctx.problems.skipped_entries.load(), 0u);
    // The same documents (the root named as a scan names it).
    qv_walk_hooks hooks{};
    hooks.workers = 4;
    ResultPtr r(scan_sync_with(t.path, nullptr, hooks));
    EXPECT_TRUE(documents_of(r.r) == alone);
}

// Files of a large directory deleted between the listing and the look at
// them are left out, as files deleted before the listing are: no entry of 0
// bytes stands for them, and nothing counts as skipped.
TEST(Sharing, FilesGoneBeforeTheLookAreLeftOut)
{
#ifdef _WIN32
    GTEST_SKIP() << "sizes come with the names";
#endif
    TempDir t;
    mkdirp(t / "big");
    const int n = 600;
    for (int i = 0; i < n; i++)
        wfile(t / ("big/f" + std::to_string(i)), (size_t)i + 1);
    struct Hold {
        qv_walk_ctx *ctx;
        std::string big;
        std::atomic<bool> deleted{false};
    } hold{nullptr, t / "big"};
    WalkRun w;
    hold.ctx = &w.ctx;
    w.ctx.hooks.workers = 4;
    w.ctx.hooks.arg = &hold;
    w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
        auto *h = static_cast<Hold *>(arg);
        if (dir->depth == 0)
            wait_for_idle_workers(h->ctx, 3);
    };
    w.ctx.hooks.deferring = [](void *arg, const qv_entry *) {
        // The odd ones go; the names are listed already.
        auto *h = static_cast<Hold *>(arg);
        for (int i = 1; i < n; i += 2)
            unlink((h->big + "/f" + std::to_string(i)).c_str());
        h->deleted.store(true);
    };
    w.run(t.path);
    ASSERT_TRUE(hold.deleted.load());
    const qv_entry *big = find_child(w.root, "big");
    ASSERT_NE(big, nullptr);
    int even = 0, odd = 0;
    for (const qv_entry *c = big->first_child; c; c = c->next_sibling) {
        EXPECT_GT(c->size, 0u) << qv_tree_get_name(c);
        int i = atoi(qv_tree_get_name(c) + 1);
        (i % 2 ? odd : even)++;
    }
    EXPECT_EQ(even, n / 2);
    EXPECT_LE(odd, 64);  // only those looked at before the deletion
    qv_tree_accumulate_sizes(w.root);
    EXPECT_EQ(big->file_count, (uint64_t)(even + odd));
    EXPECT_EQ(w.ctx.progress.files.load(), (uint64_t)(even + odd));
    EXPECT_EQ(w.ctx.problems.skipped_entries.load(), 0u);
}

// Directories deep in a tree are shared as well: below five single
// directories, the fan's subdirectories are listed by several workers once
// the others wait for work.
TEST(Sharing, WorkDeepInTheTreeReachesIdleWorkers)
{
    TempDir t;
    std::string fan = t.path + "/a/b/c/d/e";
    for (int d = 0; d < 8; d++) {
        mkdirp(fan + "/d" + std::to_string(d) + "/x");
        wfile(fan + "/d" + std::to_string(d) + "/x/f", 1);
    }
    struct Seen {
        qv_walk_ctx *ctx;
        std::mutex m;
        std::set<std::thread::id> listers;  // of the fan's subdirectories
    } seen;
    WalkRun w;
    seen.ctx = &w.ctx;
    w.ctx.hooks.workers = 4;
    w.ctx.hooks.arg = &seen;
    w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
        auto *s = static_cast<Seen *>(arg);
        if (dir->depth == 5) {
            // The fan is listed: wait (bounded) until the other three wait
            // for work, so that what it stacked is handed to them.
            wait_for_idle_workers(s->ctx, 3);
        }
        if (dir->depth >= 6) {
            {
                std::lock_guard<std::mutex> lock(s->m);
                s->listers.insert(std::this_thread::get_id());
            }
            // Slow listings leave the others time to wake for what was
            // handed to them, however slowly threads are scheduled.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    w.run(t.path);
    qv_tree_accumulate_sizes(w.root);
    EXPECT_EQ(w.root->file_count, 8u);
    EXPECT_EQ(w.root->dir_count, 5u + 16u);
    EXPECT_GE(seen.listers.size(), 2u);
    EXPECT_GE(w.ctx.progress.peak_workers.load(), 4);
}
