// Ages and dates as --older-than and --newer-than take them, and as the
// report words them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "age.h"

TEST(Age, ParsesAgesAndDates)
{
    const int64_t now = 1800000000;
    struct tm jan {};
    jan.tm_year = 2024 - 1900, jan.tm_mon = 0, jan.tm_mday = 31, jan.tm_hour = 8, jan.tm_isdst = -1;
    const int64_t jan31_8 = (int64_t)mktime(&jan);
    struct {
        const char *text;
        bool ok;
        int64_t at;
    } cases[] = {
        {"30d", true, now - 30 * 86400},
        {"12h", true, now - 12 * 3600},
        {"90m", true, now - 90 * 60},
        {"0s", true, now},
        {"2w", true, now - 14 * 86400},
        {"1y", true, now - 365 * 86400},
        {"2024-01-31 08:00", true, jan31_8},
        {"2024-01-31T08:00:30", true, jan31_8 + 30},
        {"2024-01-31", true, jan31_8 - 8 * 3600},
        {"", false, 0},
        {"d", false, 0},
        {"30", false, 0},       // a unit is needed
        {"30dd", false, 0},
        {"-5d", false, 0},
        {"3.5d", false, 0},
        {"100y", false, 0},     // before 1970
        {"99999999999d", false, 0},
        {"2024-02-30", false, 0},  // no such day
        {"2024-13-01", false, 0},
        {"1969-12-31", false, 0},
        {"2024-01-31 25:00", false, 0},
        {"2024-01-31 08:00 junk", false, 0},
    };
    for (const auto &c : cases) {
        int64_t at = -7;
        EXPECT_EQ(parse_age(c.text, now, &at), c.ok) << c.text;
        EXPECT_EQ(at, c.ok ? c.at : -7) << c.text;
    }
}

TEST(Age, WordsTheLargestUnit)
{
    struct {
        int64_t seconds;
        const char *words;
    } cases[] = {{-5, "just now"},          {59, "just now"},           {60, "1 minute"},
                 {3 * 3600 + 5, "3 hours"}, {86400, "1 day"},           {45 * 86400, "1 month"},
                 {400 * 86400, "1 year"},   {3 * 365 * 86400, "3 years"}};
    for (const auto &c : cases)
        EXPECT_EQ(age_words(c.seconds), c.words) << c.seconds;
}
