// The control exports: ids, slots, states, cancellation and release.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "host_options.h"
#include "quorvel_disk.h"
#include "scanner.h"
#include "walker.h"

using namespace qvtest;

namespace {

int wait_final(int id)
{
    int st;
    while ((st = disk_scan_status(id)) == SCAN_IDLE || st == SCAN_RUNNING)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return st;
}

void make_tree(const std::string &root, int dirs, int files_per_dir)
{
    for (int d = 0; d < dirs; d++) {
        std::string dir = root + "/d" + std::to_string(d);
        mkdirp(dir);
        for (int f = 0; f < files_per_dir; f++)
            wfile(dir + "/f" + std::to_string(f), (uint64_t)(d + f));
    }
}

uint64_t count_entries(const qv_entry *root)
{
    uint64_t n = 0;
    for (const qv_entry *e = qv_tree_next_preorder(root, root, true); e; e = qv_tree_next_preorder(root, e, true))
        n++;
    return n;
}

}  // namespace

TEST(Control, IdsThatNameNoScan)
{
    for (int id : {-1, -2, 32, 33, 1000, INT32_MIN, INT32_MAX, 0, 5, 31}) {
        EXPECT_EQ(disk_scan_status(id), -1) << id;
        disk_scan_cancel(id);
        disk_free(id);
        EXPECT_EQ(disk_scan_result(id), nullptr) << id;
        EXPECT_EQ(disk_get_top(id, 10), nullptr) << id;
        EXPECT_EQ(disk_get_extensions(id), nullptr) << id;
    }
    EXPECT_EQ(disk_scan(nullptr, 0, 0), -1);
    EXPECT_EQ(disk_scan_status(0), -1);  // a null path claimed nothing
}

TEST(Control, ScanToDoneThenFreeReleasesId)
{
    TempDir t;
    make_tree(t.path, 3, 4);
    int id = disk_scan(t.path.c_str(), 0, 0);
    ASSERT_EQ(id, 0);
    EXPECT_EQ(wait_final(id), SCAN_DONE);
    qv_scan_result *r = qv_scanner_get_result(id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->total_files, 12u);
    EXPECT_EQ(r->total_dirs, 3u);
    EXPECT_EQ(r->total_size, 3u * (0 + 1 + 2 + 3) + 4u * (0 + 1 + 2));
    disk_scan_cancel(id);  // too late: stays done
    EXPECT_EQ(disk_scan_status(id), SCAN_DONE);
    disk_free(id);
    EXPECT_EQ(disk_scan_status(id), -1);
    disk_free(id);  // a second free does nothing
    EXPECT_EQ(disk_scan_status(id), -1);
}

TEST(Control, MissingPathEndsDoneAndEmpty)
{
    int id = disk_scan("/no/such/directory/anywhere", 0, 0);
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), SCAN_DONE);
    qv_scan_result *r = qv_scanner_get_result(id);
    EXPECT_EQ(r->root->first_child, nullptr);
    EXPECT_EQ(r->total_size + r->total_files + r->total_dirs, 0u);
    disk_free(id);
}

// A root text past 65,535 bytes is kept whole, though this one names
// nothing (no name is that long): the root is found by it.
TEST(Control, RootNameKeptWholePast65535Bytes)
{
    std::string path(70000, 'p');
    int id = disk_scan(path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), SCAN_DONE);
    qv_scan_result *r = qv_scanner_get_result(id);
    EXPECT_EQ(std::string(qv_tree_get_name(r->root)), path);
    EXPECT_NE(disk_get_dir(id, path.c_str(), 1), nullptr);
    disk_problems p{};
    p.struct_size = sizeof p;
    EXPECT_EQ(disk_scan_problems(id, &p), SCAN_DONE);
    EXPECT_NE(p.root_error, 0);
    disk_free(id);
}

TEST(Control, FollowLinksAnyNonZeroValue)
{
    for (int flag : {2, -1}) {
        int id = disk_scan(".", 1, flag);
        ASSERT_GE(id, 0);
        disk_scan_options back{};
        back.struct_size = sizeof back;
        ASSERT_EQ(disk_scan_get_options(id, &back), 0);
        EXPECT_EQ(back.follow_links, 1);
        EXPECT_EQ(back.max_depth, 1);
        wait_final(id);
        disk_free(id);
    }
}

TEST(Control, ThirtyTwoScansAtOnceThenLowestFreeId)
{
    TempDir t;
    make_tree(t.path, 5, 20);
    std::vector<int> ids;
    for (int i = 0; i < 32; i++)
        ids.push_back(disk_scan(t.path.c_str(), 0, 0));
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(ids[i], i);
    EXPECT_EQ(disk_scan(t.path.c_str(), 0, 0), -1);
    for (int id : ids) {
        EXPECT_EQ(wait_final(id), SCAN_DONE);
        qv_scan_result *r = qv_scanner_get_result(id);
        EXPECT_EQ(r->total_files, 100u);
        EXPECT_EQ(r->total_dirs, 5u);
    }
    disk_free(7);
    disk_free(3);
    EXPECT_EQ(disk_scan(t.path.c_str(), 0, 0), 3);
    EXPECT_EQ(disk_scan(t.path.c_str(), 0, 0), 7);
    EXPECT_EQ(disk_scan(t.path.c_str(), 0, 0), -1);
    for (int id = 0; id < 32; id++)
        disk_free(id);
    for (int id = 0; id < 32; id++)
        EXPECT_EQ(disk_scan_status(id), -1);
}

TEST(Control, CancelDuringWalkKeepsPartialTree)
{
    TempDir t;
    make_tree(t.path, 20, 100);
    // The walk holds after its first directory until the cancel has landed.
    static std::atomic<bool> cancelled;
    cancelled.store(false);
    qv_walk_hooks hooks{};
    hooks.listed = [](void *, const qv_entry *) {
        while (!cancelled.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    disk_scan_status(-1);  // makes sure the slot table is initialised
    qv_options opts;
    ASSERT_EQ(qv_options_from_host(&opts, t.path.c_str(), nullptr), 0);
    int id = qv_scanner_scan_async(&opts, &hooks);
    ASSERT_GE(id, 0);
    disk_scan_cancel(id);
    cancelled.store(true);
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), SCAN_CANCELLED);
    qv_scan_result *r = qv_scanner_get_result(id);
    ASSERT_NE(r, nullptr);
    EXPECT_LT(count_entries(r->root), 20u * 101u);
    EXPECT_EQ(r->total_size + r->total_files + r->total_dirs, 0u);
    EXPECT_EQ(r->scan_time_ms, 0.0);
    EXPECT_EQ(disk_scan_result(id), nullptr);
    EXPECT_EQ(disk_get_top(id, 5), nullptr);
    EXPECT_EQ(disk_get_extensions(id), nullptr);
    disk_free(id);
}

TEST(Control, CancelBeforeTheWalkListsNothing)
{
    // A cancel that lands before the walk begins: nothing is listed.
    TempDir t;
    make_tree(t.path, 2, 2);
    WalkRun w;
    w.cancel.store(1);
    w.run(t.path);
    EXPECT_EQ(w.root->first_child, nullptr);
}

TEST(Control, FreeOfRunningScanWaitsForItsEnd)
{
    TempDir t;
    make_tree(t.path, 30, 100);
    for (int round = 0; round < 5; round++) {
        int id = disk_scan(t.path.c_str(), 0, 0);
        ASSERT_EQ(id, 0);
        if (round % 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(round));
        disk_free(id);  // must join the run and release everything
        EXPECT_EQ(disk_scan_status(id), -1);
    }
}

TEST(Control, ConcurrentFirstCallsAndScansOnManyThreads)
{
    TempDir t;
    make_tree(t.path, 4, 10);
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([&] {
            for (int k = 0; k < 4; k++) {
                int id = disk_scan(t.path.c_str(), 0, 0);
                if (id < 0)
                    continue;
                if (wait_final(id) == SCAN_DONE && qv_scanner_get_result(id)->total_files == 40)
                    done++;
                disk_free(id);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(done.load(), 32);
}

TEST(Control, ProgressGrowsThenEqualsTotals)
{
    TempDir t;
    make_tree(t.path, 30, 100);
    int id = disk_scan(t.path.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    unsigned long long last[3] = {0, 0, 0};
    int state;
    do {
        unsigned long long now[3];
        state = disk_scan_progress(id, &now[0], &now[1], &now[2]);
        for (int i = 0; i < 3; i++) {
            EXPECT_GE(now[i], last[i]);
            last[i] = now[i];
        }
    } while (state == SCAN_IDLE || state == SCAN_RUNNING);
    ASSERT_EQ(state, SCAN_DONE);
    qv_scan_result *r = qv_scanner_get_result(id);
    EXPECT_EQ(last[0], r->total_files);
    EXPECT_EQ(last[1], r->total_dirs);
    EXPECT_EQ(last[2], r->total_size);
    EXPECT_EQ(r->total_files, 3000u);
    EXPECT_EQ(disk_scan_progress(id, nullptr, nullptr, nullptr), SCAN_DONE);
    disk_free(id);

    unsigned long long untouched = 12345;
    for (int bad : {id, -1, 32}) {
        EXPECT_EQ(disk_scan_progress(bad, &untouched, &untouched, &untouched), -1);
        EXPECT_EQ(untouched, 12345u);
    }
}
