// The owner of a scan frees it exactly once: never twice (ids are handed
// out again, lowest first, so a second free would end someone else's scan)
// and never not at all (32 scans at most at once).
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "fixture.h"
#include "quorvel_disk.h"
#include "scanhandle.h"

using namespace qvtest;

namespace {

int start(const TempDir &t)
{
    return disk_scan(t.path.c_str(), 0, 0);
}

bool alive(int id) { return disk_scan_status(id) != SCAN_FAILED; }

TEST(ScanHandle, EveryScanIsFreedWhenItsOwnerGoes)
{
    TempDir t;
    int last = -1;
    for (int i = 0; i < 100; i++) {
        scan_handle s(start(t));
        ASSERT_TRUE(s) << "scan " << i << ": the earlier ones were not freed";
        last = s.get();
    }
    EXPECT_FALSE(alive(last));
}

TEST(ScanHandle, MovedOwnershipIsFreedOnceByTheLastOwner)
{
    TempDir t;
    auto first = std::make_unique<scan_handle>(start(t));
    int id = first->get();
    ASSERT_GE(id, 0);
    scan_handle second(std::move(*first));
    EXPECT_FALSE(*first);
    EXPECT_EQ(second.get(), id);

    // Assigning over an owner frees what it held.
    scan_handle other(start(t));
    int other_id = other.get();
    second = std::move(other);
    EXPECT_FALSE(alive(id));
    EXPECT_EQ(second.get(), other_id);

    // The freed id is handed out again: the owners it was moved from must
    // leave the new scan under it alone.
    scan_handle reused(start(t));
    ASSERT_EQ(reused.get(), id);
    first.reset();
    { scan_handle emptied = std::move(other); }
    EXPECT_TRUE(alive(id)) << "an owner moved from freed the scan again";
    reused.reset();
    EXPECT_FALSE(alive(id));
    reused.reset();

    scan_handle given(start(t));
    int out = given.release();
    { scan_handle gone = std::move(given); }
    EXPECT_TRUE(alive(out)) << "released, yet freed";
    disk_free(out);
}

}  // namespace
