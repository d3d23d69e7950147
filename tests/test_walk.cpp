// The directory walk on real trees, each run with and without the worker
// pool: the trees must come out the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fixture.h"
#include "platform.h"
#include "quorvel_disk.h"
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
    EXPECT_STREQ(qv_tree_get_name(r->root, r->name_arena), t.path.c_str());
    EXPECT_GE(r->scan_time_ms, 0.0);
    EXPECT_EQ(r->scan_time_ms, (double)(uint64_t)r->scan_time_ms);

    // "." and ".." never; other dot names always.
    std::vector<std::string> names = child_names(r->root, r->name_arena);
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
        const qv_entry *e = *dir ? find_child(r->root, r->name_arena, dir) : r->root;
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(child_names(e, r->name_arena), listed) << dir;
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
    const qv_arena *names = followed->name_arena;
    const qv_entry *dl = find_child(followed->root, names, "dirlink");
    const qv_entry *fl = find_child(followed->root, names, "filelink");
    const qv_entry *dg = find_child(followed->root, names, "dangling");
    ASSERT_TRUE(dl && fl && dg);
    EXPECT_TRUE(dl->is_dir);
    EXPECT_EQ(dl->size, 1000u);  // walked: its subtree counts
    EXPECT_NE(find_child(dl, names, "sub"), nullptr);
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
    const qv_entry *two = find_child(r->root, r->name_arena, "two");
    ASSERT_NE(two, nullptr);
    for (const char *name : {"self", "up"}) {
        const qv_entry *l = find_child(two, r->name_arena, name);
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

TEST(PseudoFs, PrefixTable)
{
    struct { const char *path; int want; } cases[] = {
        {nullptr, 1}, {"/proc", 1}, {"/proc/1/fd", 1}, {"/sys", 1}, {"/dev/shm", 1}, {"/run", 1},
        {"/snap/core", 1}, {"/tmp/.mount_app", 1}, {"/tmp/.mount_app/usr", 1}, {"/tmp/.mount_", 1},
        {"/processes", 0}, {"/system", 0}, {"/devices", 0}, {"/", 0}, {"", 0}, {"proc", 0},
        {"/usr/proc", 0}, {"/PROC", 0}, {"/tmp/.mount", 0},
    };
    for (auto c : cases)
        EXPECT_EQ(qv_is_pseudo_fs(c.path), c.want) << (c.path ? c.path : "(null)");
}

TEST(PseudoFs, ScanOfRootRecordsButDoesNotEnter)
{
    ResultPtr r(scan_sync("/", 2, false, true));
    const qv_arena *names = r->name_arena;
    const qv_entry *proc = find_child(r->root, names, "proc");
    const qv_entry *etc = find_child(r->root, names, "etc");
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
        const qv_entry *proc = find_child(r->root, r->name_arena, "proc");
        ASSERT_NE(proc, nullptr) << root;
        EXPECT_EQ(proc->first_child, nullptr) << root;
        const qv_entry *etc = find_child(r->root, r->name_arena, "etc");
        ASSERT_NE(etc, nullptr) << root;
        EXPECT_NE(etc->first_child, nullptr) << root;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

#endif  // !_WIN32


TEST(Dispatch, ThreeSubdirectoriesWalkedInSequenceFourQueued)
{
    for (int subdirs : {3, 4}) {
        TempDir t;
        for (int i = 0; i < subdirs; i++) {
            mkdirp(t / ("d" + std::to_string(i)));
            wfile(t / ("d" + std::to_string(i) + "/f"), 1);
        }
        HeldPool held;
        scan_slot slot{};
        slot.result = qv_scan_result_create();
        slot.pool = held.pool;
        qv_mutex_init(&slot.tree_mutex);
        qv_mutex_init(&slot.problems_mutex);
        qv_entry *root = qv_tree_new_entry(slot.result->entry_arena);
        root->is_dir = 1;
        qv_walk_root(&slot, root, t.path.c_str());

        int walked = 0;
        for (const qv_entry *c = root->first_child; c; c = c->next_sibling)
            walked += c->first_child != nullptr;
        if (subdirs == 3) {
            EXPECT_EQ(held.pending(), 0);
            EXPECT_EQ(walked, 3);
        } else {
            EXPECT_EQ(held.pending(), 4);
            EXPECT_EQ(walked, 0);
            // Queued in list order: the last one listed first.
            std::vector<const qv_entry *> queued;
            for (qv_task *task = held.pool->queue_head; task; task = task->next)
                queued.push_back(*reinterpret_cast<qv_entry **>(static_cast<char *>(task->arg) + sizeof(void *)));
            std::vector<const qv_entry *> listed;
            for (const qv_entry *c = root->first_child; c; c = c->next_sibling)
                listed.push_back(c);
            EXPECT_EQ(queued, listed);
        }
        held.release.store(true);
        qv_threadpool_wait(held.pool);
        qv_walk_end(&slot);
        for (const qv_entry *c = root->first_child; c; c = c->next_sibling)
            EXPECT_NE(c->first_child, nullptr);
        qv_mutex_destroy(&slot.tree_mutex);
        qv_mutex_destroy(&slot.problems_mutex);
        free(slot.problems);
        free(slot.real_root);
        qv_scan_result_free(slot.result);
    }
}

TEST(NameArenaFull, UnnamedDirectoriesAreNotWalked)
{
    // With the name arena at its 4 GiB offset limit every store fails; a
    // directory without a name must not be walked as its parent again.
    TempDir t;
    mkdirp(t / "a/b");
    mkdirp(t / "c");
    wfile(t / "a/b/f", 3);
    scan_slot slot{};
    slot.result = qv_scan_result_create();
    slot.max_depth = 8;  // bounds the walk should the rule break
    qv_mutex_init(&slot.tree_mutex);
    qv_mutex_init(&slot.problems_mutex);
    qv_entry *root = qv_tree_new_entry(slot.result->entry_arena);
    root->is_dir = 1;
    slot.result->name_arena->used = 0xFFFFFFF8ull;
    qv_walk_root(&slot, root, t.path.c_str());
    qv_walk_end(&slot);
    EXPECT_EQ(qv_tree_child_count(root), 2);
    for (const qv_entry *c = root->first_child; c; c = c->next_sibling) {
        EXPECT_STREQ(qv_tree_get_name(c, slot.result->name_arena), "");
        EXPECT_EQ(c->first_child, nullptr);
    }
    qv_mutex_destroy(&slot.tree_mutex);
    qv_mutex_destroy(&slot.problems_mutex);
    free(slot.problems);
    free(slot.real_root);
    qv_scan_result_free(slot.result);
}
