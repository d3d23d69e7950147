// The terminal-text rule: what a name may not do to a terminal, and the
// columns it takes there.
#include <gtest/gtest.h>

#include <string>

#include "termtext.h"

namespace {

TEST(TermText, WhatATerminalWouldObeyIsShownAsQuestionMarks)
{
    const struct {
        const char *in, *shown, *what;
    } cases[] = {
        {"plain name.txt", "plain name.txt", "ASCII as it is"},
        {"\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xef\xbf\xbd", "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xef\xbf\xbd",
         "CJK, emoji, U+FFFD as they are"},
        {"caf\x65\xcc\x81 \xc2\xa0nbsp \xe2\x80\x8dzwj", "caf\x65\xcc\x81 \xc2\xa0nbsp \xe2\x80\x8dzwj",
         "combining, no-break space, joiner as they are"},
        // C0 and DEL
        {"a\x01" "b\tc\nd\re", "a?b?c?d?e", "C0 controls"},
        {"evil\x1b[31mred", "evil?[31mred", "ESC"},
        {"del\x7f", "del?", "DEL"},
        // C1, as UTF-8
        {"\xc2\x80" "a\xc2\x9b" "2J\xc2\x9f", "?a?2J?", "C1 controls"},
        // Bidirectional controls
        {"evil\xe2\x80\xaetxt.exe", "evil?txt.exe", "right-to-left override"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad", "????", "U+202A..U+202D"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "????", "isolates U+2066..U+2069"},
        {"\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", "???", "LRM, RLM, ALM"},
        {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a?b?", "line and paragraph separators"},
        // Bytes that are not UTF-8: one '?' each
        {"bad\xff", "bad?", "a byte never in UTF-8"},
        {"\x80x", "?x", "a lone continuation byte"},
        {"\xc0\xaf", "??", "an overlong '/'"},
        {"\xe0\x80\xaf", "???", "an overlong three-byte form"},
        {"\xed\xa0\x80", "???", "a surrogate"},
        {"\xf4\x90\x80\x80", "????", "above U+10FFFF"},
        {"\xe2\x80", "??", "cut short at the end"},
        {"\xe2\x80" "a", "??a", "cut short before ASCII"},
        {"\xf0\x9f\x98", "???", "a four-byte form cut short"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(term_safe(c.in), c.shown) << c.what;
}

TEST(TermText, ColumnsAsATerminalGivesThem)
{
    const struct {
        const char *in;
        size_t cols;
        const char *what;
    } cases[] = {
        {"", 0, "nothing"},
        {"abc", 3, "ASCII"},
        {"\xe6\x97\xa5\xe6\x9c\xac", 4, "CJK: 2 each"},
        {"\xed\x95\x9c\xea\xb5\xad", 4, "Hangul syllables: 2 each"},
        {"\xef\xbc\xa1", 2, "fullwidth A"},
        {"\xef\xbd\xb1", 1, "halfwidth katakana"},
        {"\xf0\x9f\x98\x80", 2, "an emoji shown wide"},
        {"\xf0\xa0\x80\x80", 2, "CJK extension B"},
        {"e\xcc\x81", 1, "a combining accent: 0"},
        {"\xe3\x81\x8b\xe3\x82\x99", 2, "a combining kana mark: 0"},
        {"a\xe2\x80\x8b" "b", 2, "zero width space"},
        {"\xc2\xad", 1, "soft hyphen keeps its column"},
        {"\xc3\xa9", 1, "a precomposed accent"},
        {"\xef\xbf\xbd", 1, "U+FFFD"},
        {"\xff", 1, "a byte that is not UTF-8, shown as '?'"},
        {"\x1b", 1, "a control, shown as '?'"},
        {"\xe2\x80\xae", 1, "an override, shown as '?'"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(term_cols(c.in), c.cols) << c.what;
        EXPECT_EQ(term_cols(term_safe(c.in)), c.cols) << c.what << ", once shown";
    }
}

TEST(TermText, CutsKeepWholeCharactersWithinTheColumns)
{
    const std::string nihongo = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";  // 3 wide characters
    const struct {
        std::string in;
        size_t cols;
        bool keep_end;
        std::string out;
        const char *what;
    } cases[] = {
        {"abcdef", 6, false, "abcdef", "fits"},
        {"abcdefg", 6, false, "abc...", "cut at the end"},
        {"abcdefg", 6, true, "...efg", "cut at the start"},
        {"abcdefg", 2, false, "..", "too narrow for more than dots"},
        {nihongo, 6, false, nihongo, "wide, fits exactly"},
        {nihongo + "x", 6, false, "\xe6\x97\xa5...", "a wide character that would pass the edge is left out"},
        {"x" + nihongo, 6, true, "...\xe8\xaa\x9e", "the same from the start"},
        {"ae\xcc\x81xyzw", 5, false, "ae\xcc\x81...", "a mark stays with its letter"},
        {"xx\xe6\x97\xa5\xcc\x81y", 4, true, "...y", "a mark whose letter is cut goes too"},
    };
    for (const auto &c : cases) {
        std::string got = c.keep_end ? fit_left(c.in, c.cols) : fit_right(c.in, c.cols);
        EXPECT_EQ(got, c.out) << c.what;
        EXPECT_LE(term_cols(got), c.cols) << c.what;
    }
    EXPECT_EQ(pad_right(nihongo, 8), nihongo + "  ");
    EXPECT_EQ(pad_left("e\xcc\x81", 3), "  e\xcc\x81");
    EXPECT_EQ(pad_left(nihongo, 4), nihongo);
}

}  // namespace
