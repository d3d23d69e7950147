// --compare reads its two saved scans at once (diffrun.cpp): the trees are
// what reading each alone gives, and what is said when one cannot be read
// is what reading them in turn would say, the older file first.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "diffrun.h"
#include "fixture.h"
#include "saved.h"

using namespace qvtest;

namespace {

const std::string OLDER = "{\"path\":\"r\",\"total_size\":3,\"total_files\":1,\"total_dirs\":0,\"scan_time_ms\":0.1,"
                          "\"children\":[{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]}\n";
const std::string NEWER = "{\"path\":\"r\",\"total_size\":7,\"total_files\":2,\"total_dirs\":1,\"scan_time_ms\":0.2,"
                          "\"children\":[{\"name\":\"d\",\"size\":4,\"files\":1,\"is_dir\":true,\"children\":["
                          "{\"name\":\"b\",\"size\":4,\"files\":1,\"is_dir\":false}]},"
                          "{\"name\":\"a\",\"size\":3,\"files\":1,\"is_dir\":false}]}\n";
const std::string CUT = OLDER.substr(0, 70);

std::string put(const TempDir &dir, const std::string &name, const std::string &text)
{
    std::string path = dir / name;
    FILE *f = fopen(path.c_str(), "wb");
    EXPECT_TRUE(f && fwrite(text.data(), 1, text.size(), f) == text.size());
    if (f)
        fclose(f);
    return path;
}

}  // namespace

TEST(LoadSavedPair, ReadsBothAsEachReadsAlone)
{
    TempDir dir;
    std::string o = put(dir, "o.json", OLDER), n = put(dir, "n.json", NEWER);
    sv_tree older, newer;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_saved_pair(o.c_str(), n.c_str(), disk_scan_options{sizeof(disk_scan_options)}, &older, &newer), EXIT_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(sv_text(older) + "\n", OLDER);
    EXPECT_EQ(sv_text(newer) + "\n", NEWER);
}

TEST(LoadSavedPair, TellsTheOlderFileFirst)
{
    TempDir dir;
    std::string good_old = put(dir, "good-old.json", OLDER), good_new = put(dir, "good-new.json", NEWER);
    std::string cut_old = put(dir, "cut-old.json", CUT), cut_new = put(dir, "cut-new.json", CUT);
    std::string missing = dir / "missing.json";
    std::string ends_early = "is not a saved scan: the document ends early at byte 70\n";
    struct row {
        std::string older, newer, said;
    };
    const row rows[] = {
        {cut_old, good_new, "qvdisk: '" + cut_old + "' " + ends_early},
        {cut_old, missing, "qvdisk: '" + cut_old + "' " + ends_early},
        {cut_old, cut_new, "qvdisk: '" + cut_old + "' " + ends_early},
        {good_old, cut_new, "qvdisk: '" + cut_new + "' " + ends_early},
        {good_old, missing, "qvdisk: cannot open '" + missing + "': No such file or directory\n"},
        {missing, good_new, "qvdisk: cannot open '" + missing + "': No such file or directory\n"},
    };
    for (const row &r : rows) {
        sv_tree older, newer;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_saved_pair(r.older.c_str(), r.newer.c_str(), disk_scan_options{sizeof(disk_scan_options)}, &older, &newer), EXIT_USAGE);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.said) << r.older << " " << r.newer;
    }
}
