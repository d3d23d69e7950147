// Pseudo file systems: the paths that put a directory on one, and the
// walk's rule of what it enters.
#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixture.h"
#endif
#include "pseudofs.h"

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

// A path below the root is judged as the two joined by one "/", without
// joining them: the separator counts, and none is doubled.
TEST(PseudoFs, PathBelowTheRoot)
{
    struct { const char *base, *rel; int want; } cases[] = {
        {"/", "proc", 1},       {"/", "proc/self", 1}, {"/", "procs", 0},      {"/", "", 0},
        {"/dev", "", 1},        {"/de", "v", 0},       {"/tmp", ".mount_x", 1}, {"/tmp/", ".mount_x/y", 1},
        {"/home", "proc", 0},   {"/s", "ys", 0},       {nullptr, "x", 1},       {"/x", nullptr, 1},
    };
    for (auto c : cases)
        EXPECT_EQ(qv_is_pseudo_fs_below(c.base, c.rel), c.want)
            << (c.base ? c.base : "(null)") << " + " << (c.rel ? c.rel : "(null)");
}

// What the walk enters, by where its root lies: directories on a pseudo
// file system are left out unless the root lies on one, whether the path
// or the opened directory's type tells.
TEST(PseudoFs, RuleOfTheWalk)
{
    struct Case {
        const char *what;
        const char *real_root, *abs_root;
        bool root_on_pseudo;  // as the root's listing tells once opened
        const char *rel;
        bool skips_path, skips_opened;  // for rel, on a pseudo file system by its type
    } cases[] = {
        {"plain root", nullptr, "/home/u", false, "proc", false, true},
        {"the real path decides", "/", "/home/u/..", false, "proc", true, true},
        {"below it too", "/", "/x/..", false, "sys/kernel", true, true},
        {"elsewhere", "/", "/x/..", false, "etc", false, true},
        {"root below /proc", nullptr, "/proc/1", false, "fd", false, false},
        {"root real path below /sys", "/sys/kernel", "/k", false, "mm", false, false},
        {"root of a pseudo type", nullptr, "/mnt/cg", true, "a/b", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qv_pseudo_rule r;
        qv_pseudo_rule_init(&r, c.real_root, c.abs_root);
        EXPECT_FALSE(qv_pseudo_rule_skips_opened(&r, true, c.root_on_pseudo));  // the root is always walked
        EXPECT_EQ(qv_pseudo_rule_skips_path(&r, c.rel), c.skips_path);
        EXPECT_EQ(qv_pseudo_rule_skips_opened(&r, false, true), c.skips_opened);
        EXPECT_FALSE(qv_pseudo_rule_skips_opened(&r, false, false));
    }
}

#ifndef _WIN32
// The type of an open directory: proc is made up, a directory of files is not.
TEST(PseudoFs, TypeOfAnOpenDirectory)
{
    qvtest::TempDir t;
    struct { std::string path; bool want; } cases[] = {{"/proc", true}, {"/proc/self", true}, {t.path, false}};
    for (const auto &c : cases) {
        int fd = open(c.path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(fd, 0) << c.path;
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(qv_on_pseudo_fs(fd, (uint64_t)st.st_dev), c.want) << c.path;
        close(fd);
    }
}
#endif
