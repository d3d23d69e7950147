// Hostile and changing trees on Linux: root spellings, links swapped in
// while the walk runs, loops, pseudo file systems, descriptors running out,
// signals, relative roots, sums past 2^64 and a tree changed all along.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>

#include "dirlist.h"
#include "fdbudget.h"
#include "fixture.h"
#include "quorvel_disk.h"
#include "scanner.h"
#include "threadpool.h"
#include "walker.h"

using namespace qvtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

disk_problems problems_of(int id)
{
    disk_problems p{};
    p.struct_size = sizeof p;
    EXPECT_GE(disk_scan_problems(id, &p), SCAN_DONE);
    return p;
}

// Every path of the tree document below the root, "/"-joined, and the
// directories among them that have no children.
struct DocTree {
    std::set<std::string> paths;
    std::set<std::string> childless_dirs;
    uint64_t total_size = 0;
};

DocTree read_tree(const char *doc)
{
    DocTree t;
    json j = json::parse(doc);
    t.total_size = j["total_size"].get<uint64_t>();
    std::vector<std::pair<const json *, std::string>> stack;
    if (j.contains("children"))
        for (const json &c : j["children"])
            stack.push_back({&c, c["name"].get<std::string>()});
    while (!stack.empty()) {
        auto [e, path] = stack.back();
        stack.pop_back();
        t.paths.insert(path);
        if ((*e)["is_dir"].get<bool>() && !e->contains("children"))
            t.childless_dirs.insert(path);
        if (e->contains("children"))
            for (const json &c : (*e)["children"])
                stack.push_back({&c, path + "/" + c["name"].get<std::string>()});
    }
    return t;
}

std::set<std::string> fs_paths(const std::string &root)
{
    std::set<std::string> out;
    for (const FlatEntry &e : walk_fs(root))
        out.insert(e.path);
    return out;
}

}  // namespace

// The pseudo-file-system rule compares the root's real path and the rest
// without copying them: roots whose resolved path is 56 to 72 bytes long,
// bare or with one or two trailing slashes, with a subdirectory whose name
// fills a path buffer, once crashed the host.
TEST(RootSpelling, EveryLengthAndTrailingSlashWalksTheSameTree)
{
    TempDir t;
    std::string real = fs::canonical(t.path).string();
    ASSERT_LT(real.size() + 2, 56u);
    const std::string long_name(250, 'n');
    for (size_t len = 56; len <= 72; len++) {
        std::string root = real + "/" + std::string(len - real.size() - 1, 'r');
        mkdirp(root + "/" + long_name);
        wfile(root + "/" + long_name + "/f", 3);
        for (const char *tail : {"", "/", "//"}) {
            std::string given = root + tail;
            SCOPED_TRACE(given);
            int id = disk_scan(given.c_str(), 0, 0);
            ASSERT_GE(id, 0);
            ASSERT_EQ(wait_scan(id), SCAN_DONE);
            DocTree d = read_tree(disk_scan_result(id));
            EXPECT_EQ(d.paths, (std::set<std::string>{long_name, long_name + "/f"}));
            EXPECT_EQ(json::parse(disk_scan_result(id))["path"], given);
            disk_free(id);
        }
        fs::remove_all(root);
    }
}

// Roots longer than one open() takes are opened in pieces; a run of
// separators where a piece is cut, or at the end, changes nothing.
TEST(RootSpelling, LongRootsWithSeparatorRuns)
{
    TempDir t;
    const std::string name(254, 'p');
    std::string deep = t.path;
    int fd = open(t.path.c_str(), O_RDONLY | O_DIRECTORY);
    while (deep.size() < 5000) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        deep += "/" + name;
    }
    int f = openat(fd, "f", O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(write(f, "123456789", 9), 9);
    close(f);
    close(fd);
    // Slashes doubled around byte 4095, or added at the end up to 4096 bytes
    // and beyond.
    size_t cut = deep.rfind('/', 4095);
    std::string doubled = deep.substr(0, cut) + std::string(4097 - cut, '/') + deep.substr(cut + 1);
    for (const std::string &root : {deep, doubled, deep + std::string(4096 - deep.size() % 4096, '/'), deep + "/"}) {
        SCOPED_TRACE(root.size());
        int id = disk_scan(root.c_str(), 0, 0);
        ASSERT_EQ(wait_scan(id), SCAN_DONE);
        EXPECT_EQ(problems_of(id).root_error, 0);
        EXPECT_EQ(read_tree(disk_scan_result(id)).paths, (std::set<std::string>{"f"}));
        disk_free(id);
    }
    ASSERT_EQ(system(("rm -rf '" + t.path + "/" + name + "'").c_str()), 0);
}

// A root text of 64 KiB and more ("/." over and over, which the kernel
// takes as the directory itself) is kept whole: the documents carry it,
// disk_get_dir finds the root and what lies below by it, exclude patterns
// still see the names below it, and of two hard links the one whose path
// sorts first ("a/x2" before "x1", though "x1" is met first) keeps the size.
TEST(RootSpelling, RootsOf64KiBAndMoreAreKeptWhole)
{
    TempDir t;
    mkdirp(t / "sub");
    mkdirp(t / "a");
    wfile(t / "sub/f", 40);
    wfile(t / "sub/x.skip", 1000);
    wfile(t / "x1", 3);
    ASSERT_EQ(link((t / "x1").c_str(), (t / "a/x2").c_str()), 0);
    const char *skip[] = {"*.skip"};
    for (size_t len : {(size_t)65535, (size_t)65536, (size_t)65537, (size_t)140001}) {
        std::string root = t.path;
        while (root.size() + 2 <= len)
            root += "/.";
        if (root.size() < len)
            root += "/";  // ends in a separator: no "/" is put after it
        ASSERT_EQ(root.size(), len);
        SCOPED_TRACE(len);
        disk_scan_options o{};
        o.struct_size = sizeof o;
        o.hard_links_once = 1;
        o.excludes = skip;
        o.exclude_count = 1;
        int id = disk_scan_ex(root.c_str(), &o);
        ASSERT_GE(id, 0);
        ASSERT_EQ(wait_scan(id), SCAN_DONE);
        EXPECT_EQ(problems_of(id).root_error, 0);
        const char *doc = disk_scan_result(id);
        ASSERT_NE(doc, nullptr);
        json j = json::parse(doc);
        EXPECT_EQ(j["path"].get<std::string>(), root);
        EXPECT_EQ(j["total_size"], 40u + 3u);
        EXPECT_EQ(read_tree(doc).paths, (std::set<std::string>{"sub", "sub/f", "a", "a/x2", "x1"}));
        const char *whole = disk_get_dir(id, root.c_str(), 0);
        ASSERT_NE(whole, nullptr);
        EXPECT_STREQ(whole, doc);
        std::string below = root + (root.back() == '/' ? "" : "/");
        const char *sub = disk_get_dir(id, (below + "sub").c_str(), 0);
        ASSERT_NE(sub, nullptr);
        EXPECT_EQ(json::parse(sub)["size"], 40u);
        const char *a = disk_get_dir(id, (below + "a").c_str(), 0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(json::parse(a)["size"], 3u);
        disk_free(id);
    }
}

// Links leading back up, followed: each is recorded once, as a directory
// without children, counted and listed; the scan ends.
TEST(Loops, LinksToAncestorsAreNotEnteredAndAreCounted)
{
    TempDir t;
    mkdirp(t / "bin");
    wfile(t / "bin/tool", 100);
    mkdirp(t / "bin/sub");
    ASSERT_EQ(symlink(".", (t / "bin/X11").c_str()), 0);    // as Debian's /usr/bin/X11
    ASSERT_EQ(symlink(".", (t / "bin/again").c_str()), 0);  // two in one directory
    ASSERT_EQ(symlink("..", (t / "bin/sub/up").c_str()), 0);
    int id = disk_scan((t / "bin").c_str(), 0, 1);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    DocTree d = read_tree(disk_scan_result(id));
    EXPECT_TRUE(d.childless_dirs.count("X11"));
    EXPECT_TRUE(d.childless_dirs.count("again"));
    EXPECT_TRUE(d.childless_dirs.count("sub/up"));
    EXPECT_EQ(d.paths, (std::set<std::string>{"tool", "X11", "again", "sub", "sub/up"}));
    disk_problems p = problems_of(id);
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.loop_dirs, 3u);
    json list = json::parse(disk_get_problems(id));
    ASSERT_EQ(list.size(), 3u);
    for (const json &row : list)
        EXPECT_EQ(row["problem"], "loop") << row.dump();
    EXPECT_EQ(list[0]["path"], t.path + "/bin/X11");
    EXPECT_EQ(list[1]["path"], t.path + "/bin/again");
    EXPECT_EQ(list[2]["path"], t.path + "/bin/sub/up");
    disk_free(id);
}

// A followed link into /proc is recorded and not entered, by its file
// system type, whatever its path says.
TEST(PseudoFs, FollowedLinkToProcIsNotEntered)
{
    struct statfs sf;
    if (statfs("/proc", &sf) != 0 || sf.f_type != PROC_SUPER_MAGIC)
        GTEST_SKIP() << "skipped: no proc file system at /proc";
    TempDir t;
    wfile(t / "one", 7);
    ASSERT_EQ(symlink("/proc", (t / "p").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self", (t / "s").c_str()), 0);
    int id = disk_scan(t.path.c_str(), 0, 1);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    DocTree d = read_tree(disk_scan_result(id));
    EXPECT_EQ(d.paths, (std::set<std::string>{"one", "p", "s"}));
    EXPECT_EQ(d.total_size, 7u);
    disk_problems p = problems_of(id);
    EXPECT_EQ(p.pseudo_fs_dirs, 2u);
    json list = json::parse(disk_get_problems(id));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (json{{"path", t.path + "/p"}, {"problem", "pseudo_fs"}}));
    disk_free(id);
}

// A root that cannot be opened is told apart from an empty directory.
TEST(RootError, MissingOrNotADirectory)
{
    TempDir t;
    mkdirp(t / "empty");
    wfile(t / "file", 1);
    struct Case {
        std::string path;
        int error;
    } cases[] = {{t / "empty", 0}, {t / "missing", ENOENT}, {t / "file", ENOTDIR}, {"", ENOENT}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        int id = disk_scan(c.path.c_str(), 0, 0);
        ASSERT_EQ(wait_scan(id), SCAN_DONE);
        EXPECT_EQ(problems_of(id).root_error, c.error);
        EXPECT_TRUE(read_tree(disk_scan_result(id)).paths.empty());
        EXPECT_STREQ(disk_get_problems(id), "[]");
        disk_free(id);
    }
    // Bad arguments of the export itself.
    int id = disk_scan(t.path.c_str(), 0, 0);
    EXPECT_EQ(disk_scan_problems(id, nullptr), -1);
    disk_problems small{};
    small.struct_size = 4;  // too small for root_error
    EXPECT_EQ(disk_scan_problems(id, &small), -1);
    // An older host's smaller struct: only what fits is written.
    unsigned char buf[sizeof(disk_problems) + 8];
    memset(buf, 0xAB, sizeof buf);
    auto *older = reinterpret_cast<disk_problems *>(buf);
    older->struct_size = offsetof(disk_problems, unreadable_dirs);
    wait_scan(id);
    EXPECT_EQ(disk_scan_problems(id, older), SCAN_DONE);
    EXPECT_EQ(older->root_error, 0);
    EXPECT_EQ(buf[offsetof(disk_problems, unreadable_dirs)], 0xAB);
    disk_free(id);
    EXPECT_EQ(disk_scan_problems(id, older), -1);
}

// A relative root means the current directory when disk_scan was called,
// however soon the host moves.
TEST(RelativeRoot, ResolvedBeforeDiskScanReturns)
{
    TempDir t;
    mkdirp(t / "data/sub");
    wfile(t / "data/sub/f", 11);
    wfile(t / "data/g", 22);
    for (int w = 0; w < 40; w++)
        mkdirp(t / ("data/w" + std::to_string(w)));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(chdir(t.path.c_str()), 0);
        int id = disk_scan("data", 0, 0);
        ASSERT_EQ(chdir("/"), 0);
        ASSERT_EQ(wait_scan(id), SCAN_DONE);
        json doc = json::parse(disk_scan_result(id));
        EXPECT_EQ(doc["path"], "data");
        EXPECT_EQ(doc["total_size"], 33u);
        EXPECT_EQ(doc["total_dirs"], 41u);
        EXPECT_EQ(read_tree(disk_scan_result(id)).paths, fs_paths(t / "data"));
        disk_free(id);
    }
    ASSERT_EQ(chdir(cwd), 0);
}

// Sizes of sparse files near 2^63 add up past 2^64: sums stop at the top
// instead of wrapping to a small number, and the order stays right.
TEST(Sums, StopAtTheLargestValue)
{
    struct statfs sf;
    if (statfs("/dev/shm", &sf) != 0 || sf.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "skipped: needs a tmpfs at /dev/shm for files of 8 EiB";
    char tmpl[] = "/dev/shm/qv-sums-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    mkdirp(root + "/huge");
    mkdirp(root + "/small");
    wfile(root + "/small/f", 1000);
    for (int i = 0; i < 3; i++) {
        int fd = open((root + "/huge/h" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, INT64_MAX), 0);
        close(fd);
    }
    int id = disk_scan(root.c_str(), 0, 0);
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    json doc = json::parse(disk_scan_result(id));
    EXPECT_EQ(doc["total_size"].get<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(doc["children"][0]["name"], "huge");
    EXPECT_EQ(doc["children"][0]["size"].get<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(doc["children"][1]["size"].get<uint64_t>(), 1000u);
    json ext = json::parse(disk_get_extensions(id));
    EXPECT_TRUE(ext.empty());
    unsigned long long bytes = 0;
    disk_scan_progress(id, nullptr, nullptr, &bytes);
    EXPECT_EQ(bytes, UINT64_MAX);
    disk_free(id);
    fs::remove_all(root);
}

// --- A link swapped in while the walk runs ----------------------------------

// The root holds only a/{ssl,x,y,z}. Once a is listed and its
// subdirectories stacked, a is swapped for a link to a folder outside the
// tree: the walks still to come must not list what lies there. The worker
// that listed a still holds a's descriptor and lists the real
// subdirectories; those handed to other workers (with four, once they all
// wait for work) are resolved from the root and refused. Nothing else is
// stacked, so what is handed out is a's subdirectories whatever order the
// file system lists names in.
TEST(SwappedLink, StackedWalksNeverLeaveTheTree)
{
    for (int workers : {1, 4}) {
        TempDir t;
        std::string root = t / "root", outside = t / "outside";
        for (const char *d : {"a/ssl", "a/x", "a/y", "a/z"})
            mkdirp(root + "/" + d);
        for (const char *d : {"ssl/secret-dir", "x", "y", "z"})
            mkdirp(outside + "/" + d);
        wfile(outside + "/ssl/secret", 99);
        WalkRun w;
        struct Swap {
            std::string root, outside;
            qv_walk_ctx *ctx;
            int workers;
            std::atomic<bool> done{false};
        } swap{root, outside, &w.ctx, workers};
        w.ctx.hooks.workers = workers;
        w.ctx.hooks.arg = &swap;
        w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
            auto *s = static_cast<Swap *>(arg);
            if (strcmp(qv_tree_get_name(dir), "a") != 0 || s->done.exchange(true))
                return;
            wait_for_idle_workers(s->ctx, s->workers - 1);
            ASSERT_EQ(rename((s->root + "/a").c_str(), (s->root + "/a.old").c_str()), 0);
            ASSERT_EQ(symlink(s->outside.c_str(), (s->root + "/a").c_str()), 0);
        };
        w.run(root);
        ASSERT_TRUE(swap.done);
        const qv_entry *a = find_child(w.root, "a");
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(child_names(a).size(), 4u);
        const qv_entry *ssl = find_child(a, "ssl");
        ASSERT_NE(ssl, nullptr);
        EXPECT_EQ(ssl->first_child, nullptr);  // never outside/ssl's secret
        for (const qv_entry *e = w.root; e; e = qv_tree_next_preorder(w.root, e, true))
            EXPECT_NE(strncmp(qv_tree_get_name(e), "secret", 6), 0) << qv_tree_get_name(e);
        if (workers > 1) {
            EXPECT_GE(w.ctx.problems.unreadable_dirs.load(), 1u);
        }
        qv_problem_list problems = qv_walk_problem_list(&w.ctx);
        EXPECT_EQ(w.ctx.problems.unreadable_dirs.load(), problems.count);
        for (size_t i = 0; i < problems.count; i++)
            EXPECT_EQ(problems.items[i].err, ELOOP);
    }
}

// --- Descriptors -------------------------------------------------------------

namespace {

// Takes every descriptor the process has left until released.
struct HeldDescriptors {
    std::vector<int> fds;
    void take_all()
    {
        for (;;) {
            int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            fds.push_back(fd);
        }
    }
    void release()
    {
        for (int fd : fds)
            close(fd);
        fds.clear();
    }
    ~HeldDescriptors() { release(); }
};

void lower_descriptor_limit(rlim_t n)
{
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    rl.rlim_cur = n;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    qv_fd_budget_reset();
}

void make_nested(const std::string &root, int width, int depth)
{
    std::vector<std::string> level{root};
    for (int d = 0; d < depth; d++) {
        std::vector<std::string> next;
        for (const std::string &p : level)
            for (int i = 0; i < width; i++) {
                std::string c = p + "/d" + std::to_string(i);
                mkdirp(c);
                wfile(c + "/f", (uint64_t)i + 1);
                next.push_back(c);
            }
        level = next;
    }
}

}  // namespace

// A host that holds every descriptor for half a second: the scan waits for
// them instead of leaving directories out.
TEST(Descriptors, ExhaustionIsWaitedOutNotLost)
{
    TempDir t;
    make_nested(t.path, 4, 4);
    std::set<std::string> want = fs_paths(t.path);
    lower_descriptor_limit(256);
    HeldDescriptors held;
    held.take_all();
    int id = disk_scan(t.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(disk_scan_status(id), SCAN_RUNNING);
    held.release();
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    EXPECT_EQ(read_tree(disk_scan_result(id)).paths, want);
    disk_problems p = problems_of(id);
    EXPECT_EQ(p.root_error, 0);
    EXPECT_EQ(p.unreadable_dirs, 0u);
    disk_free(id);

    // Held for good: a cancel still ends the scan.
    held.take_all();
    id = disk_scan(t.path.c_str(), 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    disk_scan_cancel(id);
    EXPECT_EQ(wait_scan(id), SCAN_CANCELLED);
    disk_free(id);
}

// 32 scans at once under a low limit share the budget and take turns: all
// complete, even where the limit leaves room for a few scans only.
TEST(Descriptors, ThirtyTwoScansShareALowLimit)
{
    TempDir t;
    make_nested(t.path, 3, 5);
    std::set<std::string> want = fs_paths(t.path);
    for (rlim_t limit : {128, 34, 20}) {
        SCOPED_TRACE(limit);
        lower_descriptor_limit(limit);
        std::vector<int> ids;
        for (int i = 0; i < MAX_SCANS; i++)
            ids.push_back(disk_scan(t.path.c_str(), 0, 0));
        for (int id : ids) {
            ASSERT_GE(id, 0);
            ASSERT_EQ(wait_scan(id), SCAN_DONE);
            EXPECT_EQ(read_tree(disk_scan_result(id)).paths, want);
            EXPECT_EQ(problems_of(id).unreadable_dirs, 0u);
            disk_free(id);
        }
        // Every descriptor came back.
        int fd = open("/dev/null", O_RDONLY);
        EXPECT_LT(fd, 20);
        close(fd);
    }
}

// --- Signals ------------------------------------------------------------------

namespace {
std::atomic<int> s_handled{0};
std::atomic<pid_t> s_handled_on{0};
void on_usr1(int)
{
    s_handled.fetch_add(1);
    s_handled_on.store((pid_t)syscall(SYS_gettid));
}
}  // namespace

// A signal for the process never runs the host's handler on a library
// thread: while the host's own thread blocks it, it stays pending.
TEST(Signals, HostHandlersNeverRunOnLibraryThreads)
{
    TempDir t;
    make_nested(t.path, 6, 4);
    struct sigaction sa {};
    sa.sa_handler = on_usr1;  // no SA_RESTART
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    sigset_t usr1, prev;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &prev), 0);
    s_handled.store(0);
    int id = disk_scan(t.path.c_str(), 0, 0);
    int sent = 0;
    while (disk_scan_status(id) <= SCAN_RUNNING && disk_scan_status(id) >= SCAN_IDLE) {
        kill(getpid(), SIGUSR1);
        sent++;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_GT(sent, 0);
    EXPECT_EQ(s_handled.load(), 0);  // no library thread took it
    ASSERT_EQ(wait_scan(id), SCAN_DONE);
    EXPECT_EQ(problems_of(id).unreadable_dirs, 0u);
    disk_free(id);
    pthread_sigmask(SIG_SETMASK, &prev, nullptr);  // the pending one runs here
    EXPECT_EQ(s_handled.load(), 1);
    EXPECT_EQ(s_handled_on.load(), (pid_t)syscall(SYS_gettid));
    sigaction(SIGUSR1, &old, nullptr);
}
