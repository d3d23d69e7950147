// What --mounts makes of the kernel's mount table, and how it shows it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "mounts.h"

namespace {

TEST(Mountinfo, LinesAreReadFieldByField)
{
    const struct {
        const char *line;
        bool ok;
        const char *point, *device, *type, *root, *dev;
        const char *what;
    } cases[] = {
        {"28 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard", true, "/", "/dev/vda", "ext4", "/", "254:0",
         "no optional fields"},
        {"36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue", true,
         "/mnt/parent", "/dev/root", "ext3", "/mnt1", "98:0", "optional fields before the separator"},
        {"46 28 0:41 / /mnt/my\\040disk rw - tmpfs my\\040tmp rw", true, "/mnt/my disk", "my tmp", "tmpfs", "/",
         "0:41", "spaces written as \\040"},
        {"47 28 0:42 /a\\134b /t\\011a\\012b rw - fuse.sshfs u@h:/x\\040y rw", true, "/t\ta\nb", "u@h:/x y",
         "fuse.sshfs", "/a\\b", "0:42", "tab, newline and backslash"},
        {"48 28 0:43 / /odd\\9\\400\\04 rw - tmpfs tmpfs rw", true, "/odd\\9\\400\\04", "tmpfs", "tmpfs", "/", "0:43",
         "a backslash not before a byte's three octal digits is kept"},
        {"49 28 0:44 / /trail\\ rw - tmpfs tmpfs rw", true, "/trail\\", "tmpfs", "tmpfs", "/", "0:44",
         "a backslash at the end"},
        {"50 28 0:45 / /x rw shared:1 - tmpfs", true, "/x", "", "tmpfs", "/", "0:45", "no source"},
        {"51 28 0:46 / /x rw shared:1 tmpfs tmpfs rw", false, "", "", "", "", "", "no separator"},
        {"52 28 0:47 / /x rw -", false, "", "", "", "", "", "nothing after the separator"},
        {"53 28 / /x rw - tmpfs tmpfs rw", false, "", "", "", "", "", "a field missing"},
        {"", false, "", "", "", "", "", "an empty line"},
    };
    for (const auto &c : cases) {
        mount_entry m;
        ASSERT_EQ(parse_mountinfo_line(c.line, &m), c.ok) << c.what;
        if (!c.ok)
            continue;
        EXPECT_EQ(m.point, c.point) << c.what;
        EXPECT_EQ(m.device, c.device) << c.what;
        EXPECT_EQ(m.type, c.type) << c.what;
        EXPECT_EQ(m.fs_root, c.root) << c.what;
        EXPECT_EQ(m.dev_id, c.dev) << c.what;
    }
}

TEST(Mountinfo, KernelFileSystemsHiddenMountsAndBindMountsAreLeftOut)
{
    const char *text =
        "22 28 0:21 / /proc rw - proc proc rw\n"
        "23 28 0:22 / /sys rw - sysfs sysfs rw\n"
        "24 28 0:6 / /dev rw - devtmpfs devtmpfs rw\n"
        "26 24 0:24 / /dev/shm rw - tmpfs tmpfs rw,size=100k\n"
        "27 24 0:25 / /dev/pts rw - devpts devpts rw\n"
        "28 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "31 26 0:28 / /dev/shm rw - tmpfs shm2 rw,size=200k\n"
        "33 23 0:30 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
        "34 23 0:31 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
        "35 28 8:1 /home /srv/home rw - ext4 /dev/sda1 rw\n"
        "36 28 8:2 /data/x /b/longer rw - xfs /dev/sdb rw\n"
        "37 28 8:2 /data/x /b rw - xfs /dev/sdb rw\n"
        "38 28 0:50 / /mnt/with\\040space rw - tmpfs tmpfs rw\n"
        "39 28 0:51 / /mnt/share rw master:3 - fuse.sshfs me@host:/ rw\n"
        "40 28 0:52 / /proc/sys/fs/binfmt_misc rw - binfmt_misc binfmt_misc rw\n"
        "not a mount line\n";
    std::vector<std::string> points, devices;
    for (const mount_entry &m : mounts_from_mountinfo(text)) {
        points.push_back(m.point);
        devices.push_back(m.device);
    }
    // /dev/shm: the later mount, which hides the first; /srv/home: a part of
    // / bound elsewhere; /b: the shorter of two binds of one part of sdb.
    EXPECT_EQ(points, (std::vector<std::string>{"/dev/shm", "/", "/b", "/mnt/with space", "/mnt/share"}));
    EXPECT_EQ(devices, (std::vector<std::string>{"shm2", "/dev/sda1", "/dev/sdb", "tmpfs", "me@host:/"}));
}

mount_entry read_mount(const char *point, uint64_t size, uint64_t used, uint64_t free)
{
    mount_entry m;
    m.point = point;
    m.device = "/dev/x";
    m.type = "ext4";
    m.state = MOUNT_READ;
    m.size = size;
    m.used = used;
    m.free = free;
    return m;
}

TEST(Mounts, UseIsRoundedUpAsDfDoes)
{
    EXPECT_EQ(use_percent(read_mount("/", 1000, 1, 999)), "1%");
    EXPECT_EQ(use_percent(read_mount("/", 1000, 0, 1000)), "0%");
    EXPECT_EQ(use_percent(read_mount("/", 1000, 500, 500)), "50%");
    // Blocks kept for root count in neither: used against used + free.
    EXPECT_EQ(use_percent(read_mount("/", 1000, 600, 300)), "67%");
    EXPECT_EQ(use_percent(read_mount("/", 1000, 999, 0)), "100%");
    EXPECT_EQ(use_percent(read_mount("/", 0, 0, 0)), "-");
    mount_entry silent = read_mount("/", 10, 5, 5);
    silent.state = MOUNT_SILENT;
    EXPECT_EQ(use_percent(silent), "-");
}

TEST(Mounts, LargestFirstThoseWithoutFiguresLast)
{
    mount_entry silent = read_mount("/a-dead", 0, 0, 0);
    silent.state = MOUNT_SILENT;
    std::vector<mount_entry> ms = {silent, read_mount("/small", 10, 1, 9), read_mount("/big", 1000, 1, 9),
                                   read_mount("/also-small", 10, 5, 5)};
    sort_mounts(&ms);
    std::vector<std::string> points;
    for (const mount_entry &m : ms)
        points.push_back(m.point);
    EXPECT_EQ(points, (std::vector<std::string>{"/big", "/also-small", "/small", "/a-dead"}));
}

TEST(Mounts, TableKeepsColumnsAndSaysWhatDidNotAnswer)
{
    mount_entry silent = read_mount("/mnt/dead", 0, 0, 0);
    silent.state = MOUNT_SILENT;
    mount_entry failed = read_mount("/mnt/shut", 0, 0, 0);
    failed.state = MOUNT_FAILED;
    failed.error = EACCES;
    std::string long_point = "/mnt/" + std::string(50, 'l');
    std::vector<mount_entry> ms = {read_mount("/", 3221225472, 1073741824, 2147483648),
                                   read_mount(long_point.c_str(), 1048576, 0, 1048576), silent, failed};
    ms[1].device = "evil\x1b[2J";
    std::string human = mounts_table(ms, false, 2500, style{});
    // The long mount point is whole, its figures under their columns below;
    // its device widens no column.
    EXPECT_EQ(human, "mount point  device  type     size     used     free  use%\n"
                     "/            /dev/x  ext4  3.0 GiB  1.0 GiB  2.0 GiB   34%\n" +
                         long_point + "  evil?[2J  ext4\n"
                                      "                           1.0 MiB      0 B  1.0 MiB    0%\n"
                                      "/mnt/dead    /dev/x  ext4  did not answer in 2.5 s\n"
                                      "/mnt/shut    /dev/x  ext4  cannot read: " +
                         strerror(EACCES) + "\n");
    std::string bytes = mounts_table({ms[0]}, true, 30000, style{});
    EXPECT_NE(bytes.find("  3221225472  1073741824  2147483648   34%\n"), std::string::npos) << bytes;
}

}  // namespace
