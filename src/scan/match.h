// Shell patterns, matched the same way on every platform.
#pragma once

// Whether text matches pattern as a whole: '*' matches any run of bytes
// ('/' included), '?' any one byte, "[...]" one byte of a set (ranges a-z,
// classes such as [:digit:] in the C locale, '!' or '^' first to negate; a
// '[' without its ']' stands for itself), and '\' takes the next byte
// literally. Bytes are compared as they are.
bool qv_pattern_match(const char *pattern, const char *text);
