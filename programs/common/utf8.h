// Writing a code point as UTF-8, and the one-letter escapes of JSON
// strings, for the readers of JSON documents.
#pragma once

#include <cstdint>
#include <string>

inline void put_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

// The character a one-letter escape ("\\n" and the like) stands for, or -1
// (also for "\\u", which is followed by four hex digits).
inline int json_simple_escape(int e)
{
    switch (e) {
    case '"': return '"';
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return -1;
    }
}
