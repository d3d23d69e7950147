// Prints the memory that 32 scans of small folders commit: Windows does not
// overcommit, so what a scan commits is what it takes from the system's
// commit limit whether it touches it or not. Figures only; the run fails
// only when a scan does not end done with the right counts.
//
//   commit_charge.exe [FOLDERS]    (FOLDERS scans at once, 32 by default)
//
// Two measures of the process: PrivateUsage from GetProcessMemoryInfo (on
// Windows the commit charge; Wine reports its resident anonymous memory
// instead) and the committed private pages that VirtualQuery lists (Wine
// keeps Windows' reserve/commit states for them, so this one is comparable).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quorvel_disk.h"

namespace {

struct Commit {
    unsigned long long private_usage, peak_pagefile, committed_private;
};

Commit measure()
{
    Commit c{};
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&pmc), sizeof pmc)) {
        c.private_usage = pmc.PrivateUsage;
        c.peak_pagefile = pmc.PeakPagefileUsage;
    }
    MEMORY_BASIC_INFORMATION mbi;
    for (char *at = nullptr; VirtualQuery(at, &mbi, sizeof mbi) == sizeof mbi;
         at = static_cast<char *>(mbi.BaseAddress) + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            c.committed_private += mbi.RegionSize;
    }
    return c;
}

double mib(long long bytes) { return (double)bytes / (1024.0 * 1024.0); }

void print(const char *when, const Commit &c, const Commit &base, int scans)
{
    long long pu = (long long)c.private_usage - (long long)base.private_usage;
    long long cp = (long long)c.committed_private - (long long)base.committed_private;
    printf("%-28s PrivateUsage %+9.1f MiB   committed private %+9.1f MiB", when, mib(pu), mib(cp));
    if (scans > 0)
        printf("   per scan %8.1f KiB", (double)cp / scans / 1024.0);
    printf("\n");
}

bool write_file(const std::wstring &path, DWORD n)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes(n, 'q');
    DWORD done = 0;
    bool ok = WriteFile(h, bytes.data(), n, &done, nullptr) && done == n;
    CloseHandle(h);
    return ok;
}

std::string utf8(const std::wstring &w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out((size_t)(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? (size_t)n - 1 : 0);
    return out;
}

const int FILES = 20;      // per folder, 100 bytes each
const int SUBFILES = 5;    // in its one subfolder

}  // namespace

int main(int argc, char **argv)
{
    int scans = argc > 1 ? atoi(argv[1]) : 32;
    if (scans < 1 || scans > 32) {
        fprintf(stderr, "usage: commit_charge [1..32]\n");
        return 2;
    }
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    std::wstring top = std::wstring(tmp) + L"qv-commit-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(top.c_str(), nullptr);
    std::vector<std::wstring> folders;
    bool made = true;
    for (int i = 0; i < scans && made; i++) {
        std::wstring f = top + L"\\f" + std::to_wstring(i);
        made = CreateDirectoryW(f.c_str(), nullptr) && CreateDirectoryW((f + L"\\sub").c_str(), nullptr);
        for (int k = 0; k < FILES && made; k++)
            made = write_file(f + L"\\file" + std::to_wstring(k) + L".txt", 100);
        for (int k = 0; k < SUBFILES && made; k++)
            made = write_file(f + L"\\sub\\inner" + std::to_wstring(k) + L".bin", 100);
        folders.push_back(f);
    }
    int status = made ? 0 : 1;
    if (!made)
        fprintf(stderr, "could not make the folders below %s\n", utf8(top).c_str());

    if (status == 0) {
        // The first call sets the library up; its own fixed cost is not a scan's.
        disk_scan_status(0);
        Commit base = measure();
        std::vector<int> ids;
        for (const std::wstring &f : folders)
            ids.push_back(disk_scan(utf8(f).c_str(), 0, 0));
        Commit started = measure();
        for (int id : ids) {
            int state = id < 0 ? SCAN_FAILED : SCAN_IDLE;
            for (int i = 0; i < 60000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
                Sleep(1);
                state = disk_scan_status(id);
            }
            unsigned long long files = 0, dirs = 0, bytes = 0;
            disk_scan_progress(id, &files, &dirs, &bytes);
            if (state != SCAN_DONE || files != FILES + SUBFILES || dirs != 1 ||
                bytes != 100ull * (FILES + SUBFILES)) {
                fprintf(stderr, "scan %d: state %d, %llu files, %llu dirs, %llu bytes\n", id, state, files, dirs,
                        bytes);
                status = 1;
            }
        }
        Commit done = measure();
        for (int id : ids)
            disk_free(id);
        Commit freed = measure();
        printf("%d scans of folders of %d files and 1 subfolder (%d files)\n", scans, FILES, SUBFILES);
        print("just started:", started, base, scans);
        print("all done, results held:", done, base, scans);
        print("all freed:", freed, base, 0);
        printf("peak pagefile usage of the process: %.1f MiB\n", mib((long long)done.peak_pagefile));
    }

    for (const std::wstring &f : folders) {
        for (int k = 0; k < FILES; k++)
            DeleteFileW((f + L"\\file" + std::to_wstring(k) + L".txt").c_str());
        for (int k = 0; k < SUBFILES; k++)
            DeleteFileW((f + L"\\sub\\inner" + std::to_wstring(k) + L".bin").c_str());
        RemoveDirectoryW((f + L"\\sub").c_str());
        RemoveDirectoryW(f.c_str());
    }
    RemoveDirectoryW(top.c_str());
    return status;
}
