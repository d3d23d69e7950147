// A thread's account of the calls it makes into storage, so that the walk
// can notice one that never returns (a share whose server went away, a hung
// FUSE daemon) and give up on it without waiting for it.
//
// The owning thread marks each call with qv_call_begin and qv_call_end: a
// store before, one compare-and-swap after, on a cache line of its own. A
// watching thread that finds the same call still inside after its timeout
// gives up on it with qv_call_give_up; from then on everything the owner
// held is the watcher's, and when the call returns, qv_call_end runs the
// owner's given_up instead of returning: it drops what the thread kept and
// ends the thread. Either the owner's qv_call_end or the watcher's
// qv_call_give_up wins, never both.
#pragma once

#include <atomic>
#include <cstdint>

#define QV_CALL_INSIDE 1u    // the owner is inside a call
#define QV_CALL_GIVEN_UP 2u  // the watcher gave up on that call
#define QV_CALL_STEP 4u      // one call begun and ended

struct qv_call_watch {
    std::atomic<uint64_t> state;  // calls * QV_CALL_STEP + the bits above
    uint64_t inside;                          // the owner's own: state while inside
    // Runs on the owner once its call returns after the watcher gave up on
    // it; never returns.
    void (*given_up)(qv_call_watch *watch);
    // Calls the watcher asked the system to cancel (Windows): a listing
    // during which this moves was cut short by a stall.
    std::atomic<uint32_t> cancels;
};

inline void qv_call_watch_init(qv_call_watch *w, void (*given_up)(qv_call_watch *))
{
    w->state.store(0, std::memory_order_relaxed);
    w->inside = 0;
    w->given_up = given_up;
    w->cancels.store(0, std::memory_order_relaxed);
}

// Everything the owner wrote before is the watcher's to read once it gives up.
inline void qv_call_begin(qv_call_watch *w)
{
    if (!w)
        return;
    w->inside = w->state.load(std::memory_order_relaxed) + QV_CALL_INSIDE;
    w->state.store(w->inside, std::memory_order_release);
}

inline void qv_call_end(qv_call_watch *w)
{
    if (!w)
        return;
    uint64_t inside = w->inside;
    if (!w->state.compare_exchange_strong(inside, w->inside - QV_CALL_INSIDE + QV_CALL_STEP,
                                          std::memory_order_acq_rel, std::memory_order_relaxed))
        w->given_up(w);
}

// The watcher's side: true when it now owns what the owner held (the owner
// was still inside the call it saw as seen).
inline bool qv_call_give_up(qv_call_watch *w, uint64_t seen)
{
    return (seen & (QV_CALL_INSIDE | QV_CALL_GIVEN_UP)) == QV_CALL_INSIDE &&
           w->state.compare_exchange_strong(seen, seen | QV_CALL_GIVEN_UP, std::memory_order_acq_rel,
                                            std::memory_order_relaxed);
}
