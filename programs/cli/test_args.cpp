// qvdisk's command line: every form of every option lands where run() reads
// it, and every wrong one is refused with its own line.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "quorvel_disk.h"

namespace {

struct parsed {
    std::unique_ptr<std::vector<std::string>> args;  // what the options point into
    int rc;
    options o;
    std::string out, err;
};

parsed parse(std::vector<std::string> args)
{
    parsed p;
    p.args = std::make_unique<std::vector<std::string>>(std::move(args));
    p.args->insert(p.args->begin(), "qvdisk");
    std::vector<char *> argv;
    for (std::string &a : *p.args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.rc = parse_args((int)p.args->size(), argv.data(), &p.o);
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

std::string str(const char *s) { return s ? s : "(null)"; }

struct good_case {
    std::vector<std::string> args;
    std::function<bool(const options &)> holds;
    const char *what;
};

TEST(Args, EveryFormLandsInItsSetting)
{
    using V = std::vector<std::string>;
    const good_case cases[] = {
        {{"d"}, [](const options &o) { return str(o.path) == "d" && o.top == 10 && o.levels == 2 && o.exts == 10 &&
                                              !o.apparent_size && o.stall_timeout_ms == 0; },
         "defaults"},
        {{"d", "-b"}, [](const options &o) { return o.apparent_size; }, "-b"},
        {{"d", "--bytes"}, [](const options &o) { return o.apparent_size; }, "--bytes, not in --help"},
        {{"d", "--apparent-size"}, [](const options &o) { return o.apparent_size && !o.count_links; }, "long"},
        {{"-xlL", "d"}, [](const options &o) { return o.one_file_system && o.count_links && o.follow_links &&
                                                      !o.apparent_size && str(o.path) == "d"; },
         "bundled letters, before PATH"},
        {{"d", "--count-links", "--one-file-system", "--follow-links", "--exclude-caches"},
         [](const options &o) { return o.count_links && o.one_file_system && o.follow_links && o.exclude_caches; },
         "long flags"},
        {{"d", "-ib"}, [](const options &o) { return o.interactive && o.apparent_size; }, "-i bundled"},
        {{"d", "--interactive", "--read-only"}, [](const options &o) { return o.interactive && o.read_only; }, "-i"},
        {{"d", "--json", "top"}, [](const options &o) { return str(o.json) == "top"; }, "--json VALUE"},
        {{"d", "--json=ext"}, [](const options &o) { return str(o.json) == "ext"; }, "--json=VALUE"},
        {{"d", "--html", "p.html", "--save=s.json"},
         [](const options &o) { return str(o.html) == "p.html" && str(o.save) == "s.json" && !o.since; }, "files"},
        {{"d", "--since", "old.json", "--json", "diff"},
         [](const options &o) { return str(o.since) == "old.json" && str(o.json) == "diff"; }, "--since"},
        {{"--compare", "a.json", "b.json", "--levels", "1"},
         [](const options &o) { return str(o.compare_old) == "a.json" && str(o.compare_new) == "b.json" &&
                                       !o.path && o.levels == 1; },
         "--compare takes the two arguments after it"},
        {{"d", "--exclude", "*.o", "--exclude=-x", "--exclude", "-y"},
         [](const options &o) { return o.excludes == V{"*.o", "-x", "-y"}; }, "values that look like options"},
        {{"d", "--exclude-from", "a", "--exclude-from=-"},
         [](const options &o) { return o.exclude_files == V{"a", "-"} && o.excludes.empty(); }, "pattern files"},
        {{"d", "--max-depth", "3", "--top=0", "--levels", "10", "--exts", "1000000"},
         [](const options &o) { return o.max_depth == 3 && o.top == 0 && o.levels == 10 && o.exts == 1000000; },
         "numbers at their bounds"},
        {{"d", "--stall-timeout", "0.5"}, [](const options &o) { return o.stall_timeout_ms == 500; }, "seconds"},
        {{"d", "--stall-timeout=.0001"}, [](const options &o) { return o.stall_timeout_ms == 1; },
         "a time above 0 is never the default"},
        {{"d", "--stall-timeout", "0"},
         [](const options &o) { return o.stall_timeout_ms == DISK_STALL_WAIT_FOREVER; }, "0 waits for ever"},
        {{"-"}, [](const options &o) { return str(o.path) == "-"; }, "a lone dash is a PATH"},
        {{"a", "-x", "b", "c"},
         [](const options &o) {
             return o.paths.size() == 3 && str(o.paths[0]) == "a" && str(o.paths[1]) == "b" &&
                    str(o.paths[2]) == "c" && o.path == o.paths[0] && o.one_file_system;
         },
         "several PATHs, in their order, options among them"},
        {V(31, "d"), [](const options &o) { return o.paths.size() == 31; }, "31 PATHs"},
        {{"d", "--top", "3", "--top", "4"}, [](const options &o) { return o.top == 4; }, "the last one counts"},
    };
    for (const good_case &c : cases) {
        parsed p = parse(c.args);
        EXPECT_EQ(p.rc, EXIT_OK) << c.what << ": " << p.err;
        EXPECT_EQ(p.err, "") << c.what;
        EXPECT_TRUE(c.holds(p.o)) << c.what;
    }
}

TEST(Args, WrongFormsAreRefusedWithTheirReason)
{
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"d", "--bogus"}, "qvdisk: unknown option --bogus (see --help)\n"},
        {{"d", "--bogus=1"}, "qvdisk: unknown option --bogus (see --help)\n"},
        {{"d", "-xq"}, "qvdisk: unknown option -xq (see --help)\n"},
        {{"d", "-bh"}, "qvdisk: unknown option -bh (see --help)\n"},
        {{"d", "-x=1"}, "qvdisk: unknown option -x=1 (see --help)\n"},
        {{"d", "--"}, "qvdisk: unknown option -- (see --help)\n"},
        {{"d", "--bytes=yes"}, "qvdisk: --bytes takes no value\n"},
        {{"d", "--help=1"}, "qvdisk: --help takes no value\n"},
        {{"d", "--json"}, "qvdisk: --json needs tree, top, ext or diff\n"},
        {{"d", "--json="}, "qvdisk: --json needs tree, top, ext or diff\n"},
        {{"d", "--json", "dif"}, "qvdisk: --json needs tree, top, ext or diff\n"},
        {{"d", "--html"}, "qvdisk: --html needs a file name\n"},
        {{"d", "--save="}, "qvdisk: --save needs a file name\n"},
        {{"d", "--exclude", ""}, "qvdisk: --exclude needs a pattern\n"},
        {{"d", "--exclude-from"}, "qvdisk: --exclude-from needs a file name\n"},
        {{"d", "--levels", "11"}, "qvdisk: --levels needs a number from 0 to 10\n"},
        {{"d", "--top", "-1"}, "qvdisk: --top needs a number from 0 to 1000000\n"},
        {{"d", "--max-depth=2x"}, "qvdisk: --max-depth needs a number from 0 to 1000000\n"},
        {{"d", "--stall-timeout", "1e3"},
         "qvdisk: --stall-timeout needs seconds from 0 to 1000000 (0: wait for ever)\n"},
        {{"--compare", "a"}, "qvdisk: --compare needs two file names\n"},
        {{"--compare=a", "b"}, "qvdisk: --compare needs two file names\n"},
        {{"d", "--older-than"}, "qvdisk: --older-than needs an age or a date\n"},
        {{"d", "--newer-than", "30x"},
         "qvdisk: --newer-than needs an age (30d, 12h, 90m, 2w, 1y) or a date (2024-01-31, 2024-01-31 08:00), not "
         "'30x'\n"},
        {{"d", "--older-than", "2d", "--newer-than", "1d"}, "qvdisk: no file can be modified before 2d and since 1d\n"},
        {{"d", "-i", "--older-than", "2d"},
         "qvdisk: --older-than and --newer-than choose the files of a scan's report: not with -i, --compare or "
         "--mounts (see --help)\n"},
        {std::vector<std::string>(32, "d"), "qvdisk: at most 31 PATHs (see --help)\n"},
        {{"-f", "x", "d", "e"}, "qvdisk: -f reads the scan from FILE: no PATH (see --help)\n"},
        {{"--mounts", "d", "e"},
         "qvdisk: --mounts lists the mounted file systems: no PATH (with -i, choose one) (see --help)\n"},
        {{"--compare", "a", "b", "d"}, "qvdisk: --compare takes no PATH (see --help)\n"},
        {{"d", "--json", "diff"}, "qvdisk: --json diff needs --since or --compare (see --help)\n"},
        {{"d", "--since", "s", "--json", "top"},
         "qvdisk: --json with --since or --compare is --json diff (see --help)\n"},
        {{"d", "-i", "--html", "p"},
         "qvdisk: -i shows the scan in the terminal: no --json, --html, --save, --since or --compare (see --help)\n"},
        {{"d", "--read-only"}, "qvdisk: --read-only goes with -i (see --help)\n"},
    };
    for (const auto &c : cases) {
        parsed p = parse(c.args);
        std::string shown;
        for (const std::string &a : c.args)
            shown += " " + a;
        EXPECT_EQ(p.rc, EXIT_USAGE) << shown;
        EXPECT_EQ(p.err, c.err) << shown;
        EXPECT_EQ(p.out, "") << shown;
    }
}

// --mounts needs no PATH, goes with -i and the options of the scan it
// chooses, and with nothing that writes a scan or takes one.
TEST(Args, MountsTakesWhatAListOrAChosenScanUses)
{
    parsed alone = parse({"--mounts"});
    EXPECT_EQ(alone.rc, EXIT_OK) << alone.err;
    EXPECT_TRUE(alone.o.mounts && !alone.o.path);
    parsed chooser = parse({"--mounts", "-ixb", "--exclude", "*.o", "--stall-timeout", "2"});
    EXPECT_EQ(chooser.rc, EXIT_OK) << chooser.err;
    EXPECT_TRUE(chooser.o.interactive && chooser.o.one_file_system && chooser.o.apparent_size &&
                chooser.o.stall_timeout_ms == 2000 && chooser.o.excludes.size() == 1);
    const char *no_path = "qvdisk: --mounts lists the mounted file systems: no PATH (with -i, choose one) (see --help)\n";
    const char *no_scan = "qvdisk: --mounts lists the mounted file systems: no -f, --compare or --since (see --help)\n";
    const char *no_out =
        "qvdisk: --mounts prints a table: no --json, --html, --save, --export or --table (see --help)\n";
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"--mounts", "/"}, no_path},
        {{"-i", "/", "--mounts"}, no_path},
        {{"--mounts", "-f", "x.json"}, no_scan},
        {{"--mounts", "--compare", "a", "b"}, no_scan},
        {{"--mounts", "--since", "a"}, no_scan},
        {{"--mounts", "--export", "e.json"}, no_out},
        {{"--mounts", "--table", "t.csv"}, no_out},
        {{"--mounts", "--save", "s.json"}, no_out},
        {{"--mounts", "--html", "p.html"}, no_out},
        {{"--mounts", "--json", "tree"}, no_out},
    };
    for (const auto &c : cases) {
        parsed p = parse(c.args);
        EXPECT_EQ(p.rc, EXIT_USAGE) << c.args[1];
        EXPECT_EQ(p.err, c.err) << c.args[1];
    }
}

// Every name --help shows is one the parser takes, and the text is the same
// whichever way it is asked for.
TEST(Args, HelpShowsWhatIsTaken)
{
    parsed help = parse({"--help"});
    ASSERT_EQ(help.rc, -1);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(parse({"-h"}).out, help.out);
    // Without PATH the same text goes to stderr.
    parsed none = parse({});
    EXPECT_EQ(none.rc, EXIT_USAGE);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, help.out);
    size_t names = 0;
    for (size_t at = 0; (at = help.out.find("\n  -", at)) != std::string::npos;) {
        // The names column: "--apparent-size, -b", "--json tree|top|ext".
        std::string column = help.out.substr(at + 3, help.out.find("  ", at + 3) - (at + 3));
        at += 3;
        for (size_t from = 0; from < column.size();) {
            size_t end = column.find_first_of(" ,", from);
            std::string word = column.substr(from, end == std::string::npos ? std::string::npos : end - from);
            from = end == std::string::npos ? column.size() : end + 1;
            if (word.empty() || word[0] != '-')
                continue;
            names++;
            parsed p = parse({word});
            EXPECT_EQ(p.err.find("unknown option"), std::string::npos) << word << ": " << p.err;
        }
    }
    EXPECT_GE(names, 20u) << help.out;
}

}  // namespace
