// Arena and entry tree: allocation rules, string offsets, totals, paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "arena.h"
#include "tree.h"

TEST(Arena, RoundsEverySizeUpToEight)
{
    qv_arena *a = qv_arena_create(4096);
    ASSERT_NE(a, nullptr);
    struct { uint64_t size, consumed; } cases[] = {{1, 8}, {8, 8}, {9, 16}, {0, 0}, {4095, 4096}};
    for (auto c : cases) {
        qv_arena_reset(a);
        char *p = static_cast<char *>(qv_arena_alloc(a, c.size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(a->used, c.consumed) << c.size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    }
    qv_arena_destroy(a);
}

TEST(Arena, ExactFillStaysThenNextOpensBlock)
{
    qv_arena *a = qv_arena_create(64);
    char *p1 = static_cast<char *>(qv_arena_alloc(a, 64));
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(a->head, a->current);
    char *p2 = static_cast<char *>(qv_arena_alloc(a, 8));
    ASSERT_NE(p2, nullptr);
    EXPECT_NE(a->head, a->current);
    EXPECT_EQ(a->capacity, 128u);
    qv_arena_destroy(a);
}

TEST(Arena, OversizedRequestGetsItsOwnBlockAndNextOpensAnother)
{
    qv_arena *a = qv_arena_create(64);
    ASSERT_NE(qv_arena_alloc(a, 8), nullptr);
    ASSERT_NE(qv_arena_alloc(a, 100), nullptr);  // rounded to 104
    EXPECT_EQ(a->current->capacity, 104u);
    EXPECT_EQ(a->current->used.load(), 104u);
    qv_arena_block *big = a->current;
    ASSERT_NE(qv_arena_alloc(a, 8), nullptr);
    EXPECT_NE(a->current, big);
    EXPECT_EQ(a->current->capacity, 64u);
    qv_arena_destroy(a);
}

TEST(Arena, OverflowingSizesFailWithoutChange)
{
    qv_arena *a = qv_arena_create(64);
    for (uint64_t size : {UINT64_MAX, UINT64_MAX - 6, UINT64_MAX - 100}) {
        EXPECT_EQ(qv_arena_alloc(a, size), nullptr) << size;
    }
    EXPECT_EQ(a->used, 0u);
    EXPECT_EQ(a->head, a->current);
    qv_arena_destroy(a);
}

TEST(Arena, StringOffsetsSpanBlocks)
{
    qv_arena *a = qv_arena_create(32);
    std::vector<std::pair<int32_t, std::string>> stored;
    // 7 bytes take 8, 8 take 16; the 20-byte name does not fit the rest of
    // the first block and opens the next one.
    for (std::string s : {"1234567", "12345678", "abcdefghijklmnopqrst", "", "x"}) {
        int32_t off = qv_arena_store_string(a, s.c_str(), (uint32_t)s.size());
        ASSERT_GE(off, 0);
        EXPECT_EQ(off % 8, 0);
        stored.push_back({off, s});
    }
    EXPECT_EQ(stored[0].first, 0);
    EXPECT_EQ(stored[1].first, 8);
    EXPECT_EQ(stored[2].first, 24);  // sum of used of the first block
    EXPECT_EQ(stored[3].first, 48);
    EXPECT_EQ(stored[4].first, 56);
    for (auto &[off, s] : stored)
        EXPECT_STREQ(qv_arena_get_string(a, (uint32_t)off), s.c_str());
    EXPECT_EQ(qv_arena_get_string(a, 0xFFFFFFFFu), nullptr);
    qv_arena_destroy(a);
}

TEST(Arena, StoreBeyondFourGigabytesOfOffsetsFails)
{
    qv_arena *a = qv_arena_create(64);
    // Pretend the offset space is nearly full: the next store must fail
    // rather than wrap its 32-bit offset.
    a->used = 0xFFFFFFF8ull;
    EXPECT_EQ(qv_arena_store_string(a, "abc", 3), -1);
    qv_entry e{};
    qv_tree_set_name(&e, a, "abc", 3);
    EXPECT_EQ(e.name_offset, QV_NAME_NONE);
    EXPECT_STREQ(qv_tree_get_name(&e, a), "");
    qv_arena_destroy(a);
}

TEST(Arena, ResetReusesBlocks)
{
    qv_arena *a = qv_arena_create(32);
    for (int i = 0; i < 10; i++)
        ASSERT_NE(qv_arena_alloc(a, 16), nullptr);
    uint64_t cap = a->capacity;
    qv_arena_reset(a);
    EXPECT_EQ(a->used, 0u);
    for (int i = 0; i < 10; i++)
        ASSERT_NE(qv_arena_alloc(a, 16), nullptr);
    EXPECT_EQ(a->capacity, cap);
    int32_t off = qv_arena_store_string(a, "after", 5);
    EXPECT_STREQ(qv_arena_get_string(a, (uint32_t)off), "after");
    qv_arena_destroy(a);
    qv_arena_destroy(nullptr);
    qv_arena_reset(nullptr);
}

struct TreeFixture : ::testing::Test {
    qv_scan_result *r = qv_scan_result_create();
    qv_entry *add(qv_entry *parent, const char *name, bool dir, uint64_t size = 0)
    {
        qv_entry *e = qv_tree_new_entry(r->entry_arena);
        e->is_dir = dir;
        e->size = size;
        qv_tree_set_name(e, r->name_arena, name, (int32_t)strlen(name));
        if (parent)
            qv_tree_add_child(parent, e);
        return e;
    }
    ~TreeFixture() override { qv_scan_result_free(r); }
};

TEST_F(TreeFixture, ChildrenListInReverseOfInsertion)
{
    qv_entry *root = add(nullptr, "root", true);
    add(root, "x", false);
    add(root, "y", false);
    add(root, "z", false);
    std::vector<std::string> names;
    for (qv_entry *c = root->first_child; c; c = c->next_sibling) {
        names.push_back(qv_tree_get_name(c, r->name_arena));
        EXPECT_EQ(c->parent, root);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"z", "y", "x"}));
    EXPECT_EQ(qv_tree_child_count(root), 3);
}

TEST_F(TreeFixture, AccumulatesBottomUp)
{
    qv_entry *root = add(nullptr, "root", true);
    add(root, "a", false, 10);
    add(root, "b", false, 20);
    qv_entry *d = add(root, "d", true);
    add(d, "c", false, 5);
    qv_entry *empty = add(root, "empty", true);
    qv_tree_accumulate_sizes(root);
    EXPECT_EQ(root->size, 35u);
    EXPECT_EQ(root->file_count, 3u);
    EXPECT_EQ(root->dir_count, 2u);
    EXPECT_EQ(d->size, 5u);
    EXPECT_EQ(d->file_count, 1u);
    EXPECT_EQ(d->dir_count, 0u);
    EXPECT_EQ(empty->size + empty->file_count + empty->dir_count, 0u);
    qv_tree_accumulate_sizes(nullptr);
}

TEST_F(TreeFixture, SizesBeyondThirtyTwoBits)
{
    qv_entry *root = add(nullptr, "r", true);
    add(root, "big", false, 1ull << 32);
    add(root, "bigger", false, (1ull << 32) + 1);
    qv_tree_accumulate_sizes(root);
    EXPECT_EQ(root->size, (1ull << 33) + 1);
}

TEST_F(TreeFixture, PathsJoinWithSlashOnce)
{
    struct Case {
        const char *root, *child, *grandchild, *want;
    } cases[] = {
        {"D:\\data", "sub", "b.txt", "D:\\data/sub/b.txt"},
        {"D:/", "sub", nullptr, "D:/sub"},
        {"D:\\", "sub", nullptr, "D:\\/sub"},
        {"/", "usr", "lib", "/usr/lib"},
        {"", "a", nullptr, "a"},
    };
    for (const Case &c : cases) {
        qv_entry *root = add(nullptr, c.root, true);
        qv_entry *e = add(root, c.child, true);
        if (c.grandchild)
            e = add(e, c.grandchild, false);
        char buf[256];
        EXPECT_STREQ(qv_tree_get_path(e, r->name_arena, buf, sizeof buf), c.want) << c.root;
    }
}

TEST_F(TreeFixture, PathCutToCapacity)
{
    qv_entry *root = add(nullptr, "/abc", true);
    qv_entry *f = add(root, "file", false);
    char buf[16];
    struct { int32_t cap; const char *want; } cases[] = {
        {1, ""}, {4, "/ab"}, {5, "/abc"}, {6, "/abc/"}, {7, "/abc/f"}, {10, "/abc/file"}, {16, "/abc/file"}};
    for (auto c : cases) {
        memset(buf, 'X', sizeof buf);
        qv_tree_get_path(f, r->name_arena, buf, c.cap);
        EXPECT_STREQ(buf, c.want) << c.cap;
    }
    memset(buf, 'X', sizeof buf);
    qv_tree_get_path(f, r->name_arena, buf, 0);
    qv_tree_get_path(f, r->name_arena, buf, -5);
    EXPECT_EQ(buf[0], 'X');
    qv_tree_get_path(nullptr, r->name_arena, buf, 16);
    EXPECT_STREQ(buf, "");
}

TEST_F(TreeFixture, DeepTreeVisitsNeedNoStack)
{
    // 20,000 levels: accumulation and paths walk parent links, not recursion.
    qv_entry *root = add(nullptr, "r", true);
    qv_entry *e = root;
    for (int i = 0; i < 20000; i++)
        e = add(e, "d", true);
    add(e, "f", false, 7);
    qv_tree_accumulate_sizes(root);
    EXPECT_EQ(root->size, 7u);
    EXPECT_EQ(root->dir_count, 20000u);
    std::vector<char> buf(65536);
    qv_tree_get_path(e->first_child, r->name_arena, buf.data(), (int32_t)buf.size());
    EXPECT_EQ(strlen(buf.data()), 1 + 20000 * 2 + 2u);
}
