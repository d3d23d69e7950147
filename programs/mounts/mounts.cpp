// The mounts' space asked for without waiting on storage that does not
// answer, and the table of them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "mounts.h"

namespace {

// What the threads asking for space share with the one waiting for them,
// which may stop waiting before they end.
struct asking {
    std::mutex m;
    std::condition_variable done;
    std::vector<mount_entry> answers;
    std::vector<bool> answered;
    size_t left = 0;
};

// Asks every mount at once; the answers there are by timeout_ms.
std::vector<mount_entry> ask_all(const std::vector<mount_entry> &table, int timeout_ms,
                                 volatile sig_atomic_t *interrupted)
{
    auto at = std::make_shared<asking>();
    at->answers = table;
    at->answered.assign(table.size(), false);
    at->left = table.size();
    for (size_t i = 0; i < table.size(); i++) {
        try {
            std::thread([at, i, m = table[i]]() mutable {
                query_space(&m);
                std::lock_guard<std::mutex> hold(at->m);
                at->answers[i] = std::move(m);
                at->answered[i] = true;
                if (--at->left == 0)
                    at->done.notify_one();
            }).detach();
        } catch (const std::system_error &) {
            std::lock_guard<std::mutex> hold(at->m);
            at->answers[i].state = MOUNT_FAILED;
            at->answers[i].error = EAGAIN;
            at->answered[i] = true;
            at->left--;
        }
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    std::unique_lock<std::mutex> hold(at->m);
    while (!at->done.wait_for(hold, std::chrono::milliseconds(50), [&] { return at->left == 0; }))
        if ((interrupted && *interrupted) || (timeout_ms >= 0 && std::chrono::steady_clock::now() >= until))
            break;
    std::vector<mount_entry> out = at->answers;
    for (size_t i = 0; i < out.size(); i++)
        if (!at->answered[i])
            out[i].state = MOUNT_SILENT;
    return out;
}

std::string seconds_text(int ms)
{
    char buf[32];
    if (ms % 1000 == 0)
        snprintf(buf, sizeof buf, "%d s", ms / 1000);
    else
        snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
    return buf;
}

}  // namespace

bool list_mounts(int timeout_ms, volatile sig_atomic_t *interrupted, std::vector<mount_entry> *out,
                 std::string *err)
{
    std::vector<mount_entry> table;
    if (!read_mount_table(&table, err))
        return false;
    out->clear();
    for (mount_entry &m : ask_all(table, timeout_ms, interrupted))
        if (m.state != MOUNT_READ || m.size > 0)
            out->push_back(std::move(m));
    sort_mounts(out);
    return true;
}

void sort_mounts(std::vector<mount_entry> *mounts)
{
    std::stable_sort(mounts->begin(), mounts->end(), [](const mount_entry &a, const mount_entry &b) {
        bool a_read = a.state == MOUNT_READ, b_read = b.state == MOUNT_READ;
        if (a_read != b_read)
            return a_read;
        if (a.size != b.size)
            return a.size > b.size;
        return a.point < b.point;
    });
}

std::string use_percent(const mount_entry &m)
{
    uint64_t whole = m.used + m.free;
    if (m.state != MOUNT_READ || whole == 0)
        return "-";
    // As df: the share of what users may fill, rounded up, so that a file
    // system with a byte to spare never reads 100%.
    long double share = (long double)m.used * 100 / (long double)whole;
    uint64_t pct = (uint64_t)share;
    if ((long double)pct < share)
        pct++;
    return std::to_string(pct) + "%";
}

std::string mount_state_text(const mount_entry &m, int timeout_ms)
{
    switch (m.state) {
    case MOUNT_READ: return "";
    case MOUNT_FAILED: return std::string("cannot read: ") + strerror(m.error);
    case MOUNT_SILENT:
        return timeout_ms < 0 ? "did not answer" : "did not answer in " + seconds_text(timeout_ms);
    }
    return "";
}
