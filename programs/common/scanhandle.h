// A scan of the library with one owner, freed once when the owner goes.
//
// Freeing stops the scan and waits for its thread, up to a second on
// storage that does not answer (see disk_free), so an owner must outlive
// whatever has to be told first: an exit path reports its status
// (guard_report) before the owner goes out of scope, and reset() is called
// early only where that wait is harmless.
#pragma once

#include "quorvel_disk.h"

class scan_handle {
public:
    scan_handle() = default;
    explicit scan_handle(int id) : id_(id) {}
    scan_handle(scan_handle &&other) noexcept : id_(other.release()) {}
    scan_handle &operator=(scan_handle &&other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = other.release();
        }
        return *this;
    }
    scan_handle(const scan_handle &) = delete;
    scan_handle &operator=(const scan_handle &) = delete;
    ~scan_handle() { reset(); }

    // The scan's id, -1 for none (disk_scan_ex() failed, or freed).
    int get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }
    // Frees the scan now.
    void reset()
    {
        if (id_ >= 0)
            disk_free(id_);
        id_ = -1;
    }
    // The id, no longer owned here.
    int release()
    {
        int id = id_;
        id_ = -1;
        return id;
    }

private:
    int id_ = -1;
};
