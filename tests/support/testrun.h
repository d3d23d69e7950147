// Small helpers the unit tests of qvdisk's modules share: running code on a
// small stack, and reading what a command prints.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <functional>
#include <string>

namespace qvtest {

// Runs fn on a thread with a stack of 1 MiB: a reader that recursed per
// level would overflow it long before 100,000 levels.
inline void on_small_stack(const std::function<void()> &fn)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 1 << 20), 0);
    pthread_t th;
    auto run = [](void *p) -> void * {
        (*static_cast<const std::function<void()> *>(p))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, &attr, run, const_cast<std::function<void()> *>(&fn)), 0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
}

#ifndef _WIN32
// What command prints on standard output ("popen failed" when it cannot run).
inline std::string shell(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return "popen failed";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}
#endif

}  // namespace qvtest
