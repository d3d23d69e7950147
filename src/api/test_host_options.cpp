// The host's options as the library keeps them: one form for each choice,
// members past an older host's struct taken as 0, read back as kept.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "host_options.h"

namespace {

disk_scan_options asked(void (*set)(disk_scan_options &))
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    set(o);
    return o;
}

}  // namespace

TEST(HostOptions, EachChoiceIsKeptInOneForm)
{
    struct Case {
        const char *what;
        void (*set)(disk_scan_options &);
        void (*check)(const disk_scan_options &);
    } cases[] = {
        {"flags read as 0 or 1",
         [](disk_scan_options &o) {
             o.follow_links = -3, o.hard_links_once = 2, o.one_file_system = 255, o.exclude_caches = INT32_MIN;
         },
         [](const disk_scan_options &b) {
             EXPECT_EQ(b.follow_links, 1);
             EXPECT_EQ(b.hard_links_once, 1);
             EXPECT_EQ(b.one_file_system, 1);
             EXPECT_EQ(b.exclude_caches, 1);
         }},
        {"depth as given, however negative", [](disk_scan_options &o) { o.max_depth = -9; },
         [](const disk_scan_options &b) { EXPECT_EQ(b.max_depth, -9); }},
        {"no stall timeout is the default one", [](disk_scan_options &) {},
         [](const disk_scan_options &b) { EXPECT_EQ(b.stall_timeout_ms, DISK_STALL_TIMEOUT_MS); }},
        {"any negative timeout waits for ever", [](disk_scan_options &o) { o.stall_timeout_ms = -250; },
         [](const disk_scan_options &b) { EXPECT_EQ(b.stall_timeout_ms, DISK_STALL_WAIT_FOREVER); }},
        {"a timeout as given", [](disk_scan_options &o) { o.stall_timeout_ms = 1; },
         [](const disk_scan_options &b) { EXPECT_EQ(b.stall_timeout_ms, 1); }},
        {"size on disk", [](disk_scan_options &o) { o.size_kind = DISK_SIZE_ON_DISK; },
         [](const disk_scan_options &b) { EXPECT_EQ(b.size_kind, DISK_SIZE_ON_DISK); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        disk_scan_options in = asked(c.set);
        qv_options kept;
        ASSERT_EQ(qv_options_from_host(&kept, "/x", &in), 0);
        disk_scan_options back{};
        back.struct_size = sizeof back;
        qv_options_to_host(&kept, &back);
        EXPECT_EQ(back.struct_size, sizeof back);
        c.check(back);
        qv_options_release(&kept);
    }
}

// A host built against an older header passes a shorter struct: what lies
// past its end is none of the library's business, whatever the bytes.
TEST(HostOptions, MembersPastAnOlderStructAreZero)
{
    unsigned char raw[sizeof(disk_scan_options)];
    memset(raw, 0x7f, sizeof raw);  // an unknown size kind, a huge pattern count
    disk_scan_options head{};
    head.struct_size = offsetof(disk_scan_options, size_kind);
    head.max_depth = 4;
    head.follow_links = 1;
    memcpy(raw, &head, head.struct_size);
    qv_options kept;
    ASSERT_EQ(qv_options_from_host(&kept, "rel", reinterpret_cast<const disk_scan_options *>(raw)), 0);
    EXPECT_EQ(kept.asked.max_depth, 4);
    EXPECT_EQ(kept.asked.follow_links, 1);
    EXPECT_EQ(kept.asked.size_kind, DISK_SIZE_APPARENT);
    EXPECT_EQ(kept.asked.exclude_count, 0);
    EXPECT_EQ(kept.asked.excludes, nullptr);
    EXPECT_STREQ(kept.path, "rel");
    ASSERT_NE(kept.abs_path, nullptr);
    qv_options_release(&kept);
    qv_options_release(&kept);  // twice is harmless
    EXPECT_EQ(kept.path, nullptr);
}

// The kept patterns are the library's own: the host's may change or go.
TEST(HostOptions, PatternsAreCopies)
{
    char first[] = "*.o", second[] = "node_modules";
    const char *patterns[] = {first, second};
    disk_scan_options in{};
    in.struct_size = sizeof in;
    in.excludes = patterns;
    in.exclude_count = 2;
    qv_options kept;
    ASSERT_EQ(qv_options_from_host(&kept, "/x", &in), 0);
    first[0] = '?';
    patterns[1] = nullptr;
    ASSERT_EQ(kept.asked.exclude_count, 2);
    EXPECT_STREQ(kept.asked.excludes[0], "*.o");
    EXPECT_STREQ(kept.asked.excludes[1], "node_modules");
    qv_options_release(&kept);
}
