// qvdisk -i and what a scan with -e keeps: the documents' "mtime", "uid",
// "gid" and "mode" read into the model, the newest first when sorted by
// time, and shown as ls shows them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "browse.h"
#include "browsemeta.h"

namespace {

std::vector<doc_entry> entries_of(const std::string &doc)
{
    std::vector<doc_entry> out;
    EXPECT_TRUE(read_dir_doc(doc.c_str(), [&](int, const doc_entry &e) { out.push_back(e); })) << doc;
    return out;
}

TEST(BrowseMeta, DocumentsReadIntoEntries)
{
    std::vector<doc_entry> e = entries_of(
        "{\"path\":\"/r\",\"total_size\":5,\"total_files\":2,\"total_dirs\":1,\"scan_time_ms\":1,"
        "\"mtime\":1797067800,\"uid\":0,\"gid\":0,\"mode\":16877,\"children\":["
        "{\"name\":\"d\",\"size\":3,\"files\":1,\"is_dir\":true,\"mtime\":1797000000,\"uid\":1000,\"gid\":100,"
        "\"mode\":17407},"
        "{\"name\":\"f\",\"size\":2,\"files\":1,\"is_dir\":false,\"mtime\":1600000000}]}");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].fields, (unsigned)(DISK_FIELD_MTIME | DISK_FIELD_OWNER));
    EXPECT_EQ(e[0].mtime, 1797067800);
    EXPECT_EQ(e[0].mode, 040755u);
    EXPECT_EQ(e[1].name, "d");
    EXPECT_EQ(e[1].fields, (unsigned)(DISK_FIELD_MTIME | DISK_FIELD_OWNER));
    EXPECT_EQ(e[1].uid, 1000u);
    EXPECT_EQ(e[1].gid, 100u);
    EXPECT_EQ(e[1].mode, 041777u);
    EXPECT_EQ(e[2].fields, (unsigned)DISK_FIELD_MTIME);
    EXPECT_EQ(e[2].mtime, 1600000000);

    // A scan without -e: nothing known; the entry kept from before forgets
    // what the last one had.
    e = entries_of("{\"path\":\"/r\",\"total_size\":1,\"total_files\":1,\"total_dirs\":0,\"children\":["
                   "{\"name\":\"f\",\"size\":1,\"files\":1,\"is_dir\":false}]}");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].fields, 0u);
    EXPECT_EQ(e[1].fields, 0u);
}

TEST(BrowseMeta, ModeAsLsWritesIt)
{
    struct row {
        uint32_t mode;
        const char *text;
    } rows[] = {
        {S_IFREG | 0644, "-rw-r--r--"},
        {S_IFREG | 0000, "----------"},
        {S_IFREG | 0777, "-rwxrwxrwx"},
        {S_IFDIR | 0755, "drwxr-xr-x"},
        {S_IFLNK | 0777, "lrwxrwxrwx"},
        {S_IFCHR | 0620, "crw--w----"},
        {S_IFBLK | 0660, "brw-rw----"},
        {S_IFIFO | 0644, "prw-r--r--"},
        {S_IFSOCK | 0755, "srwxr-xr-x"},
        {S_IFREG | S_ISUID | 0755, "-rwsr-xr-x"},  // setuid with x
        {S_IFREG | S_ISUID | 0644, "-rwSr--r--"},  // without
        {S_IFREG | S_ISGID | 0755, "-rwxr-sr-x"},
        {S_IFDIR | S_ISGID | 0705, "drwx--Sr-x"},
        {S_IFDIR | S_ISVTX | 0777, "drwxrwxrwt"},  // sticky with x, as /tmp
        {S_IFDIR | S_ISVTX | 0770, "drwxrwx--T"},  // without
        {S_IFREG | 07777, "-rwsrwsrwt"},
        {S_IFREG | 07000, "---S--S--T"},
    };
    for (const row &r : rows)
        EXPECT_EQ(mode_text(r.mode), r.text) << std::oct << r.mode;
}

TEST(BrowseMeta, TimeInTheWidthGiven)
{
    // Local time: UTC here, so that the table holds anywhere.
    std::string tz = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const int64_t t = 1796981405;  // 2026-12-11 09:30:05 UTC
    struct row {
        int64_t t;
        int width;
        const char *text;
    } rows[] = {
        {t, 40, "2026-12-11 09:30:05"}, {t, 19, "2026-12-11 09:30:05"}, {t, 18, "2026-12-11 09:30"},
        {t, 16, "2026-12-11 09:30"},    {t, 15, "2026-12-11"},          {t, 10, "2026-12-11"},
        {t, 9, "2026"},                 {t, 4, "2026"},                 {t, 3, ""},
        {t, 0, ""},                     {0, 16, "1970-01-01 00:00"},    {4294967295, 16, "2106-02-07 06:28"},
    };
    for (const row &r : rows)
        EXPECT_EQ(time_text(r.t, r.width), r.text) << r.t << " in " << r.width;
    if (tz.empty())
        unsetenv("TZ");
    else
        setenv("TZ", tz.c_str(), 1);
    tzset();
}

TEST(BrowseMeta, OwnersByNameOrNumber)
{
    EXPECT_EQ(user_shown(0), "root");
    EXPECT_EQ(group_shown(0), "root");
    // No system names these.
    EXPECT_EQ(user_shown(4000000123u), "4000000123");
    EXPECT_EQ(group_shown(4000000123u), "4000000123");
}

// A directory of four entries, loaded, as the model holds it after
// disk_get_dir().
browser with_kids(const std::vector<bnode> &kids)
{
    browser b;
    b.nodes.emplace_back();
    b.nodes[0].is_dir = b.nodes[0].loaded = true;
    for (const bnode &k : kids) {
        b.nodes[0].kids.push_back((int)b.nodes.size());
        b.nodes.push_back(k);
        b.nodes.back().parent = 0;
    }
    return b;
}

bnode node(const char *name, uint64_t size, int64_t mtime, bool timed = true)
{
    bnode n;
    n.name = name;
    n.size = size;
    n.mtime = mtime;
    n.fields = timed ? DISK_FIELD_MTIME : 0;
    return n;
}

std::vector<std::string> shown(const browser &b)
{
    std::vector<std::string> out;
    for (int r : b.rows)
        out.push_back(b.nodes[(size_t)r].name);
    return out;
}

TEST(BrowseMeta, SortedByTimeNewestFirstAgainReversed)
{
    browser b = with_kids({node("big", 900, 100), node("none", 500, 0, false), node("new", 300, 300),
                           node("mid", 200, 200), node("also-mid", 100, 200)});
    refresh_rows(b);
    b.sel = 3;  // "mid" stays selected through the sorts
    set_sort(b, BY_TIME);
    EXPECT_EQ(shown(b), (std::vector<std::string>{"new", "mid", "also-mid", "big", "none"}));
    EXPECT_EQ(b.nodes[(size_t)b.rows[(size_t)b.sel]].name, "mid");
    set_sort(b, BY_TIME);
    EXPECT_TRUE(b.reverse);
    EXPECT_EQ(shown(b), (std::vector<std::string>{"none", "big", "also-mid", "mid", "new"}));
    EXPECT_EQ(b.nodes[(size_t)b.rows[(size_t)b.sel]].name, "mid");
    set_sort(b, BY_SIZE);
    EXPECT_FALSE(b.reverse);
    EXPECT_EQ(shown(b), (std::vector<std::string>{"big", "none", "new", "mid", "also-mid"}));
}

TEST(BrowseMeta, ARescannedDirectoryRaisesTheTimesAboveIt)
{
    browser b = with_kids({node("a", 1, 100)});
    b.nodes[0].fields = DISK_FIELD_MTIME;
    b.nodes[0].mtime = 150;
    b.nodes[1].is_dir = true;
    doc_entry now;
    now.fields = DISK_FIELD_MTIME | DISK_FIELD_OWNER;
    now.mtime = 400;
    now.uid = 5;
    now.mode = S_IFDIR | 0700;
    take_meta(b, 1, now);
    EXPECT_EQ(b.nodes[1].mtime, 400);
    EXPECT_EQ(b.nodes[1].uid, 5u);
    EXPECT_EQ(b.nodes[0].mtime, 400);
    now.mtime = 120;  // older than the root's: the root keeps its own
    take_meta(b, 1, now);
    EXPECT_EQ(b.nodes[1].mtime, 120);
    EXPECT_EQ(b.nodes[0].mtime, 400);
}

}  // namespace
