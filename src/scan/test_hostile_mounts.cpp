// Scans of trees behind hostile mounts: flakyfs (tests/fuse/flakyfs.c), a
// FUSE file system that fails calls with EINTR or EIO on purpose; a host
// flooded with signals while a scan waits on that file system; /proc, sysfs,
// tmpfs and the tree itself mounted inside a tree. Mounting needs root, the
// flakyfs cases /dev/fuse too; without them the cases skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fixture.h"
#include "flaky_mount.h"
#include "private_mounts.h"
#include "quorvel_disk.h"
#include "scanner.h"

using namespace qvtest;
using nlohmann::json;

namespace qvtest {
// "dir/" or "file:size" in failure messages.
void PrintTo(const FlatEntry &e, std::ostream *os)
{
    *os << e.path;
    if (e.is_dir)
        *os << "/";
    else
        *os << ":" << e.size;
}
}  // namespace qvtest

namespace {

// A mount made for one test and detached when the test ends, however it ends.
struct Mount {
    std::string dir;
    int error = 0;
    Mount(const char *source, const std::string &target, const char *type, unsigned long flags)
    {
        if (mount(source, target.c_str(), type, flags, nullptr) == 0)
            dir = target;
        else
            error = errno;
    }
    ~Mount()
    {
        if (!dir.empty())
            umount2(dir.c_str(), MNT_DETACH);
    }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;
};

// The document's totals against a flat list of what the tree should hold.
void expect_totals(json tree, const std::vector<FlatEntry> &entries)
{
    uint64_t files = 0, dirs = 0, size = 0;
    for (const FlatEntry &e : entries) {
        (e.is_dir ? dirs : files)++;
        size += e.size;
    }
    EXPECT_EQ(tree["total_files"], files);
    EXPECT_EQ(tree["total_dirs"], dirs);
    EXPECT_EQ(tree["total_size"], size);
}

json problem(const std::string &path, const char *kind)
{
    return json{{"path", path}, {"problem", kind}};
}

json unreadable(const std::string &path, int error)
{
    return json{{"path", path}, {"problem", "unreadable"}, {"error", error}};
}

// 300 files of distinct sizes in 20 directories two levels down, an empty
// directory and a file at the top.
void make_nested_tree(const std::string &root)
{
    mkdirp(root + "/empty");
    wfile(root + "/probe", 1);
    for (int a = 0; a < 4; a++) {
        for (int b = 0; b < 5; b++) {
            std::string dir = root + "/a" + std::to_string(a) + "/b" + std::to_string(b);
            mkdirp(dir);
            for (int f = 0; f < 15; f++)
                wfile(dir + "/f" + std::to_string(f) + ".dat", (uint64_t)(1000 * a + 100 * b + f + 2));
        }
    }
}

struct EintrCase {
    const char *name;
    const char *option;
};

void PrintTo(const EintrCase &c, std::ostream *os) { *os << c.option; }

class FlakyEintr : public ::testing::TestWithParam<EintrCase> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Modes, FlakyEintr,
                         ::testing::Values(EintrCase{"first_call", "--eintr"},
                                           EintrCase{"first_and_every_third_call", "--eintr=3"}),
                         [](const auto &p) { return std::string(p.param.name); });

// Every call the walk makes fails once with EINTR: retried, nothing is lost.
TEST_P(FlakyEintr, RetriedCallsLoseNothing)
{
    NEED_ROOT_AND_FUSE();
    TempDir t;
    std::string src = t / "src", mnt = t / "mnt";
    make_nested_tree(src);
    mkdirp(mnt);
    Flaky fs(src, mnt, {GetParam().option}, t / "flakyfs.log");
    ASSERT_TRUE(fs.up()) << fs.log();

    // The mount fails as it should: a stat that is not retried sees EINTR.
    struct stat st;
    errno = 0;
    EXPECT_EQ(stat((mnt + "/probe").c_str(), &st), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(stat((mnt + "/probe").c_str(), &st), 0);

    PublicScan s(mnt);
    ASSERT_EQ(s.wait(), SCAN_DONE);
    std::vector<FlatEntry> want = walk_fs(src);
    EXPECT_EQ(s.flat(), want);
    expect_totals(s.tree(), want);
    disk_problems p = s.problems();
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.unreadable_dirs, 0u);
    EXPECT_EQ(p.skipped_entries, 0u);
    EXPECT_EQ(s.problem_list(), json::array());
}

// Entries whose attributes fail are left out and counted; directories that
// cannot be opened, or fail part way through their listing, stay with what
// was read of them and are listed with the error.
TEST(HostileMounts, IoErrorsLeaveOutWhatFailedAndCountIt)
{
    NEED_ROOT_AND_FUSE();
    TempDir t;
    std::string src = t / "src", mnt = t / "mnt";
    mkdirp(src + "/keep/sub");
    mkdirp(src + "/keep/LOCKED-too");
    mkdirp(src + "/LOCKED/deeper");
    mkdirp(src + "/listing-MIDWAY");
    mkdirp(mnt);
    wfile(src + "/keep/a.txt", 10);
    wfile(src + "/keep/sub/b.txt", 20);
    wfile(src + "/keep/x-BADSTAT", 30);
    wfile(src + "/keep/sub/y-BADSTAT", 40);
    wfile(src + "/z-BADSTAT", 50);
    wfile(src + "/LOCKED/c", 60);
    wfile(src + "/LOCKED/deeper/d", 70);
    wfile(src + "/keep/LOCKED-too/e", 80);
    for (int i = 0; i < 100; i++)
        wfile(src + "/listing-MIDWAY/m" + std::to_string(i), 1);
    Flaky fs(src, mnt, {"--eio-stat=BADSTAT", "--eio-opendir=LOCKED", "--eio-readdir=MIDWAY"}, t / "flakyfs.log");
    ASSERT_TRUE(fs.up()) << fs.log();

    PublicScan s(mnt);
    ASSERT_EQ(s.wait(), SCAN_DONE);
    std::vector<FlatEntry> got = s.flat(), partial;
    std::erase_if(got, [&](const FlatEntry &e) {
        bool below = e.path.starts_with("listing-MIDWAY/");
        if (below)
            partial.push_back(e);
        return below;
    });
    std::vector<FlatEntry> want = {{"LOCKED", true, 0},   {"keep", true, 0},     {"keep/LOCKED-too", true, 0},
                                   {"keep/a.txt", false, 10}, {"keep/sub", true, 0}, {"keep/sub/b.txt", false, 20},
                                   {"listing-MIDWAY", true, 0}};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    // The first chunk of the failing listing is kept, and only it.
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), 100u);
    for (const FlatEntry &e : partial)
        EXPECT_TRUE(!e.is_dir && e.size == 1) << e.path;
    want.insert(want.end(), partial.begin(), partial.end());
    expect_totals(s.tree(), want);

    disk_problems p = s.problems();
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.skipped_entries, 3u);
    EXPECT_EQ(p.unreadable_dirs, 3u);
    EXPECT_EQ(p.loop_dirs + p.pseudo_fs_dirs, 0u);
    EXPECT_EQ(s.problem_list(), json::array({unreadable(mnt + "/LOCKED", EIO), unreadable(mnt + "/keep/LOCKED-too", EIO),
                                             unreadable(mnt + "/listing-MIDWAY", EIO)}));
}

namespace {

std::atomic<int> g_handled{0}, g_handled_elsewhere{0};
std::atomic<pid_t> g_host_thread{0};

void count_signal(int)
{
    g_handled++;
    if ((pid_t)syscall(SYS_gettid) != g_host_thread)
        g_handled_elsewhere++;
}

}  // namespace

// A host whose handler does not ask for restarts floods its process with a
// signal while a scan waits on a slow file system; flakyfs answers EINTR to
// every call whose caller takes a signal. The host's own threads keep the
// signal blocked except for a moment between polls, so while the scan runs
// the kernel hands it to any library thread that leaves it open: one that
// did, and did not retry, would lose entries.
TEST(HostileMounts, SignalFloodLosesNothing)
{
    NEED_ROOT_AND_FUSE();
    TempDir t;
    std::string src = t / "src", mnt = t / "mnt";
    make_nested_tree(src);
    mkdirp(mnt);
    Flaky fs(src, mnt, {"--latency-us=300"}, t / "flakyfs.log");
    ASSERT_TRUE(fs.up()) << fs.log();

    struct sigaction sa {}, old {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGUSR1, &sa, &old);
    sigset_t usr1, before;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    g_handled = 0;
    g_handled_elsewhere = 0;
    g_host_thread = (pid_t)syscall(SYS_gettid);
    std::atomic<bool> stop{false};
    std::thread flooder([&] {
        pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
        while (!stop) {
            kill(getpid(), SIGUSR1);
            usleep(100);
        }
    });

    // Started with the signal open, as a host's thread usually has it.
    PublicScan s(mnt);
    pthread_sigmask(SIG_BLOCK, &usr1, &before);
    int state = s.wait([&] {
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);  // a pending signal is handled here
        pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    });
    stop = true;
    flooder.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGUSR1, &old, nullptr);

    ASSERT_EQ(state, SCAN_DONE);
    EXPECT_EQ(s.flat(), walk_fs(src));
    disk_problems p = s.problems();
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.unreadable_dirs, 0u);
    EXPECT_EQ(p.skipped_entries, 0u);
    EXPECT_GT(g_handled.load(), 0);
    EXPECT_EQ(g_handled_elsewhere.load(), 0) << "the handler ran on a library thread";
}

namespace {

struct InnerMount {
    const char *name;
    const char *source;
    const char *type;
    unsigned long flags;
    bool walked;  // an ordinary file system, walked like the rest
};

void PrintTo(const InnerMount &m, std::ostream *os) { *os << m.name; }

class MountInside : public ::testing::TestWithParam<InnerMount> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, MountInside,
                         ::testing::Values(InnerMount{"proc_bound", "/proc", nullptr, MS_BIND, false},
                                           InnerMount{"sysfs", "sysfs", "sysfs", 0, false},
                                           InnerMount{"tmpfs", "tmpfs", "tmpfs", 0, true}),
                         [](const auto &p) { return std::string(p.param.name); });

// A file and a mount at m: a pseudo file system is recorded, not entered.
TEST_P(MountInside, PseudoFileSystemRecordedNotEntered)
{
    NEED_ROOT();
    const InnerMount &kind = GetParam();
    TempDir t;
    wfile(t / "one", 1234);
    mkdirp(t / "m");
    Mount m(kind.source, t / "m", kind.type, kind.flags);
    ASSERT_TRUE(!m.dir.empty()) << strerror(m.error);
    if (kind.walked) {
        mkdirp(t / "m/sub");
        wfile(t / "m/sub/inside", 77);
    }

    PublicScan s(t.path);
    ASSERT_EQ(s.wait(), SCAN_DONE);
    std::vector<FlatEntry> want = kind.walked ? walk_fs(t.path)
                                              : std::vector<FlatEntry>{{"m", true, 0}, {"one", false, 1234}};
    EXPECT_EQ(s.flat(), want);
    expect_totals(s.tree(), want);
    disk_problems p = s.problems();
    EXPECT_EQ(p.pseudo_fs_dirs, kind.walked ? 0u : 1u);
    EXPECT_EQ(p.loop_dirs + p.unreadable_dirs + p.skipped_entries, 0u);
    EXPECT_EQ(s.problem_list(), kind.walked ? json::array() : json::array({problem(t / "m", "pseudo_fs")}));
}

// The tree bound inside itself: the walk meets its own root again and stops.
TEST(HostileMounts, TreeBoundInsideItselfIsNotEnteredAgain)
{
    NEED_ROOT();
    TempDir t;
    wfile(t / "a.txt", 10);
    mkdirp(t / "sub/loop");
    wfile(t / "sub/b.bin", 20);
    Mount loop(t.path.c_str(), t / "sub/loop", nullptr, MS_BIND);
    ASSERT_TRUE(!loop.dir.empty()) << strerror(loop.error);

    PublicScan s(t.path);
    ASSERT_EQ(s.wait(), SCAN_DONE);
    std::vector<FlatEntry> want = {{"a.txt", false, 10}, {"sub", true, 0}, {"sub/b.bin", false, 20}, {"sub/loop", true, 0}};
    EXPECT_EQ(s.flat(), want);
    disk_problems p = s.problems();
    EXPECT_EQ(p.loop_dirs, 1u);
    EXPECT_EQ(p.pseudo_fs_dirs + p.unreadable_dirs + p.skipped_entries, 0u);
    EXPECT_EQ(s.problem_list(), json::array({problem(t / "sub/loop", "loop")}));
}
