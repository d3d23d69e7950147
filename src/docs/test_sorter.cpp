// Tree ordering, largest files and extension breakdown on hand-built trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

#include "handtree.h"
#include "sorter.h"

using qvtest::HandTree;
using qvtest::names_of;

namespace {

// Five siblings whose keys never tie within one mode; sizes around 2^63 show
// that the comparison is unsigned.
struct Row {
    const char *name;
    uint64_t size;
    uint64_t files;
};
const Row ROWS[] = {
    {"", 7, 3},                    // no name: before every named entry
    {"B", 1ull << 63, 0},
    {"a", 10, 1ull << 40},
    {"ab", (1ull << 63) - 1, 1},
    {"\xC3\xA9", 0, 7},            // bytes >= 0x80 after all ASCII
};

// Builds the five under a root, inserted in the given order of ROWS indexes
// (the list then stands reversed, as after a walk).
void add_rows(HandTree &t, const std::vector<int> &order)
{
    for (int i : order) {
        qv_entry *e = t.file(t.root(), ROWS[i].name, ROWS[i].size);
        e->file_count = ROWS[i].files;
    }
}

// Every child points back at e and the list ends.
void expect_well_linked(const qv_entry *e, size_t n)
{
    size_t k = 0;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling, k++) {
        EXPECT_EQ(c->parent, e);
        ASSERT_LE(k, n);
    }
    EXPECT_EQ(k, n);
}

}  // namespace

TEST(SortChildren, EachModeOnEveryInsertionOrder)
{
    struct Case {
        int32_t mode;
        std::vector<std::string> order;
    } cases[] = {
        {SORT_SIZE_DESC, {"B", "ab", "a", "", "\xC3\xA9"}},
        {SORT_NAME, {"", "B", "a", "ab", "\xC3\xA9"}},
        {SORT_FILES_DESC, {"a", "\xC3\xA9", "", "ab", "B"}},
        {SORT_SIZE_ASC, {"\xC3\xA9", "", "a", "ab", "B"}},
    };
    std::vector<int> perm = {0, 1, 2, 3, 4};
    int perms = 0;
    do {
        for (const Case &c : cases) {
            SCOPED_TRACE("mode " + std::to_string(c.mode) + " perm " + std::to_string(perms));
            HandTree t("/r");
            add_rows(t, perm);
            qv_sort_children(t.root(), c.mode);
            EXPECT_EQ(names_of(t.root()), c.order);
            expect_well_linked(t.root(), 5);
        }
        perms++;
    } while (std::next_permutation(perm.begin(), perm.end()));
    EXPECT_EQ(perms, 120);
}

// Files and directories are ordered by the key alone.
TEST(SortChildren, FileBeforeSmallerDirectory)
{
    HandTree t("/r");
    qv_entry *d = t.dir(t.root(), "d");
    t.file(d, "inner", 5);
    t.file(t.root(), "f", 10);
    t.dir(t.root(), "empty");
    t.finish();
    qv_sort_children(t.root(), SORT_SIZE_DESC);
    EXPECT_EQ(names_of(t.root()), (std::vector<std::string>{"f", "d", "empty"}));
}

TEST(SortChildren, ShortListsAndNullAreLeftAlone)
{
    qv_sort_children(nullptr, SORT_NAME);
    HandTree t("/r");
    qv_sort_children(t.root(), SORT_NAME);
    EXPECT_EQ(t.root()->first_child, nullptr);
    qv_entry *only = t.file(t.root(), "z", 1);
    qv_sort_children(t.root(), SORT_SIZE_ASC);
    EXPECT_EQ(t.root()->first_child, only);
    EXPECT_EQ(only->next_sibling, nullptr);
}

// Entries with equal keys keep the order they were listed in, on every
// system (the C library's qsort keeps it on Linux but not on Windows), so
// that a tree document is the same wherever it is made.
TEST(SortChildren, EqualKeysKeepTheirListOrder)
{
    for (int n : {2, 3, 7, 64, 129, 1000}) {
        HandTree t("/r");
        // Inserted last to first: the list stands as f0, f1, ... f(n-1).
        for (int i = n - 1; i >= 0; i--)
            t.file(t.root(), "f" + std::to_string(i), (uint64_t)((i * 7) % 3));
        std::vector<std::string> listed = names_of(t.root());
        ASSERT_EQ(listed.front(), "f0");
        qv_sort_children(t.root(), SORT_SIZE_DESC);
        std::vector<std::string> got = names_of(t.root());
        std::vector<std::string> want;
        for (uint64_t size : {2u, 1u, 0u})
            for (int i = 0; i < n; i++)
                if ((uint64_t)((i * 7) % 3) == size)
                    want.push_back("f" + std::to_string(i));
        EXPECT_EQ(got, want) << n;
        expect_well_linked(t.root(), (size_t)n);
    }
}

// Outside 0 to 3 every pair is equal: the order is open, the list intact.
TEST(SortChildren, UnknownModeKeepsTheSetOfChildren)
{
    for (int32_t mode : {-1, 4, 1000, INT32_MIN}) {
        HandTree t("/r");
        add_rows(t, {0, 1, 2, 3, 4});
        qv_sort_children(t.root(), mode);
        std::vector<std::string> got = names_of(t.root());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<std::string>{"", "B", "a", "ab", "\xC3\xA9"})) << mode;
        expect_well_linked(t.root(), 5);
    }
}

// Keys of every list of a subtree, parent first, in list order.
static void expect_ordered(const qv_entry *e, int32_t mode)
{
    for (const qv_entry *c = e->first_child; c && c->next_sibling; c = c->next_sibling) {
        const qv_entry *n = c->next_sibling;
        switch (mode) {
        case SORT_SIZE_DESC: EXPECT_GE(c->size, n->size); break;
        case SORT_SIZE_ASC: EXPECT_LE(c->size, n->size); break;
        case SORT_FILES_DESC: EXPECT_GE(c->file_count, n->file_count); break;
        case SORT_NAME:
            EXPECT_LE(strcmp(qv_tree_get_name(c), qv_tree_get_name(n)), 0);
            break;
        }
    }
}

TEST(SortTree, EveryDirectoryListIsOrdered)
{
    for (int32_t mode : {SORT_SIZE_DESC, SORT_NAME, SORT_FILES_DESC, SORT_SIZE_ASC}) {
        SCOPED_TRACE(mode);
        HandTree t("/r");
        uint64_t s = 1;
        std::vector<qv_entry *> dirs = {t.root()};
        for (int i = 0; i < 60; i++) {
            qv_entry *parent = dirs[(i * 7) % dirs.size()];
            if (i % 3 == 0)
                dirs.push_back(t.dir(parent, "d" + std::to_string((i * 37) % 101)));
            else
                t.file(parent, "f" + std::to_string((i * 53) % 97), (s = s * 6364136223846793005ull + 1) >> 20);
        }
        t.finish();
        qv_sort_tree(t.root(), mode);
        for (const qv_entry *d : dirs)
            expect_ordered(d, mode);
        // A second ordering gives every list the same keys.
        std::vector<std::vector<uint64_t>> before;
        for (const qv_entry *d : dirs) {
            before.emplace_back();
            for (const qv_entry *c = d->first_child; c; c = c->next_sibling)
                before.back().push_back(mode == SORT_FILES_DESC ? c->file_count : c->size);
        }
        qv_sort_tree(t.root(), mode);
        for (size_t i = 0; i < dirs.size(); i++) {
            std::vector<uint64_t> after;
            for (const qv_entry *c = dirs[i]->first_child; c; c = c->next_sibling)
                after.push_back(mode == SORT_FILES_DESC ? c->file_count : c->size);
            EXPECT_EQ(after, before[i]);
        }
    }
}

// Only directories are descended into: children hung under a file stay put.
TEST(SortTree, NonDirectoriesAreNotVisited)
{
    HandTree t("/r");
    qv_entry *f = t.file(t.root(), "f", 1);
    t.file(f, "x", 1);
    t.file(f, "y", 2);  // listed y, x: not ascending
    qv_entry *g = t.dir(f, "g");  // a directory below a file is not reached
    t.file(g, "g1", 1);
    t.file(g, "g2", 2);
    qv_entry *d = t.dir(t.root(), "d");
    t.file(d, "p", 1);
    t.file(d, "q", 2);
    qv_sort_tree(t.root(), SORT_SIZE_ASC);
    EXPECT_EQ(names_of(f), (std::vector<std::string>{"g", "y", "x"}));
    EXPECT_EQ(names_of(g), (std::vector<std::string>{"g2", "g1"}));
    EXPECT_EQ(names_of(d), (std::vector<std::string>{"p", "q"}));
    qv_sort_tree(nullptr, SORT_SIZE_ASC);
}

// The mode lives per thread: concurrent sorts of different trees in
// different modes do not disturb each other.
TEST(SortTree, ModeIsPerThread)
{
    auto worker = [](int32_t mode, std::atomic<int> *bad) {
        for (int round = 0; round < 200; round++) {
            HandTree t("/r");
            add_rows(t, {2, 0, 4, 1, 3});
            qv_sort_tree(t.root(), mode);
            std::vector<std::string> got = names_of(t.root());
            std::vector<std::string> want = mode == SORT_NAME
                ? std::vector<std::string>{"", "B", "a", "ab", "\xC3\xA9"}
                : std::vector<std::string>{"B", "ab", "a", "", "\xC3\xA9"};
            if (got != want)
                bad->fetch_add(1);
        }
    };
    std::atomic<int> bad{0};
    std::thread a(worker, SORT_NAME, &bad), b(worker, SORT_SIZE_DESC, &bad);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

// --- Largest files ---------------------------------------------------------

namespace {

// Root "/r": big/ (f9 9, sub/ (f4 4)), f7 7, f0 0, f5 5; after the walk the
// list stands reversed.
struct TopTree {
    HandTree t{"/r"};
    TopTree()
    {
        qv_entry *big = t.dir(t.root(), "big");
        t.file(big, "f9", 9);
        qv_entry *sub = t.dir(big, "sub");
        t.file(sub, "f4", 4);
        t.file(t.root(), "f7", 7);
        t.file(t.root(), "f0", 0);
        t.file(t.root(), "f5", 5);
        t.dir(t.root(), "emptydir");
        t.finish();
    }
};

std::vector<std::string> top_names(qv_entry *root, int32_t n, int32_t *count)
{
    *count = -12345;
    qv_entry **arr = qv_top_files(root, n, count);
    std::vector<std::string> out;
    for (int32_t i = 0; i < *count; i++)
        out.push_back(qv_tree_get_name(arr[i]));
    if (*count == 0) {
        EXPECT_EQ(arr, nullptr);
    }
    free(arr);
    return out;
}

}  // namespace

TEST(TopFiles, CountsOfN)
{
    struct Case {
        int32_t n;
        std::vector<std::string> want;
    } cases[] = {
        {0, {}},
        {-1, {}},
        {INT32_MIN, {}},
        {1, {"f9"}},
        {3, {"f9", "f7", "f5"}},
        {5, {"f9", "f7", "f5", "f4", "f0"}},
        {6, {"f9", "f7", "f5", "f4", "f0"}},
        {1000, {"f9", "f7", "f5", "f4", "f0"}},
        {INT32_MAX, {"f9", "f7", "f5", "f4", "f0"}},  // every file, not a failed allocation
    };
    TopTree tt;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        int32_t count;
        EXPECT_EQ(top_names(tt.t.root(), c.n, &count), c.want);
        EXPECT_EQ(count, (int32_t)c.want.size());
    }
    int32_t count = 7;
    EXPECT_EQ(qv_top_files(nullptr, 5, &count), nullptr);
    EXPECT_EQ(count, 0);
}

TEST(TopFiles, DirectoriesOnlyGiveNothing)
{
    HandTree t("/r");
    qv_entry *a = t.dir(t.root(), "a");
    t.dir(a, "b");
    t.dir(t.root(), "c");
    t.finish();
    int32_t count;
    EXPECT_TRUE(top_names(t.root(), INT32_MAX, &count).empty());
    EXPECT_EQ(count, 0);
}

// Strict comparisons: at the cut-off, the equal-sized files visited first
// stay. The visit is depth-first in list order.
TEST(TopFiles, TiesAtTheCutOffKeepTheFirstVisited)
{
    struct Case {
        int32_t n;
        std::vector<std::string> want_set;  // the selection; order checked by size
    } cases[] = {
        {1, {"x"}},
        {2, {"x", "y"}},
        {3, {"x", "y", "d/z"}},
        {4, {"x", "y", "d/z", "w"}},
        {5, {"x", "y", "d/z", "w", "small"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        HandTree t("/r");
        // Inserted in reverse, so the list reads: x, y, d (z), w, small.
        t.file(t.root(), "small", 1);
        t.file(t.root(), "w", 7);
        qv_entry *d = t.dir(t.root(), "d");
        t.file(d, "z", 7);
        t.file(t.root(), "y", 7);
        t.file(t.root(), "x", 7);
        t.finish();
        int32_t count;
        qv_entry **arr = qv_top_files(t.root(), c.n, &count);
        ASSERT_EQ(count, (int32_t)c.want_set.size());
        std::set<std::string> got;
        char path[256];
        for (int32_t i = 0; i < count; i++) {
            std::string p = qv_tree_get_path(arr[i], path, sizeof path);
            got.insert(p.substr(3));
            if (i > 0) {
                EXPECT_GE(arr[i - 1]->size, arr[i]->size);
            }
        }
        EXPECT_EQ(got, std::set<std::string>(c.want_set.begin(), c.want_set.end()));
        free(arr);
    }
}

// Sifting up is strict too: with a, b of equal size kept, b stays in the
// slot below a, so the larger c that follows displaces a, not b.
TEST(TopFiles, EqualSizesAreNeverSwapped)
{
    HandTree t("/r");
    t.file(t.root(), "c", 9);
    t.file(t.root(), "b", 5);
    t.file(t.root(), "a", 5);  // list: a, b, c
    t.finish();
    int32_t count;
    EXPECT_EQ(top_names(t.root(), 2, &count), (std::vector<std::string>{"c", "b"}));
}

// Sifting down takes the left child when both are equal: after p is
// displaced by c, a (left) moves up and is the one d displaces; b stays.
TEST(TopFiles, SiftDownPrefersTheLeftChildOnEqualSizes)
{
    HandTree t("/r");
    for (auto [name, size] : {std::pair{"d", 6}, {"c", 9}, {"b", 5}, {"a", 5}, {"p", 1}})
        t.file(t.root(), name, (uint64_t)size);  // list: p, a, b, c, d
    t.finish();
    int32_t count;
    EXPECT_EQ(top_names(t.root(), 3, &count), (std::vector<std::string>{"c", "d", "b"}));
}

TEST(TopFiles, LargestFirstAcrossManyFiles)
{
    HandTree t("/r");
    std::vector<uint64_t> sizes;
    uint64_t s = 99;
    std::vector<qv_entry *> dirs = {t.root()};
    for (int i = 0; i < 3000; i++) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        if (i % 10 == 0)
            dirs.push_back(t.dir(dirs[s % dirs.size()], "d"));
        uint64_t size = (s >> 33) % 5000 + ((i % 100 == 0) ? (1ull << 63) : 0);
        t.file(dirs[(s >> 7) % dirs.size()], "f", size);
        sizes.push_back(size);
    }
    t.finish();
    std::sort(sizes.rbegin(), sizes.rend());
    for (int32_t n : {1, 10, 100, 2999, 3000, 5000}) {
        int32_t count;
        qv_entry **arr = qv_top_files(t.root(), n, &count);
        ASSERT_EQ(count, std::min(n, 3000));
        for (int32_t i = 0; i < count; i++)
            ASSERT_EQ(arr[i]->size, sizes[i]) << "n " << n << " i " << i;
        free(arr);
    }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_SANITIZED 1
#endif

#if defined(__linux__) && !defined(QV_SANITIZED)
// With the address space held to 1 GiB beyond what is in use, N = 2^31-1
// (16 GiB of slots) still returns every file: the heap is sized by the files
// found, not by N. Sanitizers reserve terabytes, so they skip this.
TEST(TopFiles, HugeNInAModestAddressSpace)
{
    TopTree tt;
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    ASSERT_GT(pages, 0u);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit lim = old;
    lim.rlim_cur = pages * (uint64_t)sysconf(_SC_PAGESIZE) + (1ull << 30);
    if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < lim.rlim_cur)
        GTEST_SKIP() << "address space already limited";
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lim), 0);
    int32_t count = 0;
    qv_entry **arr = qv_top_files(tt.t.root(), INT32_MAX, &count);
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(count, 5);
    EXPECT_NE(arr, nullptr);
    free(arr);
}
#endif

// A file as the root is itself the one candidate.
TEST(TopFiles, FileAsRoot)
{
    HandTree t("/r");
    t.root()->is_dir = 0;
    t.root()->size = 42;
    int32_t count;
    qv_entry **arr = qv_top_files(t.root(), 3, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(arr[0], t.root());
    free(arr);
}

// --- Extension breakdown -----------------------------------------------------

namespace {

struct Ext {
    uint64_t total;
    uint64_t count;
    bool operator==(const Ext &o) const { return total == o.total && count == o.count; }
};

std::map<std::string, Ext> breakdown(qv_entry *root, std::vector<std::string> *order = nullptr)
{
    int32_t count = -5;
    qv_ext_info *arr = qv_extension_breakdown(root, &count);
    std::map<std::string, Ext> out;
    for (int32_t i = 0; i < count; i++) {
        EXPECT_TRUE(out.emplace(arr[i].ext, Ext{arr[i].total_size, arr[i].count}).second) << arr[i].ext;
        if (i > 0) {
            EXPECT_GE(arr[i - 1].total_size, arr[i].total_size);
        }
        if (order)
            order->push_back(arr[i].ext);
    }
    if (count == 0) {
        EXPECT_EQ(arr, nullptr);
    }
    EXPECT_GE(count, 0);
    qv_extension_breakdown_free(arr, count);
    return out;
}

}  // namespace

TEST(Extensions, LastDotRule)
{
    HandTree t("/r.d");  // the root is a directory: its dot never counts
    const struct {
        const char *name;
        uint64_t size;
    } files[] = {
        {"report.tar.gz", 100},
        {"notes.final.txt", 20},
        {"notes.", 3},
        {".profile", 1000},
        {".config.json", 40},
        {"a.JPG", 5},
        {"b.jpg", 6},
        {"c.jpg", 0},
        {"Makefile", 2000},
        {"...", 7},            // last dot not first: a lone dot
        {"\xC3\xA9.\xC3\xA9", 8},
        {"x.tab\tname", 9},
    };
    for (const auto &f : files)
        t.file(t.root(), f.name, f.size);
    qv_entry *d = t.dir(t.root(), "dir.withdot");
    t.file(d, "inner.gz", 1ull << 32);
    t.dir(d, "sub.txt");
    t.finish();

    std::map<std::string, Ext> want = {
        {".gz", {100 + (1ull << 32), 2}},
        {".txt", {20, 1}},
        {".", {3 + 7, 2}},
        {".json", {40, 1}},
        {".JPG", {5, 1}},
        {".jpg", {6, 2}},
        {".\xC3\xA9", {8, 1}},
        {".tab\tname", {9, 1}},
    };
    std::vector<std::string> order;
    EXPECT_EQ(breakdown(t.root(), &order), want);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), ".gz");
}

TEST(Extensions, NothingToCount)
{
    HandTree t("/r");
    EXPECT_TRUE(breakdown(t.root()).empty());  // empty root
    t.file(t.root(), ".bashrc", 5);
    t.file(t.root(), "README", 5);
    t.dir(t.root(), "a.b");
    t.file(t.root(), "", 5);  // no name at all
    t.finish();
    EXPECT_TRUE(breakdown(t.root()).empty());
    int32_t count = 3;
    EXPECT_EQ(qv_extension_breakdown(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0);
    qv_extension_breakdown_free(nullptr, 3);
}

// More extensions than buckets, with colliding chains: each keeps its own totals.
TEST(Extensions, ManyDistinctExtensions)
{
    HandTree t("/r");
    for (int i = 0; i < 10000; i++) {
        t.file(t.root(), "f.e" + std::to_string(i), (uint64_t)i);
        t.file(t.root(), "g.e" + std::to_string(i), 1);
    }
    t.finish();
    std::map<std::string, Ext> got = breakdown(t.root());
    ASSERT_EQ(got.size(), 10000u);
    for (int i = 0; i < 10000; i++)
        ASSERT_EQ(got[".e" + std::to_string(i)], (Ext{(uint64_t)i + 1, 2})) << i;
}

TEST(Extensions, CompareByTotalUnsigned)
{
    qv_ext_info big{nullptr, 1ull << 63, 1}, small{nullptr, 5, 100}, same{nullptr, 5, 1};
    EXPECT_LT(cmp_ext_info(&big, &small), 0);
    EXPECT_GT(cmp_ext_info(&small, &big), 0);
    EXPECT_EQ(cmp_ext_info(&small, &same), 0);
}

// --- Any depth --------------------------------------------------------------

// 16,000 nested directories on a 1 MiB stack: ordering, selection and
// breakdown all finish and see the bottom.
TEST(Deep, SixteenThousandLevelsOnASmallStack)
{
    HandTree t("/deep");
    qv_entry *d = t.root();
    for (int i = 0; i < 16000; i++) {
        t.file(d, "s.b", 1);
        t.file(d, "s.a", 2);
        d = t.dir(d, "d");
    }
    qv_entry *bottom = t.file(d, "bottom.bin", 1ull << 40);
    t.finish();
    std::vector<std::string> top_list;
    int32_t top_count = 0, ext_count = 0;
    std::map<std::string, Ext> exts;
    qv_entry *first = nullptr;
    qvtest::run_on_small_stack([&] {
        qv_sort_tree(t.root(), SORT_SIZE_ASC);
        qv_sort_tree(t.root(), SORT_SIZE_DESC);
        qv_entry **arr = qv_top_files(t.root(), INT32_MAX, &top_count);
        first = top_count ? arr[0] : nullptr;
        free(arr);
        qv_ext_info *x = qv_extension_breakdown(t.root(), &ext_count);
        for (int32_t i = 0; i < ext_count; i++)
            exts[x[i].ext] = Ext{x[i].total_size, x[i].count};
        qv_extension_breakdown_free(x, ext_count);
    });
    EXPECT_EQ(top_count, 32001);
    EXPECT_EQ(first, bottom);
    EXPECT_EQ(exts, (std::map<std::string, Ext>{{".bin", {1ull << 40, 1}}, {".a", {32000, 16000}}, {".b", {16000, 16000}}}));
    // Every level now lists the directory (which holds the big file) first.
    int levels = 0;
    for (const qv_entry *e = t.root(); e->first_child && e->first_child->is_dir; e = e->first_child) {
        ASSERT_EQ(names_of(e), (std::vector<std::string>{"d", "s.a", "s.b"})) << levels;
        levels++;
    }
    EXPECT_EQ(levels, 16000);
}
