// JSON text builder: growth by doubling, string escaping, number forms.
#include "json.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int jb_init(json_builder *b)
{
    b->buf = static_cast<char *>(malloc(JB_INITIAL_CAP));
    b->len = 0;
    b->failed = false;
    if (!b->buf) {
        b->cap = 0;
        return -1;
    }
    b->cap = JB_INITIAL_CAP;
    b->buf[0] = '\0';
    return 0;
}

bool jb_grow(json_builder *b, uint64_t n)
{
    if (b->failed)
        return false;
    uint64_t needed = b->len + 1 + n;
    if (needed < n) {  // wrapped around
        b->failed = true;
        return false;
    }
    uint64_t cap = b->cap;
    while (cap <= needed) {
        if (cap > (uint64_t)PTRDIFF_MAX / 2) {
            b->failed = true;
            return false;
        }
        cap *= 2;
    }
    char *p = static_cast<char *>(realloc(b->buf, (size_t)cap));
    if (!p) {
        b->failed = true;
        return false;
    }
    b->buf = p;
    b->cap = cap;
    return true;
}

// Byte classes of the escaper.
enum : uint8_t { C_PLAIN = 0, C_ESCAPE = 1, C_HIGH = 2, C_END = 3 };

struct byte_classes {
    uint8_t c[256];
    constexpr byte_classes() : c()
    {
        for (int i = 0; i < 256; i++)
            c[i] = i == 0 ? C_END : i < 0x20 || i == '"' || i == '\\' ? C_ESCAPE : i >= 0x80 ? C_HIGH : C_PLAIN;
    }
};
static constexpr byte_classes s_class;

// Length of the well-formed UTF-8 sequence at p (2 to 4), or minus the length
// of its maximal ill-formed subpart (1 to 3). Stops at the terminator, which
// is never a continuation byte.
static inline int utf8_sequence(const unsigned char *p)
{
    unsigned c = p[0];
    if (c < 0xC2)  // continuation byte or overlong lead C0/C1
        return -1;
    if (c < 0xE0)
        return (p[1] & 0xC0) == 0x80 ? 2 : -1;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0xF0) {
        if (c == 0xE0)
            lo = 0xA0;  // overlong
        else if (c == 0xED)
            hi = 0x9F;  // surrogates
        if (p[1] < lo || p[1] > hi)
            return -1;
        return (p[2] & 0xC0) == 0x80 ? 3 : -2;
    }
    if (c < 0xF5) {
        if (c == 0xF0)
            lo = 0x90;  // overlong
        else if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
        if (p[1] < lo || p[1] > hi)
            return -1;
        if ((p[2] & 0xC0) != 0x80)
            return -2;
        return (p[3] & 0xC0) == 0x80 ? 4 : -3;
    }
    return -1;
}

// The escape of a byte that needs one; returns the new end.
static char *put_control(char *w, unsigned char c)
{
    static const char hex[] = "0123456789abcdef";
    w[0] = '\\';
    switch (c) {
    case '"': w[1] = '"'; return w + 2;
    case '\\': w[1] = '\\'; return w + 2;
    case '\n': w[1] = 'n'; return w + 2;
    case '\r': w[1] = 'r'; return w + 2;
    case '\t': w[1] = 't'; return w + 2;
    default: break;
    }
    w[1] = 'u';
    w[2] = '0';
    w[3] = '0';
    w[4] = hex[c >> 4];
    w[5] = hex[c & 15];
    return w + 6;
}

char *jb_put_escaped(char *w, const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *run = p;  // start of bytes copied as they are
    *w++ = '"';
    for (;;) {
        // Plain ASCII is the common case: skip it four bytes a step.
        while (s_class.c[p[0]] == C_PLAIN) {
            if (s_class.c[p[1]] != C_PLAIN) { p += 1; break; }
            if (s_class.c[p[2]] != C_PLAIN) { p += 2; break; }
            if (s_class.c[p[3]] != C_PLAIN) { p += 3; break; }
            p += 4;
        }
        uint8_t cls = s_class.c[*p];
        if (cls == C_END)
            break;
        if (cls == C_HIGH) {
            int n = utf8_sequence(p);
            if (n > 0) {
                p += n;
                continue;
            }
            w = jb_put(w, reinterpret_cast<const char *>(run), (size_t)(p - run));
            w = jb_put(w, "\xEF\xBF\xBD", 3);  // at most 3 bytes for each byte replaced
            p += -n;
            run = p;
            continue;
        }
        w = jb_put(w, reinterpret_cast<const char *>(run), (size_t)(p - run));
        w = put_control(w, *p);
        run = ++p;
    }
    w = jb_put(w, reinterpret_cast<const char *>(run), (size_t)(p - run));
    *w++ = '"';
    return w;
}

bool jb_mended_equals(const char *name, const char *text, size_t len)
{
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    const char *end = text + len;
    while (*p) {
        int n = *p < 0x80 ? 1 : utf8_sequence(p);
        const char *piece = n > 0 ? reinterpret_cast<const char *>(p) : "\xEF\xBF\xBD";
        size_t plen = n > 0 ? (size_t)n : 3;
        if ((size_t)(end - text) < plen || memcmp(text, piece, plen) != 0)
            return false;
        text += plen;
        p += n > 0 ? n : -n;
    }
    return text == end;
}

void jb_append_escaped(json_builder *b, const char *text)
{
    if (!jb_reserve(b, 6 * (uint64_t)strlen(text) + 2))
        return;
    jb_commit(b, jb_put_escaped(b->buf + b->len, text));
}

static const char s_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

static inline int decimal_digits(uint64_t v)
{
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

char *jb_put_u64(char *w, uint64_t v)
{
    char *end = w + decimal_digits(v);
    char *q = end;
    while (v >= 100) {
        unsigned r = (unsigned)(v % 100);
        v /= 100;
        q -= 2;
        q[0] = s_pairs[2 * r];
        q[1] = s_pairs[2 * r + 1];
    }
    if (v >= 10) {
        q[-2] = s_pairs[2 * v];
        q[-1] = s_pairs[2 * v + 1];
    } else {
        q[-1] = (char)('0' + v);
    }
    return end;
}

int jb_format_u64(char *out, uint64_t v)
{
    char *end = jb_put_u64(out, v);
    *end = '\0';
    return (int)(end - out);
}

int jb_format_scan_time(char *out, double ms)
{
    // The scan stores whole milliseconds: digits and ".0", no printf.
    if (ms >= 0.0 && ms < 1e18 && (double)(uint64_t)ms == ms) {
        int n = jb_format_u64(out, (uint64_t)ms);
        out[n++] = '.';
        out[n++] = '0';
        out[n] = '\0';
        return n;
    }
    int n = snprintf(out, 32, "%.1f", ms);
    if (n < 0 || n >= 32) {
        memcpy(out, "0.0", 4);
        return 3;
    }
    // The host's locale may have set a decimal comma.
    for (int i = 0; i < n; i++)
        if (out[i] == ',')
            out[i] = '.';
    return n;
}

char *jb_copy_text(const char *text)
{
    size_t n = strlen(text) + 1;
    auto *p = static_cast<char *>(malloc(n));
    if (p)
        memcpy(p, text, n);
    return p;
}

char *jb_finish(json_builder *b, const char *fallback)
{
    char *text = b->buf;
    b->buf = nullptr;
    if (!b->failed)
        return text;
    free(text);
    return jb_copy_text(fallback);
}
