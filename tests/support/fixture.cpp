#include "fixture.h"

#include <gtest/gtest.h>

#include "host_options.h"
#include "quorvel_disk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <chrono>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#else
#include <pthread.h>
#endif

namespace fs = std::filesystem;

namespace qvtest {

#ifdef _WIN32
// Test paths are UTF-8, but narrow std::filesystem paths use the ANSI code
// page on Windows: convert explicitly.
static std::wstring utf16(const std::string &s)
{
    return fs::path(std::u8string(reinterpret_cast<const char8_t *>(s.data()), s.size())).wstring();
}
static std::string utf8(const fs::path &p)
{
    std::u8string u = p.u8string();
    return std::string(reinterpret_cast<const char *>(u.data()), u.size());
}
// With backslashes.
static std::wstring wide(const std::string &s)
{
    std::wstring w = utf16(s);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    return w;
}
static bool drive_absolute(const std::string &s)
{
    return s.size() >= 3 && s[1] == ':' && (s[2] == '\\' || s[2] == '/');
}
// Drive paths in their long form, so that files are made with the names
// given (Windows would drop a trailing dot or space, and refuse "...").
static fs::path fs_path(const std::string &s)
{
    return fs::path(drive_absolute(s) ? L"\\\\?\\" + wide(s) : wide(s));
}

// Under Wine, links are Unix symbolic links that Win32 can neither make nor
// remove (DeleteFileW on a link to a file deletes the file it points to).
bool under_wine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The Unix path of a Windows path, under Wine.
std::string unix_path(const std::string &path)
{
    typedef char *(CDECL * unix_name_fn)(LPCWSTR);
    auto fn = reinterpret_cast<unix_name_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char *u = fn ? fn(wide(path).c_str()) : nullptr;
    if (!u)
        throw std::runtime_error("no Unix path for " + path);
    std::string out = u;
    HeapFree(GetProcessHeap(), 0, u);
    return out;
}

// Runs a Unix program from a Windows program (Wine only); true on exit 0.
// Wine starts it without a process handle to wait on, so a shell writes the
// exit status into a marker file that is waited for.
bool run_unix(const std::vector<std::string> &argv)
{
    static int s_runs;
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    std::wstring marker = std::wstring(tmp) + L"qv-unix-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(++s_runs);
    std::string marker_utf8 = utf8(fs::path(marker));
    auto quote = [](const std::string &a) { return L"\"" + utf16(a) + L"\""; };
    std::wstring cmd = L"/bin/sh -c \"m=$1; shift; \\\"$@\\\"; echo $? > \\\"$m.tmp\\\"; "
                       L"mv \\\"$m.tmp\\\" \\\"$m\\\"\" sh " + quote(unix_path(marker_utf8));
    for (const std::string &a : argv)
        cmd += L" " + quote(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    for (int i = 0; i < 3000 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
        Sleep(10);
    std::ifstream f{fs::path(marker)};
    std::string status;
    std::getline(f, status);
    f.close();
    DeleteFileW(marker.c_str());
    return status == "0";
}

// Removes a tree without entering junctions or links (std::filesystem on
// Windows cannot tell them from directories and would empty their targets).
static void remove_tree(const std::string &root)
{
    if (under_wine()) {
        run_unix({"/bin/rm", "-rf", "--", unix_path(root)});
        return;
    }
    std::wstring top = L"\\\\?\\" + wide(root);
    std::vector<std::pair<std::wstring, bool>> stack{{top, false}};  // path, children removed
    while (!stack.empty()) {
        auto [dir, emptied] = stack.back();
        if (emptied) {
            stack.pop_back();
            RemoveDirectoryW(dir.c_str());
            continue;
        }
        stack.back().second = true;
        WIN32_FIND_DATAW d;
        HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &d);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        do {
            std::wstring n = d.cFileName;
            if (n == L"." || n == L"..")
                continue;
            std::wstring child = dir + L"\\" + n;
            DWORD a = d.dwFileAttributes;
            if (a & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(child.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
            if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT))
                stack.push_back({child, false});
            else if (a & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(child.c_str());  // the junction, not its target
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(h, &d));
        FindClose(h);
    }
}

// A junction: a directory link that needs no privilege on Windows.
static bool make_junction(const std::string &target, const std::string &link)
{
    std::wstring abs = fs::absolute(fs::path(wide(target))).wstring();
    std::wstring subst = L"\\??\\" + abs;
    size_t sb = subst.size() * sizeof(wchar_t), pb = abs.size() * sizeof(wchar_t);
    // REPARSE_DATA_BUFFER for a mount point: tag, length, reserved, four
    // offsets/lengths, then both names, each NUL-terminated.
    std::vector<char> buf(8 + 8 + sb + 2 + pb + 2);
    auto put16 = [&](size_t at, size_t v) { buf[at] = (char)(v & 0xff); buf[at + 1] = (char)(v >> 8); };
    DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buf.data(), &tag, 4);
    put16(4, buf.size() - 8);
    put16(8, 0);
    put16(10, sb);
    put16(12, sb + 2);
    put16(14, pb);
    memcpy(buf.data() + 16, subst.c_str(), sb + 2);
    memcpy(buf.data() + 16 + sb + 2, abs.c_str(), pb + 2);
    std::wstring w = wide(link);
    if (!CreateDirectoryW(w.c_str(), nullptr))
        return false;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD got = 0;
    bool ok = h != INVALID_HANDLE_VALUE &&
              DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), (DWORD)buf.size(), nullptr, 0, &got, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!ok)
        RemoveDirectoryW(w.c_str());
    return ok;
}
#else
static fs::path fs_path(const std::string &s) { return fs::path(s); }
#endif

static int s_counter;

TempDir::TempDir()
{
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path p = base / ("qvtest-" + std::to_string(rand()) + "-" + std::to_string(++s_counter));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
#ifdef _WIN32
            // Native separators: with the long-path prefix "/" is no separator.
            path = utf8(p.make_preferred());
#else
            path = p.generic_string();
#endif
            return;
        }
    }
}

TempDir::~TempDir()
{
#ifdef _WIN32
    remove_tree(path);
#else
    std::error_code ec;
    fs::remove_all(path, ec);
#endif
}

void mkdirp(const std::string &path) { fs::create_directories(fs_path(path)); }

void wfile(const std::string &path, uint64_t size)
{
    {
        std::ofstream f(fs_path(path), std::ios::binary);
        if (!f)
            throw std::runtime_error("cannot create " + path);
    }
    fs::resize_file(fs_path(path), size);
}

bool symlink_to(const std::string &target, const std::string &link)
{
#ifdef _WIN32
    if (under_wine()) {
        std::string t = target;
        if (drive_absolute(t))
            t = unix_path(t);
        else
            std::replace(t.begin(), t.end(), '\\', '/');
        return run_unix({"/bin/ln", "-s", "--", t, unix_path(link)});
    }
    if (fs::is_directory(fs_path(target)))
        return make_junction(target, link);
    return CreateSymbolicLinkW(wide(link).c_str(), wide(target).c_str(),
                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
#endif
    std::error_code ec;
    if (fs::is_directory(target))
        fs::create_directory_symlink(target, link, ec);
    else
        fs::create_symlink(target, link, ec);
    return !ec;
}

std::vector<FlatEntry> flatten(const qv_scan_result *r)
{
    std::vector<FlatEntry> out;
    if (!r || !r->root)
        return out;
    // Explicit stack of (entry, relative path of its parent).
    std::vector<std::pair<const qv_entry *, std::string>> stack;
    for (const qv_entry *c = r->root->first_child; c; c = c->next_sibling)
        stack.push_back({c, ""});
    while (!stack.empty()) {
        auto [e, prefix] = stack.back();
        stack.pop_back();
        std::string p = prefix + qv_tree_get_name(e);
        out.push_back({p, e->is_dir != 0, e->is_dir ? 0 : e->size});
        for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
            stack.push_back({c, p + "/"});
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<FlatEntry> walk_fs(const std::string &root)
{
    std::vector<FlatEntry> out;
    fs::path top = fs_path(root);
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        const fs::directory_entry &d = *it;
#ifdef _WIN32
        // Junctions and links carry the reparse-point attribute; the C++
        // library on Windows would take them for directories.
        DWORD a = GetFileAttributesW(d.path().c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
            it.disable_recursion_pending();
            continue;
        }
        size_t skip = top.native().size() + (top.native().back() == L'\\' ? 0 : 1);
        std::string rel = utf8(fs::path(d.path().native().substr(skip)));
        std::replace(rel.begin(), rel.end(), '\\', '/');
#else
        if (d.is_symlink())
            continue;
        std::string rel = fs::relative(d.path(), root).generic_string();
#endif
        bool dir = d.is_directory();
        out.push_back({rel, dir, dir ? 0 : (uint64_t)d.file_size()});
    }
    std::sort(out.begin(), out.end());
    return out;
}

qv_scan_result *scan_sync_with(const std::string &path, const disk_scan_options *opts, const qv_walk_hooks &hooks)
{
    disk_scan_status(-1);  // makes sure the slot table is initialised
#ifdef _WIN32
    // A Windows host passes native paths: with the long-path prefix that a
    // drive-letter path gets, "/" would not separate.
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
#else
    const std::string &native = path;
#endif
    qv_options o;
    if (qv_options_from_host(&o, native.c_str(), opts) != 0)
        return nullptr;
    return qv_scanner_scan(&o, &hooks);
}

qv_scan_result *scan_sync(const std::string &path, int max_depth, bool follow_links, bool pool)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.max_depth = max_depth;
    o.follow_links = follow_links ? 1 : 0;
    qv_walk_hooks hooks{};
    hooks.workers = pool ? 0 : 1;
    return scan_sync_with(path, &o, hooks);
}

std::vector<std::string> child_names(const qv_entry *e)
{
    std::vector<std::string> out;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
        out.push_back(qv_tree_get_name(c));
    return out;
}

const qv_entry *find_child(const qv_entry *e, const std::string &name)
{
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
        if (name == qv_tree_get_name(c))
            return c;
    return nullptr;
}

static void *call_fn(void *arg)
{
    (*static_cast<const std::function<void()> *>(arg))();
    return nullptr;
}

void run_with_stack(size_t stack_size, const std::function<void()> &fn)
{
#ifdef _WIN32
    HANDLE t = CreateThread(nullptr, stack_size,
                            [](LPVOID arg) -> DWORD {
                                call_fn(arg);
                                return 0;
                            },
                            const_cast<std::function<void()> *>(&fn), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!t)
        throw std::runtime_error("CreateThread failed");
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
#else
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    pthread_t t;
    if (pthread_create(&t, &attr, call_fn, const_cast<std::function<void()> *>(&fn)) != 0)
        throw std::runtime_error("pthread_create failed");
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
#endif
}

int wait_scan(int id)
{
    int state;
    while ((state = disk_scan_status(id)) == SCAN_IDLE || state == SCAN_RUNNING)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return state;
}

WalkRun::WalkRun()
{
    qv_walk_init(&ctx);
    ctx.cancel = &cancel;
    r = qv_scan_result_create();
    root = qv_tree_new_entry(qv_scan_result_first_arena(r), "root", 4);
    root->is_dir = 1;
    r->root = root;
    ctx.result = r;
}

WalkRun::~WalkRun()
{
    qv_walk_release(&ctx);
    qv_scan_result_free(r);
    qv_options_release(&opts);
}

void wait_for_idle_workers(const qv_walk_ctx *ctx, int n)
{
    for (int i = 0; i < 10000 && qv_walk_hungry(ctx) < n; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void WalkRun::run(const std::string &path, const disk_scan_options *host)
{
    qv_options_release(&opts);
    ASSERT_EQ(qv_options_from_host(&opts, path.c_str(), host), 0);
    if (opts.asked.extended && !r->extended) {
        r->extended = true;
        root = qv_tree_new_entry(qv_scan_result_first_arena(r), "root", 4, true);
        root->is_dir = 1;
        r->root = root;
    }
    ctx.opts = &opts;
    qv_walk(&ctx, root);
}

}  // namespace qvtest
