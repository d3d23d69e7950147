// The walk on Windows when the tree changes under it: a directory swapped,
// once listed, for a link or for another directory is not walked. Windows
// makes a junction here, Wine a Unix symbolic link (which Wine follows even
// where asked not to: there the file ID tells it apart).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "fixture.h"
#include "walker.h"

using namespace qvtest;

namespace {

std::wstring long_form(const std::string &path)
{
    std::wstring out(path.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, out.data(), (int)out.size());
    out.resize(n > 0 ? n - 1 : 0);
    return L"\\\\?\\" + out;
}

enum class Swap { link, other_directory };

}  // namespace

// The root holds only a\{ssl,x,y,z}. Once a is listed and its
// subdirectories stacked, a is renamed away and a link to a folder outside
// the tree, or that folder itself, takes its name. The worker that listed
// a opens its subdirectories below a's handle and lists the real ones;
// those handed to other workers (with four, once they all wait for work)
// go with a duplicate of that handle. Nothing outside is walked. (Opened
// from the root instead, through the new a, they would be refused: see
// Win32Listing.StepThatIsNoLongerWhatWasListed.)
TEST(SwappedDirectory, StackedWalksNeverLeaveTheTree)
{
    for (Swap how : {Swap::link, Swap::other_directory}) {
        for (int workers : {1, 4}) {
            SCOPED_TRACE(std::string(how == Swap::link ? "link" : "other directory") + ", workers " +
                         std::to_string(workers));
            TempDir t;
            std::string root = t.path + "\\root", outside = t.path + "\\outside";
            for (const char *d : {"a\\ssl", "a\\x", "a\\y", "a\\z"})
                mkdirp(root + "\\" + d);
            for (const char *d : {"ssl\\secret-dir", "x", "y", "z"})
                mkdirp(outside + "\\" + d);
            wfile(outside + "\\ssl\\secret", 99);
            WalkRun w;
            struct State {
                std::string root, outside;
                Swap how;
                qv_walk_ctx *ctx;
                int workers;
                std::atomic<bool> done{false};
                bool swapped = false;
            } state{root, outside, how, &w.ctx, workers};
            w.ctx.hooks.workers = workers;
            w.ctx.hooks.arg = &state;
            w.ctx.hooks.listed = [](void *arg, const qv_entry *dir) {
                auto *s = static_cast<State *>(arg);
                if (strcmp(qv_tree_get_name(dir), "a") != 0 || s->done.exchange(true))
                    return;
                wait_for_idle_workers(s->ctx, s->workers - 1);
                std::string a = s->root + "\\a";
                if (!MoveFileW(long_form(a).c_str(), long_form(a + ".old").c_str()))
                    return;
                s->swapped = s->how == Swap::link ? symlink_to(s->outside, a)
                                                  : MoveFileW(long_form(s->outside).c_str(), long_form(a).c_str());
            };
            w.run(root);
            ASSERT_TRUE(state.swapped);
            const qv_entry *a = find_child(w.root, "a");
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(child_names(a).size(), 4u);
            const qv_entry *ssl = find_child(a, "ssl");
            ASSERT_NE(ssl, nullptr);
            EXPECT_EQ(ssl->first_child, nullptr);  // never outside\ssl's secret
            for (const qv_entry *e = w.root; e; e = qv_tree_next_preorder(w.root, e, true))
                EXPECT_NE(strncmp(qv_tree_get_name(e), "secret", 6), 0) << qv_tree_get_name(e);
            // Each of a's subdirectories is opened below the a that was
            // listed (the lister's handle, or a duplicate of it): all walked.
            EXPECT_EQ(w.ctx.problems.unreadable_dirs.load(), 0u);
        }
    }
}
