// Storage that stops answering, on Windows: a test hook makes opening the
// listing of any directory named "media" block in a synchronous read of a
// pipe nobody writes to, as a share whose server went away blocks. The
// walk first asks the system to cancel the call, then gives up on the
// thread; either way the directory is counted stalled and the scan ends.
#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "dirlist_win32.h"
#include "fixture.h"
#include "quorvel_disk.h"

using namespace qvtest;
using json = nlohmann::json;
using clk = std::chrono::steady_clock;

namespace {

HANDLE g_read = INVALID_HANDLE_VALUE;
HANDLE g_write = INVALID_HANDLE_VALUE;
std::atomic<int> g_blocked{0};

int block_media(const char *path)
{
    size_t n = strlen(path);
    if (n < 6 || strcmp(path + n - 6, "\\media") != 0)
        return 0;
    g_blocked++;
    char c;
    DWORD got = 0;
    if (!ReadFile(g_read, &c, 1, &got, nullptr))
        return (int)GetLastError();  // cancelled
    return 0;                        // written to: the storage answers again
}

long ms_since(clk::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t).count();
}

class WindowsStalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreatePipe(&g_read, &g_write, nullptr, 0));
        g_blocked = 0;
        for (const char *d : {"\\a", "\\share", "\\share\\media"})
            ASSERT_TRUE(CreateDirectoryA((t.path + d).c_str(), nullptr));
        for (int i = 0; i < 10; i++) {
            wfile(t.path + "\\a\\f" + std::to_string(i), 10 + i);
            wfile(t.path + "\\share\\media\\m" + std::to_string(i), 100 + i);
        }
        qv_dirlist_open_hook = block_media;
    }
    void TearDown() override
    {
        // Every read still blocked gets its byte and returns; a thread
        // given up on then ends by itself.
        char bytes[64] = {};
        DWORD put = 0;
        WriteFile(g_write, bytes, (DWORD)sizeof bytes, &put, nullptr);
        for (int i = 0; i < 100 && g_blocked > 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        qv_dirlist_open_hook = nullptr;
        CloseHandle(g_write);
        CloseHandle(g_read);
    }
    int wait(int id)
    {
        int st;
        auto deadline = clk::now() + std::chrono::seconds(60);
        while ((st = disk_scan_status(id)) == SCAN_RUNNING || st == SCAN_IDLE) {
            if (clk::now() > deadline)
                disk_scan_cancel(id);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return st;
    }
    TempDir t;
};

}  // namespace

TEST_F(WindowsStalls, BlockedListingIsStalledAndTheRestIsWhole)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.stall_timeout_ms = 1000;  // no healthy call under Wine waits that long
    auto start = clk::now();
    int id = disk_scan_ex(t.path.c_str(), &o);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait(id), SCAN_DONE);
    EXPECT_LT(ms_since(start), 10000);
    disk_problems p{};
    p.struct_size = sizeof p;
    disk_scan_problems(id, &p);
    EXPECT_EQ(p.stalled_dirs, 1u);
    EXPECT_EQ(p.unreadable_dirs, 0u);
    EXPECT_EQ(json::parse(disk_get_problems(id)),
              json::array({{{"path", t.path + "/share/media"}, {"problem", "stalled"}}}));
    json tree = json::parse(disk_scan_result(id));
    EXPECT_EQ(tree["total_files"], 10u);  // a's files; media's could not be read
    EXPECT_EQ(tree["total_dirs"], 3u);
    disk_free(id);
}

TEST_F(WindowsStalls, CancelAndFreeDuringBlockReturnAtOnce)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    o.stall_timeout_ms = DISK_STALL_WAIT_FOREVER;
    int id = disk_scan_ex(t.path.c_str(), &o);
    ASSERT_GE(id, 0);
    for (int i = 0; i < 500 && g_blocked == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(g_blocked.load(), 0);
    EXPECT_EQ(disk_scan_status(id), SCAN_RUNNING);
    auto start = clk::now();
    disk_scan_cancel(id);
    disk_free(id);
    EXPECT_LT(ms_since(start), 1000);
}
