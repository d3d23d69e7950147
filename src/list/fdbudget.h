// The descriptor budget of the Linux listing.
//
// All scans of the process share one budget of descriptors, half the soft
// RLIMIT_NOFILE, so that many scans at once never take the host's last
// descriptors. A scan starts only once it can hold its root and
// QV_FD_SPARE more (its share), which stay its own while it runs: whatever
// the other scans hold, one of its walkers can always go on. A walker that
// must wait for a descriptor holds none: it gives its kept ancestors back
// first.
//
// Windows handles have no per-process limit to share: there is no budget.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

#ifdef _WIN32

inline int qv_fd_scarce(void) { return 0; }

#else

#define QV_FD_SPARE 2

// 1 while descriptors run short for the scans of the process (a walker
// waits for one, or little of the budget is left): no time to let more
// workers list at once.
int qv_fd_scarce(void);
// Reads the limit again: for tests that lower it, while no scan runs.
void qv_fd_budget_reset(void);

// The root's descriptor and the spares of one scan.
struct qv_fd_share {
    std::atomic<int> spare;
};
// Takes a scan's share from the budget, waiting until it is there; false
// when cancel was set meanwhile.
bool qv_fd_share_open(qv_fd_share *s, const std::atomic<int32_t> *cancel);
// Gives the share back, with every spare it holds.
void qv_fd_share_close(qv_fd_share *s);
// n descriptors for a walker of the scan: from the budget, else from the
// share's spares. The wait holds nothing and ends false when cancelled.
bool qv_fd_try_take(qv_fd_share *s, int n);
bool qv_fd_take(qv_fd_share *s, int n, const std::atomic<int32_t> *cancel);
// What comes back refills the spares first.
void qv_fd_give(qv_fd_share *s, int n);
// Straight to the budget: for a listing whose scan may be over and gone.
void qv_fd_give_to_process(int n);

// Whether an error says the process (or the system) is out of descriptors.
inline bool qv_fd_exhausted(int err)
{
    return err == EMFILE || err == ENFILE;
}
// Waits a moment for the process to get a descriptor back (another scan or
// the host closing one); false when cancelled.
bool qv_fd_wait(const std::atomic<int32_t> *cancel);

#endif
