// Scans of a tree that another thread keeps changing: entries created,
// deleted, renamed and grown, directories swapped for links to the top of
// the file system and to the tree's own ancestors. Every scan ends; every
// name in its documents is one the tree had at some moment; nothing from
// outside the root shows up.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "quorvel_disk.h"

using namespace qvtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Names of every entry of a tree document, at any depth.
std::vector<std::string> doc_names(const char *doc)
{
    std::vector<std::string> out;
    json j = json::parse(doc);
    std::vector<const json *> stack{&j};
    while (!stack.empty()) {
        const json *e = stack.back();
        stack.pop_back();
        if (e != &j)
            out.push_back((*e)["name"].get<std::string>());
        if (e->contains("children"))
            for (const json &c : (*e)["children"])
                stack.push_back(&c);
    }
    return out;
}

std::string join(const std::string &a, const std::string &b) { return a + "/" + b; }

// root/dI/dJ/dK, each directory holding a file f.
void make_fixture(const std::string &root, int width)
{
    for (int i = 0; i < width; i++)
        for (int j = 0; j < width; j++)
            for (int k = 0; k < width; k++) {
                std::string d = root + "/d" + std::to_string(i) + "/d" + std::to_string(j) + "/d" + std::to_string(k);
                mkdirp(d);
                wfile(d + "/f", (uint64_t)k + 1);
            }
}

// One change of the tree, chosen by n. Errors are expected (the scan and
// earlier changes race) and ignored.
void change(const std::string &root, unsigned n, bool links)
{
    std::error_code ec;
    std::string d = root + "/d" + std::to_string(n % 3) + "/d" + std::to_string(n / 3 % 3);
    std::string victim = join(d, "d" + std::to_string(n / 9 % 3));
    std::string moved = join(d, "moved");
    switch (n % 6) {
    case 0:
        fs::create_directories(join(d, "h"), ec);
        std::ofstream(join(d, "h/g")) << n;
        break;
    case 1:
        fs::remove_all(join(d, "h"), ec);
        break;
    case 2:
        fs::rename(victim, moved, ec);
        fs::rename(moved, victim, ec);
        break;
    case 3:
        // A directory swapped for a link to the top or to an ancestor.
        if (links) {
            fs::rename(victim, moved, ec);
            if (!ec) {
                symlink_to(n % 12 == 3 ? fs::path(root).root_path().string() : root, victim);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                fs::remove(victim, ec);
                fs::rename(moved, victim, ec);
            }
        }
        break;
    case 4:
        if (links) {
            symlink_to(fs::path(root).root_path().string(), join(d, "link"));
            fs::remove(join(d, "link"), ec);
        }
        break;
    default:
        std::ofstream(join(d, "f"), std::ios::app) << "grow";
    }
}

}  // namespace

TEST(Churn, ScansOfAChangingTreeStayInsideAndEnd)
{
    TempDir t;
    std::string root = t / "root";
    const int width = 4;
    make_fixture(root, width);
    std::set<std::string> names{"f", "g", "h", "moved", "link"};
    for (int i = 0; i < width; i++)
        names.insert("d" + std::to_string(i));
#ifdef _WIN32
    const bool links = false;  // a link costs a process under Wine
    const int rounds = 10;
#else
    const bool links = true;
    const int rounds = 30;
#endif
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (unsigned n = 1; !stop.load(); n++)
            change(root, n, links);
    });
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE(round);
        int id = disk_scan(root.c_str(), 0, 0);
        ASSERT_GE(id, 0);
        ASSERT_EQ(wait_scan(id), SCAN_DONE);
        for (const std::string &name : doc_names(disk_scan_result(id)))
            EXPECT_TRUE(names.count(name)) << name;
        for (const json &f : json::parse(disk_get_top(id, 1000)))
            EXPECT_EQ(f["path"].get<std::string>().rfind(root + "/", 0), 0u) << f.dump();
        disk_free(id);
    }
    stop.store(true);
    churn.join();
}
