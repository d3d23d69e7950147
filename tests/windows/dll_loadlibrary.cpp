// A Windows host that knows only the DLL's file name: LoadLibraryW finds it
// beside the program, GetProcAddress finds the exports by their plain
// names, and a scan runs through them; loaded and unloaded again and again,
// it keeps nothing of the process.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "quorvel_disk.h"

namespace {

struct Exports {
    decltype(&disk_scan) scan;
    decltype(&disk_scan_status) status;
    decltype(&disk_scan_progress) progress;
    decltype(&disk_scan_problems) problems;
    decltype(&disk_get_problems) problem_list;
    decltype(&disk_scan_cancel) cancel;
    decltype(&disk_free) free;
    decltype(&disk_scan_result) result;
    decltype(&disk_get_top) top;
    decltype(&disk_get_extensions) extensions;
    decltype(&disk_get_dir) dir;
};

template <typename F> void find(HMODULE m, const char *name, F &out)
{
    out = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name)));
}

std::wstring folder_of(const std::wstring &file) { return file.substr(0, file.find_last_of(L"\\/")); }

std::wstring module_file(HMODULE m)
{
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(m, buf, MAX_PATH);
    return std::wstring(buf, n);
}

// A small tree made through Win32: root\a.bin (10 bytes), root\sub\b.txt (5).
struct Tree {
    std::wstring root;
    Tree()
    {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        root = std::wstring(tmp) + L"qvdll-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64());
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
        write(root + L"\\a.bin", 10);
        write(root + L"\\sub\\b.txt", 5);
    }
    ~Tree()
    {
        DeleteFileW((root + L"\\sub\\b.txt").c_str());
        DeleteFileW((root + L"\\a.bin").c_str());
        RemoveDirectoryW((root + L"\\sub").c_str());
        RemoveDirectoryW(root.c_str());
    }
    static void write(const std::wstring &path, DWORD n)
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        std::string bytes(n, 'x');
        DWORD done = 0;
        WriteFile(h, bytes.data(), n, &done, nullptr);
        CloseHandle(h);
    }
    std::string utf8() const
    {
        char buf[MAX_PATH * 3];
        int n = WideCharToMultiByte(CP_UTF8, 0, root.c_str(), -1, buf, sizeof buf, nullptr, nullptr);
        return std::string(buf, n > 0 ? n - 1 : 0);
    }
};

}  // namespace

TEST(DllLoad, FindsTheExportsByPlainName)
{
    HMODULE m = LoadLibraryW(L"quorvel-disk.dll");
    ASSERT_NE(m, nullptr) << "error " << GetLastError();
    // The copy beside the program was loaded.
    EXPECT_EQ(folder_of(module_file(m)), folder_of(module_file(nullptr)));

    const char *names[] = {"disk_scan",        "disk_scan_status", "disk_scan_progress", "disk_scan_cancel",
                           "disk_free",        "disk_scan_result", "disk_get_top",       "disk_get_extensions",
                           "disk_scan_problems", "disk_get_problems", "disk_get_dir", "disk_visit",
                           "disk_import_begin", "disk_import_entry", "disk_import_end"};
    for (const char *name : names)
        EXPECT_NE(GetProcAddress(m, name), nullptr) << name;
    // Internal functions stay inside.
    for (const char *name : {"qv_scanner_init", "qv_tree_get_name", "qv_walk_root", "qv_mutex_init"})
        EXPECT_EQ(GetProcAddress(m, name), nullptr) << name;
    FreeLibrary(m);
}

TEST(DllLoad, ScanRunsThroughLoadedFunctions)
{
    HMODULE m = LoadLibraryW(L"quorvel-disk.dll");
    ASSERT_NE(m, nullptr);
    Exports f{};
    find(m, "disk_scan", f.scan);
    find(m, "disk_scan_status", f.status);
    find(m, "disk_scan_progress", f.progress);
    find(m, "disk_scan_problems", f.problems);
    find(m, "disk_get_problems", f.problem_list);
    find(m, "disk_scan_cancel", f.cancel);
    find(m, "disk_free", f.free);
    find(m, "disk_scan_result", f.result);
    find(m, "disk_get_top", f.top);
    find(m, "disk_get_extensions", f.extensions);
    find(m, "disk_get_dir", f.dir);
    ASSERT_TRUE(f.scan && f.status && f.progress && f.problems && f.problem_list && f.cancel && f.free && f.result &&
                f.top && f.extensions && f.dir);

    Tree t;
    std::string root = t.utf8();
    int id = f.scan(root.c_str(), 0, 0);
    ASSERT_GE(id, 0);
    int state = SCAN_IDLE;
    for (int i = 0; i < 20000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
        Sleep(1);
        state = f.status(id);
    }
    ASSERT_EQ(state, SCAN_DONE);
    unsigned long long files = 0, dirs = 0, bytes = 0;
    EXPECT_EQ(f.progress(id, &files, &dirs, &bytes), SCAN_DONE);
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(dirs, 1u);
    EXPECT_EQ(bytes, 15u);
    disk_problems p{};
    p.struct_size = sizeof p;
    p.root_error = -1;
    EXPECT_EQ(f.problems(id, &p), SCAN_DONE);
    EXPECT_EQ(p.root_error, 0);
    EXPECT_STREQ(f.problem_list(id), "[]");
    const char *doc = f.result(id);
    ASSERT_NE(doc, nullptr);
    EXPECT_NE(strstr(doc, "\"total_size\":15,\"total_files\":2,\"total_dirs\":1,"), nullptr) << doc;
    const char *top = f.top(id, 1);
    ASSERT_NE(top, nullptr);
    EXPECT_NE(strstr(top, "a.bin\",\"size\":10}]"), nullptr) << top;
    const char *ext = f.extensions(id);
    ASSERT_NE(ext, nullptr);
    EXPECT_STREQ(ext, "[{\"ext\":\".bin\",\"total_size\":10,\"count\":1},{\"ext\":\".txt\",\"total_size\":5,\"count\":1}]");
    // A directory named with "/" after the root's backslashed path, as the
    // largest-files document joins them.
    const char *sub = f.dir(id, (root + "/sub").c_str(), 0);
    ASSERT_NE(sub, nullptr);
    EXPECT_STREQ(sub, "{\"name\":\"sub\",\"size\":5,\"files\":1,\"is_dir\":true,\"children\":["
                      "{\"name\":\"b.txt\",\"size\":5,\"files\":1,\"is_dir\":false}]}");
    EXPECT_EQ(f.dir(id, (root + "\\sub").c_str(), 0), nullptr);
    f.cancel(id);  // after the end: no effect
    EXPECT_EQ(f.status(id), SCAN_DONE);
    f.free(id);
    EXPECT_EQ(f.status(id), -1);
    EXPECT_EQ(f.result(id), nullptr);
    FreeLibrary(m);
}

// A plug-in host loads the DLL, calls it and unloads it again and again.
// Each cycle must give back all it took: a TLS slot kept per unload (as
// winpthreads, pulled in by a function-local static or thread_local, keeps
// one) runs the process out of slots after about a thousand cycles.
TEST(DllLoad, UnloadCyclesKeepNoTlsSlot)
{
    Tree t;
    std::string root = t.utf8();
    auto next_tls_index = [] {
        DWORD i = TlsAlloc();
        TlsFree(i);
        return i;
    };
    // One cycle first: what the process itself sets up once (Wine's own
    // modules) is not the DLL's.
    DWORD before = 0;
    const int cycles = 200;
    for (int cycle = 0; cycle <= cycles; cycle++) {
        if (cycle == 1)
            before = next_tls_index();
        HMODULE m = LoadLibraryW(L"quorvel-disk.dll");
        ASSERT_NE(m, nullptr) << "cycle " << cycle << " error " << GetLastError();
        Exports f{};
        find(m, "disk_scan", f.scan);
        find(m, "disk_scan_status", f.status);
        find(m, "disk_free", f.free);
        find(m, "disk_scan_result", f.result);
        find(m, "disk_get_top", f.top);
        ASSERT_TRUE(f.scan && f.status && f.free && f.result && f.top);
        // A whole scan: the first export call, the scan and pool threads,
        // the ordering of the tree and both kinds of document.
        int id = f.scan(root.c_str(), 0, 0);
        ASSERT_GE(id, 0) << "cycle " << cycle;
        int state = SCAN_IDLE;
        for (int i = 0; i < 20000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
            Sleep(1);
            state = f.status(id);
        }
        ASSERT_EQ(state, SCAN_DONE) << "cycle " << cycle;
        const char *doc = f.result(id);
        ASSERT_NE(doc, nullptr);
        ASSERT_NE(strstr(doc, "\"total_size\":15,"), nullptr) << doc;
        ASSERT_NE(f.top(id, 2), nullptr);
        f.free(id);
        ASSERT_TRUE(FreeLibrary(m));
        ASSERT_EQ(GetModuleHandleW(L"quorvel-disk.dll"), nullptr) << "cycle " << cycle << ": not unloaded";
    }
    DWORD after = next_tls_index();
    EXPECT_NE(after, TLS_OUT_OF_INDEXES);
    EXPECT_LE(after, before) << cycles << " cycles took " << (after - before) << " TLS slots";
}
