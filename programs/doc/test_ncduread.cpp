// The reader of ncdu's export format (ncduread.cpp): what it tells a sink
// for exports as ncdu and gdu write them, what it refuses and where, names
// kept byte for byte, depth on a small stack, pieces and zstd; then the
// real ncdu and gdu on a small tree, against du.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#ifdef QV_HAVE_ZSTD
#include <zstd.h>
#endif

#include "docrecorder.h"
#include "fixture.h"
#include "testrun.h"
#include "ncduread.h"

using namespace qvtest;

namespace {

const std::string NCDU_META = R"({"progname":"ncdu","progver":"1.18","timestamp":1796972014})";
const std::string GDU_META = R"({"progname":"gdu","progver":"5.22.0-1+b1","timestamp":1796972014})";

std::string export_of(const std::string &root, const std::string &meta = NCDU_META)
{
    return "[1,2," + meta + ",\n" + root + "]";
}

// The calls a read makes (with each disk_entry), or why it refused.
std::string read(const std::string &text, bool links_once = true, ncdu_read_stats *stats = nullptr)
{
    recorder r;
    r.entries = true;
    std::string why;
    ncdu_read_options o;
    o.links_once = links_once;
    bool ok = ncdu_read_text(text.data(), text.size(), o, r, &why, stats);
    EXPECT_EQ(ok, why.empty());
    return ok ? r.calls : why;
}

FILE *file_of(const std::string &bytes)
{
    FILE *f = tmpfile();
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    rewind(f);
    return f;
}

std::string read_file(const std::string &bytes, size_t piece = 1 << 20, ncdu_read_stats *stats = nullptr)
{
    recorder r;
    r.entries = true;
    std::string why;
    FILE *f = file_of(bytes);
    bool ok = ncdu_read_file(f, ncdu_read_options{}, r, &why, stats, piece);
    fclose(f);
    return ok ? r.calls : why;
}

// What ncdu 1.18 wrote for a small tree (ncdu -o): hard links across two
// directories, a sparse file (no dsize), a name of bytes that are not UTF-8
// and an empty file (neither size), a directory on another device.
const std::string NCDU_TREE = "[{\"name\":\"/tmp/t\",\"asize\":4096,\"dsize\":4096,\"dev\":65024},\n"
                              "[{\"name\":\"b\",\"asize\":4096,\"dsize\":4096},\n"
                              "{\"name\":\"f1link\",\"asize\":5,\"dsize\":4096,\"ino\":11,\"hlnkc\":true,\"nlink\":3},\n"
                              "{\"name\":\"data\",\"asize\":10000,\"dsize\":12288}],\n"
                              "[{\"name\":\"m\",\"asize\":40,\"dsize\":0,\"dev\":77},\n"
                              "{\"name\":\"x\",\"asize\":1,\"dsize\":4096}],\n"
                              "{\"name\":\"\xff\xfe.bin\"},\n"
                              "{\"name\":\"sparse\",\"asize\":1048576},\n"
                              "[{\"name\":\"a\",\"asize\":4096,\"dsize\":4096},\n"
                              "{\"name\":\"f1\",\"asize\":5,\"dsize\":4096,\"ino\":11,\"hlnkc\":true,\"nlink\":3}]]";

TEST(NcduRead, TellsTheTreeWithWhatEachEntryKnows)
{
    ncdu_read_stats stats;
    EXPECT_EQ(read(export_of(NCDU_TREE), true, &stats),
              "root /tmp/t 0 0 0 [0 0 65024 0 0 0 0]\n"
              "enter b 0 0 dir [0 0 65024 0 0 0 0]\n"
              "enter f1link 0 0 [5 4096 65024 11 3 0 0]\n"
              "enter data 0 0 [10000 12288 65024 0 0 0 0]\n"
              "leave\n"
              "enter m 0 0 dir [0 0 77 0 0 0 0]\n"
              "enter x 0 0 [1 4096 77 0 0 0 0]\n"
              "leave\n"
              "enter \xff\xfe.bin 0 0 [0 0 65024 0 0 0 0]\n"
              "enter sparse 0 0 [1048576 0 65024 0 0 0 0]\n"
              "enter a 0 0 dir [0 0 65024 0 0 0 0]\n"
              "enter f1 0 0 [5 4096 65024 11 3 0 0]\n"
              "leave\n"
              "leave\n"
              "end\n");
    EXPECT_FALSE(stats.gdu);
    EXPECT_EQ(stats.left_out, 0u);
}

TEST(NcduRead, RootSaysItsSumsComeLater)
{
    struct root_only : doc_sink {
        bool later = false;
        const disk_entry *entry = nullptr;
        bool root(const doc_root &r) override
        {
            later = r.sums_later;
            entry = r.entry;
            return true;
        }
    } sink;
    std::string why, text = export_of(NCDU_TREE);
    ASSERT_TRUE(ncdu_read_text(text.data(), text.size(), {}, sink, &why)) << why;
    EXPECT_TRUE(sink.later);
    EXPECT_NE(sink.entry, nullptr);
}

// gdu marks only the later names of a hard-linked file, and only with ino
// and hlnkc; what it wrote for the same kind of tree (gdu -o).
const std::string GDU_TREE = "[{\"name\":\"/tmp/t\",\"mtime\":1796972014},\n"
                             "[{\"name\":\"b\",\"mtime\":1796972014},\n"
                             "{\"name\":\"f1link\",\"asize\":5,\"dsize\":4096,\"mtime\":1796972014}],\n"
                             "[{\"name\":\"a\",\"asize\":8192,\"dsize\":8192,\"mtime\":1796972014},\n"
                             "{\"name\":\"f1\",\"asize\":5,\"dsize\":4096,\"mtime\":1796972014,\"ino\":11,\"hlnkc\":true}],\n"
                             "{\"name\":\"\\ufffd\\ufffd.bin\",\"mtime\":1.5e9}]";

TEST(NcduRead, GduLaterNamesCountOnceOrWhole)
{
    const std::string head = "root /tmp/t 0 0 0 [0 0 0 0 0 0 0]\n"
                             "enter b 0 0 dir [0 0 0 0 0 0 0]\n"
                             "enter f1link 0 0 [5 4096 0 0 0 0 0]\n"
                             "leave\n"
                             "enter a 0 0 dir [0 0 0 0 0 0 0]\n";
    const std::string tail = "leave\n"
                             "enter \xef\xbf\xbd\xef\xbf\xbd.bin 0 0 [0 0 0 0 0 0 0]\n"
                             "leave\n"
                             "end\n";
    ncdu_read_stats stats;
    // The directory's own sizes are gdu's totals, never taken.
    EXPECT_EQ(read(export_of(GDU_TREE, GDU_META), true, &stats), head + "enter f1 0 0 [0 0 0 0 0 0 0]\n" + tail);
    EXPECT_TRUE(stats.gdu);
    EXPECT_EQ(read(export_of(GDU_TREE, GDU_META), false), head + "enter f1 0 0 [5 4096 0 0 0 0 0]\n" + tail);
    // The same text from ncdu is not read gdu's way: the marked name is one
    // of a group by itself and nothing is set to 0.
    EXPECT_EQ(read(export_of(GDU_TREE), true), head + "enter f1 0 0 [5 4096 0 11 2 0 0]\n" + tail);
}

TEST(NcduRead, ExcludedAndUnreadable)
{
    const std::string tree = "[{\"name\":\"/r\"},"
                             "{\"name\":\"p\",\"dev\":0,\"excluded\":\"pattern\"},"
                             "[{\"name\":\"pd\",\"excluded\":\"pattern\"},{\"name\":\"in\"},[{\"name\":\"deeper\"}]],"
                             "{\"name\":\"fl\",\"excluded\":\"frmlnk\"},"
                             "{\"name\":\"new\",\"excluded\":\"whatever\"},"
                             "{\"name\":\"proc\",\"excluded\":\"kernfs\"},"
                             "{\"name\":\"mnt\",\"excluded\":\"otherfs\"},"
                             "{\"name\":\"tmp\",\"dev\":42,\"excluded\":\"othfs\"},"
                             "{\"name\":\"back\",\"excluded\":\"loop\"},"
                             "{\"name\":\"cached\",\"excluded\":\"cache\"},"
                             "[{\"name\":\"sys\",\"excluded\":\"kernfs\"}],"
                             "[{\"name\":\"locked\",\"read_error\":true}],"
                             "[{\"name\":\"half\",\"read_error\":true},{\"name\":\"seen\",\"asize\":3}],"
                             "{\"name\":\"unstat\",\"read_error\":true},"
                             "{\"name\":\"fifo\",\"notreg\":true,\"asize\":0}]";
    ncdu_read_stats stats;
    EXPECT_EQ(read(export_of(tree), true, &stats), "root /r 0 0 0 [0 0 0 0 0 0 0]\n"
                                                   "enter proc 0 0 dir [0 0 0 0 0 3 0]\n"
                                                   "leave\n"
                                                   "enter mnt 0 0 dir [0 0 0 0 0 5 0]\n"
                                                   "leave\n"
                                                   "enter tmp 0 0 dir [0 0 42 0 0 5 0]\n"
                                                   "leave\n"
                                                   "enter back 0 0 dir [0 0 0 0 0 2 0]\n"
                                                   "leave\n"
                                                   "enter cached 0 0 dir [0 0 0 0 0 6 0]\n"
                                                   "leave\n"
                                                   "enter sys 0 0 dir [0 0 0 0 0 3 0]\n"
                                                   "leave\n"
                                                   "enter locked 0 0 dir [0 0 0 0 0 1 0]\n"
                                                   "leave\n"
                                                   "enter half 0 0 dir [0 0 0 0 0 1 0]\n"
                                                   "enter seen 0 0 [3 0 0 0 0 0 0]\n"
                                                   "leave\n"
                                                   "enter unstat 0 0 [0 0 0 0 0 0 0]\n"
                                                   "enter fifo 0 0 [0 0 0 0 0 0 0]\n"
                                                   "leave\n"
                                                   "end\n");
    EXPECT_EQ(stats.left_out, 4u);
}

TEST(NcduRead, NamesKeptByteForByte)
{
    struct {
        const char *json;  // the name as the export holds it
        std::string name;  // as told
    } cases[] = {
        {"\\\"q\\\\b\\/s", "\"q\\b/s"},  // '/' only escaped: still refused below
        {"tab\\there\\n\\r\\b\\f", "tab\there\n\r\b\f"},
        {"\\u00e9\\u20AC", "\xc3\xa9\xe2\x82\xac"},
        {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
        {"\xff\xfe.bin", "\xff\xfe.bin"},
        {"\xc3\x28 \xed\xa0\x80 \xc0\xaf", "\xc3\x28 \xed\xa0\x80 \xc0\xaf"},
        {"\\u007f\x7f", "\x7f\x7f"},
    };
    for (const auto &c : cases) {
        std::string text = export_of("[{\"name\":\"/r\"},{\"name\":\"" + std::string(c.json) + "\"}]");
        std::string got = read(text);
        if (c.name.find('/') != std::string::npos)
            EXPECT_EQ(got, "an entry name that cannot be a file name at byte " +
                               std::to_string(text.find("}]") + 1)) << c.json;
        else
            EXPECT_EQ(got, "root /r 0 0 0 [0 0 0 0 0 0 0]\nenter " + c.name + " 0 0 [0 0 0 0 0 0 0]\nleave\nend\n")
                << c.json;
    }
    // The root's name is a path: '/' is what it is made of.
    EXPECT_EQ(read(export_of("[{\"name\":\"\\/\xfe\\/x\"}]")), "root /\xfe/x 0 0 0 [0 0 0 0 0 0 0]\nleave\nend\n");
    std::string longest(65535, 'n');
    EXPECT_NE(read(export_of("[{\"name\":\"/r\"},{\"name\":\"" + longest + "\"}]")).find("enter " + longest), std::string::npos);
}

TEST(NcduRead, UnknownMembersPassedOverWhateverTheyHold)
{
    std::string text = export_of("[{\"name\":\"/r\",\"x\":{\"a\":[1,{\"b\":null},[],{}],\"c\":\"]}\"},\"y\":-0.5e-3},"
                                 "{\"z\":[[true,false]],\"name\":\"f\",\"asize\":7,\"uid\":0,\"gid\":1,\"mode\":33188,"
                                 "\"mtime\":-12.75,\"items\":3}]",
                                 R"({"progname":"ncdu","extra":{"k":[1,2,{"n":"v"}]},"timestamp":1.5})");
    EXPECT_EQ(read(text), "root /r 0 0 0 [0 0 0 0 0 0 0]\nenter f 0 0 [7 0 0 0 0 0 0]\nleave\nend\n");
    // White space wherever JSON allows it, and a minor version of any size.
    EXPECT_EQ(read(" \n[ 1 , 99 , { } , [ { \"name\" : \"/r\" } , { \"name\" : \"f\" , \"asize\" : 18446744073709551615 } ] ]\r\n\t"),
              "root /r 0 0 0 [0 0 0 0 0 0 0]\nenter f 0 0 [18446744073709551615 0 0 0 0 0 0]\nleave\nend\n");
}

TEST(NcduRead, RefusesWithOnePhraseAndWhere)
{
    const std::string R = "[{\"name\":\"/r\"},";
    struct {
        std::string text;
        std::string phrase;  // before " at byte "
    } cases[] = {
        {"", "the file ends early"},
        {"{}", "not an ncdu export"},
        {"[\"1\",0,{},[{\"name\":\"/r\"}]]", "not an ncdu export"},
        {"[2,0,{},[{\"name\":\"/r\"}]]", "an ncdu export of major version 2, not 1"},
        {"[1,0,[],[{\"name\":\"/r\"}]]", "metadata that is not an object"},
        {"[1,-1,{},[{\"name\":\"/r\"}]]", "a minor version that is not a number"},
        {"[1,0,{\"progname\":7},[{\"name\":\"/r\"}]]", "\"progname\" that is not a string"},
        {export_of("{\"name\":\"/r\"}"), "a root that is not a directory"},
        {export_of("[{}]"), "a root with no \"name\""},
        {export_of("[{\"name\":\"\\u0000\"}]"), "a root path that cannot be a path"},
        {export_of("[{\"name\":\"\"},[{\"name\":\"/a\"},{\"name\":\"b/c\"}]]"),
         "an entry name that cannot be a file name"},
        {export_of("[{\"name\":\"\"},{\"name\":\"\"}]"), "an entry name that cannot be a file name"},
        {export_of("[{\"name\":\"/r\",\"excluded\":\"pattern\"}]"), "a root the file marks excluded"},
        {export_of("[[{\"name\":\"/r\"}]]"), "a directory whose first element is not an info object"},
        {export_of(R + "[5]]"), "a directory whose first element is not an info object"},
        {export_of(R + "[]]"), "a directory whose first element is not an info object"},
        {export_of(R + "\"f\"]"), "expected an entry"},
        {export_of(R + "{\"asize\":1}]"), "an entry with no \"name\""},
        {export_of(R + "{}]"), "an entry with no \"name\""},
        {export_of(R + "{\"name\":\"\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":\".\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":\"..\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":\"a/b\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":\"a\\u0000b\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":\"" + std::string(65536, 'n') + "\"}]"), "an entry name that cannot be a file name"},
        {export_of(R + "{\"name\":3}]"), "\"name\" that is not a string"},
        {export_of(R + "{\"name\":\"f\",\"asize\":-1}]"), "\"asize\" that is not a whole number"},
        {export_of(R + "{\"name\":\"f\",\"dsize\":1.5}]"), "\"dsize\" that is not a whole number"},
        {export_of(R + "{\"name\":\"f\",\"ino\":1e3}]"), "\"ino\" that is not a whole number"},
        {export_of(R + "{\"name\":\"f\",\"asize\":18446744073709551616}]"), "\"asize\" larger than 2^64-1"},
        {export_of(R + "{\"name\":\"f\",\"mtime\":99999999999999999999}]"), "\"mtime\" larger than 2^64-1"},
        {export_of(R + "{\"name\":\"f\",\"dev\":\"3\"}]"), "\"dev\" that is not a number"},
        {export_of(R + "{\"name\":\"f\",\"mtime\":null}]"), "\"mtime\" that is not a number"},
        {export_of(R + "{\"name\":\"f\",\"hlnkc\":1}]"), "\"hlnkc\" that is not true or false"},
        {export_of(R + "{\"name\":\"f\",\"excluded\":true}]"), "\"excluded\" that is not a string"},
        {export_of(R + "{\"name\":\"f\",\"asize\":01}]"), "a malformed number"},
        {export_of(R + "{\"name\":\"f\",\"asize\":-}]"), "a malformed number"},
        {export_of(R + "{\"name\":\"f\",\"x\":1.}]"), "a malformed number"},
        {export_of(R + "{\"name\":\"f\",\"x\":1e+}]"), "a malformed number"},
        {export_of(R + "{\"name\":\"f\",\"x\":tru}]"), "an unknown word"},
        {export_of(R + "{\"name\":\"f\",\"x\":nul}]"), "an unknown word"},
        {export_of(R + "{\"name\":\"f\",\"x\":[1}]"), "expected ',' or ']'"},
        {export_of(R + "{\"name\":\"f\",\"x\":{\"a\":1]}]"), "expected ',' or '}'"},
        {export_of(R + "{\"name\":\"f\",\"x\":{1:2}}]"), "expected a member name"},
        {export_of(R + "{\"name\":\"f\",\"x\":[,]}]"), "expected a value"},
        {export_of(R + "{\"name\":\"f\" \"asize\":1}]"), "expected ',' or '}' in an entry"},
        {export_of(R + "{\"name\" 1}]"), "expected ':'"},
        {export_of(R + "{\"name\":\"a\tb\"}]"), "a control character in a string"},
        {export_of(R + "{\"name\":\"a\\xb\"}]"), "an unknown escape in a string"},
        {export_of(R + "{\"name\":\"a\\u12G4\"}]"), "a \\u escape without four hex digits"},
        {export_of(R + "{\"name\":\"a\\ud800\"}]"), "a lone surrogate in a string"},
        {export_of(R + "{\"name\":\"a\\udc00\"}]"), "a lone surrogate in a string"},
        {export_of(R + "{\"name\":\"a\\ud800\\u0041\"}]"), "a lone surrogate in a string"},
        {export_of("[{\"name\":\"/r\"}{\"name\":\"f\"}]"), "expected ',' or ']' in a directory"},
        {export_of(R + "{\"name\":\"m\",\"excluded\":\"otherfs\"}]") , ""},
        {export_of(R + "[{\"name\":\"m\",\"excluded\":\"otherfs\"},{\"name\":\"f\"}]]"),
         "an entry in a directory the file marks not entered"},
        {"[1,0,{},[{\"name\":\"/r\"}],5]", "expected ']' after the root"},
        {export_of("[{\"name\":\"/r\"}]") + " x", "text after the export"},
        {export_of("[{\"name\":\"/r\"}]") + "]", "text after the export"},
    };
    for (const auto &c : cases) {
        std::string got = read(c.text);
        if (c.phrase.empty()) {
            EXPECT_EQ(got.rfind("root ", 0), 0u) << c.text;
            continue;
        }
        size_t at = got.rfind(" at byte ");
        ASSERT_NE(at, std::string::npos) << c.text << "\n -> " << got;
        EXPECT_EQ(got.substr(0, at), c.phrase) << c.text;
        EXPECT_LE(std::stoull(got.substr(at + 9)), c.text.size()) << c.text;
    }
}

TEST(NcduRead, EveryCutShortExportEndsEarlyAtItsEnd)
{
    const std::string text = export_of(NCDU_TREE);
    for (size_t len = 0; len < text.size(); len++) {
        std::string cut = text.substr(0, len);
        EXPECT_EQ(read(cut), "the file ends early at byte " + std::to_string(len)) << len;
    }
}

TEST(NcduRead, SinkRefusalStopsTheRead)
{
    struct refuses_b : doc_sink {
        int entered = 0;
        bool enter(const doc_node &n) override
        {
            entered++;
            return n.name != "data" || refuse("no data wanted");
        }
    } sink;
    std::string why, text = export_of(NCDU_TREE);
    EXPECT_FALSE(ncdu_read_text(text.data(), text.size(), {}, sink, &why));
    size_t data_end = text.find("12288}") + 6;
    EXPECT_EQ(why, "no data wanted at byte " + std::to_string(data_end));
    EXPECT_EQ(sink.entered, 3);
}

TEST(NcduRead, FileInPiecesReadsAsText)
{
    const std::string texts[] = {
        export_of(NCDU_TREE),
        export_of(GDU_TREE, GDU_META),
        export_of("[{\"name\":\"/r\"},{\"name\":\"\\ud83d\\ude00\",\"x\":[[{\"y\":\"\\\"\"}]]}]"),
        export_of("[{\"name\":\"/r\"},{\"name\":\"f\",\"asize\":12345678901234567890}]"),  // refused
        export_of("[{\"name\":\"/r\"},{\"name\":\"\\ud83d\\u0041\"}]"),                     // refused
        export_of(NCDU_TREE).substr(0, 200),                                              // cut short
    };
    for (const auto &text : texts) {
        std::string whole = read(text);
        for (size_t piece : {4, 5, 7, 13, 64})
            EXPECT_EQ(read_file(text, piece), whole) << piece << " " << text;
    }
}

TEST(NcduRead, Sniff)
{
    struct {
        std::string head;
        ncdu_kind kind;
    } cases[] = {
        {"[1,2,{", ncdu_kind::json},
        {" \n\t[ 1", ncdu_kind::json},
        {"[1", ncdu_kind::json},
        {"[12,", ncdu_kind::other},
        {"[2,0", ncdu_kind::other},
        {"{\"path\":", ncdu_kind::other},
        {"", ncdu_kind::other},
        {std::string("\x28\xb5\x2f\xfd\x24", 5), ncdu_kind::zstd},
        {std::string("\x28\xb5\x2f", 3), ncdu_kind::other},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ncdu_sniff(c.head.data(), c.head.size()), c.kind) << c.head;
}

#ifdef QV_HAVE_ZSTD
std::string compressed(const std::string &text)
{
    std::string out(ZSTD_compressBound(text.size()), '\0');
    size_t n = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

TEST(NcduRead, ZstdReadsAsTheText)
{
    const std::string text = export_of(NCDU_TREE);
    std::string z = compressed(text);
    ncdu_read_stats stats;
    for (size_t piece : {4, 9, 1 << 20}) {
        EXPECT_EQ(read_file(z, piece, &stats), read(text)) << piece;
        EXPECT_TRUE(stats.zstd);
    }
    // Two frames one after the other, as zstd writes appended files.
    std::string half = text.substr(0, 100);
    EXPECT_EQ(read_file(compressed(half) + compressed(text.substr(100))), read(text));
    // Errors count the text's bytes, not the compressed ones.
    std::string bad = export_of(NCDU_TREE) + " x";
    EXPECT_EQ(read_file(compressed(bad)), "text after the export at byte " + std::to_string(bad.size() - 1));

    std::string cut = z.substr(0, z.size() - 6);
    std::string got = read_file(cut);
    EXPECT_EQ(got.substr(0, got.find(" at byte ")), "zstd-compressed text that ends early");
    std::string damaged = z.substr(0, 4) + std::string(40, '\x5a');
    got = read_file(damaged);
    EXPECT_EQ(got.rfind("zstd-compressed text that is damaged (", 0), 0u) << got;
}
#else
TEST(NcduRead, ZstdWithoutZstdSaysSo)
{
    EXPECT_EQ(read_file(std::string("\x28\xb5\x2f\xfd\x00\x00", 6)),
              "a zstd-compressed file, and this qvdisk was built without zstd at byte 0");
}
#endif

// Counts the calls and checks they nest.
struct counter : doc_sink {
    long entered = 0, left = 0, open = 0, deepest = 0;
    bool ended = false;
    bool root(const doc_root &) override
    {
        open = 1;
        return true;
    }
    bool enter(const doc_node &n) override
    {
        entered++;
        open += n.is_dir;
        deepest = std::max(deepest, open);
        return true;
    }
    bool leave() override
    {
        left++;
        open--;
        return open >= 0;
    }
    bool end() override
    {
        ended = open == 0;
        return true;
    }
};


TEST(NcduRead, AHundredThousandLevelsOnASmallStack)
{
    const long depth = 100000;
    std::string text = "[1,0,{},[{\"name\":\"/deep\"}";
    for (long i = 0; i < depth; i++)
        text += ",[{\"name\":\"d\"}";
    text += ",{\"name\":\"f\",\"x\":";
    text += std::string(depth, '[') + std::string(depth, ']');
    text += "}" + std::string(depth + 1, ']') + "]";
    on_small_stack([&] {
        counter c;
        std::string why;
        EXPECT_TRUE(ncdu_read_text(text.data(), text.size(), {}, c, &why)) << why;
        EXPECT_EQ(c.entered, depth + 1);
        EXPECT_EQ(c.left, depth + 1);
        EXPECT_EQ(c.deepest, depth + 1);
        EXPECT_TRUE(c.ended);
        // Cut short a level in: the same depth, refused cleanly.
        counter c2;
        EXPECT_FALSE(ncdu_read_text(text.data(), text.size() - 2, {}, c2, &why));
        EXPECT_EQ(why, "the file ends early at byte " + std::to_string(text.size() - 2));
    });
}

#ifndef _WIN32
// ---- the real writers


bool have(const char *tool) { return !shell(std::string("command -v ") + tool + " 2>/dev/null").empty(); }

uint64_t sum_lines(const std::string &text, uint64_t times = 1)
{
    uint64_t sum = 0;
    size_t at = 0;
    while (at < text.size()) {
        sum += std::stoull(text.substr(at)) * times;
        at = text.find('\n', at);
        at = at == std::string::npos ? text.size() : at + 1;
    }
    return sum;
}

// Adds up files' own sizes, a hard-linked file (dev and ino) once, and
// keeps the names.
struct summer : doc_sink {
    uint64_t apparent = 0, disk = 0;
    std::set<std::pair<uint64_t, uint64_t>> seen;
    std::set<std::string> names;
    bool enter(const doc_node &n) override
    {
        names.insert(std::string(n.name));
        const disk_entry *e = n.entry;
        if (!e || e->is_dir != (int)n.is_dir || e->size || e->files || e->dirs)
            return refuse("an entry without its own sizes");
        if (e->nlink > 1 && !seen.insert({e->dev, e->ino}).second)
            return true;
        apparent += e->apparent_size;
        disk += e->disk_size;
        return true;
    }
};

TEST(NcduWriters, SumsAgreeWithDu)
{
    if (!have("du") || !have("find"))
        GTEST_SKIP() << "du and find are needed";
    TempDir td;
    std::string t = td / "t";
    mkdirp(t + "/a");
    mkdirp(t + "/b");
    mkdirp(t + "/skip");
    wfile(t + "/a/f1", 5);
    ASSERT_EQ(link((t + "/a/f1").c_str(), (t + "/b/f1link").c_str()), 0);
    ASSERT_EQ(link((t + "/a/f1").c_str(), (t + "/a/f1second").c_str()), 0);
    wfile(t + "/sparse", 1 << 20);
    wfile(t + "/b/data", 10000);
    const std::string odd = "\xff\xfe.bin";
    wfile(t + "/" + odd, 3);
    wfile(t + "/skip/s.tmp", 2);
    wfile(t + "/c.tmp", 2);
    std::string q = "'" + t + "'";
    // What du counts, less what it counts of the directories themselves.
    auto du_files = [&](const std::string &opts, uint64_t *apparent, uint64_t *disk) {
        std::string dirs_find = "find " + q + " -type d";
        *apparent = std::stoull(shell("du -sb " + opts + " " + q)) - sum_lines(shell(dirs_find + " -printf '%s\\n'"));
        *disk = std::stoull(shell("du -sB1 " + opts + " " + q)) - sum_lines(shell(dirs_find + " -printf '%b\\n'"), 512);
    };
    uint64_t all_a, all_d, kept_a, kept_d;
    du_files("", &all_a, &all_d);
    du_files("--exclude='*.tmp'", &kept_a, &kept_d);
    ASSERT_GT(all_a, kept_a);

    struct {
        const char *tool;
        std::string cmd;  // writes out.json
        bool excludes;
        bool odd_kept;  // the name comes back byte for byte
    } writers[] = {
        {"ncdu", "ncdu -o OUT " + q, false, true},
        {"ncdu", "ncdu -e -o OUT " + q, false, true},
        {"ncdu", "ncdu --exclude '*.tmp' -o OUT " + q, true, true},
        // gdu writes the name's bytes as U+FFFD.
        {"gdu", "gdu --no-progress -o OUT " + q, false, false},
    };
    int ran = 0;
    for (const auto &w : writers) {
        if (!have(w.tool)) {
            std::printf("%s is not installed: its export is not checked\n", w.tool);
            continue;
        }
        std::string out = td / "out.json", cmd = w.cmd;
        cmd.replace(cmd.find("OUT"), 3, "'" + out + "'");
        shell(cmd + " >/dev/null 2>&1");
        FILE *f = fopen(out.c_str(), "rb");
        ASSERT_NE(f, nullptr) << cmd;
        summer s;
        ncdu_read_stats stats;
        std::string why;
        bool ok = ncdu_read_file(f, ncdu_read_options{}, s, &why, &stats);
        fclose(f);
        ASSERT_TRUE(ok) << cmd << ": " << why;
        EXPECT_EQ(s.apparent, w.excludes ? kept_a : all_a) << cmd;
        EXPECT_EQ(s.disk, w.excludes ? kept_d : all_d) << cmd;
        EXPECT_EQ(stats.left_out, w.excludes ? 2u : 0u) << cmd;
        EXPECT_EQ(stats.gdu, std::string(w.tool) == "gdu") << cmd;
        EXPECT_EQ(s.names.count(odd), w.odd_kept ? 1u : 0u) << cmd;
        EXPECT_TRUE(s.names.count("f1second") && s.names.count("f1link")) << cmd;
        ran++;
    }
    if (ran == 0)
        GTEST_SKIP() << "neither ncdu nor gdu is installed";
}
#endif

}  // namespace
