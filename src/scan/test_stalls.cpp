// Storage that stops answering: flakyfs --hang holds every call on a
// subtree unanswered, as a share whose server went away. The scan gives
// that subtree up after its stall timeout and ends; cancel and free return
// at once whatever the storage does; the threads left inside the calls
// touch nothing of the scan when the calls come back (ASan, TSan). Needs
// root and FUSE; without them the cases skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include <nlohmann/json.hpp>

#include "fixture.h"
#include "flaky_mount.h"
#include "quorvel_disk.h"

using namespace qvtest;
using nlohmann::json;
using clk = std::chrono::steady_clock;

namespace {

long ms_since(clk::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t).count();
}

disk_scan_options stall_after(int ms)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.stall_timeout_ms = ms;
    return o;
}

// Entries of a flat scan that are not below prefix.
std::vector<FlatEntry> outside(const std::vector<FlatEntry> &all, const std::string &prefix)
{
    std::vector<FlatEntry> kept;
    for (const FlatEntry &e : all)
        if (e.path.compare(0, prefix.size(), prefix) != 0)
            kept.push_back(e);
    return kept;
}

// a/ and b/ with files; share/media/ (which hangs) with files and a
// subdirectory. media is alone in share: a lookup of it that hangs holds
// every later call in share (the kernel lets one at a time into a FUSE
// directory), and nothing else needs one there.
void make_tree_with_media(const std::string &root)
{
    for (const char *d : {"a", "b/deep", "share/media/sub"})
        mkdirp(root + "/" + d);
    for (int i = 0; i < 20; i++) {
        wfile(root + "/a/f" + std::to_string(i), 100 + i);
        wfile(root + "/b/deep/g" + std::to_string(i), 200 + i);
        wfile(root + "/share/media/m" + std::to_string(i), 300 + i);
    }
    wfile(root + "/top", 7);
}

// Waits (at most 5 s) until a scan of make_tree_with_media's tree has
// recorded every file outside media (20 + 20 + 1), and a little more: only
// media is left waiting. progress is disk_scan_progress, from wherever the
// library was loaded.
using progress_fn = int (*)(int, unsigned long long *, unsigned long long *, unsigned long long *);
void wait_until_only_media_waits(int id, progress_fn progress)
{
    unsigned long long files = 0;
    for (int i = 0; i < 500 && files < 41; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        progress(id, &files, nullptr, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

class Stalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_fuse())
            GTEST_SKIP() << "skipped: needs root and FUSE";
        src = t / "src";
        mnt = t / "mnt";
        mkdirp(mnt);
    }
    // flakyfs with every call on "media" held.
    std::unique_ptr<Flaky> mount_hung(const char *name = "media")
    {
        auto fs = std::make_unique<Flaky>(src, mnt, std::vector<std::string>{std::string("--hang=") + name},
                                          t / "flakyfs.log");
        EXPECT_TRUE(fs->up()) << fs->log();
        return fs;
    }
    TempDir t;
    std::string src, mnt;
};

}  // namespace

// The hung subdirectory is given up after the timeout and listed as
// stalled; everything else is scanned whole, and the scan ends.
TEST_F(Stalls, HungSubdirectoryIsStalledAndTheRestIsWhole)
{
    make_tree_with_media(src);
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    auto start = clk::now();
    // Long enough that no healthy call waits that long on a loaded machine.
    PublicScan s(mnt, stall_after(1000));
    ASSERT_EQ(s.wait(), SCAN_DONE);
    long took = ms_since(start);
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 10000);

    std::vector<FlatEntry> expected = outside(walk_fs(src), "share/media/");
    EXPECT_EQ(s.flat(), expected) << "media stays, without what could not be read";
    disk_problems p = s.problems();
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.stalled_dirs, 1u);
    EXPECT_EQ(p.unreadable_dirs, 0u);
    EXPECT_EQ(s.problem_list(), json::array({{{"path", mnt + "/share/media"}, {"problem", "stalled"}}}));
    disk_scan_options back{};
    back.struct_size = sizeof back;
    ASSERT_EQ(disk_scan_get_options(s.id(), &back), 0);
    EXPECT_EQ(back.stall_timeout_ms, 1000);
}

// A root that never answers ends the scan with ETIMEDOUT, and a default
// scan reports the default timeout.
TEST_F(Stalls, HungRootTimesOut)
{
    make_tree_with_media(src);
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    auto start = clk::now();
    PublicScan s(mnt + "/share/media/sub", stall_after(300));
    ASSERT_EQ(s.wait(), SCAN_DONE);
    EXPECT_LT(ms_since(start), 5000);
    disk_problems p = s.problems();
    EXPECT_EQ(p.root_error, ETIMEDOUT);
    EXPECT_EQ(s.flat(), std::vector<FlatEntry>{});

    PublicScan d(src);
    disk_scan_options back{};
    back.struct_size = sizeof back;
    ASSERT_EQ(disk_scan_get_options(d.id(), &back), 0);
    EXPECT_EQ(back.stall_timeout_ms, DISK_STALL_TIMEOUT_MS);
}

// A file whose look hangs inside a large directory, whether the lister or
// a helper meets it (and then every other call in that directory waits
// too): that directory is counted stalled, keeps the files it had looked
// at with their sizes, and nothing else is lost.
TEST_F(Stalls, HungFileInLargeDirectoryStallsOnlyThatDirectory)
{
    mkdirp(src + "/big");
    for (int i = 0; i < 3000; i++)
        wfile(src + "/big/f" + std::to_string(i), 1 + i % 97);
    wfile(src + "/big/media", 5);
    make_tree_with_media(src + "/other");
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    PublicScan s(mnt, stall_after(1000));
    ASSERT_EQ(s.wait(), SCAN_DONE);
    disk_problems p = s.problems();
    EXPECT_EQ(p.unreadable_dirs, 0u);
    EXPECT_EQ(p.stalled_dirs, 2u);
    EXPECT_EQ(s.problem_list(), json::array({{{"path", mnt + "/big"}, {"problem", "stalled"}},
                                             {{"path", mnt + "/other/share/media"}, {"problem", "stalled"}}}));
    std::vector<FlatEntry> got = s.flat(), want = walk_fs(src);
    for (const FlatEntry &e : got) {
        EXPECT_NE(e.path, "big/media");
        EXPECT_TRUE(std::find(want.begin(), want.end(), e) != want.end()) << e.path << " " << e.size;
    }
    EXPECT_EQ(outside(got, "big/"), outside(outside(want, "big/"), "other/share/media/"));
}

// Cancel and free return at once during a hang, with no timeout set; once
// the storage answers, the threads left in its calls end and let go of
// every descriptor (the mount can be unmounted), touching nothing freed.
TEST_F(Stalls, CancelAndFreeDuringHangReturnAtOnce)
{
    make_tree_with_media(src);
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    disk_scan_options forever = stall_after(DISK_STALL_WAIT_FOREVER);
    int id = disk_scan_ex(mnt.c_str(), &forever);
    ASSERT_GE(id, 0);
    wait_until_only_media_waits(id, disk_scan_progress);
    EXPECT_EQ(disk_scan_status(id), SCAN_RUNNING);
    auto start = clk::now();
    disk_scan_cancel(id);
    disk_free(id);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(disk_scan_status(id), -1);

    fs->release();
    EXPECT_TRUE(fs->unmount_within(std::chrono::seconds(10))) << "a thread left in a call kept the mount busy";
}

// 32 scans at once over one hung mount all end. Each finds media stalled,
// or share, whose listing waits behind another scan's lookup of media, or
// both (share given up after it had listed media).
TEST_F(Stalls, ThirtyTwoScansOverOneHungMountAllEnd)
{
    make_tree_with_media(src);
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    // Long enough that no healthy call of 32 scans at once on two cores waits that long.
    disk_scan_options o = stall_after(5000);
    std::vector<std::unique_ptr<PublicScan>> scans;
    std::vector<int> ids;
    for (int i = 0; i < 32; i++) {
        scans.push_back(std::make_unique<PublicScan>(mnt, o));
        ids.push_back(scans.back()->id());
    }
    ASSERT_EQ(std::count(ids.begin(), ids.end(), -1), 0);
    auto deadline = clk::now() + std::chrono::seconds(60);
    for (int id : ids) {
        int st;
        while ((st = disk_scan_status(id)) == SCAN_RUNNING || st == SCAN_IDLE) {
            ASSERT_LT(clk::now(), deadline) << "scan " << id << " never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(st, SCAN_DONE);
        disk_problems p{};
        p.struct_size = sizeof p;
        disk_scan_problems(id, &p);
        EXPECT_EQ(p.root_error, 0);
        json list = json::parse(disk_get_problems(id));
        EXPECT_EQ(p.stalled_dirs, list.size());
        EXPECT_GE(list.size(), 1u);
        for (const json &row : list)
            EXPECT_TRUE(row == json({{"path", mnt + "/share/media"}, {"problem", "stalled"}}) ||
                        row == json({{"path", mnt + "/share"}, {"problem", "stalled"}}))
                << list;
        std::vector<FlatEntry> got = flatten(qv_scanner_get_result(id)), want = walk_fs(src);
        EXPECT_EQ(outside(got, "share/"), outside(want, "share/")) << "scan " << id;
    }
}

// A host that loaded the library at run time cancels, frees and unloads it
// during a hang, each at once; when the storage answers later, the threads
// left in its calls come back into code that is still there.
TEST_F(Stalls, UnloadingDuringHangIsSafe)
{
    make_tree_with_media(src);
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    void *lib = dlopen(QV_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto scan_ex = reinterpret_cast<int (*)(const char *, const disk_scan_options *)>(dlsym(lib, "disk_scan_ex"));
    auto progress = reinterpret_cast<progress_fn>(dlsym(lib, "disk_scan_progress"));
    auto cancel = reinterpret_cast<void (*)(int)>(dlsym(lib, "disk_scan_cancel"));
    auto free_scan = reinterpret_cast<void (*)(int)>(dlsym(lib, "disk_free"));
    ASSERT_TRUE(scan_ex && progress && cancel && free_scan);
    disk_scan_options forever = stall_after(DISK_STALL_WAIT_FOREVER);
    int id = scan_ex(mnt.c_str(), &forever);
    ASSERT_GE(id, 0);
    wait_until_only_media_waits(id, progress);
    auto start = clk::now();
    cancel(id);
    free_scan(id);
    dlclose(lib);
    EXPECT_LT(ms_since(start), 1000);

    fs->release();
    EXPECT_TRUE(fs->unmount_within(std::chrono::seconds(10)));
}

// Storage that stops answering everywhere: every call given up on leaves a
// thread behind, so past a limit the scan takes the storage for dead and
// gives up the rest at once. Every directory is still counted stalled, and
// far fewer threads than directories stay behind.
TEST_F(Stalls, ManyStallsGiveUpTheRest)
{
    const int dirs = 150;
    for (int i = 0; i < dirs; i++) {
        mkdirp(src + "/d" + std::to_string(i) + "/media");
        wfile(src + "/d" + std::to_string(i) + "/media/f", 1);
    }
    auto fs = mount_hung();
    ASSERT_TRUE(fs->up());
    PublicScan s(mnt, stall_after(1000));
    ASSERT_EQ(s.wait(), SCAN_DONE);
    EXPECT_EQ(s.problems().stalled_dirs, (unsigned long long)dirs);
    int threads = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        threads++;
    }
    EXPECT_LT(threads, dirs) << "a thread left behind for every stalled directory";
}
