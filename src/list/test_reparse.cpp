// The rule for reparse points on a table of the tags Windows machines carry.
// Wine can make none of the non-link tags, so the rule is tested as a pure
// function here, on every platform.
#include <gtest/gtest.h>

#include <cstdint>

#include "reparse.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr uint32_t FILE_ = 0x20;  // FILE_ATTRIBUTE_ARCHIVE: an ordinary file
constexpr uint32_t DIR = QV_ATTR_DIRECTORY;
constexpr uint32_t RP = QV_ATTR_REPARSE_POINT;

struct Case {
    const char *what;
    uint32_t attrs, tag;
    int unfollowed, followed;  // the action with follow_links 0 and 1
};

// Tag values as Windows defines them (winnt.h, ntifs.h).
const Case kCases[] = {
    {"plain file", FILE_, 0, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"plain directory", DIR, 0, QV_CHILD_KEEP, QV_CHILD_KEEP},
    // A tag is read only with the reparse-point attribute.
    {"plain file, stray tag", FILE_, 0xA000000Cu, QV_CHILD_KEEP, QV_CHILD_KEEP},
    // Links: name surrogates.
    {"symbolic link to a file", FILE_ | RP, 0xA000000Cu, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"symbolic link to a directory", DIR | RP, 0xA000000Cu, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"junction or mounted volume", DIR | RP, 0xA0000003u, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"WSL symbolic link", FILE_ | RP, 0xA000001Du, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"container link (WCI_LINK)", FILE_ | RP, 0xA0000027u, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"global reparse", DIR | RP, 0xA0000019u, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    {"a third party's name surrogate", DIR | RP, 0x20001234u, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    // A tag that could not be read is taken as a link: never a loop.
    {"unknown tag", DIR | RP, 0, QV_CHILD_SKIP, QV_CHILD_FOLLOW},
    // The data of the file or directory itself: ordinary.
    {"OneDrive file (CLOUD_3)", FILE_ | RP, 0x9000301Au, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"OneDrive folder (CLOUD_3)", DIR | RP, 0x9000301Au, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"cloud file (CLOUD)", FILE_ | RP, 0x9000001Au, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"cloud folder (CLOUD_F)", DIR | RP, 0x9000F01Au, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"old OneDrive tag", FILE_ | RP, 0x80000021u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"deduplicated file", FILE_ | RP, 0x80000013u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"WOF-compressed system file", FILE_ | RP, 0x80000017u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"app execution alias", FILE_ | RP, 0x8000001Bu, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"projected file system folder", DIR | RP, 0x9000001Cu, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"hierarchical storage (HSM)", FILE_ | RP, 0xC0000004u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"single-instance storage", FILE_ | RP, 0x80000007u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"Unix socket", FILE_ | RP, 0x80000023u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"DFS replication", DIR | RP, 0x80000012u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"container isolation (WCI)", DIR | RP, 0x80000018u, QV_CHILD_KEEP, QV_CHILD_KEEP},
    {"storage sync", FILE_ | RP, 0x8000001Eu, QV_CHILD_KEEP, QV_CHILD_KEEP},
};

}  // namespace

TEST(ReparseRule, LinksAloneAreSkippedOrFollowed)
{
    for (const Case &c : kCases) {
        EXPECT_EQ(qv_reparse_action(c.attrs, c.tag, 0), c.unfollowed) << c.what;
        EXPECT_EQ(qv_reparse_action(c.attrs, c.tag, 1), c.followed) << c.what;
        // Any non-zero follow_links follows.
        EXPECT_EQ(qv_reparse_action(c.attrs, c.tag, 7), c.followed) << c.what;
        // Other attribute bits (hidden, system, offline, recall on access,
        // pinned) change nothing.
        uint32_t more = 0x2u | 0x4u | 0x1000u | 0x400000u | 0x80000u;
        EXPECT_EQ(qv_reparse_action(c.attrs | more, c.tag, 0), c.unfollowed) << c.what;
    }
}

#ifdef _WIN32
// The local constants are the system's, and the rule agrees with
// IsReparseTagNameSurrogate on every tag of the table.
TEST(ReparseRule, ConstantsAreTheSystems)
{
    EXPECT_EQ(QV_ATTR_DIRECTORY, (uint32_t)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(QV_ATTR_REPARSE_POINT, (uint32_t)FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(QV_TAG_MOUNT_POINT, (uint32_t)IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(QV_TAG_SYMLINK, (uint32_t)IO_REPARSE_TAG_SYMLINK);
    EXPECT_EQ(0x9000301Au, (uint32_t)IO_REPARSE_TAG_CLOUD_3);
    EXPECT_EQ(0x80000013u, (uint32_t)IO_REPARSE_TAG_DEDUP);
    EXPECT_EQ(0x80000017u, (uint32_t)IO_REPARSE_TAG_WOF);
    for (const Case &c : kCases) {
        if (!(c.attrs & RP) || c.tag == 0)
            continue;
        bool link = IsReparseTagNameSurrogate(c.tag);
        EXPECT_EQ(qv_reparse_action(c.attrs, c.tag, 0) == QV_CHILD_SKIP, link) << c.what;
    }
}
#endif
