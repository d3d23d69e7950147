// Moving to the trash (trash_posix.cpp) on real trees: the home trash and
// those at the top of a mount, the record each entry gets, names taken, and
// nothing moved when no trash on the entry's own file system can take it.
// gio, when built with it, reads back what was trashed.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "private_mounts.h"
#include "trash.h"

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

std::string operator/(const std::string &dir, const std::string &name) { return dir + "/" + name; }

void put(const std::string &path, uint64_t size)
{
    mkdirp(fs::path(path).parent_path().string());
    wfile(path, size);
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t mode_of(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The trash's places and the user's, set for one test and put back after.
struct Env {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> unset;
    void set(const char *name, const char *value)
    {
        const char *old = getenv(name);
        if (old)
            saved.emplace_back(name, old);
        else
            unset.push_back(name);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~Env()
    {
        for (auto &[n, v] : saved)
            setenv(n.c_str(), v.c_str(), 1);
        for (auto &n : unset)
            unsetenv(n.c_str());
    }
};

trash_result trash(const std::string &dir, const std::string &name)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(fd, 0) << dir;
    trash_result r = move_to_trash({fd, name});
    close(fd);
    return r;
}

// The Path= line as the record must hold it for a path that needs no
// escaping: the test's own folders do not.
std::string plain(const std::string &path)
{
    EXPECT_TRUE(std::regex_match(path, std::regex("[A-Za-z0-9/._~-]*"))) << path;
    return path;
}

std::string real(const std::string &p) { return fs::canonical(p).string(); }

// The record's three lines: the Path= value and the date, checked to be
// local time within a minute of now.
std::string recorded_path(const std::string &info_file)
{
    std::string text = read_all(info_file);
    std::smatch m;
    EXPECT_TRUE(std::regex_match(text, m,
                                 std::regex("\\[Trash Info\\]\nPath=([^\n]*)\nDeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:"
                                            "\\d\\d:\\d\\d)\n")))
        << info_file << ":\n" << text;
    if (m.size() != 3)
        return "";
    struct tm when {};
    strptime(m[2].str().c_str(), "%Y-%m-%dT%H:%M:%S", &when);
    when.tm_isdst = -1;
    EXPECT_LT(std::labs((long)(mktime(&when) - time(nullptr))), 60L) << m[2].str();
    return m[1].str();
}

// A tmpfs for one test, let go of when it ends.
struct Tmpfs {
    std::string at;
    explicit Tmpfs(const std::string &where)
    {
        mkdirp(where);
        if (mount("tmpfs", where.c_str(), "tmpfs", 0, "size=4m,mode=0755") == 0)
            at = where;
    }
    ~Tmpfs()
    {
        if (!at.empty())
            umount2(at.c_str(), MNT_DETACH);
    }
};

bool can_mount()
{
    return geteuid() == 0;
}

}  // namespace

// An entry on the home trash's file system goes there: files/NAME, and
// info/NAME.trashinfo with its absolute path and the time; the trash and
// its folders are made, the user's own.
TEST(Trash, HomeTrashTakesAndRecords)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    env.set("HOME", (t / "home").c_str());
    put(t / "root/a.txt", 1234);
    put(t / "root/dir/inner/deep.bin", 10);

    trash_result r = trash(t / "root", "a.txt");
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_EQ(r.where, t / "xdg/Trash");
    EXPECT_FALSE(exists(t / "root/a.txt"));
    EXPECT_EQ(fs::file_size(t / "xdg/Trash/files/a.txt"), 1234u);
    EXPECT_EQ(recorded_path(t / "xdg/Trash/info/a.txt.trashinfo"), plain(real(t / "root") + "/a.txt"));
    for (const char *d : {"xdg/Trash", "xdg/Trash/files", "xdg/Trash/info"})
        EXPECT_EQ(mode_of(t / d) & 077, 0u) << d;

    // A directory goes whole.
    r = trash(t / "root", "dir");
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_TRUE(exists(t / "xdg/Trash/files/dir/inner/deep.bin"));
    EXPECT_EQ(recorded_path(t / "xdg/Trash/info/dir.trashinfo"), real(t / "root") + "/dir");
}

// Without an absolute XDG_DATA_HOME the home trash is ~/.local/share/Trash.
TEST(Trash, HomeTrashByDefault)
{
    for (const char *xdg : {(const char *)nullptr, "", "relative/xdg"}) {
        TempDir t;
        Env env;
        env.set("XDG_DATA_HOME", xdg);
        env.set("HOME", (t / "home").c_str());
        put(t / "root/f", 10);
        trash_result r = trash(t / "root", "f");
        ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
        EXPECT_EQ(r.where, t / "home/.local/share/Trash") << (xdg ? xdg : "unset");
        EXPECT_TRUE(exists(t / "home/.local/share/Trash/files/f"));
        EXPECT_FALSE(exists(t / "relative"));
    }
}

// A name already in the trash: NAME.2, NAME.3, ...; a file left in files/
// without its record is neither replaced nor given a record.
TEST(Trash, TakenNamesGetANumber)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    for (const char *dir : {"a", "b", "c"})
        put(t / "root" / dir / "same.txt", 100);
    put(t / "root/d/same.txt/inside", 7);  // a directory of the same name
    for (const char *dir : {"a", "b", "c", "d"}) {
        trash_result r = trash(t / "root" / dir, "same.txt");
        ASSERT_EQ(r.outcome, TRASH_MOVED) << dir << ": " << r.why;
    }
    const std::string bin = t / "xdg/Trash";
    const std::pair<const char *, const char *> names[] = {
        {"same.txt", "a"}, {"same.txt.2", "b"}, {"same.txt.3", "c"}, {"same.txt.4", "d"}};
    for (auto [name, dir] : names) {
        EXPECT_TRUE(exists(bin + "/files/" + name)) << name;
        EXPECT_EQ(recorded_path(bin + "/info/" + name + ".trashinfo"), real(t / "root" / dir) + "/same.txt");
    }
    EXPECT_TRUE(exists(bin + "/files/same.txt.4/inside"));

    put(bin + "/files/stale", 5);
    put(t / "root/stale", 9);
    ASSERT_EQ(trash(t / "root", "stale").outcome, TRASH_MOVED);
    EXPECT_EQ(fs::file_size(bin + "/files/stale"), 5u);
    EXPECT_FALSE(exists(bin + "/info/stale.trashinfo"));
    EXPECT_EQ(fs::file_size(bin + "/files/stale.2"), 9u);
    EXPECT_TRUE(exists(bin + "/info/stale.2.trashinfo"));
}

// The path is recorded as a URL's path: every byte but letters, digits,
// - . _ ~ and / as %XX, so spaces, %, bytes that are not UTF-8 and a
// newline in a name cannot break the record.
TEST(Trash, OddNamesAreEscapedInTheRecord)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    const std::pair<std::string, std::string> cases[] = {
        {"with space", "with%20space"},
        {"100%", "100%25"},
        {"%41", "%2541"},
        {"bad\xff\xfe bytes", "bad%FF%FE%20bytes"},
        {"new\nline", "new%0Aline"},
        {"[Trash Info]\nPath=x", "%5BTrash%20Info%5D%0APath%3Dx"},
        {"\xc3\xbcn\xc3\xaf", "%C3%BCn%C3%AF"},
        {"#?&=+:;@!$'()*,", "%23%3F%26%3D%2B%3A%3B%40%21%24%27%28%29%2A%2C"},
        {"keep-_.~09AZaz", "keep-_.~09AZaz"},
        {"tab\there", "tab%09here"},
    };
    mkdirp(t / "root");
    const std::string dir = plain(real(t / "root"));
    for (const auto &[name, encoded] : cases) {
        put(t / "root" / name, 3);
        trash_result r = trash(t / "root", name);
        ASSERT_EQ(r.outcome, TRASH_MOVED) << encoded << ": " << r.why;
        EXPECT_TRUE(exists(t / "xdg/Trash/files" / name)) << encoded;
        EXPECT_EQ(recorded_path(t / "xdg/Trash/info" / name + ".trashinfo"), dir + "/" + encoded);
    }
}

// A name as long as a name may be: the trash's name is cut to leave room
// for ".NNNNN.trashinfo", at a whole character; the record keeps it whole.
TEST(Trash, LongNamesAreCutInTheTrashOnly)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    std::string name;
    while (name.size() + 2 <= 255)
        name += "\xc3\xa9";  // é, two bytes
    name += "x";
    put(t / "root" / name, 1);
    trash_result r = trash(t / "root", name);
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    std::string base = name.substr(0, 238);  // 255 - 16 bytes, less the first half of a character
    EXPECT_TRUE(exists(t / "xdg/Trash/files" / base));
    std::string recorded = recorded_path(t / "xdg/Trash/info" / base + ".trashinfo");
    EXPECT_EQ(recorded.size(), real(t / "root").size() + 1 + (name.size() - 1) * 3 + 1);
    // No whole character anywhere: cut where it fits all the same.
    std::string odd(250, '\x80');
    put(t / "root" / odd, 1);
    r = trash(t / "root", odd);
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_TRUE(exists(t / "xdg/Trash/files" / odd.substr(0, 239)));
}

// What cannot be moved stays and says why; the record made for it goes.
TEST(Trash, AnEntryThatCannotMoveStays)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    put(t / "root/sub/f", 1);
    trash_result r = trash(t / "root", "gone");
    EXPECT_EQ(r.outcome, TRASH_FAILED);
    EXPECT_EQ(r.why, "No such file or directory");
    // The trash inside the entry: a directory cannot go into itself.
    env.set("XDG_DATA_HOME", (t / "root/sub/xdg").c_str());
    r = trash(t / "root", "sub");
    EXPECT_EQ(r.outcome, TRASH_FAILED);
    EXPECT_TRUE(exists(t / "root/sub/f"));
    EXPECT_TRUE(fs::is_empty(t / "root/sub/xdg/Trash/info"));
}

// On a file system of its own (a tmpfs) an entry goes to the trash at the
// top of that mount: $topdir/.Trash/$uid when .Trash is a sticky directory
// and no link, else $topdir/.Trash-$uid, made mode 0700.
TEST(Trash, TopDirectoryTrashes)
{
    if (!can_mount())
        GTEST_SKIP() << "skipped: needs root to mount a tmpfs";
    struct Case {
        const char *what;
        void (*prepare)(const std::string &top, const std::string &elsewhere);
        const char *trash;  // below the top
    };
    const Case cases[] = {
        {"nothing there", [](const std::string &, const std::string &) {}, ".Trash-0"},
        {"a sticky .Trash",
         [](const std::string &top, const std::string &) {
             mkdir((top + "/.Trash").c_str(), 0777);
             chmod((top + "/.Trash").c_str(), 01777);
         },
         ".Trash/0"},
        {".Trash not sticky",
         [](const std::string &top, const std::string &) {
             mkdir((top + "/.Trash").c_str(), 0777);
             chmod((top + "/.Trash").c_str(), 0777);
         },
         ".Trash-0"},
        {".Trash a link to a sticky directory",
         [](const std::string &top, const std::string &) {
             mkdir((top + "/shared").c_str(), 0777);
             chmod((top + "/shared").c_str(), 01777);
             symlink("shared", (top + "/.Trash").c_str());
         },
         ".Trash-0"},
        {".Trash a file",
         [](const std::string &top, const std::string &) { wfile(top + "/.Trash", 1); }, ".Trash-0"},
        {".Trash-0 there already",
         [](const std::string &top, const std::string &) { mkdir((top + "/.Trash-0").c_str(), 0700); }, ".Trash-0"},
    };
    for (const Case &c : cases) {
        TempDir t;
        Env env;
        env.set("XDG_DATA_HOME", (t / "xdg").c_str());
        Tmpfs fs(t / "mnt");
        if (fs.at.empty())
            GTEST_SKIP() << "skipped: a tmpfs cannot be mounted here: " << strerror(errno);
        c.prepare(t / "mnt", t / "elsewhere");
        put(t / "mnt/data/f.bin", 1000);
        trash_result r = trash(t / "mnt/data", "f.bin");
        ASSERT_EQ(r.outcome, TRASH_MOVED) << c.what << ": " << r.why;
        const std::string bin = t / "mnt" / c.trash;
        EXPECT_EQ(r.where, real(t / "mnt") + "/" + c.trash) << c.what;
        EXPECT_FALSE(exists(t / "mnt/data/f.bin")) << c.what;
        EXPECT_EQ(fs::file_size(bin + "/files/f.bin"), 1000u) << c.what;
        // From the top: the file system may be mounted elsewhere later.
        EXPECT_EQ(recorded_path(bin + "/info/f.bin.trashinfo"), "data/f.bin") << c.what;
        EXPECT_EQ(mode_of(bin) & 077, 0u) << c.what;
        EXPECT_FALSE(exists(t / "xdg/Trash")) << c.what;
        EXPECT_FALSE(exists(t / "mnt/shared/0")) << c.what;
    }
}

// Nothing crosses a file system: when no trash on the entry's own can take
// it, it stays where it is, and nothing is made in the home trash.
TEST(Trash, NoTrashOnItsFileSystemMovesNothing)
{
    if (!can_mount())
        GTEST_SKIP() << "skipped: needs root to mount a tmpfs";
    struct Case {
        const char *what;
        void (*prepare)(const std::string &top);
    };
    const Case cases[] = {
        {".Trash-0 a file", [](const std::string &top) { wfile(top + "/.Trash-0", 1); }},
        {".Trash-0 a link to a directory",
         [](const std::string &top) {
             mkdir((top + "/elsewhere").c_str(), 0700);
             symlink("elsewhere", (top + "/.Trash-0").c_str());
         }},
        {".Trash-0 another user's",
         [](const std::string &top) {
             mkdir((top + "/.Trash-0").c_str(), 0777);
             chown((top + "/.Trash-0").c_str(), 4321, 4321);
         }},
        {"the file system read-only",
         [](const std::string &top) { mount(nullptr, top.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr); }},
    };
    for (const Case &c : cases) {
        TempDir t;
        Env env;
        env.set("XDG_DATA_HOME", (t / "xdg").c_str());
        Tmpfs fs(t / "mnt");
        if (fs.at.empty())
            GTEST_SKIP() << "skipped: a tmpfs cannot be mounted here: " << strerror(errno);
        put(t / "mnt/data/f.bin", 1000);
        c.prepare(t / "mnt");
        trash_result r = trash(t / "mnt/data", "f.bin");
        EXPECT_EQ(r.outcome, TRASH_NONE) << c.what;
        EXPECT_NE(r.why.find("no trash on its file system (at " + real(t / "mnt") + ")"), std::string::npos)
            << c.what << ": " << r.why;
        EXPECT_EQ(fs::file_size(t / "mnt/data/f.bin"), 1000u) << c.what;
        EXPECT_FALSE(exists(t / "xdg")) << c.what;
        EXPECT_FALSE(exists(t / "mnt/elsewhere/files")) << c.what;
    }
}

// The home trash on the entry's file system comes first; reached through a
// bind mount (the same file system, another mount, where a rename cannot
// go) the entry goes to the trash at the top of that mount instead.
TEST(Trash, HomeTrashOnlyOnItsOwnMount)
{
    if (!can_mount())
        GTEST_SKIP() << "skipped: needs root to mount a tmpfs";
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "mnt/xdg").c_str());
    Tmpfs fs(t / "mnt");
    if (fs.at.empty())
        GTEST_SKIP() << "skipped: a tmpfs cannot be mounted here: " << strerror(errno);
    put(t / "mnt/data/f.bin", 1000);
    put(t / "mnt/data/g.bin", 2000);
    trash_result r = trash(t / "mnt/data", "f.bin");
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_EQ(r.where, t / "mnt/xdg/Trash");
    EXPECT_FALSE(exists(t / "mnt/.Trash-0"));

    mkdirp(t / "bind");
    ASSERT_EQ(mount((t / "mnt/data").c_str(), (t / "bind").c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    r = trash(t / "bind", "g.bin");
    umount2((t / "bind").c_str(), MNT_DETACH);
    ASSERT_EQ(r.outcome, TRASH_MOVED) << r.why;
    EXPECT_EQ(r.where, real(t / "bind") + "/.Trash-0");
    EXPECT_TRUE(exists(t / "mnt/data/.Trash-0/files/g.bin"));
    EXPECT_EQ(recorded_path(t / "mnt/data/.Trash-0/info/g.bin.trashinfo"), "g.bin");
}

// A mount point is not moved, wherever a trash is.
TEST(Trash, AMountPointStays)
{
    if (!can_mount())
        GTEST_SKIP() << "skipped: needs root to mount a tmpfs";
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    Tmpfs fs(t / "root/mnt");
    if (fs.at.empty())
        GTEST_SKIP() << "skipped: a tmpfs cannot be mounted here: " << strerror(errno);
    trash_result r = trash(t / "root", "mnt");
    EXPECT_EQ(r.outcome, TRASH_FAILED);
    EXPECT_EQ(r.why, "a mount point; not moved");
    EXPECT_FALSE(exists(t / "xdg"));
}

#if defined(QV_GIO) && defined(QV_DBUS_RUN_SESSION)
// A path as gio prints a byte string: bytes outside printable ASCII, and
// the backslash, as \xNN.
std::string gio_escaped(const std::string &path)
{
    std::string out;
    for (unsigned char c : path) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 32 && c <= 126 && c != '\\' ? std::string(1, (char)c) : hex;
    }
    return out;
}

// gio (GLib's own trash, through gvfs) lists what was trashed here with the
// path it came from.
TEST(Trash, GioListsWhatWasTrashed)
{
    TempDir t;
    Env env;
    env.set("XDG_DATA_HOME", (t / "xdg").c_str());
    env.set("HOME", (t / "home").c_str());
    const std::vector<std::string> names = {"plain.txt", "with space", "100% sure", "caf\xc3\xa9",
                                            "a&b=c#d",   "new\nline",  "bad\xff\\bytes"};
    for (const std::string &n : names)
        put(t / "root/dir" / n, 10);
    put(t / "root/dir/sub/x", 1);
    put(t / "root/other/plain.txt", 10);
    for (const std::string &n : names)
        ASSERT_EQ(trash(t / "root/dir", n).outcome, TRASH_MOVED) << n;
    ASSERT_EQ(trash(t / "root/dir", "sub").outcome, TRASH_MOVED);
    ASSERT_EQ(trash(t / "root/other", "plain.txt").outcome, TRASH_MOVED);

    std::string command = "cd '" + t.path + "' && timeout 60 " QV_DBUS_RUN_SESSION " -- " QV_GIO
                          " trash --list 2>/dev/null";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    ASSERT_EQ(pclose(p), 0) << out;
    // One line per entry: its URI in the trash, a tab, where it came from.
    std::vector<std::string> from;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        from.push_back(line.substr(line.find('\t') + 1));
    std::sort(from.begin(), from.end());
    std::vector<std::string> want;
    const std::string dir = real(t / "root/dir");
    for (const std::string &n : names)
        want.push_back(gio_escaped(dir + "/" + n));
    want.push_back(gio_escaped(dir + "/sub"));
    want.push_back(gio_escaped(real(t / "root/other") + "/plain.txt"));
    std::sort(want.begin(), want.end());
    EXPECT_EQ(from, want) << out;
}
#endif
