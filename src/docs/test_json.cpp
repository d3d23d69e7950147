// JSON text builder: growth, escaping (ill-formed UTF-8 included), number forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "json.h"

// A refused reallocation must come back as null, not abort the run.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

struct Builder {
    json_builder b{};
    Builder()
    {
        if (jb_init(&b) != 0)
            throw std::runtime_error("jb_init");
    }
    ~Builder() { free(b.buf); }
    std::string text() const { return std::string(b.buf, b.len); }
};

std::string escaped(const std::string &in)
{
    Builder jb;
    jb_append_escaped(&jb.b, in.c_str());
    EXPECT_EQ(jb.b.buf[jb.b.len], '\0');
    return jb.text();
}

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

TEST(JsonBuilder, FreshBuilderHoldsTheEmptyText)
{
    Builder jb;
    EXPECT_EQ(jb.b.len, 0u);
    EXPECT_EQ(jb.b.cap, 4096u);
    EXPECT_EQ(jb.b.buf[0], '\0');
    EXPECT_FALSE(jb.b.failed);

    jb_append(&jb.b, "");
    jb_append_n(&jb.b, "x", 0);
    EXPECT_EQ(jb.b.len, 0u);
    EXPECT_EQ(jb.b.cap, 4096u);
    EXPECT_EQ(jb.b.buf[0], '\0');
}

// Growth happens once len + n + 1 reaches cap, by as many doublings as needed.
TEST(JsonBuilder, GrowthByDoubling)
{
    struct Case {
        size_t before;  // bytes already in the builder
        size_t add;     // bytes appended
        bool as_char;   // appended with jb_append_char (add is 1)
        uint64_t cap;   // capacity afterwards
    } cases[] = {
        {4093, 1, true, 4096},    // cap - 3: stays
        {4094, 1, true, 8192},    // cap - 2: doubles
        {4093, 1, false, 4096},
        {4094, 1, false, 8192},
        {0, 4094, false, 4096},   // needed 4095
        {0, 4095, false, 8192},   // needed 4096 == cap
        {0, 8190, false, 8192},
        {0, 8191, false, 16384},
        {0, 20000, false, 32768}, // three doublings in one append
        {100, 1 << 20, false, 2u << 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("before " + std::to_string(c.before) + " add " + std::to_string(c.add));
        Builder jb;
        std::string pre(c.before, 'p');
        jb_append(&jb.b, pre.c_str());
        std::string add(c.add, 'q');
        if (c.as_char)
            jb_append_char(&jb.b, 'q');
        else
            jb_append_n(&jb.b, add.data(), add.size());
        EXPECT_EQ(jb.b.cap, c.cap);
        ASSERT_EQ(jb.b.len, c.before + c.add);
        EXPECT_LT(jb.b.len + 1, jb.b.cap);
        EXPECT_EQ(jb.text(), pre + add);
        EXPECT_EQ(jb.b.buf[jb.b.len], '\0');
    }
}

TEST(JsonBuilder, ManySmallAppendsKeepEveryByte)
{
    Builder jb;
    std::string want;
    for (int i = 0; i < 5000; i++) {
        std::string piece = std::to_string(i) + ",";
        jb_append(&jb.b, piece.c_str());
        jb_append_char(&jb.b, 'x');
        want += piece + "x";
    }
    EXPECT_EQ(jb.text(), want);
    EXPECT_EQ(jb.b.cap, 32768u);  // 28,890 bytes need 4096 * 2^3
}

// An append that cannot be served leaves the text as it was and marks the
// builder, so the writer hands out its fallback instead of a cut document.
TEST(JsonBuilder, FailedGrowthWritesNothingAndFinishGivesFallback)
{
    const uint64_t sizes[] = {
        UINT64_MAX - 2,  // len + n + 1 wraps around
        1ull << 62,      // doubling would pass the largest object size
        1ull << 50,      // realloc refuses a petabyte
    };
    for (uint64_t n : sizes) {
        SCOPED_TRACE(n);
        Builder jb;
        jb_append(&jb.b, "[1,2");
        char *before = jb.b.buf;
        jb_append_n(&jb.b, "not read", n);
        EXPECT_TRUE(jb.b.failed);
        EXPECT_EQ(jb.b.buf, before);
        EXPECT_EQ(jb.b.cap, 4096u);
        EXPECT_EQ(jb.text(), "[1,2");
        EXPECT_EQ(jb.b.buf[jb.b.len], '\0');

        char *doc = jb_finish(&jb.b, "{\"error\":\"out of memory\"}");
        ASSERT_NE(doc, nullptr);
        EXPECT_STREQ(doc, "{\"error\":\"out of memory\"}");
        EXPECT_NE(doc, before);
        free(doc);
    }
}

TEST(JsonBuilder, FinishHandsOverTheBufferItself)
{
    Builder jb;
    jb_append(&jb.b, "[]");
    char *buf = jb.b.buf;
    char *doc = jb_finish(&jb.b, "fallback");
    EXPECT_EQ(doc, buf);
    EXPECT_STREQ(doc, "[]");
    free(doc);
}

TEST(JsonEscape, Table)
{
    struct Case {
        const char *name;
        std::string in;
        std::string out;  // between the quotes
    } cases[] = {
        {"empty", "", ""},
        {"plain", "hello world.txt", "hello world.txt"},
        {"quote", "a\"b", "a\\\"b"},
        {"backslash", "C:\\data\\x", "C:\\\\data\\\\x"},
        {"slash kept", "a/b/", "a/b/"},
        {"two-char escapes", "\t\n\r", "\\t\\n\\r"},
        {"backspace six bytes", "\x08", "\\u0008"},
        {"form feed six bytes", "\x0c", "\\u000c"},
        {"0x01", "\x01", "\\u0001"},
        {"0x1b", "\x1b", "\\u001b"},
        {"0x1f", "\x1f", "\\u001f"},
        {"0x7f copied", "\x7f", "\x7f"},
        {"space", " ", " "},
        {"mixed runs", "ab\tcd\"ef\\gh\x01ij", "ab\\tcd\\\"ef\\\\gh\\u0001ij"},
        {"escapes back to back", "\"\"\\\\", "\\\"\\\"\\\\\\\\"},
        // Well-formed UTF-8 passes unchanged, every length and the edges of
        // the ranges that the lead byte restricts.
        {"2 bytes", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"U+0080", "\xC2\x80", "\xC2\x80"},
        {"U+07FF", "\xDF\xBF", "\xDF\xBF"},
        {"U+0800", "\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"3 bytes", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"U+D7FF", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"U+E000", "\xEE\x80\x80", "\xEE\x80\x80"},
        {"U+FFFD itself", R, R},
        {"U+10000", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"4 bytes", "\xF0\x9F\x8E\x89", "\xF0\x9F\x8E\x89"},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"CJK then escape", "\xE6\x97\xA5\t", "\xE6\x97\xA5\\t"},
        // Each maximal ill-formed subpart becomes one U+FFFD.
        {"lone continuation", "\x80", R},
        {"two continuations", "\x80\xBF", R + R},
        {"overlong C0", "\xC0\xAF", R + R},
        {"overlong C1", "\xC1\xBF", R + R},
        {"overlong E0", "\xE0\x80\xAF", R + R + R},
        {"overlong F0", "\xF0\x80\x80\xAF", R + R + R + R},
        {"surrogate", "\xED\xA0\x80", R + R + R},
        {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
        {"F5 lead", "\xF5\x80\x80\x80", R + R + R + R},
        {"FF", "a\xFF" "b", "a" + R + "b"},
        {"FE FF", "\xFE\xFF", R + R},
        {"2-byte cut at end", "x\xC3", "x" + R},
        {"2-byte cut by ASCII", "\xC3" "A", R + "A"},
        {"3-byte cut at end", "\xE2\x82", R},
        {"3-byte cut by ASCII", "\xE2\x82" "A", R + "A"},
        {"3-byte cut by lead", "\xE2\x82\xC3\xA9", R + "\xC3\xA9"},
        {"4-byte cut after 3", "\xF0\x9F\x8E", R},
        {"4-byte cut after 2", "\xF0\x9F" "A", R + "A"},
        {"4-byte cut after 1", "\xF0" "A", R + "A"},
        {"latin-1 name", "r\xE9sum\xE9.txt", "r" + R + "sum" + R + ".txt"},
        {"ill-formed then quote", "\xC3\"", R + "\\\""},
        {"ill-formed then control", "\xE2\x82\n", R + "\\n"},
        // The example of the Unicode standard (table 3-8).
        {"unicode example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(escaped(c.in), "\"" + c.out + "\"");
    }
}

TEST(JsonEscape, EveryControlByteTakesItsForm)
{
    for (int c = 1; c < 0x20; c++) {
        std::string want;
        switch (c) {
        case '\t': want = "\\t"; break;
        case '\n': want = "\\n"; break;
        case '\r': want = "\\r"; break;
        default: {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            want = u;
        }
        }
        EXPECT_EQ(escaped(std::string(1, (char)c)), "\"" + want + "\"") << c;
    }
}

// A long name crosses several growths inside one escaped string.
TEST(JsonEscape, LongTextAcrossGrowth)
{
    std::string in, want;
    for (int i = 0; i < 3000; i++) {
        in += "name\t\xC3\xA9\xFF/";
        want += "name\\t\xC3\xA9" + R + "/";
    }
    EXPECT_EQ(escaped(in), "\"" + want + "\"");
}

// Escaped appends that end near the capacity: every byte lands inside the
// buffer (checked by the sanitizer builds) and the text is whole.
TEST(JsonEscape, AppendsAtTheEdgeOfTheBuffer)
{
    const std::pair<std::string, std::string> texts[] = {
        {"abc", "abc"},
        {"\x01\x02\x1f", "\\u0001\\u0002\\u001f"},
        {"\xFF\xFE\x80", R + R + R},
        {"\"\\", "\\\"\\\\"},
    };
    for (size_t fill = 4080; fill <= 4094; fill++) {
        for (const auto &[in, out] : texts) {
            Builder jb;
            std::string pre(fill, 'p');
            jb_append(&jb.b, pre.c_str());
            jb_append_escaped(&jb.b, in.c_str());
            jb_append_char(&jb.b, '!');
            ASSERT_EQ(jb.text(), pre + "\"" + out + "\"!") << fill;
            EXPECT_LT(jb.b.len + 1, jb.b.cap);
        }
    }
}

// Random bytes, ASCII-heavy and high-heavy: the result is always accepted by
// a strict parser, and well-formed input comes back unchanged.
TEST(JsonEscape, RandomBytesGiveValidJson)
{
    std::mt19937 rng(12345);
    const std::string alphabet[] = {"a", "\"", "\\", "\n", "\x01", "\x7f", "\xC3\xA9", "\xE2\x82\xAC",
                                    "\xF0\x9F\x8E\x89", "\xC3", "\x80", "\xED\xA0\x80", "\xF4\x90",
                                    "\xE0\x80", "\xFF", "/"};
    int well_formed = 0;
    for (int i = 0; i < 20000; i++) {
        std::string in;
        bool valid = true;
        int n = (int)(rng() % 12);
        for (int k = 0; k < n; k++) {
            size_t pick = rng() % 16;
            if (i % 2)  // raw random bytes
                in += (char)(1 + rng() % 255);
            else
                in += alphabet[pick];
        }
        std::string out = escaped(in);
        nlohmann::json j;
        try {
            j = nlohmann::json::parse(out);
        } catch (const std::exception &e) {
            ADD_FAILURE() << "rejected: " << e.what();
            continue;
        }
        // Well-formed input is recognised by the parser accepting it raw.
        try {
            (void)nlohmann::json(in).dump();
        } catch (const std::exception &) {
            valid = false;
        }
        if (valid) {
            well_formed++;
            EXPECT_EQ(j.get<std::string>(), in);
        }
    }
    EXPECT_GT(well_formed, 1000);
}

TEST(JsonNumbers, DecimalForm)
{
    struct Case {
        uint64_t v;
        const char *text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {10, "10"},
        {99, "99"},
        {100, "100"},
        {1000, "1000"},
        {4294967295ull, "4294967295"},
        {4294967296ull, "4294967296"},
        {5368709127ull, "5368709127"},
        {1ull << 63, "9223372036854775808"},
        {10000000000000000000ull, "10000000000000000000"},
        {UINT64_MAX, "18446744073709551615"},
    };
    for (const Case &c : cases) {
        char out[32];
        int n = jb_format_u64(out, c.v);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(n, (int)strlen(c.text));
        Builder jb;
        jb_append_u64(&jb.b, c.v);
        EXPECT_EQ(jb.text(), c.text);
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; i++) {
        uint64_t v = rng() >> (rng() % 64);
        char out[32];
        jb_format_u64(out, v);
        ASSERT_EQ(std::string(out), std::to_string(v));
    }
}

TEST(JsonNumbers, ScanTimeForm)
{
    struct Case {
        double ms;
        const char *text;
    } cases[] = {
        {0.0, "0.0"},
        {1.0, "1.0"},
        {250.0, "250.0"},
        {86400000.0, "86400000.0"},
        {0.25, "0.2"},  // as "%.1f": exact binary value, to even
        {0.26, "0.3"},
        {12.95, "12.9"},  // 12.95 is stored a little below
        {1e18, "1000000000000000000.0"},
    };
    for (const Case &c : cases) {
        char out[32];
        int n = jb_format_scan_time(out, c.ms);
        EXPECT_STREQ(out, c.text) << c.ms;
        EXPECT_EQ(n, (int)strlen(c.text));
    }
}
