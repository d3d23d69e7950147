// Mounts of flakyfs (tests/fuse/flakyfs.c) for the tests of hostile and
// stalling storage, and a scan through the exports freed when a test ends.
// Mounting needs root and /dev/fuse; without them the cases skip.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fixture.h"
#include "quorvel_disk.h"
#include "scanner.h"

#ifndef QV_FLAKYFS
#define QV_FLAKYFS ""  // not built: libfuse3 was not found
#endif

namespace qvtest {

using nlohmann::json;

inline bool have_root() { return geteuid() == 0; }

inline bool have_fuse()
{
    return have_root() && access("/dev/fuse", R_OK | W_OK) == 0 && QV_FLAKYFS[0] != '\0' &&
           access(QV_FLAKYFS, X_OK) == 0;
}

#define NEED_ROOT()                                \
    do {                                           \
        if (!have_root())                          \
            GTEST_SKIP() << "skipped: needs root"; \
    } while (0)
#define NEED_ROOT_AND_FUSE()                                \
    do {                                                    \
        if (!have_fuse())                                   \
            GTEST_SKIP() << "skipped: needs root and FUSE"; \
    } while (0)

inline bool mounted_at(const std::string &dir)
{
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string id, parent, devno, root, point;
        in >> id >> parent >> devno >> root >> point;
        if (point == dir)
            return true;
    }
    return false;
}

inline std::string real(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// flakyfs serving src at mnt for as long as the object lives.
class Flaky {
public:
    Flaky(const std::string &src, const std::string &mnt, const std::vector<std::string> &options,
          const std::string &log)
        : mnt_(real(mnt)), log_(log)
    {
        std::vector<std::string> args{QV_FLAKYFS};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {src, mnt_, "-f"});
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that dies
            dup2(out, 1);
            dup2(out, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out);
        // Ready once the mount is listed. Touching the mount to find out
        // would spend the first call on its root.
        for (int i = 0; pid_ > 0 && i < 1000; i++) {
            if ((mounted_ = mounted_at(mnt_)))
                break;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                pid_ = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Flaky()
    {
        release();  // calls held by --hang are answered: nothing stays stuck
        if (mounted_ && !unmount_within(std::chrono::seconds(5)))
            umount2(mnt_.c_str(), MNT_DETACH);
        if (pid_ <= 0)
            return;
        for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    Flaky(const Flaky &) = delete;
    Flaky &operator=(const Flaky &) = delete;

    bool up() const { return mounted_; }
    // With --hang: the server is back; the calls it holds are answered.
    void release()
    {
        if (pid_ > 0)
            kill(pid_, SIGUSR1);
    }
    // Unmounts, waiting up to limit for the mount to be let go of (every
    // descriptor on it closed, no call inside it); false when it was not.
    bool unmount_within(std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (umount2(mnt_.c_str(), 0) != 0) {
            if (errno != EBUSY || std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        mounted_ = false;
        return true;
    }
    std::string log() const
    {
        std::ifstream f(log_);
        return "flakyfs log:\n" + std::string(std::istreambuf_iterator<char>(f), {});
    }

private:
    std::string mnt_, log_;
    pid_t pid_ = -1;
    bool mounted_ = false;
};

// A scan through the exports, freed when the test ends.
class PublicScan {
public:
    explicit PublicScan(const std::string &path) : id_(disk_scan(path.c_str(), 0, 0)) {}
    PublicScan(const std::string &path, const disk_scan_options &o) : id_(disk_scan_ex(path.c_str(), &o)) {}
    int id() const { return id_; }
    ~PublicScan() { disk_free(id_); }
    PublicScan(const PublicScan &) = delete;
    PublicScan &operator=(const PublicScan &) = delete;

    // The final state; a scan still running after two minutes is cancelled.
    // between_polls runs after each pause.
    int wait(const std::function<void()> &between_polls = {})
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        int st;
        while ((st = disk_scan_status(id_)) == SCAN_IDLE || st == SCAN_RUNNING) {
            if (std::chrono::steady_clock::now() > deadline)
                disk_scan_cancel(id_);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (between_polls)
                between_polls();
        }
        return st;
    }
    // Filled over a pattern, so that a member left unwritten shows.
    disk_problems problems() const
    {
        disk_problems p;
        memset(&p, 0xa5, sizeof p);
        p.struct_size = sizeof p;
        EXPECT_EQ(disk_scan_problems(id_, &p), SCAN_DONE);
        return p;
    }
    json problem_list() const { return parse(disk_get_problems(id_)); }
    json tree() const { return parse(disk_scan_result(id_)); }
    std::vector<FlatEntry> flat() const { return flatten(qv_scanner_get_result(id_)); }

private:
    static json parse(const char *doc) { return doc ? json::parse(doc) : json("(no document)"); }
    int id_;
};

}  // namespace qvtest
