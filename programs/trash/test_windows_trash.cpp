// Moving to the Recycle Bin (trash_win32.cpp): the entry leaves its folder
// for the bin; under Wine, whose bin is the freedesktop.org trash of the
// Unix side, it is found there with its record.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fixture.h"
#include "trash.h"

using namespace qvtest;
namespace fs = std::filesystem;

TEST(WindowsTrash, MovesToTheRecycleBin)
{
    TempDir t;
    // Wine's bin is the home trash of the Unix side, which cmake/wine-run.sh
    // puts in the build folder: never the user's own.
    // Wine answers SHQueryRecycleBin only once that trash exists, as it does
    // on a desktop.
    const char *xdg = getenv("XDG_DATA_HOME");
    if (under_wine()) {
        ASSERT_TRUE(xdg && *xdg) << "XDG_DATA_HOME: run under Wine through cmake/wine-run.sh";
        ASSERT_TRUE(run_unix({"/bin/mkdir", "-p", std::string(xdg) + "/Trash/files", std::string(xdg) + "/Trash/info"}));
    }
    wfile(t / "doomed.txt", 100);
    mkdirp(t / "dir/inner");
    wfile(t / "dir/inner/f.bin", 10);
    for (const char *name : {"doomed.txt", "dir"}) {
        trash_result r = move_to_trash({t / name});
        ASSERT_EQ(r.outcome, TRASH_MOVED) << name << ": " << r.why;
        EXPECT_EQ(r.where, "the Recycle Bin");
        EXPECT_FALSE(fs::exists(fs::u8path(t / name))) << name;
    }
    if (under_wine()) {
        // Each has its record there, with the Unix path it came from.
        for (const char *name : {"doomed.txt", "dir"})
            EXPECT_TRUE(run_unix({"/bin/grep", "-rqxF", "Path=" + unix_path(t / name), std::string(xdg) + "/Trash/info"}))
                << name;
    }
}

TEST(WindowsTrash, WhatIsNotThereFails)
{
    TempDir t;
    trash_result r = move_to_trash({t / "never.txt"});
    EXPECT_EQ(r.outcome, TRASH_FAILED);
    EXPECT_EQ(r.why, "no longer there");
}
