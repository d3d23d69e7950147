// The Win32 listing and platform layer, and scans through the exports, on
// trees made through the Win32 API. Built on Windows only; under Wine where
// noted, since Wine maps drive Z: to the Linux root and keeps links as Unix
// symbolic links.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "dirlist_win32.h"
#include "fixture.h"
#include "platform.h"
#include "quorvel_disk.h"

using namespace qvtest;
using json = nlohmann::json;

#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681
#endif

namespace {

std::wstring wide(const std::string &utf8)
{
    std::wstring out(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), (int)out.size());
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

// Every directory and file goes through the long-path form, so that names
// ending in a dot and long paths are made as given.
std::wstring long_form(const std::string &path) { return L"\\\\?\\" + wide(path); }

void make_dir(const std::string &path)
{
    ASSERT_TRUE(CreateDirectoryW(long_form(path).c_str(), nullptr)) << path << " error " << GetLastError();
}

// A file of size bytes, sparse so that sizes above 4 GiB cost no disk.
void make_file(const std::string &path, uint64_t size)
{
    HANDLE h = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
    DWORD unused = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)size;
    bool ok = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    ASSERT_TRUE(ok) << path;
}

struct Child {
    std::string name;
    uint64_t size;
    bool is_dir;
    bool operator<(const Child &o) const { return std::tie(name, size, is_dir) < std::tie(o.name, o.size, o.is_dir); }
    bool operator==(const Child &o) const { return name == o.name && size == o.size && is_dir == o.is_dir; }
};

// One directory through the listing: the root opened at root, then the
// directory rel below it. rc is the root's error or qv_dirlist_open's result.
struct Listing {
    int rc = 0;
    qv_dir_info info{};
    std::vector<Child> children;
};

// Listings as on a file system that refuses records with file IDs, or
// whose records give other IDs than its handles, while one is in scope.
struct RecordsAs {
    explicit RecordsAs(int how) { qv_win32_test_records = how; }
    ~RecordsAs() { qv_win32_test_records = QV_RECORDS_AS_THEY_ARE; }
};

// wants as qv_dirlist_new takes them (QV_WANT_LINK_IDS: file IDs of files).
Listing list_at(const std::string &root, const std::string &rel, int follow_links, int wants = 0,
                int size_kind = DISK_SIZE_APPARENT)
{
    Listing out;
    qv_dirroot *dr = qv_dirroot_open(root.c_str(), nullptr, &out.rc, nullptr);
    if (!dr) {
        EXPECT_NE(out.rc, 0) << root;
        return out;
    }
    EXPECT_EQ(out.rc, 0);
    qv_options opts{};
    opts.asked.follow_links = follow_links;
    opts.asked.size_kind = size_kind;
    qv_dirlist *dl = qv_dirlist_new(dr, &opts, wants, nullptr, nullptr);
    int32_t depth = rel.empty() ? 0 : 1 + (int32_t)std::count(rel.begin(), rel.end(), '\\');
    qv_dir_where where{rel.c_str(), rel.size(), depth, nullptr, 0, 0};
    out.rc = qv_dirlist_open(dl, &where, &out.info);
    qv_dir_child c;
    while (out.rc == 0 && qv_dirlist_next(dl, &c)) {
        EXPECT_EQ(strlen(c.name), c.name_len);
        out.children.push_back({std::string(c.name, c.name_len), c.size, c.is_dir != 0});
    }
    if (out.rc == 0) {
        EXPECT_EQ(qv_dirlist_error(dl), 0) << root << " " << rel;
        EXPECT_EQ(qv_dirlist_skipped(dl), 0u) << root << " " << rel;
    }
    qv_dirlist_delete(dl);
    qv_dirroot_close(dr);
    std::sort(out.children.begin(), out.children.end());
    return out;
}

// The directory at path as the root; ok false when it cannot be opened.
std::vector<Child> list(const std::string &path, int follow_links, bool *ok = nullptr, int wants = 0)
{
    Listing l = list_at(path, "", follow_links, wants);
    if (ok)
        *ok = l.rc == 0;
    return l.children;
}

std::vector<std::string> names_of(const std::vector<Child> &v)
{
    std::vector<std::string> out;
    for (const Child &c : v)
        out.push_back(c.name);
    return out;
}

// The names FindFirstFileW gives for a pattern, "." and ".." left out.
std::vector<std::string> raw_names(const std::wstring &pattern)
{
    std::vector<std::string> out;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(pattern.c_str(), &d);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    do {
        std::wstring n = d.cFileName;
        if (n == L"." || n == L"..")
            continue;
        char buf[1024];
        int len = WideCharToMultiByte(CP_UTF8, 0, n.c_str(), -1, buf, sizeof buf, nullptr, nullptr);
        out.push_back(std::string(buf, len > 0 ? len - 1 : 0));
    } while (FindNextFileW(h, &d));
    FindClose(h);
    std::sort(out.begin(), out.end());
    return out;
}

struct ResultPtr {
    qv_scan_result *r;
    explicit ResultPtr(qv_scan_result *p) : r(p) {}
    ~ResultPtr() { qv_scan_result_free(r); }
    qv_scan_result *operator->() const { return r; }
};

// Restores the process's current directory.
struct CwdGuard {
    std::wstring saved;
    CwdGuard()
    {
        saved.resize(GetCurrentDirectoryW(0, nullptr));
        saved.resize(GetCurrentDirectoryW((DWORD)saved.size(), saved.data()));
    }
    ~CwdGuard() { SetCurrentDirectoryW(saved.c_str()); }
};

// One scan through the exports, polled to its end; freed by the destructor.
struct PublicScan {
    int id;
    int state = SCAN_IDLE;
    PublicScan(const std::string &path, int max_depth, int follow_links)
        : id(disk_scan(path.c_str(), max_depth, follow_links))
    {
    }
    PublicScan(const std::string &path, const disk_scan_options &opts) : id(disk_scan_ex(path.c_str(), &opts)) {}
    ~PublicScan() { disk_free(id); }
    void wait()
    {
        for (int i = 0; i < 60000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
            Sleep(1);
            state = disk_scan_status(id);
        }
    }
    disk_problems problems() const
    {
        disk_problems p{};
        p.struct_size = sizeof p;
        EXPECT_EQ(disk_scan_problems(id, &p), SCAN_DONE);
        return p;
    }
    json doc(const char *text) const
    {
        EXPECT_NE(text, nullptr);
        return text ? json::parse(text) : json();
    }
    json tree() const { return doc(disk_scan_result(id)); }
    json problem_list() const { return doc(disk_get_problems(id)); }
};

// Every entry of a tree document below its root: path ("/"-joined), whether
// a directory, size, and whether it lists children.
struct DocEntry {
    std::string path;
    bool is_dir;
    uint64_t size;
    bool has_children;
    bool operator==(const DocEntry &o) const
    {
        return std::tie(path, is_dir, size, has_children) == std::tie(o.path, o.is_dir, o.size, o.has_children);
    }
    bool operator<(const DocEntry &o) const { return path < o.path; }
    friend std::ostream &operator<<(std::ostream &os, const DocEntry &e)
    {
        return os << e.path << (e.is_dir ? " dir " : " file ") << e.size << (e.has_children ? " +children" : "");
    }
};

void doc_entries(const json &node, const std::string &prefix, std::vector<DocEntry> *out)
{
    if (!node.contains("children"))
        return;
    for (const json &c : node["children"]) {
        std::string p = prefix + c["name"].get<std::string>();
        out->push_back({p, c["is_dir"].get<bool>(), c["size"].get<uint64_t>(), c.contains("children")});
        doc_entries(c, p + "/", out);
    }
}

std::vector<DocEntry> doc_entries(const json &tree)
{
    std::vector<DocEntry> out;
    doc_entries(tree, "", &out);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(SearchPattern, LongFormOfDriveUncAndDevicePaths)
{
    struct {
        const char *path, *long_form;
    } cases[] = {
        {"C:\\data", "\\\\?\\C:\\data"},
        {"C:", "\\\\?\\C:"},
        {"C:/data/sub", "\\\\?\\C:\\data\\sub"},
        // UNC: the server and share follow "UNC", so that names ending in a
        // dot or a space and paths past 260 characters work there too.
        {"\\\\server\\share", "\\\\?\\UNC\\server\\share"},
        {"\\\\server\\share\\", "\\\\?\\UNC\\server\\share\\"},
        {"\\\\server\\share\\dir. \\x", "\\\\?\\UNC\\server\\share\\dir. \\x"},
        {"//server/share/dir", "\\\\?\\UNC\\server\\share\\dir"},
        {"\\\\10.0.0.7\\c$\\Users", "\\\\?\\UNC\\10.0.0.7\\c$\\Users"},
        // Device paths take the long-form prefix instead.
        {"\\\\.\\C:\\data", "\\\\?\\C:\\data"},
        {"\\\\.\\Volume{0d1e}\\", "\\\\?\\Volume{0d1e}\\"},
        // Already in long form: as given, slashes and all.
        {"\\\\?\\C:\\data", "\\\\?\\C:\\data"},
        {"\\\\?\\UNC\\server\\share", "\\\\?\\UNC\\server\\share"},
        {"\\\\?\\C:\\a/b", "\\\\?\\C:\\a/b"},
        // Relative and current-drive paths: as they are (never given by the
        // scanner, which makes roots absolute first).
        {"rel\\dir", "rel\\dir"},
        {"\\data", "\\data"},
        {"\\", "\\"},
        {"", ""},
    };
    for (auto c : cases) {
        std::string buf(SCAN_PATH_MAX, '#');
        int n = qv_win32_long_path(buf.data(), c.path);
        EXPECT_EQ(n, (int)strlen(c.long_form)) << c.path;
        EXPECT_STREQ(buf.c_str(), c.long_form) << c.path;
    }
    std::string buf(SCAN_PATH_MAX, '#');
    std::string share = "\\\\s\\h\\" + std::string(SCAN_PATH_MAX - 1 - 8 - 4, 'a');  // prefix 8, server and share 4
    EXPECT_EQ(qv_win32_long_path(buf.data(), share.c_str()), SCAN_PATH_MAX - 1);
    share += 'a';
    EXPECT_EQ(qv_win32_long_path(buf.data(), share.c_str()), -1);
}

TEST(SearchPattern, LongPathPrefixOnlyForDriveLetterPaths)
{
    struct {
        const char *path, *pattern;
    } cases[] = {
        {"C:\\data", "\\\\?\\C:\\data\\*"},
        {"z:\\x y\\z", "\\\\?\\z:\\x y\\z\\*"},
        {"Z:", "\\\\?\\Z:\\*"},           // bare drive: its root
        {"C:rel", "\\\\?\\C:rel\\*"},     // any second byte ':'
        {"C:\\", "\\\\?\\C:\\*"},         // a trailing separator is not doubled
        {"C:\\data\\", "\\\\?\\C:\\data\\*"},
        {"rel\\dir", "rel\\dir\\*"},      // relative: no prefix
        {"dir", "dir\\*"},
        {"C", "C\\*"},                    // one byte: no second byte
        {"", "\\*"},
        {"\\\\server\\share", "\\\\?\\UNC\\server\\share\\*"},
        {"\\\\?\\C:\\data", "\\\\?\\C:\\data\\*"},       // already prefixed
        {"/c:/x", "/c:/x\\*"},
        // Forward slashes, which the prefix would make literal, become backslashes.
        {"C:/data/sub", "\\\\?\\C:\\data\\sub\\*"},
        {"C:/", "\\\\?\\C:\\*"},
        {"C:/data/", "\\\\?\\C:\\data\\*"},
    };
    for (auto c : cases) {
        std::string buf(SCAN_PATH_MAX, '#');
        int n = qv_win32_search_pattern(buf.data(), c.path);
        EXPECT_EQ(n, (int)strlen(c.pattern)) << c.path;
        EXPECT_STREQ(buf.c_str(), c.pattern) << c.path;
    }
}

// A unit test of the limit: under Wine no path past Linux's 4095 bytes can be
// opened at all, so the boundary cannot be shown on a real directory.
TEST(SearchPattern, LimitIs32767BytesWithoutTerminator)
{
    struct {
        std::string head;
        size_t overhead;  // prefix and "\*"
    } kinds[] = {{"C:\\", 4 + 2}, {"rel\\", 2}};
    for (const auto &k : kinds) {
        for (size_t want : {32766u, 32767u, 32768u, 32769u}) {
            std::string path = k.head + std::string(want - k.overhead - k.head.size(), 'a');
            std::string buf(SCAN_PATH_MAX, '#');
            int n = qv_win32_search_pattern(buf.data(), path.c_str());
            if (want <= 32767) {
                EXPECT_EQ(n, (int)want) << k.head << " " << want;
                EXPECT_EQ(strlen(buf.c_str()), want);
                EXPECT_EQ(buf.substr(want - 2, 3), std::string("\\*") + '\0');
            } else {
                EXPECT_EQ(n, -1) << k.head << " " << want;
            }
        }
    }
}

TEST(SearchPattern, DirectoryItselfKeepsOnlyAVolumeRootsSeparator)
{
    // "\\?\C:" is the volume device (Wine refuses it, error 87): the root
    // directory of a drive is "\\?\C:\".
    struct {
        const char *path, *dir;
    } cases[] = {
        {"C:\\data", "\\\\?\\C:\\data"},
        {"C:\\data\\", "\\\\?\\C:\\data"},
        {"C:/data/sub/", "\\\\?\\C:\\data\\sub"},
        {"C:\\", "\\\\?\\C:\\"},
        {"C:/", "\\\\?\\C:\\"},
        {"Z:", "\\\\?\\Z:\\"},
        {"\\\\?\\C:\\", "\\\\?\\C:\\"},
        {"\\\\?\\C:\\data\\", "\\\\?\\C:\\data"},
        {"\\\\?\\Volume{0d1e}\\", "\\\\?\\Volume{0d1e}\\"},
        {"\\\\server\\share\\", "\\\\?\\UNC\\server\\share\\"},  // a share's root
        {"\\\\server\\share", "\\\\?\\UNC\\server\\share\\"},
        {"\\\\server\\share\\dir\\", "\\\\?\\UNC\\server\\share\\dir"},
        {"\\\\?\\unc\\server\\share\\", "\\\\?\\unc\\server\\share\\"},
        {"rel\\dir", "rel\\dir"},
        {"\\", "\\"},
    };
    for (auto c : cases) {
        std::string buf(SCAN_PATH_MAX, '#');
        int n = qv_win32_dir_path(buf.data(), c.path);
        EXPECT_EQ(n, (int)strlen(c.dir)) << c.path;
        EXPECT_STREQ(buf.c_str(), c.dir) << c.path;
    }
    std::string buf(SCAN_PATH_MAX, '#');
    EXPECT_EQ(qv_win32_dir_path(buf.data(), ("C:\\" + std::string(32760, 'a')).c_str()), -1);
}

TEST(Win32Listing, DriveLetterPathGetsPrefixRelativePathDoesNot)
{
    // Without the long-path prefix Windows drops a trailing dot from a path
    // component (so does Wine); with it, "kept." is opened as named.
    TempDir t;
    ASSERT_EQ(t.path[1], ':');
    make_dir(t.path + "\\kept.");
    make_file(t.path + "\\kept.\\inner", 3);
    make_file(t.path + "\\top", 1);

    std::vector<Child> want = {{"inner", 3, false}};
    EXPECT_EQ(list(t.path + "\\kept.", 0), want);
    EXPECT_EQ(list_at(t.path, "kept.", 0).children, want);
    EXPECT_EQ(list_at(t.path + "\\", "kept.", 0).children, want);
    ResultPtr r(scan_sync(t.path, 0, false, false));
    EXPECT_EQ(flatten(r.r), (std::vector<FlatEntry>{{"kept.", true, 0}, {"kept./inner", false, 3}, {"top", false, 1}}));

    CwdGuard cwd;
    size_t cut = t.path.find_last_of('\\');
    ASSERT_TRUE(SetCurrentDirectoryW(wide(t.path.substr(0, cut)).c_str()));
    std::string rel = t.path.substr(cut + 1);
    EXPECT_EQ(names_of(list(rel, 0)), (std::vector<std::string>{"kept.", "top"}));
    bool ok = true;
    EXPECT_TRUE(list(rel + "\\kept.", 0, &ok).empty());
    EXPECT_FALSE(ok) << "a relative path must be used without the prefix";
}

TEST(Win32Listing, BareDriveLetterIsTheDriveRoot)
{
    TempDir t;
    make_file(t.path + "\\qv-marker", 1);
    // Drive-relative "X:*" would list the drive's current directory: make it
    // the fixture, which the listing must not show.
    CwdGuard cwd;
    ASSERT_TRUE(SetCurrentDirectoryW(wide(t.path).c_str()));
    std::vector<std::string> drives = {t.path.substr(0, 2)};
    // Under Wine, Z: is the Linux root.
    if (GetDriveTypeW(L"Z:\\") != DRIVE_NO_ROOT_DIR && drives[0] != "Z:" && drives[0] != "z:")
        drives.push_back("Z:");
    for (const std::string &d : drives) {
        std::vector<std::string> root = raw_names(wide(d + "\\*"));
        ASSERT_FALSE(root.empty()) << d;
        bool ok = false;
        std::vector<Child> got = list(d, 1, &ok);
        EXPECT_TRUE(ok) << d;
        EXPECT_EQ(names_of(got), root) << d;
        for (const Child &c : got)
            EXPECT_NE(c.name, "qv-marker") << d;
    }
    // A scan of a bare drive letter is the drive's root too, though the
    // current directory of that drive is the fixture.
    ResultPtr whole(scan_sync(drives[0], 1, true, false));
    std::vector<std::string> names;
    for (const FlatEntry &e : flatten(whole.r))
        names.push_back(e.path);
    std::vector<std::string> want = raw_names(wide(drives[0] + "\\*"));
    std::sort(names.begin(), names.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
    // "\*" alone would be the current drive's root: an empty path lists nothing.
    bool ok = true;
    EXPECT_TRUE(list("", 1, &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(Win32Listing, OpenErrorsBelowTheRoot)
{
    TempDir t;
    make_dir(t.path + "\\empty");
    Listing empty = list_at(t.path, "empty", 0);
    EXPECT_EQ(empty.rc, 0);
    EXPECT_TRUE(empty.children.empty());
    // A directory that is gone is an error, not an empty listing.
    int gone = list_at(t.path, "gone", 1).rc;
    EXPECT_TRUE(gone == ERROR_PATH_NOT_FOUND || gone == ERROR_FILE_NOT_FOUND) << gone;
    // A step that is no directory, or no name a directory can hold.
    make_file(t.path + "\\file", 1);
    struct {
        const char *rel;
        int rc;
    } steps[] = {{"file\\below", ERROR_DIRECTORY}, {"file", ERROR_DIRECTORY}, {"empty\\..", ERROR_INVALID_NAME},
                 {"empty\\.", ERROR_INVALID_NAME}, {"empty\\\\x", ERROR_INVALID_NAME}, {"empty\\", ERROR_INVALID_NAME},
                 {"empty:x", ERROR_INVALID_NAME}, {"empty\\a/b", ERROR_INVALID_NAME}};
    for (auto s : steps)
        EXPECT_EQ(list_at(t.path, s.rel, 0).rc, s.rc) << s.rel;
}

TEST(Win32Listing, SizesFromHighAndLowWordsAbove4GiB)
{
    TempDir t;
    const uint64_t sizes[] = {0, 1, 0x7fffffffull, 0x80000000ull, 0xffffffffull, 1ull << 32,
                              (1ull << 32) + (1ull << 31) + 5, (5ull << 30) + 123, 1ull << 40};
    std::vector<Child> want;
    uint64_t sum = 0;
    for (size_t i = 0; i < std::size(sizes); i++) {
        std::string name = "s";
        name += std::to_string(i);
        make_file(t.path + "\\" + name, sizes[i]);
        want.push_back({name, sizes[i], false});
        sum += sizes[i];
    }
    make_dir(t.path + "\\dir");
    want.push_back({"dir", 0, true});
    std::sort(want.begin(), want.end());
    // With file IDs asked for or not, in records that carry them or not.
    for (bool refuse : {false, true}) {
        RecordsAs without(refuse ? QV_RECORDS_WITHOUT_IDS : QV_RECORDS_AS_THEY_ARE);
        for (int wants : {0, QV_WANT_LINK_IDS})
            EXPECT_EQ(list(t.path, 0, nullptr, wants), want) << wants << " " << refuse;
        ResultPtr r(scan_sync(t.path, 0, false, true));
        EXPECT_EQ(r->total_size, sum);
        EXPECT_EQ(r->total_files, std::size(sizes));
    }
}

TEST(Win32Listing, Utf8NamesBothWays)
{
    TempDir t;
    // The root's own name needs the pattern's conversion to UTF-16, the
    // children's names the conversion back, the subdirectory both.
    const std::string root = t.path + "\\" + "r\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80";
    const std::string cafe = "caf\xC3\xA9.txt";                              // é
    const std::string cjk = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.doc";     // 日本語
    const std::string emoji = "\xF0\x9F\x98\x80 smile";                     // U+1F600: a surrogate pair
    const std::string dir = "donn\xC3\xA9" "es \xF0\x9F\x97\x82";           // données 🗂
    const std::string sharp = "\xC3\x9F.bin";                               // ß
    make_dir(root);
    make_file(root + "\\" + cafe, 1);
    make_file(root + "\\" + cjk, 2);
    make_file(root + "\\" + emoji, 4);
    make_dir(root + "\\" + dir);
    make_file(root + "\\" + dir + "\\" + sharp, 8);

    std::vector<FlatEntry> want = {{cafe, false, 1}, {cjk, false, 2}, {emoji, false, 4},
                                   {dir, true, 0}, {dir + "/" + sharp, false, 8}};
    std::sort(want.begin(), want.end());
    for (bool pool : {true, false}) {
        ResultPtr r(scan_sync(root, 0, false, pool));
        EXPECT_EQ(flatten(r.r), want) << (pool ? "pool" : "sequential");
        EXPECT_EQ(r->total_size, 15u);
    }
    // Sanity of the fixture itself: the emoji is one character, two units.
    EXPECT_EQ(wide(emoji).size(), 2u + 6u);
}

namespace {

// Opens rel (depth names) below the root of dr as a walk does, given what
// opening its ancestors told and the file ID its parent listed.
int open_as_walked(qv_dirroot *dr, const std::string &rel, int32_t depth, const std::vector<qv_dir_info> &chain,
                   uint64_t listed_ino, qv_dir_info *info, std::vector<std::pair<std::string, uint64_t>> *dirs)
{
    qv_options opts{};
    qv_dirlist *dl = qv_dirlist_new(dr, &opts, 0, nullptr, nullptr);
    qv_dir_where where{rel.c_str(), rel.size(), depth, chain.data(), listed_ino, 0};
    int rc = qv_dirlist_open(dl, &where, info);
    qv_dir_child c;
    while (rc == 0 && qv_dirlist_next(dl, &c))
        if (c.is_dir && dirs)
            dirs->push_back({c.name, c.dir_ino});
    qv_dirlist_delete(dl);
    return rc;
}

// The root and a below it, opened as a walk opens them: what each told,
// and the subdirectories each listed, with their listed file IDs.
struct RootAndA {
    qv_dirroot *dr = nullptr;
    std::vector<qv_dir_info> chain = std::vector<qv_dir_info>(2);
    std::vector<std::pair<std::string, uint64_t>> top, in_a;
    explicit RootAndA(const std::string &root)
    {
        int err = 0;
        dr = qv_dirroot_open(root.c_str(), nullptr, &err, nullptr);
        EXPECT_NE(dr, nullptr) << err;
        if (dr && open_as_walked(dr, "", 0, {}, 0, &chain[0], &top) == 0 && top.size() == 1)
            EXPECT_EQ(open_as_walked(dr, "a", 1, chain, top[0].second, &chain[1], &in_a), 0);
    }
    ~RootAndA() { qv_dirroot_close(dr); }
};

}  // namespace

// Once a directory is listed, a link or another directory put in its place,
// or in the place of one of its ancestors, is refused when the walk opens
// it from the root: it is not the directory listed. (Handed on between the
// walk's threads, the parent's handle usually goes along; this is the way
// down when it does not.)
TEST(Win32Listing, StepThatIsNoLongerWhatWasListed)
{
    enum Swap { none, link, other_directory };
    struct {
        const char *swapped;  // below the root
        Swap how;
        int rc;
    } cases[] = {{"a", none, 0},          {"a", link, ERROR_STOPPED_ON_SYMLINK},
                 {"a", other_directory, ERROR_STOPPED_ON_SYMLINK},
                 {"a\\ssl", link, ERROR_STOPPED_ON_SYMLINK},
                 {"a\\ssl", other_directory, ERROR_STOPPED_ON_SYMLINK}};
    for (auto c : cases) {
        SCOPED_TRACE(std::string(c.swapped) + " " + std::to_string(c.how));
        TempDir t;
        std::string root = t.path + "\\root", outside = t.path + "\\outside";
        for (const std::string &d : {root, root + "\\a", root + "\\a\\ssl", outside, outside + "\\ssl",
                                     outside + "\\ssl\\secret-dir"})
            make_dir(d);
        make_file(outside + "\\secret", 99);
        make_file(outside + "\\ssl\\secret", 99);
        RootAndA w(root);
        ASSERT_EQ(w.top.size(), 1u);
        ASSERT_EQ(w.in_a.size(), 1u);
        ASSERT_NE(w.in_a[0].second, 0u);
        std::string at = root + "\\" + c.swapped;
        std::string from = std::string(c.swapped) == "a" ? outside : outside + "\\ssl";
        if (c.how != none) {
            ASSERT_TRUE(MoveFileW(long_form(at).c_str(), long_form(at + ".old").c_str()));
            if (c.how == link)
                ASSERT_TRUE(symlink_to(from, at));
            else
                ASSERT_TRUE(MoveFileW(long_form(from).c_str(), long_form(at).c_str()));
        }
        qv_dir_info info{};
        std::vector<std::pair<std::string, uint64_t>> in_ssl;
        EXPECT_EQ(open_as_walked(w.dr, "a\\ssl", 2, w.chain, w.in_a[0].second, &info, &in_ssl), c.rc);
        EXPECT_TRUE(in_ssl.empty());
    }
}

// A file system whose records give other file IDs than its handles (told by
// each directory's own "." record) is walked whole: no subdirectory is
// refused for an ID that never was to match. Its subdirectories are then
// opened without their listed IDs; an ancestor swapped on the way is still
// told by the ID its handle gave.
TEST(Win32Listing, RecordsWhoseIdsTheHandlesDoNotGive)
{
    TempDir t;
    std::string root = t.path + "\\root", outside = t.path + "\\outside";
    for (const std::string &d : {root, root + "\\a", root + "\\a\\ssl", root + "\\a\\x", outside, outside + "\\ssl"})
        make_dir(d);
    make_file(root + "\\a\\x\\f", 5);
    RecordsAs skewed(QV_RECORDS_SKEWED_IDS);
    for (bool pool : {true, false}) {
        ResultPtr r(scan_sync(root, 0, false, pool));
        EXPECT_EQ(r->total_dirs, 3u);
        EXPECT_EQ(r->total_files, 1u);
        EXPECT_EQ(r->total_size, 5u);
    }
    RootAndA w(root);
    ASSERT_EQ(w.top.size(), 1u);
    ASSERT_EQ(w.in_a.size(), 2u);
    for (auto &d : {w.top[0], w.in_a[0], w.in_a[1]})
        EXPECT_EQ(d.second, 0u) << d.first;
    ASSERT_TRUE(MoveFileW(long_form(root + "\\a").c_str(), long_form(root + "\\a.old").c_str()));
    ASSERT_TRUE(symlink_to(outside, root + "\\a"));
    qv_dir_info info{};
    EXPECT_EQ(open_as_walked(w.dr, "a\\ssl", 2, w.chain, 0, &info, nullptr), ERROR_STOPPED_ON_SYMLINK);
}

// Windows makes a junction here, Wine a Unix symbolic link: Wine lists it
// with attributes 0x410 (directory and reparse point), as Windows lists a
// junction. Wine follows a link to a file silently (the target's attributes),
// so links to files cannot be shown as reparse points under Wine.
TEST(Win32Listing, DirectoryLinkLeftOutOrWalked)
{
    TempDir t;
    make_dir(t.path + "\\real");
    make_file(t.path + "\\real\\inner.bin", 7);
    ASSERT_TRUE(symlink_to(t.path + "\\real", t.path + "\\link"));
    DWORD attrs = GetFileAttributesW(long_form(t.path + "\\link").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              (DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    for (int wants : {0, QV_WANT_LINK_IDS}) {
        EXPECT_EQ(list(t.path, 0, nullptr, wants), (std::vector<Child>{{"real", 0, true}})) << wants;
        EXPECT_EQ(list(t.path, 1, nullptr, wants), (std::vector<Child>{{"link", 0, true}, {"real", 0, true}}))
            << wants;
    }
    // Followed, the link is the same directory as its target, and another
    // than the root; without links followed only a walk that asks for
    // identities (another volume, hard links) reads them, by either listing.
    struct {
        int follow, wants;
    } ways[] = {{1, 0}, {1, QV_WANT_LINK_IDS}, {0, QV_WANT_DIR_IDS}, {0, QV_WANT_LINK_IDS}};
    for (auto w : ways) {
        Listing via = list_at(t.path, "link", w.follow, w.wants), real = list_at(t.path, "real", w.follow, w.wants),
                top = list_at(t.path, "", w.follow, w.wants);
        ASSERT_EQ(via.rc, 0);
        ASSERT_TRUE(via.info.has_id && real.info.has_id && top.info.has_id) << w.follow << " " << w.wants;
        EXPECT_EQ(via.info.id.dev, real.info.id.dev);
        EXPECT_EQ(via.info.id.ino, real.info.id.ino);
        EXPECT_NE(top.info.id.ino, real.info.id.ino);
    }
    EXPECT_FALSE(list_at(t.path, "real", 0).info.has_id);
    for (bool pool : {true, false}) {
        ResultPtr plain(scan_sync(t.path, 0, false, pool));
        EXPECT_EQ(flatten(plain.r), (std::vector<FlatEntry>{{"real", true, 0}, {"real/inner.bin", false, 7}}));
        EXPECT_EQ(plain->total_size, 7u);
        ResultPtr followed(scan_sync(t.path, 0, true, pool));
        EXPECT_EQ(flatten(followed.r), (std::vector<FlatEntry>{{"link", true, 0},
                                                               {"link/inner.bin", false, 7},
                                                               {"real", true, 0},
                                                               {"real/inner.bin", false, 7}}));
        EXPECT_EQ(followed->total_size, 14u);
        EXPECT_EQ(followed->total_dirs, 2u);
    }
}

// Through the exports: a link back to the root and one to its own parent are
// recorded as directories without children and listed as loops; a link to
// a directory that is no ancestor (side -> a\\b) is walked, and so is the
// loop below it found. max_depth only bounds the walk should that fail.
// Windows makes junctions here; Wine 8 cannot (FSCTL_SET_REPARSE_POINT
// fails with error 50, CreateSymbolicLinkW makes nothing), so under Wine
// the links are Unix symbolic links, listed as directories with the
// reparse-point attribute and tag 0.
TEST(Win32Scan, LinksBackUpAreLoopsNotWalked)
{
    TempDir t;
    make_dir(t.path + "\\a");
    make_dir(t.path + "\\a\\b");
    make_file(t.path + "\\a\\b\\f", 5);
    ASSERT_TRUE(symlink_to(t.path, t.path + "\\a\\b\\toroot"));
    ASSERT_TRUE(symlink_to(t.path + "\\a", t.path + "\\a\\up"));
    ASSERT_TRUE(symlink_to(t.path + "\\a\\b", t.path + "\\a\\side"));
    struct {
        int follow, links_once;
        std::vector<DocEntry> entries;
        std::vector<std::string> loops;
    } cases[] = {
        {0, 0, {{"a", true, 5, true}, {"a/b", true, 5, true}, {"a/b/f", false, 5, false}}, {}},
        {1, 0,
         {{"a", true, 10, true},
          {"a/b", true, 5, true},
          {"a/b/f", false, 5, false},
          {"a/b/toroot", true, 0, false},
          {"a/side", true, 5, true},
          {"a/side/f", false, 5, false},
          {"a/side/toroot", true, 0, false},
          {"a/up", true, 0, false}},
         {"a/b/toroot", "a/side/toroot", "a/up"}},
        // Listed by directory handle (file IDs asked for): the same loops;
        // f, met twice through side, counts once.
        {1, 1,
         {{"a", true, 5, true},
          {"a/b", true, 5, true},
          {"a/b/f", false, 5, false},
          {"a/b/toroot", true, 0, false},
          {"a/side", true, 0, true},
          {"a/side/f", false, 0, false},
          {"a/side/toroot", true, 0, false},
          {"a/up", true, 0, false}},
         {"a/b/toroot", "a/side/toroot", "a/up"}},
    };
    for (const auto &c : cases) {
        disk_scan_options o{};
        o.struct_size = sizeof o;
        o.max_depth = 12;
        o.follow_links = c.follow;
        o.hard_links_once = c.links_once;
        PublicScan s(t.path, o);
        ASSERT_GE(s.id, 0);
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE) << c.follow << c.links_once;
        EXPECT_EQ(doc_entries(s.tree()), c.entries) << c.follow << c.links_once;
        disk_problems p = s.problems();
        EXPECT_EQ(p.root_error, 0);
        EXPECT_EQ(p.loop_dirs, c.loops.size()) << c.follow << c.links_once;
        EXPECT_EQ(p.unreadable_dirs + p.skipped_entries + p.pseudo_fs_dirs, 0u) << c.follow << c.links_once;
        json want = json::array();
        for (const std::string &l : c.loops)
            want.push_back({{"path", t.path + "/" + l}, {"problem", "loop"}});
        EXPECT_EQ(s.problem_list(), want) << c.follow << c.links_once;
    }
}

// A root that is not a directory: the scan still ends done, with the root
// alone and the system's reason.
TEST(Win32Scan, RootThatCannotBeOpened)
{
    TempDir t;
    make_file(t.path + "\\file", 4);
    struct {
        std::string path;
        std::vector<int> errors;  // any of these
    } cases[] = {
        {t.path + "\\missing", {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}},
        {t.path + "\\no\\missing", {ERROR_PATH_NOT_FOUND}},
        {t.path + "\\file", {ERROR_DIRECTORY}},
        {"", {ERROR_PATH_NOT_FOUND}},
    };
    for (const auto &c : cases) {
        PublicScan s(c.path, 0, 1);
        ASSERT_GE(s.id, 0);
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE) << c.path;
        disk_problems p = s.problems();
        EXPECT_THAT(p.root_error, testing::AnyOfArray(c.errors)) << c.path;
        EXPECT_EQ(p.unreadable_dirs + p.skipped_entries + p.loop_dirs + p.pseudo_fs_dirs, 0u);
        json tree = s.tree();
        EXPECT_EQ(tree["path"], c.path);
        EXPECT_FALSE(tree.contains("children")) << c.path;
        EXPECT_EQ(tree["total_size"], 0u);
        EXPECT_EQ(tree["total_dirs"], 0u);
        EXPECT_EQ(s.problem_list(), json::array());
    }
}

// A relative root is the directory it named when the scan was started, even
// when the host changes its current directory at once; the documents keep
// the text as given.
TEST(Win32Scan, RelativeRootResolvedWhenStarted)
{
    TempDir t;
    make_dir(t.path + "\\one");
    make_dir(t.path + "\\one\\sub");
    make_file(t.path + "\\one\\sub\\first", 3);
    make_dir(t.path + "\\two");
    make_dir(t.path + "\\two\\sub");
    make_file(t.path + "\\two\\sub\\second", 7);
    CwdGuard cwd;
    ASSERT_TRUE(SetCurrentDirectoryW(wide(t.path + "\\one").c_str()));
    PublicScan s("sub", 0, 0);
    ASSERT_TRUE(SetCurrentDirectoryW(wide(t.path + "\\two").c_str()));
    ASSERT_GE(s.id, 0);
    s.wait();
    ASSERT_EQ(s.state, SCAN_DONE);
    json tree = s.tree();
    EXPECT_EQ(tree["path"], "sub");
    EXPECT_EQ(doc_entries(tree), (std::vector<DocEntry>{{"first", false, 3, false}}));
    EXPECT_EQ(s.problems().root_error, 0);
    EXPECT_EQ(json::parse(disk_get_top(s.id, 5)), json::parse(R"([{"path":"sub/first","size":3}])"));
}

// Every ordinary spelling of one folder scans that folder: the root is made
// absolute and normal (as Windows would) before it takes the long form, the
// documents keep the host's own text, and names below it that end in a dot
// or a space are still kept.
TEST(Win32Scan, EverySpellingOfARootScansIt)
{
    TempDir t;
    const std::string parent = t.path, root = t.path + "\\fx";
    make_dir(root);
    make_file(root + "\\a", 3);
    make_dir(root + "\\sub");
    make_file(root + "\\sub\\b", 5);
    make_dir(root + "\\dot.");
    make_file(root + "\\dot.\\c ", 7);
    const std::vector<DocEntry> want = {{"a", false, 3, false},      {"dot.", true, 7, true},
                                        {"dot./c ", false, 7, false}, {"sub", true, 5, true},
                                        {"sub/b", false, 5, false}};
    std::string slashes = root;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    const std::string drive = root.substr(0, 2);
    struct {
        std::string path, cwd;  // cwd: the current directory while the scan starts
    } cases[] = {
        {root, ""},
        {root + "\\..\\fx", ""},
        {root + "\\sub\\..\\.\\", ""},
        {root + "\\.", ""},
        {parent + "\\\\fx", ""},  // a doubled separator
        {root + " ", ""},          // a trailing space
        {root + ".", ""},          // a trailing dot
        {slashes, ""},
        {slashes + "/", ""},
        {"\\\\?\\" + root, ""},   // long form: used as it is
        {"\\\\.\\" + root, ""},   // device form
        {"fx", parent},
        {".\\fx\\", parent},
        {"..\\..\\fx", root + "\\sub"},
        {".", root},
        {drive + "fx", parent},    // relative to the drive's current directory
    };
    for (const auto &c : cases) {
        CwdGuard cwd;
        if (!c.cwd.empty()) {
            ASSERT_TRUE(SetCurrentDirectoryW(wide(c.cwd).c_str()));
        }
        PublicScan s(c.path, 0, 0);
        ASSERT_GE(s.id, 0) << c.path;
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE) << c.path;
        disk_problems p = s.problems();
        EXPECT_EQ(p.root_error, 0) << c.path;
        EXPECT_EQ(p.unreadable_dirs + p.skipped_entries + p.loop_dirs + p.pseudo_fs_dirs, 0u) << c.path;
        json tree = s.tree();
        EXPECT_EQ(tree["path"], c.path);
        EXPECT_EQ(doc_entries(tree), want) << c.path;
    }
    // A long form is taken literally: "dot." is that directory, where the
    // same path without the prefix loses its dot (and names none).
    {
        PublicScan s("\\\\?\\" + root + "\\dot.", 0, 0);
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE);
        EXPECT_EQ(doc_entries(s.tree()), (std::vector<DocEntry>{{"c ", false, 7, false}}));
        PublicScan plain(root + "\\dot.", 0, 0);
        plain.wait();
        ASSERT_EQ(plain.state, SCAN_DONE);
        EXPECT_THAT(plain.problems().root_error, testing::AnyOf(ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND));
    }
    // "\\" and "/" name the root of the current directory's drive (Wine
    // reads "/" as its Unix root, Z:, which GetFullPathNameW tells).
    CwdGuard cwd;
    ASSERT_TRUE(SetCurrentDirectoryW(wide(root).c_str()));
    for (const char *path : {"\\", "/"}) {
        wchar_t full[MAX_PATH];
        ASSERT_GT(GetFullPathNameW(wide(path).c_str(), MAX_PATH, full, nullptr), 0u);
        if (!under_wine()) {
            EXPECT_EQ(std::wstring(full), wide(drive + "\\"));
        }
        std::vector<std::string> drive_root = raw_names(std::wstring(full) + L"*");
        ASSERT_FALSE(drive_root.empty());
        // Links followed, so that the names match the raw listing's.
        PublicScan s(path, 1, 1);
        ASSERT_GE(s.id, 0);
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE) << path;
        EXPECT_EQ(s.problems().root_error, 0) << path;
        json tree = s.tree();
        EXPECT_EQ(tree["path"], path);
        std::vector<std::string> names;
        for (const json &c : tree.value("children", json::array()))
            names.push_back(c["name"].get<std::string>());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, drive_root) << path;
    }
}

// With the prefix a doubled separator is taken literally, and Wine rejects
// "\\?\C:\dir\\x" (measured: error 123): a root given with a trailing
// backslash must still be walked, children included.
TEST(Win32Listing, RootEndingInBackslash)
{
    TempDir t;
    make_dir(t.path + "\\a");
    make_dir(t.path + "\\a\\b");
    make_file(t.path + "\\a\\b\\f", 5);
    ResultPtr plain(scan_sync(t.path, 0, false, false));
    ResultPtr slash(scan_sync(t.path + "\\", 0, false, false));
    EXPECT_EQ(flatten(slash.r), flatten(plain.r));
    EXPECT_EQ(slash->total_size, 5u);
}

// Paths past MAX_PATH (260) need the long-path prefix on Windows; Wine opens
// them without it too, so here this only shows that prefixed paths work.
TEST(Win32Listing, PathsPastMaxPath)
{
    TempDir t;
    std::string p = t.path;
    for (int i = 0; i < 12; i++) {
        p += "\\" + std::string(40, (char)('a' + i));
        make_dir(p);
    }
    ASSERT_GT(p.size(), 400u);
    make_file(p + "\\leaf", 9);
    ResultPtr r(scan_sync(t.path, 0, false, true));
    EXPECT_EQ(r->total_dirs, 12u);
    EXPECT_EQ(r->total_files, 1u);
    EXPECT_EQ(r->total_size, 9u);
}

namespace {

// Opens (or, with FILE_CREATE, makes) name below the directory parent.
HANDLE nt_open(HANDLE parent, const std::wstring &name, ULONG disposition, ULONG options, ACCESS_MASK access)
{
    UNICODE_STRING us;
    us.Buffer = const_cast<wchar_t *>(name.c_str());
    us.Length = us.MaximumLength = (USHORT)(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, 0, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE h = nullptr;
    NTSTATUS st = NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, 0, 7, disposition,
                               options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return st >= 0 ? h : INVALID_HANDLE_VALUE;
}

// levels directories named name, each in the one before, below dir, made
// through handles, and at the bottom a file of size bytes; false when one
// cannot be made.
bool make_chain(const std::string &dir, const std::wstring &name, int levels, size_t size)
{
    HANDLE h = CreateFileW(long_form(dir).c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    for (int i = 0; i < levels && h != INVALID_HANDLE_VALUE; i++) {
        HANDLE below = nt_open(h, name, FILE_CREATE, FILE_DIRECTORY_FILE, FILE_LIST_DIRECTORY);
        CloseHandle(h);
        h = below;
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    HANDLE f = nt_open(h, L"leaf", FILE_CREATE, FILE_NON_DIRECTORY_FILE, GENERIC_WRITE);
    CloseHandle(h);
    std::string data(size, 'q');
    DWORD done = 0;
    bool ok = f != INVALID_HANDLE_VALUE && WriteFile(f, data.data(), (DWORD)size, &done, nullptr) && done == size;
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    return ok;
}

}  // namespace

// Each directory is opened below its parent's handle, so no path is looked
// up whole: 150 levels of 40-character names make paths of over 6000
// characters, past what Linux opens by path (4096), which Wine, mapping
// every Windows path to a Linux one, then could not list.
TEST(Win32Listing, DeeperThanAPathReaches)
{
    TempDir t;
    ASSERT_TRUE(make_chain(t.path, std::wstring(40, L'd'), 150, 9));
    for (bool pool : {true, false}) {
        ResultPtr r(scan_sync(t.path, 0, false, pool));
        EXPECT_EQ(r->total_dirs, 150u);
        EXPECT_EQ(r->total_files, 1u);
        EXPECT_EQ(r->total_size, 9u);
    }
}

namespace {

// A file of size bytes of data, written: what is allocated to it follows.
void write_file(const std::string &path, size_t size)
{
    HANDLE h = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
    std::string data(size, 'q');
    DWORD done = 0;
    bool ok = WriteFile(h, data.data(), (DWORD)size, &done, nullptr) && done == size;
    CloseHandle(h);
    ASSERT_TRUE(ok) << path;
}

// What the file or directory at path says of itself, through its own handle.
struct FileFacts {
    bool ok = false;
    uint64_t length = 0, allocation = 0;
    DWORD links = 0, serial = 0;
};

FileFacts facts_of(const std::wstring &path)
{
    FileFacts f;
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return f;
    FILE_STANDARD_INFO st{};
    BY_HANDLE_FILE_INFORMATION fi{};
    f.ok = GetFileInformationByHandleEx(h, FileStandardInfo, &st, sizeof st) && GetFileInformationByHandle(h, &fi);
    CloseHandle(h);
    f.length = (uint64_t)st.EndOfFile.QuadPart;
    f.allocation = (uint64_t)st.AllocationSize.QuadPart;
    f.links = fi.nNumberOfLinks;
    f.serial = fi.dwVolumeSerialNumber;
    return f;
}

disk_scan_options scan_options(int size_kind, int hard_links_once, int one_file_system = 0, int max_depth = 0)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.size_kind = size_kind;
    o.hard_links_once = hard_links_once;
    o.one_file_system = one_file_system;
    o.max_depth = max_depth;
    return o;
}

// The tree document of a finished scan of path with opts.
json tree_with(const std::string &path, const disk_scan_options &opts)
{
    PublicScan s(path, opts);
    EXPECT_GE(s.id, 0);
    s.wait();
    EXPECT_EQ(s.state, SCAN_DONE) << path;
    return s.state == SCAN_DONE ? s.tree() : json();
}

}  // namespace

// Sizes on disk are what the file system allocated, which each file also
// tells through its own handle: a whole cluster for a few bytes, the length
// rounded up for more, nothing for a sparse file never written. Lengths, and
// the default scan's document, stay as they were.
TEST(Win32ScanOptions, SizeOnDiskIsTheAllocation)
{
    TempDir t;
    make_dir(t.path + "\\sub");
    write_file(t.path + "\\small", 3);
    write_file(t.path + "\\sub\\large", 100000);
    make_file(t.path + "\\sparse", 50ull << 20);
    DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(wide(t.path.substr(0, 3)).c_str(), &sectors, &bytes, &free_clusters, &clusters));
    uint64_t cluster = (uint64_t)sectors * bytes;
    struct {
        const char *path;
        FileFacts f;
    } files[] = {{"small", {}}, {"sparse", {}}, {"sub/large", {}}};
    for (auto &file : files) {
        std::string native = file.path;
        std::replace(native.begin(), native.end(), '/', '\\');
        file.f = facts_of(long_form(t.path + "\\" + native));
        ASSERT_TRUE(file.f.ok) << file.path;
    }
    EXPECT_EQ(files[0].f.allocation, cluster) << "3 bytes take one cluster";
    EXPECT_EQ(files[2].f.allocation, (100000 + cluster - 1) / cluster * cluster);
    bool sparse = files[1].f.allocation < files[1].f.length;
    for (int kind : {DISK_SIZE_APPARENT, DISK_SIZE_ON_DISK}) {
        std::vector<DocEntry> want = {{"sub", true, 0, true}};
        uint64_t total = 0;
        for (const auto &file : files) {
            uint64_t size = kind == DISK_SIZE_ON_DISK ? file.f.allocation : file.f.length;
            want.push_back({file.path, false, size, false});
            total += size;
            if (file.path[0] == 's' && file.path[1] == 'u')
                want[0].size += size;
        }
        std::sort(want.begin(), want.end());
        json tree = tree_with(t.path, scan_options(kind, 0));
        EXPECT_EQ(doc_entries(tree), want) << kind;
        EXPECT_EQ(tree["total_size"], total) << kind;
        if (kind == DISK_SIZE_APPARENT) {
            PublicScan plain(t.path, 0, 0);
            plain.wait();
            ASSERT_EQ(plain.state, SCAN_DONE);
            json doc = plain.tree();
            EXPECT_EQ(doc_entries(doc), want);
            EXPECT_EQ(doc["total_size"], total);
        }
    }
    if (!sparse)
        GTEST_SKIP() << "the sparse file has all its " << files[1].f.length
                     << " bytes allocated here: a size on disk below the length is not shown";
}

// Three names of one file: with hard links counted once, the name whose
// path sorts first in byte order ("B/third", though "a" sorts first
// ignoring case and the file was made as "c/orig") keeps its size and the
// others count 0; every name still counts as a file.
TEST(Win32ScanOptions, HardLinksCountedOnceUnderTheFirstPath)
{
    TempDir t;
    for (const char *d : {"a", "B", "c"})
        make_dir(t.path + "\\" + d);
    write_file(t.path + "\\c\\orig", 5000);
    write_file(t.path + "\\c\\single", 700);
    for (const char *name : {"a\\second", "B\\third"})
        if (!CreateHardLinkW(long_form(t.path + "\\" + name).c_str(), long_form(t.path + "\\c\\orig").c_str(),
                             nullptr))
            GTEST_SKIP() << "CreateHardLinkW failed here, error " << GetLastError();
    FileFacts orig = facts_of(long_form(t.path + "\\c\\orig")), single = facts_of(long_form(t.path + "\\c\\single"));
    ASSERT_TRUE(orig.ok && single.ok);
    ASSERT_EQ(orig.links, 3u);
    // Where the file system gives no file IDs in its records, nothing tells
    // the names of one file apart: each counts.
    for (bool refuse : {false, true})
    for (int kind : {DISK_SIZE_APPARENT, DISK_SIZE_ON_DISK}) {
        RecordsAs without(refuse ? QV_RECORDS_WITHOUT_IDS : QV_RECORDS_AS_THEY_ARE);
        uint64_t size = kind == DISK_SIZE_ON_DISK ? orig.allocation : orig.length;
        uint64_t lone = kind == DISK_SIZE_ON_DISK ? single.allocation : single.length;
        for (int once : {0, 1}) {
            uint64_t other = once && !refuse ? 0 : size;
            std::vector<DocEntry> want = {{"B", true, size, true},       {"B/third", false, size, false},
                                          {"a", true, other, true},      {"a/second", false, other, false},
                                          {"c", true, other + lone, true}, {"c/orig", false, other, false},
                                          {"c/single", false, lone, false}};
            PublicScan s(t.path, scan_options(kind, once));
            ASSERT_GE(s.id, 0);
            s.wait();
            ASSERT_EQ(s.state, SCAN_DONE);
            json tree = s.tree();
            EXPECT_EQ(doc_entries(tree), want) << kind << " " << once << " " << refuse;
            EXPECT_EQ(tree["total_size"], size + 2 * other + lone) << kind << " " << once << " " << refuse;
            EXPECT_EQ(tree["total_files"], 4u);
            if (once && !refuse) {
                json top = json::parse(disk_get_top(s.id, 2));
                json want_top = {{{"path", t.path + "/B/third"}, {"size", size}},
                                 {{"path", t.path + "/c/single"}, {"size", lone}}};
                EXPECT_EQ(top, want_top) << kind;
            }
        }
    }
}

// Wine shows a file system mounted below the tree as a reparse point
// (attributes 0x410) with a volume serial number of its own, as Windows
// shows a mounted volume: without links followed it is left out anyway;
// followed, it is recorded without children when the scan stays on the
// root's volume. The mount needs Wine and a user allowed to mount.
TEST(Win32ScanOptions, OneFileSystemStopsAtAMountedVolume)
{
    if (!under_wine())
        GTEST_SKIP() << "mounts a Linux file system: Wine only";
    TempDir t;
    make_dir(t.path + "\\here");
    write_file(t.path + "\\here\\f", 10);
    make_dir(t.path + "\\mnt");
    std::string mount_point = unix_path(t.path + "\\mnt");
    if (!run_unix({"/bin/mount", "-t", "tmpfs", "-o", "size=1m", "qv-other", mount_point}))
        GTEST_SKIP() << "cannot mount a tmpfs at " << mount_point << " (not root?)";
    struct Unmount {
        std::string at;
        ~Unmount() { run_unix({"/bin/umount", at}); }
    } unmount{mount_point};
    write_file(t.path + "\\mnt\\g", 20);
    FileFacts root = facts_of(long_form(t.path)), mnt = facts_of(long_form(t.path + "\\mnt"));
    ASSERT_TRUE(root.ok && mnt.ok);
    ASSERT_NE(root.serial, mnt.serial) << "Wine gave the mounted file system the drive's volume serial number";
    DWORD attrs = GetFileAttributesW(long_form(t.path + "\\mnt").c_str());
    ASSERT_TRUE(attrs & FILE_ATTRIBUTE_REPARSE_POINT) << std::hex << attrs;
    std::vector<DocEntry> here = {{"here", true, 10, true}, {"here/f", false, 10, false}};
    struct {
        int follow, one_fs;
        std::vector<DocEntry> mnt;
    } cases[] = {
        {0, 0, {}},
        {0, 1, {}},
        {1, 0, {{"mnt", true, 20, true}, {"mnt/g", false, 20, false}}},
        {1, 1, {{"mnt", true, 0, false}}},
    };
    for (const auto &c : cases) {
        disk_scan_options o = scan_options(DISK_SIZE_APPARENT, 0, c.one_fs);
        o.follow_links = c.follow;
        std::vector<DocEntry> want = here;
        want.insert(want.end(), c.mnt.begin(), c.mnt.end());
        std::sort(want.begin(), want.end());
        PublicScan s(t.path, o);
        ASSERT_GE(s.id, 0);
        s.wait();
        ASSERT_EQ(s.state, SCAN_DONE);
        EXPECT_EQ(doc_entries(s.tree()), want) << c.follow << " " << c.one_fs;
        disk_problems p = s.problems();
        EXPECT_EQ(p.unreadable_dirs + p.skipped_entries + p.loop_dirs + p.pseudo_fs_dirs, 0u);
    }
}

TEST(Win32Platform, NameProcessorsAndClock)
{
    EXPECT_STREQ(qv_platform_name(), "windows");
    DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    EXPECT_EQ((DWORD)qv_cpu_count(), std::min<DWORD>(active, 64));
    uint64_t t0 = qv_time_ms();
    Sleep(120);
    uint64_t t1 = qv_time_ms();
    EXPECT_GE(t1 - t0, 100u);  // milliseconds, not ticks of another unit
    EXPECT_LT(t1 - t0, 5000u);
}

TEST(Win32Platform, LockAndConditionStorageFromProcessHeap)
{
    qv_mutex m{};
    qv_cond cv{};
    ASSERT_EQ(qv_mutex_init(&m), 0);
    ASSERT_EQ(qv_cond_init(&cv), 0);
    HANDLE heap = GetProcessHeap();
    EXPECT_TRUE(HeapValidate(heap, 0, m.h));
    EXPECT_TRUE(HeapValidate(heap, 0, cv.h));
    EXPECT_GE(HeapSize(heap, 0, m.h), sizeof(CRITICAL_SECTION));
    EXPECT_GE(HeapSize(heap, 0, cv.h), sizeof(CONDITION_VARIABLE));
    qv_mutex_destroy(&m);
    qv_cond_destroy(&cv);
    EXPECT_EQ(m.h, nullptr);
    EXPECT_EQ(cv.h, nullptr);
    qv_mutex_destroy(&m);  // a released handle is accepted again
    qv_cond_destroy(&cv);
}

namespace {
constexpr int ROUNDS = 20000;
struct Shared {
    qv_mutex m;
    qv_cond cv;
    bool go = false;
    int waiting = 0;
    uint64_t counter = 0;
    std::atomic<int> finished{0};
};
struct Worker {
    Shared *s;
    int id;
    int seen_id = -1;
};
}  // namespace

TEST(Win32Platform, ThreadsLocksAndConditionVariables)
{
    Shared s;
    ASSERT_EQ(qv_mutex_init(&s.m), 0);
    ASSERT_EQ(qv_cond_init(&s.cv), 0);
    const int n = 4;
    Worker w[n];
    qv_thread th[n];
    for (int i = 0; i < n; i++) {
        w[i] = {&s, i};
        ASSERT_EQ(qv_thread_create(&th[i], [](void *arg) -> int {
            auto *self = static_cast<Worker *>(arg);
            Shared *sh = self->s;
            self->seen_id = self->id;
            qv_mutex_lock(&sh->m);
            sh->waiting++;
            qv_cond_broadcast(&sh->cv);
            while (!sh->go)
                qv_cond_wait(&sh->cv, &sh->m);
            qv_mutex_unlock(&sh->m);
            for (int k = 0; k < ROUNDS; k++) {
                qv_mutex_lock(&sh->m);
                sh->counter++;
                qv_mutex_unlock(&sh->m);
            }
            Sleep(20);  // join must wait for this
            sh->finished.fetch_add(1);
            return 0;
        }, &w[i]), 0);
        EXPECT_NE(th[i].h, 0u);
    }
    // All four wait on the condition before any of them counts.
    qv_mutex_lock(&s.m);
    while (s.waiting < n)
        qv_cond_wait(&s.cv, &s.m);
    EXPECT_EQ(s.counter, 0u);
    s.go = true;
    qv_cond_broadcast(&s.cv);
    qv_mutex_unlock(&s.m);
    for (int i = 0; i < n; i++) {
        void *out = &s;
        EXPECT_EQ(qv_thread_join(&th[i], &out), 0);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(th[i].h, 0u);
        EXPECT_EQ(w[i].seen_id, i);
    }
    EXPECT_EQ(s.finished.load(), n);
    EXPECT_EQ(s.counter, (uint64_t)n * ROUNDS);
    qv_cond_destroy(&s.cv);
    qv_mutex_destroy(&s.m);
}
