// Deleting in qvdisk -i (programs/browsefs.cpp): only the entry that was
// confirmed, reached from the root's descriptor, never across a mount, into
// a loop or into a directory the scan did not enter, at any depth with few
// descriptors.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "browsefs.h"
#include "fixture.h"
#include "private_mounts.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

// A file of size bytes, its folders made first.
void put(const std::string &path, uint64_t size)
{
    mkdirp(fs::path(path).parent_path().string());
    wfile(path, size);
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

struct Root {
    int fd;
    explicit Root(const std::string &path)
    {
        std::string err;
        fd = open_root(path, &err);
        EXPECT_GE(fd, 0) << err;
    }
    ~Root()
    {
        if (fd >= 0)
            close(fd);
    }
};

entry_id identify(int root_fd, const std::vector<std::string> &names)
{
    entry_id id;
    std::string err;
    EXPECT_TRUE(identify_below_root(root_fd, names, &id, &err)) << err;
    return id;
}

std::vector<std::string> remove(int root_fd, const std::vector<std::string> &names, const entry_id &id,
                                const delete_options &opts = {})
{
    std::vector<std::string> kept;
    bool all = delete_below_root(root_fd, names, id, opts, &kept);
    EXPECT_EQ(all, kept.empty());
    return kept;
}

// A bind mount for one test, detached when it ends.
struct Bind {
    std::string at;
    Bind(const std::string &from, const std::string &to)
    {
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0)
            at = to;
    }
    ~Bind()
    {
        if (!at.empty())
            umount2(at.c_str(), MNT_DETACH);
    }
};

}  // namespace

// The root renamed away and a link to another folder put in its place after
// the scan: the delete still reaches the scanned tree, and only it.
TEST(BrowseDelete, ReachesEntriesFromTheRootItOpened)
{
    TempDir t;
    mkdirp(t / "root/build");
    put(t / "root/build/obj.o", 100);
    mkdirp(t / "other/build");
    put(t / "other/build/precious", 100);
    Root root(t / "root");
    entry_id id = identify(root.fd, {"build"});
    ASSERT_EQ(rename((t / "root").c_str(), (t / "root.old").c_str()), 0);
    ASSERT_EQ(symlink((t / "other").c_str(), (t / "root").c_str()), 0);

    EXPECT_TRUE(remove(root.fd, {"build"}, id).empty());
    EXPECT_FALSE(exists(t / "root.old/build"));
    EXPECT_TRUE(exists(t / "other/build/precious"));
}

// What was confirmed is what goes: an entry replaced after the question
// (by a tree, by another file, by a link) is not touched.
TEST(BrowseDelete, OnlyTheConfirmedEntry)
{
    struct Case {
        const char *what;
        bool was_dir;
        void (*replace)(const std::string &entry, const std::string &elsewhere);
    };
    const Case cases[] = {
        {"a file replaced by a tree", false,
         [](const std::string &e, const std::string &) {
             unlink(e.c_str());
             mkdirp(e + "/deep");
             put(e + "/deep/data", 5000);
         }},
        {"a file replaced by another file", false,
         [](const std::string &e, const std::string &) {
             unlink(e.c_str());
             put(e, 10);
         }},
        {"a directory replaced by a link", true,
         [](const std::string &e, const std::string &elsewhere) {
             fs::remove_all(e);
             symlink(elsewhere.c_str(), e.c_str());
         }},
        {"a directory replaced by another", true,
         [](const std::string &e, const std::string &) {
             rename(e.c_str(), (e + ".moved").c_str());
             mkdirp(e);
             put(e + "/new", 10);
         }},
    };
    for (const Case &c : cases) {
        TempDir t;
        mkdirp(t / "root");
        mkdirp(t / "elsewhere");
        put(t / "elsewhere/keep", 10);
        if (c.was_dir)
            put(t / "root/foo/inside", 4096);
        else
            put(t / "root/foo", 4096);
        Root root(t / "root");
        entry_id id = identify(root.fd, {"foo"});
        EXPECT_EQ(id.is_dir, c.was_dir);
        // Held open, the old entry keeps its inode number from the new one.
        int held = open((t / "root/foo").c_str(), O_RDONLY);
        c.replace(t / "root/foo", t / "elsewhere");

        std::vector<std::string> kept = remove(root.fd, {"foo"}, id);
        ASSERT_EQ(kept.size(), 1u) << c.what;
        EXPECT_NE(kept[0].find("no longer what was confirmed"), std::string::npos) << kept[0];
        EXPECT_TRUE(exists(t / "root/foo")) << c.what;
        EXPECT_TRUE(exists(t / "elsewhere/keep")) << c.what;
        if (!c.was_dir) {
            EXPECT_TRUE(exists(t / "root/foo/deep/data") || fs::file_size(t / "root/foo") == 10) << c.what;
        }
        close(held);
    }
}

// Bind mounts of the same file system: the tree mounted inside itself (a
// loop the scan refused), and an outside folder mounted in the tree.
TEST(BrowseDelete, NeverCrossesAMount)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: needs root for bind mounts";
    TempDir t;
    mkdirp(t / "root/sub/loop");
    put(t / "root/sub/mine", 10);
    put(t / "root/top-file", 10);
    mkdirp(t / "root/cache/mnt");
    put(t / "root/cache/blob", 10);
    mkdirp(t / "outside");
    put(t / "outside/precious", 10);
    Bind loop(t / "root", t / "root/sub/loop");
    Bind outside(t / "outside", t / "root/cache/mnt");
    if (loop.at.empty() || outside.at.empty())
        GTEST_SKIP() << "skipped: needs bind mounts, refused here: " << strerror(errno);
    Root root(t / "root");

    std::vector<std::string> kept = remove(root.fd, {"sub"}, identify(root.fd, {"sub"}));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], "sub/loop: another mount; not entered");
    EXPECT_TRUE(exists(t / "root/top-file"));
    EXPECT_TRUE(exists(t / "root/cache/blob"));
    EXPECT_FALSE(exists(t / "root/sub/mine"));

    kept = remove(root.fd, {"cache"}, identify(root.fd, {"cache"}));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], "cache/mnt: another mount; not entered");
    EXPECT_TRUE(exists(t / "outside/precious"));
    EXPECT_FALSE(exists(t / "root/cache/blob"));

    // A mount point itself is not deleted either.
    kept = remove(root.fd, {"cache", "mnt"}, identify(root.fd, {"cache", "mnt"}));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], "mnt: a mount point; not deleted");
    EXPECT_TRUE(exists(t / "outside/precious"));
}

// Directories the scan did not enter (left out by a pattern, made since,
// a cache the scan skipped) stay, and each is told; the rest goes.
TEST(BrowseDelete, EntersOnlyWhatTheScanEntered)
{
    TempDir t;
    put(t / "root/proj/src/main.c", 10);
    put(t / "root/proj/node_modules/dep/index.js", 10);
    put(t / "root/proj/made-later/new.txt", 10);
    put(t / "root/proj/cache/CACHEDIR.TAG", 0);
    {
        FILE *f = fopen((t / "root/proj/cache/CACHEDIR.TAG").c_str(), "w");
        fputs("Signature: 8a477f597d28d172789f06886806bc55\n", f);
        fclose(f);
    }
    put(t / "root/proj/cache/blob", 10);
    put(t / "root/proj/README", 10);
    entered_dirs entered;  // what the scan saw: proj, proj/src, proj/cache (not entered)
    entered.add(0, "src");
    entered.add(0, "cache");
    delete_options opts;
    opts.entered = &entered;
    opts.skip_caches = true;
    Root root(t / "root");

    std::vector<std::string> kept = remove(root.fd, {"proj"}, identify(root.fd, {"proj"}), opts);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{
                        "proj/cache: a cache directory the scan did not enter; not deleted",
                        "proj/made-later: not entered by the scan; not deleted",
                        "proj/node_modules: not entered by the scan; not deleted",
                    }));
    EXPECT_FALSE(exists(t / "root/proj/src"));
    EXPECT_FALSE(exists(t / "root/proj/README"));
    EXPECT_TRUE(exists(t / "root/proj/node_modules/dep/index.js"));
    EXPECT_TRUE(exists(t / "root/proj/made-later/new.txt"));
    EXPECT_TRUE(exists(t / "root/proj/cache/blob"));
}

// One directory the scan did not enter, alone among what goes: it is told
// once and its parents stay quietly, however few directories are held open
// (a parent opened again lists it again).
TEST(BrowseDelete, WhatStaysIsToldOnce)
{
    for (int max_open : {32, 2}) {
        TempDir t;
        put(t / "root/proj/src/d/gone.c", 10);
        put(t / "root/proj/src/d/new/made-later.c", 10);
        put(t / "root/proj/src/d/locked/f", 10);
        entered_dirs entered;
        int src = entered.add(0, "src");
        int d = entered.add(src, "d");
        entered.add(d, "locked");
        entered.not_entered({"src", "d", "locked"});  // recorded, not entered
        delete_options opts;
        opts.entered = &entered;
        opts.max_open = max_open;
        Root root(t / "root");

        std::vector<std::string> kept = remove(root.fd, {"proj"}, identify(root.fd, {"proj"}), opts);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, (std::vector<std::string>{
                            "proj/src/d/locked: not entered by the scan; not deleted",
                            "proj/src/d/new: not entered by the scan; not deleted",
                        }))
            << "max_open " << max_open;
        EXPECT_FALSE(exists(t / "root/proj/src/d/gone.c"));
        EXPECT_TRUE(exists(t / "root/proj/src/d/new/made-later.c"));
        EXPECT_TRUE(exists(t / "root/proj/src/d/locked/f"));
    }
}

// 3,000 levels under a limit of 64 descriptors: all of it goes.
TEST(BrowseDelete, AnyDepthWithFewDescriptors)
{
    TempDir t;
    mkdirp(t / "root/deep");
    int fd = open((t / "root/deep").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const int levels = 3000;
    for (int i = 0; i < levels; i++) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
        int f = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(f, 0);
        close(f);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    close(fd);
    Root root(t / "root");
    entry_id id = identify(root.fd, {"deep"});
    struct rlimit old, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<std::string> kept = remove(root.fd, {"deep"}, id);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(kept.empty()) << kept.size() << " kept, the first: " << (kept.empty() ? "" : kept[0]);
    EXPECT_FALSE(exists(t / "root/deep"));
}

// Moving to the trash reaches the entry as deleting does: from the root it
// opened, and only the one confirmed. The record says where it is now.
TEST(BrowseTrash, ReachesTheConfirmedEntryFromTheRoot)
{
    TempDir t;
    const char *old_xdg = getenv("XDG_DATA_HOME");
    std::string saved = old_xdg ? old_xdg : "";
    setenv("XDG_DATA_HOME", (t / "xdg").c_str(), 1);
    put(t / "root/build/obj.o", 100);
    put(t / "root/notes.txt", 10);
    put(t / "other/build/precious", 100);
    Root root(t / "root");
    entry_id build = identify(root.fd, {"build"}), notes = identify(root.fd, {"notes.txt"});
    ASSERT_EQ(rename((t / "root").c_str(), (t / "root.old").c_str()), 0);
    ASSERT_EQ(symlink((t / "other").c_str(), (t / "root").c_str()), 0);

    trash_result r = trash_below_root(root.fd, {"build"}, build);
    EXPECT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_TRUE(exists(t / "xdg/Trash/files/build/obj.o"));
    EXPECT_TRUE(exists(t / "other/build/precious"));
    std::string info;
    if (FILE *f = fopen((t / "xdg/Trash/info/build.trashinfo").c_str(), "r")) {
        char buf[4096];
        info.assign(buf, fread(buf, 1, sizeof buf, f));
        fclose(f);
    }
    EXPECT_NE(info.find("\nPath=" + fs::canonical(t / "root.old").string() + "/build\n"), std::string::npos) << info;

    int held = open((t / "root.old/notes.txt").c_str(), O_RDONLY);  // keeps its inode number from the new file
    unlink((t / "root.old/notes.txt").c_str());
    put(t / "root.old/notes.txt", 20);
    r = trash_below_root(root.fd, {"notes.txt"}, notes);
    close(held);
    EXPECT_EQ(r.outcome, TRASH_FAILED);
    EXPECT_EQ(r.why, "notes.txt: no longer what was confirmed; not touched");
    EXPECT_TRUE(exists(t / "root.old/notes.txt"));
    EXPECT_FALSE(exists(t / "xdg/Trash/files/notes.txt"));
    if (old_xdg)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}
