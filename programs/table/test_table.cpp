// The flat table as its readers see it: SQLite (the library and the sqlite3
// shell) and DuckDB (through tests/table/duck.mjs), fed by a scripted source
// with the names that break careless writers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "testrun.h"
#include "table.h"

using namespace qvtest;

namespace {

// An entry of a scripted tree: its depth below the root (1 for the root's
// own entries) in tree order, as a scan tells them.
struct item {
    int depth;
    std::string name;
    bool dir = false;
    uint64_t size = 0;  // a file's counted size; a directory's is added up
    disk_entry e{};     // apparent and disk sizes, links, state
};

struct tree {
    std::string root;
    std::vector<item> items;
    uint64_t size = 0, files = 0, dirs = 0;  // the root's totals, once fed
};

// Tells sink the tree, each directory's totals added up from its entries
// (no recursion, at any depth). stop_after stops the source after that many
// entries, as a failed read does: no end(), and the sink is dropped after.
// Returns the refusal, or "" when the sink took it all.
std::string feed(tree &t, doc_sink &sink, size_t stop_after = SIZE_MAX)
{
    size_t n = t.items.size();
    std::vector<size_t> parent(n);
    std::vector<uint64_t> size(n), files(n), dirs(n);
    std::vector<size_t> open;  // indices of open directories; n stands for the root
    for (size_t i = 0; i < n; i++) {
        while (open.size() >= size_t(t.items[i].depth))
            open.pop_back();
        parent[i] = open.empty() ? n : open.back();
        if (t.items[i].dir)
            open.push_back(i);
        else
            size[i] = t.items[i].size, files[i] = 1;
    }
    t.size = t.files = t.dirs = 0;
    for (size_t i = n; i-- > 0;) {
        uint64_t d = dirs[i] + (t.items[i].dir ? 1 : 0);
        if (parent[i] == n) {
            t.size += size[i], t.files += files[i], t.dirs += d;
        } else {
            size[parent[i]] += size[i], files[parent[i]] += files[i], dirs[parent[i]] += d;
        }
    }
    disk_entry root_entry{};
    root_entry.is_dir = 1;
    doc_root r;
    r.path = t.root;
    r.size = t.size, r.files = t.files, r.dirs = t.dirs;
    r.entry = &root_entry;
    if (!sink.root(r))
        return sink.refusal();
    size_t depth = 0;
    for (size_t i = 0; i < n; i++) {
        if (i == stop_after)
            return "stopped";
        for (; depth >= size_t(t.items[i].depth); depth--)
            if (!sink.leave())
                return sink.refusal();
        item &it = t.items[i];
        it.e.is_dir = it.dir;
        doc_node node;
        node.name = it.name;
        node.size = size[i], node.files = files[i], node.dirs = dirs[i];
        node.is_dir = it.dir;
        node.entry = &it.e;
        if (!sink.enter(node))
            return sink.refusal();
        if (it.dir)
            depth++;
    }
    for (size_t d = depth + 1; d-- > 0;)
        if (!sink.leave())
            return sink.refusal();
    return sink.end() ? "" : sink.refusal();
}

std::string write(const std::string &path, tree &t, const std::string &host = "h1", size_t stop_after = SIZE_MAX)
{
    table_scan scan;
    scan.host = host;
    scan.time = 1700000000;
    scan.options = "{\"size_kind\":\"disk\",\"hard_links_once\":true}";
    std::string error;
    auto sink = table_open(path, scan, &error);
    if (!sink)
        return "open: " + error;
    return feed(t, *sink, stop_after);
}

const std::string BAD = "bad\xff\xfe";  // two bytes that are no UTF-8: two U+FFFD
const std::string BAD_MENDED = "bad\xEF\xBF\xBD\xEF\xBF\xBD";

// The names that break careless writers, a hard link counted once, an
// unreadable directory, and files below a directory whose name is no UTF-8.
tree hostile(const std::string &root)
{
    tree t{root, {}};
    auto file = [](int depth, std::string name, uint64_t size) {
        item it{depth, std::move(name), false, size};
        it.e.apparent_size = size + 1;
        it.e.disk_size = 4096;
        return it;
    };
    item linked = file(1, "plain", 100);
    linked.e.dev = 42, linked.e.ino = 7, linked.e.nlink = 2;
    item again = file(1, "plain again", 0);  // its second name, counted once
    again.e.dev = 42, again.e.ino = 7, again.e.nlink = 2;
    item locked{1, "locked", true};
    locked.e.state = DISK_ENTRY_UNREADABLE;
    locked.e.error = 13;
    t.items = {{1, "a,b", true},
               file(2, "q\"uote", 5),
               file(2, "new\nline\r", 7),
               {2, BAD, true},
               file(3, "x\xc3", 11),  // a sequence cut short
               file(3, "ok", 13),
               linked,
               again,
               locked,
               file(1, "\xc3\xbcn\xc3\xaf \xe2\x82\xac", 3)};
    return t;
}

// --------------------------------------------------------------- SQLite

struct db {
    sqlite3 *h = nullptr;
    explicit db(const std::string &path) { EXPECT_EQ(sqlite3_open(path.c_str(), &h), SQLITE_OK); }
    ~db() { sqlite3_close(h); }
    // The first column of the first row, as text ("NULL" for null), with ?
    // bound to the texts and blobs given (a blob marked by a leading "b:").
    std::string one(const std::string &sql, const std::vector<std::string> &args = {})
    {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            return std::string("error: ") + sqlite3_errmsg(h);
        for (size_t i = 0; i < args.size(); i++) {
            if (args[i].rfind("b:", 0) == 0)
                sqlite3_bind_blob(st, int(i + 1), args[i].data() + 2, int(args[i].size() - 2), SQLITE_TRANSIENT);
            else
                sqlite3_bind_text(st, int(i + 1), args[i].data(), int(args[i].size()), SQLITE_TRANSIENT);
        }
        std::string out = "no row";
        if (sqlite3_step(st) == SQLITE_ROW) {
            if (sqlite3_column_type(st, 0) == SQLITE_NULL)
                out = "NULL";
            else
                out.assign((const char *)sqlite3_column_blob(st, 0), size_t(sqlite3_column_bytes(st, 0)));
        }
        sqlite3_finalize(st);
        return out;
    }
};


TEST(TableSqlite, TwoScansInOneFileEachWholeWithNamesExact)
{
    TempDir tmp;
    std::string path = tmp / "fleet.sqlite";
    tree first = hostile("/srv/data"), second = hostile("/");
    second.items.push_back({1, "more", false, 1000});
    ASSERT_EQ(write(path, first), "");
    ASSERT_EQ(write(path, second, "h2"), "");

    db d(path);
    EXPECT_EQ(d.one("SELECT group_concat(scan || ':' || host || ':' || root || ':' || total_size, ' ') FROM scans"),
              "1:h1:/srv/data:" + std::to_string(first.size) + " 2:h2:/:" + std::to_string(second.size));
    for (auto [scan, t] : {std::pair{"1", &first}, std::pair{"2", &second}}) {
        SCOPED_TRACE(scan);
        EXPECT_EQ(d.one("SELECT sum(size) FROM entries WHERE kind='file' AND scan=?", {scan}), std::to_string(t->size));
        EXPECT_EQ(d.one("SELECT count(*) FROM entries WHERE kind='file' AND scan=?", {scan}), std::to_string(t->files));
        EXPECT_EQ(d.one("SELECT count(*) FROM entries WHERE kind='dir' AND scan=?", {scan}),
                  std::to_string(t->dirs + 1));
        // Every row but the root's has its parent's row, found by path.
        EXPECT_EQ(d.one("SELECT count(*) FROM entries c LEFT JOIN entries p ON p.scan=c.scan AND p.path=c.parent"
                        " WHERE c.scan=? AND (c.parent IS NULL) = (p.path IS NOT NULL)",
                        {scan}),
                  "0");
    }
    // The shell reads the same file.
    EXPECT_EQ(shell("sqlite3 '" + path + "' \"SELECT sum(size) FROM entries WHERE kind='file' AND scan=1\""),
              std::to_string(first.size) + "\n");

    // Names as they were, quotes and line ends among them; no "/" doubled.
    EXPECT_EQ(d.one("SELECT path FROM entries WHERE scan=1 AND name=?", {"new\nline\r"}), "/srv/data/a,b/new\nline\r");
    EXPECT_EQ(d.one("SELECT path FROM entries WHERE scan=2 AND name=?", {"q\"uote"}), "/a,b/q\"uote");
    EXPECT_EQ(d.one("SELECT name || '|' || ifnull(parent, '-') || '|' || depth FROM entries WHERE scan=2 AND path='/'"),
              "/|-|0");
    // A path that is no UTF-8 is a BLOB of its bytes, and its entries'
    // parent is that BLOB.
    std::string bad_path = "b:/srv/data/a,b/" + BAD;
    EXPECT_EQ(d.one("SELECT typeof(path) || typeof(name) || kind FROM entries WHERE scan=1 AND path=?", {bad_path}),
              "blobblobdir");
    EXPECT_EQ(d.one("SELECT hex(path) FROM entries WHERE scan=1 AND path=?", {bad_path}),
              d.one("SELECT hex(?)", {bad_path}));
    EXPECT_EQ(d.one("SELECT group_concat(hex(name), ' ') FROM (SELECT name FROM entries WHERE scan=1 AND parent=?"
                    " ORDER BY name)",
                    {bad_path}),
              "6F6B 78C3");
    EXPECT_EQ(d.one("SELECT typeof(path) FROM entries WHERE scan=1 AND name='a,b'"), "text");

    // What a scan knows of each entry, in its columns.
    struct {
        const char *name, *want;
    } rows[] = {
        {"plain", "file|100|101|4096|||||42|7|2|1"},
        {"plain again", "file|0|1|4096|||||42|7|2|1"},
        {"locked", "dir|0|||0|0|unreadable|13||||1"},
        {"q\"uote", "file|5|6|4096||||||||2"},
        {"a,b", "dir|36|||4|1||||||1"},
    };
    for (auto &r : rows)
        EXPECT_EQ(d.one("SELECT kind||'|'||size||'|'||ifnull(apparent_size,'')||'|'||ifnull(disk_size,'')||'|'||"
                        "ifnull(files,'')||'|'||ifnull(dirs,'')||'|'||ifnull(state,'')||'|'||ifnull(error,'')||'|'||"
                        "ifnull(dev,'')||'|'||ifnull(ino,'')||'|'||ifnull(nlink,'')||'|'||depth"
                        " FROM entries WHERE scan=1 AND name=?",
                        {r.name}),
                  r.want)
            << r.name;
}

TEST(TableSqlite, AScanNotFinishedLeavesNothing)
{
    TempDir tmp;
    std::string path = tmp / "t.db";
    tree t = hostile("r");
    EXPECT_EQ(write(path, t, "h1", 5), "stopped");  // dropped without end()
    ASSERT_EQ(write(path, t), "");
    db d(path);
    // A source that ends inside a directory is refused, and what it wrote
    // is gone at once, with the sink still open.
    std::string error;
    auto sink = table_open(path, {}, &error);
    ASSERT_TRUE(sink) << error;
    doc_root r;
    r.path = "r";
    doc_node n;
    n.name = "d";
    n.is_dir = true;
    ASSERT_TRUE(sink->root(r) && sink->enter(n));
    EXPECT_FALSE(sink->end());
    EXPECT_EQ(sink->refusal(), "the tree ended inside a directory");
    EXPECT_EQ(d.one("SELECT group_concat(scan) FROM scans"), "1");
    EXPECT_EQ(d.one("SELECT count(*) || ' ' || sum(size) FILTER (WHERE kind='file') FROM entries"),
              std::to_string(1 + t.files + t.dirs) + " " + std::to_string(t.size));
}

TEST(TableSqlite, RefusesWhatItCannotWrite)
{
    TempDir tmp;
    {
        std::ofstream(tmp / "notes.db") << "these are not the tables you are looking for\n";
        std::ofstream(tmp / "x.txt") << "";
    }
    sqlite3 *h = nullptr;
    ASSERT_EQ(sqlite3_open((tmp / "other.sqlite").c_str(), &h), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(h, "CREATE TABLE entries(id INTEGER, label TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(h);

    struct {
        std::string path, says;
    } cases[] = {
        {tmp / "notes.db", "is not an SQLite database"},
        {tmp / "other.sqlite", "not qvdisk's"},
        {tmp / "x.txt", "extension"},
        {tmp / "missing/dir/t.csv", "No such file or directory"},
    };
    for (auto &c : cases) {
        std::string error;
        EXPECT_EQ(table_open(c.path, {}, &error), nullptr) << c.path;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    // A source that adds up totals only at the end is refused at its root,
    // by every kind.
    for (const char *name : {"late.sqlite", "late.csv", "late.ndjson"}) {
        std::string error;
        auto sink = table_open(tmp / name, {}, &error);
        ASSERT_TRUE(sink) << error;
        doc_root r;
        r.path = "r";
        r.sums_later = true;
        EXPECT_FALSE(sink->root(r));
        EXPECT_EQ(sink->refusal(), "the table needs a directory's totals before its entries");
    }
}

// A chain as deep as the stack never is, then a long one whose rows are
// checked one by one.
TEST(TableAnyKind, DeepChains)
{
    TempDir tmp;
    tree deep{"r", {}};
    for (int i = 1; i <= 70000; i++)
        deep.items.push_back({i, "d", true});
    deep.items.push_back({70001, "f", false, 9});
    // Its paths alone add up to gigabytes: the text kinds write them to
    // /dev/null, and only need to get to the end.
    for (const char *name : {"deep.csv", "deep.ndjson"}) {
        ASSERT_EQ(symlink("/dev/null", (tmp / name).c_str()), 0);
        EXPECT_EQ(write(tmp / name, deep), "") << name;
    }
    tree chain{"r", {}};
    for (int i = 1; i <= 3000; i++)
        chain.items.push_back({i, i % 2 ? "d" : "\xff", true});
    chain.items.push_back({3001, "f", false, 9});
    ASSERT_EQ(write(tmp / "chain.sqlite", chain), "");
    db d(tmp / "chain.sqlite");
    EXPECT_EQ(d.one("SELECT depth || ' ' || length(path) || ' ' || size FROM entries WHERE name='f'"), "3001 6003 9");
    EXPECT_EQ(d.one("SELECT count(*) FROM entries c JOIN entries p ON p.scan=c.scan AND p.path=c.parent AND p.depth=c.depth-1"), "3001");
    EXPECT_EQ(d.one("SELECT group_concat(DISTINCT files) FROM entries WHERE kind='dir'"), "1");
}

// --------------------------------------------------------------- CSV, NDJSON

TEST(TableText, AFullDiskOrAStoppedSourceLeavesNoFile)
{
    TempDir tmp;
    tree big{"r", {}};
    for (int i = 0; i < 20000; i++)
        big.items.push_back({1, "file number " + std::to_string(i), false, 1});
    for (const char *name : {"full.csv", "full.ndjson"}) {
        ASSERT_EQ(symlink("/dev/full", (tmp / name).c_str()), 0);
        EXPECT_EQ(write(tmp / name, big), std::string("cannot write ") + (tmp / name) + ": No space left on device");
    }
    for (const char *name : {"half.csv", "half.jsonl"}) {
        EXPECT_EQ(write(tmp / name, big, "h", 19000), "stopped");
        EXPECT_NE(access((tmp / name).c_str(), F_OK), 0) << name;
    }
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(TableText, FieldsQuotedEscapedAndMended)
{
    TempDir tmp;
    tree t = hostile("r");
    ASSERT_EQ(write(tmp / "t.csv", t), "");
    ASSERT_EQ(write(tmp / "t.ndjson", t), "");
    std::string csv = slurp(tmp / "t.csv"), nd = slurp(tmp / "t.ndjson");
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "path,parent,name,kind,size,apparent_size,disk_size,files,dirs,state,error,dev,ino,nlink,depth");
    EXPECT_NE(csv.find("\nr,,r,dir,139,,,7,3,,,,,,0\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\n\"r/a,b/new\nline\r\",\"r/a,b\",\"new\nline\r\",file,7,8,4096,,,,,,,,2\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\n\"r/a,b/q\"\"uote\",\"r/a,b\",\"q\"\"uote\",file,"), std::string::npos);
    EXPECT_NE(csv.find("\"r/a,b/" + BAD_MENDED + "/x\xEF\xBF\xBD\",\"r/a,b/" + BAD_MENDED + "\",x\xEF\xBF\xBD,"),
              std::string::npos);
    EXPECT_NE(csv.find("r/locked,r,locked,dir,0,,,0,0,unreadable,13,,,,1\n"), std::string::npos);
    // Each NDJSON line is a JSON object with every column.
    std::istringstream lines(nd);
    std::string line;
    size_t n = 0;
    while (std::getline(lines, line)) {
        auto row = nlohmann::json::parse(line);  // throws on a line that is not JSON
        EXPECT_EQ(row.size(), 15u) << line;
        if (row["name"] == "new\nline\r") {
            EXPECT_EQ(row["parent"], "r/a,b");
        }
        if (row["depth"] == 0) {
            EXPECT_TRUE(row["parent"].is_null() && row["disk_size"].is_null());
        }
        if (row["name"] == "plain") {
            EXPECT_EQ(row["ino"], 7);
        }
        n++;
    }
    EXPECT_EQ(n, 1 + t.files + t.dirs);
    EXPECT_NE(nd.find("\"path\":\"r/a,b/" + BAD_MENDED + "/ok\""), std::string::npos);
}

// --------------------------------------------------------------- DuckDB

nlohmann::json duck(const std::string &sql)
{
#if defined(QV_NODE) && defined(QV_DUCK_SCRIPT)
    std::string quoted = "'";
    for (char c : sql)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    std::string out = shell(std::string(QV_NODE) + " " + QV_DUCK_SCRIPT + " " + quoted + "'");
    try {
        return nlohmann::json::parse(out);
    } catch (const std::exception &) {
        ADD_FAILURE() << sql << "\n" << out;
        return nullptr;
    }
#else
    (void)sql;
    return nullptr;
#endif
}

#if defined(QV_NODE) && defined(QV_DUCK_SCRIPT)
#define NEEDS_DUCKDB()
#else
#define NEEDS_DUCKDB() GTEST_SKIP() << "DuckDB's tests need node and tests/table/node_modules (cd tests/table && npm ci)"
#endif

TEST(TableDuckDB, ReadsCsvAndNdjsonBack)
{
    NEEDS_DUCKDB();
    TempDir tmp;
    tree t = hostile("/srv/data/");
    ASSERT_EQ(write(tmp / "t.csv", t), "");
    ASSERT_EQ(write(tmp / "t.ndjson", t), "");
    std::string want_names = "[\"/srv/data/\",\"a,b\",\"q\\\"uote\",\"new\\nline\\r\",\"" + BAD_MENDED +
                             "\",\"x\xEF\xBF\xBD\",\"ok\",\"plain\",\"plain again\",\"locked\","
                             "\"\xc3\xbcn\xc3\xaf \xe2\x82\xac\"]";
    for (std::string from : {"read_csv('" + tmp / "t.csv" + "')", "read_json('" + tmp / "t.ndjson" + "')"}) {
        SCOPED_TRACE(from);
        auto sums = duck("SELECT count(*), sum(size) FILTER (WHERE kind='file'), count(*) FILTER (WHERE kind='dir'),"
                         " count(parent), max(depth), sum(nlink), max(error) FROM " + from);
        EXPECT_EQ(sums.dump(), nlohmann::json::array({{1 + t.files + t.dirs, t.size, t.dirs + 1, t.files + t.dirs, 3,
                                                       4, 13}})
                                   .dump());
        auto names = duck("SELECT list(name ORDER BY rowid) FROM (SELECT name, row_number() OVER () AS rowid FROM " +
                          from + ")");
        ASSERT_TRUE(names.is_array() && names.size() == 1) << names;
        EXPECT_EQ(names[0][0].dump(), nlohmann::json::parse(want_names).dump());
        // Parents found by path, as in SQLite.
        EXPECT_EQ(duck("SELECT count(*) FROM " + from + " c JOIN " + from + " p ON p.path = c.parent").dump(),
                  "[[" + std::to_string(t.files + t.dirs) + "]]");
    }
}

TEST(TableDuckDB, AFleetInHivePartitions)
{
    NEEDS_DUCKDB();
    TempDir tmp;
    tree alpha = hostile("/home"), beta1 = hostile("/srv"), beta2 = hostile("/srv");
    beta1.items.push_back({1, "big", true});
    beta1.items.push_back({2, "blob", false, 5000});
    beta2.items.push_back({1, "bigger", true});
    beta2.items.push_back({2, "blob", false, 7000});
    struct {
        const char *dir;
        tree *t;
    } scans[] = {{"host=alpha/date=2024-05-01", &alpha},
                 {"host=beta/date=2024-05-01", &beta1},
                 {"host=beta/date=2024-05-02", &beta2}};
    for (auto &s : scans) {
        mkdirp(tmp / s.dir);
        ASSERT_EQ(write(tmp / s.dir + "/scan.csv", *s.t), "");
    }
    std::string fleet = "read_csv('" + tmp.path + "/*/*/*.csv', hive_partitioning=true)";
    EXPECT_EQ(duck("SELECT host, sum(size) FROM " + fleet + " WHERE depth=0 GROUP BY host ORDER BY host").dump(),
              nlohmann::json::array({{"alpha", alpha.size}, {"beta", beta1.size + beta2.size}}).dump());
    EXPECT_EQ(duck("SELECT host, date::VARCHAR, path, size FROM " + fleet +
                   " WHERE kind='dir' AND depth>0 ORDER BY size DESC LIMIT 2")
                  .dump(),
              nlohmann::json::array({{"beta", "2024-05-02", "/srv/bigger", 7000}, {"beta", "2024-05-01", "/srv/big", 5000}})
                  .dump());
}

}  // namespace
