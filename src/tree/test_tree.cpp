// Arena and entry tree: allocation rules, names, totals, paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "arena.h"
#include "tree.h"

TEST(Arena, RoundsEverySizeUpToEight)
{
    qv_arena *a = qv_arena_create(4096, 4096);
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

TEST(Arena, BlocksDoubleUpToTheCeiling)
{
    qv_arena *a = qv_arena_create(64, 256);
    // 64 bytes fill the first block, 128 take two, 256 four; the ceiling
    // keeps the next at 256.
    for (int i = 0; i < 1 + 2 + 4 + 1; i++)
        ASSERT_NE(qv_arena_alloc(a, 64), nullptr);
    uint64_t total = 0;
    std::vector<uint64_t> chain;
    for (qv_arena_block *b = a->head; b; b = b->next) {
        chain.push_back(b->capacity);
        total += b->capacity;
    }
    EXPECT_EQ(chain, (std::vector<uint64_t>{64, 128, 256, 256}));
    EXPECT_EQ(a->capacity, total);
    EXPECT_EQ(a->used, 8u * 64u);
    qv_arena_destroy(a);
}

TEST(Arena, OversizedRequestGetsItsOwnBlock)
{
    qv_arena *a = qv_arena_create(64, 64);
    ASSERT_NE(qv_arena_alloc(a, 8), nullptr);
    ASSERT_NE(qv_arena_alloc(a, 100), nullptr);  // rounded to 104
    EXPECT_EQ(a->current->capacity, 104u);
    EXPECT_EQ(a->current->used, 104u);
    qv_arena_block *big = a->current;
    ASSERT_NE(qv_arena_alloc(a, 8), nullptr);
    EXPECT_NE(a->current, big);
    EXPECT_EQ(a->current->capacity, 64u);
    qv_arena_destroy(a);
}

TEST(Arena, OverflowingSizesFailWithoutChange)
{
    qv_arena *a = qv_arena_create(64, 64);
    for (uint64_t size : {UINT64_MAX, UINT64_MAX - 6, UINT64_MAX - 100}) {
        EXPECT_EQ(qv_arena_alloc(a, size), nullptr) << size;
    }
    EXPECT_EQ(a->used, 0u);
    EXPECT_EQ(a->head, a->current);
    qv_arena_destroy(a);
}

TEST(Arena, ResetReusesBlocks)
{
    qv_arena *a = qv_arena_create(32, 32);
    for (int i = 0; i < 10; i++)
        ASSERT_NE(qv_arena_alloc(a, 16), nullptr);
    uint64_t cap = a->capacity;
    qv_arena_reset(a);
    EXPECT_EQ(a->used, 0u);
    for (int i = 0; i < 10; i++)
        ASSERT_NE(qv_arena_alloc(a, 16), nullptr);
    EXPECT_EQ(a->capacity, cap);
    qv_arena_destroy(a);
    qv_arena_destroy(nullptr);
    qv_arena_reset(nullptr);
}

TEST(Entry, NamesLiveWithTheirEntriesAcrossBlocks)
{
    // Names of every length from empty to past the first block, stored in a
    // small arena so that they spread over many blocks; each stays readable,
    // NUL-terminated, and the entry's fields start zeroed.
    qv_arena *a = qv_arena_create(128, 1024);
    std::vector<std::pair<qv_entry *, std::string>> made;
    for (size_t len = 0; len < 300; len += 7) {
        std::string name(len, 'a');
        for (size_t i = 0; i < len; i++)
            name[i] = (char)('a' + (i * 7 + len) % 26);
        qv_entry *e = qv_tree_new_entry(a, name.data(), (uint32_t)name.size());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % 8, 0u);
        EXPECT_EQ(e->parent, nullptr);
        EXPECT_EQ(e->size + e->file_count + e->dir_count + e->is_dir + e->depth, 0u);
        made.push_back({e, name});
    }
    for (auto &[e, name] : made) {
        EXPECT_EQ(e->name_len, name.size());
        EXPECT_EQ(std::string(qv_tree_get_name(e)), name);
    }
    // A text of 64 KiB and more (only a root's can be) is kept whole, and
    // so is every path below it.
    for (size_t len : {(size_t)QV_NAME_MAX - 1, (size_t)QV_NAME_MAX, (size_t)QV_NAME_MAX + 1, (size_t)200000}) {
        std::string huge(len, 'z');
        qv_entry *e = qv_tree_new_entry(a, huge.data(), (uint32_t)huge.size());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(qv_tree_name_len(e), len);
        EXPECT_EQ(std::string(qv_tree_get_name(e)), huge);
        qv_entry *c = qv_tree_new_entry(a, "c", 1);
        qv_tree_add_child(e, c);
        std::vector<char> buf(len + 8);
        EXPECT_EQ(std::string(qv_tree_get_path(c, buf.data(), (int32_t)buf.size())), huge + "/c");
    }
    qv_arena_destroy(a);
}

struct TreeFixture : ::testing::Test {
    qv_scan_result *r = qv_scan_result_create();
    qv_entry *add(qv_entry *parent, const char *name, bool dir, uint64_t size = 0)
    {
        qv_entry *e = qv_tree_new_entry(qv_scan_result_first_arena(r), name, (uint32_t)strlen(name));
        e->is_dir = dir;
        e->size = size;
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
        names.push_back(qv_tree_get_name(c));
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
        EXPECT_STREQ(qv_tree_get_path(e, buf, sizeof buf), c.want) << c.root;
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
        qv_tree_get_path(f, buf, c.cap);
        EXPECT_STREQ(buf, c.want) << c.cap;
    }
    memset(buf, 'X', sizeof buf);
    qv_tree_get_path(f, buf, 0);
    qv_tree_get_path(f, buf, -5);
    EXPECT_EQ(buf[0], 'X');
    qv_tree_get_path(nullptr, buf, 16);
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
    qv_tree_get_path(e->first_child, buf.data(), (int32_t)buf.size());
    EXPECT_EQ(strlen(buf.data()), 1 + 20000 * 2 + 2u);
}
