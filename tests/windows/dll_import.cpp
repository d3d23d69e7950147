// A Windows host linked with the import library: the header declares the
// exports dllimport, and the calls resolve into quorvel-disk.dll.
#include <gtest/gtest.h>

#include <windows.h>

#include "quorvel_disk.h"

TEST(ImportLibrary, CallsResolveIntoTheDll)
{
    HMODULE m = GetModuleHandleW(L"quorvel-disk.dll");
    ASSERT_NE(m, nullptr) << "the DLL was not loaded with the program";
    // Through dllimport, a function's address is read from the import table:
    // it is the DLL's own export.
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(m, "disk_scan")), reinterpret_cast<void *>(&disk_scan));
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(m, "disk_get_top")),
              reinterpret_cast<void *>(&disk_get_top));
}

TEST(ImportLibrary, ScanOfMissingFolderEndsDoneAndEmpty)
{
    EXPECT_EQ(disk_scan(nullptr, 0, 0), -1);
    EXPECT_EQ(disk_scan_status(32), -1);
    int id = disk_scan("C:\\no such folder\\qv", 0, 0);
    ASSERT_GE(id, 0);
    int state = SCAN_IDLE;
    for (int i = 0; i < 20000 && (state == SCAN_IDLE || state == SCAN_RUNNING); i++) {
        Sleep(1);
        state = disk_scan_status(id);
    }
    EXPECT_EQ(state, SCAN_DONE);
    EXPECT_STREQ(disk_get_top(id, 5), "[]");
    EXPECT_STREQ(disk_get_extensions(id), "[]");
    disk_free(id);
    EXPECT_EQ(disk_scan_status(id), -1);
}
