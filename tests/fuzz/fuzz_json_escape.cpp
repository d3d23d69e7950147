// Fuzz target: the JSON string escaper. The input, up to its first NUL, is
// the text; it sits in a heap block that ends at its terminator, so reading
// past the terminator is an ASan report. The escaped text must be one JSON
// string literal, valid UTF-8, within 6 * n + 2 bytes, and must decode to the
// input with each maximal ill-formed UTF-8 subsequence replaced by U+FFFD
// (a well-formed input comes back unchanged).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "json.h"

#ifdef QV_FUZZ_NLOHMANN
#include <nlohmann/json.hpp>
#endif

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";

// Code points that sequences of each length encode (index 2 to 4).
const uint32_t SEQ_MIN[5] = {0, 0, 0x80, 0x800, 0x10000};
const uint32_t SEQ_MAX[5] = {0, 0, 0x7FF, 0xFFFF, 0x10FFFF};

// Whether some scalar value in [lo, hi] is encoded with len bytes.
bool encodable(uint32_t lo, uint32_t hi, int len)
{
    lo = lo > SEQ_MIN[len] ? lo : SEQ_MIN[len];
    hi = hi < SEQ_MAX[len] ? hi : SEQ_MAX[len];
    if (lo > hi)
        return false;
    return lo < 0xD800 || hi > 0xDFFF;  // not all of it surrogates
}

// At s[i]: the length of a well-formed sequence (positive), or minus the
// length of the maximal prefix of s[i..] that could still begin one (at least
// 1). The range of code points a prefix can complete to is checked against
// the scalar values of the sequence length its lead byte announces.
int classify(const std::string &s, size_t i)
{
    auto b = (unsigned char)s[i];
    if (b < 0x80)
        return 1;
    int len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0)
        return -1;
    uint32_t v = b & (0x7Fu >> len);
    int have = 1;
    for (;;) {
        int rest = 6 * (len - have);
        uint32_t lo = v << rest, hi = lo | ((1u << rest) - 1);
        if (!encodable(lo, hi, len))
            return have == 1 ? -1 : -(have - 1);
        if (have == len)
            return len;
        if (i + have >= s.size() || ((unsigned char)s[i + have] & 0xC0) != 0x80)
            return -have;
        v = (v << 6) | ((unsigned char)s[i + have] & 0x3F);
        have++;
    }
}

bool well_formed(const std::string &s)
{
    for (size_t i = 0; i < s.size();) {
        int n = classify(s, i);
        if (n < 0)
            return false;
        i += (size_t)n;
    }
    return true;
}

std::string replace_ill_formed(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        int n = classify(s, i);
        if (n > 0)
            out.append(s, i, (size_t)n);
        else
            out += REPLACEMENT;
        i += (size_t)(n > 0 ? n : -n);
    }
    return out;
}

void put_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | cp >> 6);
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | cp >> 12);
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | cp >> 18);
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

bool hex4(const std::string &s, size_t i, uint32_t *v)
{
    if (i + 4 > s.size())
        return false;
    *v = 0;
    for (size_t k = i; k < i + 4; k++) {
        char c = s[k];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            return false;
        *v = *v << 4 | (uint32_t)d;
    }
    return true;
}

// The value of s when all of s is one JSON string literal (RFC 8259) that
// names only scalar values (no unpaired surrogate escape); false otherwise.
bool decode_literal(const std::string &s, std::string *out)
{
    if (s.size() < 2 || s[0] != '"')
        return false;
    out->clear();
    for (size_t i = 1; i < s.size();) {
        auto c = (unsigned char)s[i];
        if (c == '"')
            return i + 1 == s.size();
        if (c < 0x20)
            return false;
        if (c != '\\') {
            *out += (char)c;
            i++;
            continue;
        }
        if (i + 1 >= s.size())
            return false;
        char e = s[i + 1];
        static const char letters[] = "\"\\/bfnrt", values[] = "\"\\/\b\f\n\r\t";
        const char *simple = e ? strchr(letters, e) : nullptr;
        if (simple) {
            *out += values[simple - letters];
            i += 2;
            continue;
        }
        uint32_t cp;
        if (e != 'u' || !hex4(s, i + 2, &cp))
            return false;
        i += 6;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low;
            if (i + 1 >= s.size() || s[i] != '\\' || s[i + 1] != 'u' || !hex4(s, i + 2, &low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
        }
        put_utf8(*out, cp);
    }
    return false;  // no closing quote
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const void *nul = memchr(data, 0, size);
    size_t n = nul ? (size_t)(static_cast<const uint8_t *>(nul) - data) : size;
    std::unique_ptr<char[]> text(new char[n + 1]);
    memcpy(text.get(), data, n);
    text[n] = '\0';
    const std::string input(text.get(), n);

    // Into a block of exactly the documented bound.
    size_t bound = 6 * n + 2;
    std::unique_ptr<char[]> block(new char[bound]);
    char *end = jb_put_escaped(block.get(), text.get());
    FUZZ_CHECK(end > block.get() && (size_t)(end - block.get()) <= bound);
    const std::string escaped(block.get(), (size_t)(end - block.get()));

    // The builder's form writes the same text and keeps it terminated.
    json_builder b;
    FUZZ_CHECK(jb_init(&b) == 0);
    jb_append_escaped(&b, text.get());
    FUZZ_CHECK(!b.failed && b.len == escaped.size() && b.buf[b.len] == '\0');
    FUZZ_CHECK(memcmp(b.buf, escaped.data(), escaped.size()) == 0);
    free(b.buf);

    FUZZ_CHECK(well_formed(escaped));
    std::string decoded;
    FUZZ_CHECK(decode_literal(escaped, &decoded));
    FUZZ_CHECK(decoded == replace_ill_formed(input));
    if (well_formed(input))
        FUZZ_CHECK(decoded == input);

#ifdef QV_FUZZ_NLOHMANN
    // A second, unrelated parser must agree.
    nlohmann::json parsed = nlohmann::json::parse(escaped, nullptr, false);
    FUZZ_CHECK(parsed.is_string());
    FUZZ_CHECK(parsed.get<std::string>() == decoded);
#endif
    return 0;
}
