#include <gtest/gtest.h>

#include <cstdint>

#include "vec.h"

TEST(Vec, KeepsEveryItemAcrossGrowth)
{
    qv_vec<uint32_t> v;
    for (uint32_t i = 0; i < 100000; i++)
        ASSERT_TRUE(v.push(i * 3));
    ASSERT_EQ(v.size(), 100000u);
    for (uint32_t i = 0; i < 100000; i++)
        ASSERT_EQ(v[i], i * 3) << i;
    qv_vec<uint32_t> w;
    ASSERT_TRUE(w.push(7));
    ASSERT_TRUE(w.append(v));
    EXPECT_EQ(w.size(), 100001u);
    EXPECT_EQ(w[0], 7u);
    EXPECT_EQ(w.back(), 99999u * 3);
}

TEST(Vec, FailedGrowthLeavesTheArrayAsItWas)
{
    qv_vec<uint64_t> v;
    ASSERT_TRUE(v.push(1));
    ASSERT_TRUE(v.push(2));
    uint64_t *before = v.items;
    size_t cap = v.cap;
    // More items than the address space holds, then more than malloc gives.
    EXPECT_FALSE(v.reserve(SIZE_MAX / sizeof(uint64_t) + 1));
    EXPECT_FALSE(v.reserve(SIZE_MAX / sizeof(uint64_t) / 2));
    EXPECT_FALSE(v.resize(SIZE_MAX / sizeof(uint64_t) / 2));
    EXPECT_EQ(v.items, before);
    EXPECT_EQ(v.cap, cap);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0] + v[1], 3u);
}

// An array used by index (a value per depth) is resized rather than pushed
// to: what was set before the growth stays set.
TEST(Vec, ResizeKeepsWhatWasSet)
{
    qv_vec<uint32_t> v;
    ASSERT_TRUE(v.resize(3));
    for (uint32_t i = 0; i < 3; i++)
        v[i] = i + 10;
    ASSERT_TRUE(v.resize(5000));
    EXPECT_EQ(v.size(), 5000u);
    EXPECT_GE(v.cap, 5000u);
    EXPECT_EQ(v[0] + v[1] + v[2], 33u);
    v[4999] = 1;
    ASSERT_TRUE(v.resize(2));  // shorter: no memory given back
    EXPECT_EQ(v.size(), 2u);
    EXPECT_GE(v.cap, 5000u);
    EXPECT_EQ(v[1], 11u);
}

TEST(Vec, MoveLeavesTheSourceEmpty)
{
    qv_vec<int> a;
    ASSERT_TRUE(a.push(5));
    qv_vec<int> b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.items, nullptr);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0], 5);
    a = std::move(b);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a.pop(), 5);
}
