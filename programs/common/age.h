// Ages and dates on the command line (--older-than, --newer-than), and how
// the report says how old something is.
#pragma once

#include <cstdint>
#include <string>

// The moment text names, in seconds since 1970: an age before now ("30d",
// "12h", "90m", "45s", "2w", "1y": a year of 365 days; a whole number and one
// unit), or a date in local time ("2024-01-31", "2024-01-31 08:00",
// "2024-01-31T08:00:30"). False, *at unchanged, for anything else, or an
// age that reaches before 1970.
bool parse_age(const char *text, int64_t now, int64_t *at);

// An age in the largest unit that keeps it readable: "3 years", "5 months",
// "12 days", "4 hours", "just now" (under a minute; also a time after now).
std::string age_words(int64_t seconds);

// The local date and time of t, "2024-01-31 08:00".
std::string local_date(int64_t t);
