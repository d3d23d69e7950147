// Included once by a Linux test program whose tests mount things: its
// mounts live in a mount namespace of the process's own, so that none is
// seen outside it or outlives it. A thread keeps the namespace it was
// started in: this runs before the first test starts any thread.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class PrivateMounts : public ::testing::Environment {
    void SetUp() override
    {
        if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0)
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    }
};
[[maybe_unused]] ::testing::Environment *const s_private_mounts =
    ::testing::AddGlobalTestEnvironment(new PrivateMounts);

}  // namespace
