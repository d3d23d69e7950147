// Growable, always NUL-terminated text buffer for the JSON documents, with
// the library's one string escaping and number forms.
#pragma once

#include <cstdint>
#include <cstring>

#define JB_INITIAL_CAP 4096

struct json_builder {
    char *buf;     // heap text, buf[len] == 0 at every moment
    uint64_t len;  // bytes of text, terminator excluded
    uint64_t cap;  // bytes allocated at buf; 4096 times a power of two
    bool failed;   // a growth could not be had: the text is incomplete
};

// Allocates the first 4096 bytes. 0, or -1 (builder unusable) when out of memory.
int jb_init(json_builder *b);

// Grows cap by doubling until n more bytes and the terminator fit, in one
// reallocation. False (and failed set, buffer untouched) when it cannot.
bool jb_grow(json_builder *b, uint64_t n);

// Makes room for n more bytes and the terminator; false when it cannot.
inline bool jb_reserve(json_builder *b, uint64_t n) { return n < b->cap - b->len - 1 || jb_grow(b, n); }

// Appends n bytes. After a failed growth nothing is written beyond cap.
inline void jb_append_n(json_builder *b, const char *p, uint64_t n)
{
    // len + n + 1 < cap, written so that a huge n cannot wrap around.
    if (n >= b->cap - b->len - 1 && !jb_grow(b, n))
        return;
    memcpy(b->buf + b->len, p, n);
    b->len += n;
    b->buf[b->len] = '\0';
}

inline void jb_append(json_builder *b, const char *text) { jb_append_n(b, text, strlen(text)); }

inline void jb_append_char(json_builder *b, char c)
{
    if (b->cap - b->len <= 2 && !jb_grow(b, 1))
        return;
    b->buf[b->len++] = c;
    b->buf[b->len] = '\0';
}

// Appends text as a quoted JSON string: " \ and control bytes escaped, each
// maximal ill-formed UTF-8 subsequence replaced by U+FFFD, the rest copied.
void jb_append_escaped(json_builder *b, const char *text);

// Whether text (len bytes) is name as the documents write it before
// escaping: name's bytes, each maximal ill-formed UTF-8 subsequence as
// U+FFFD. Lets a host name an entry by the text it read in a document.
bool jb_mended_equals(const char *name, const char *text, size_t len);

// Writers into space already reserved; each returns the new end of the text
// and writes no terminator.
// Quoted, escaped text: at most 6 * strlen(text) + 2 bytes.
char *jb_put_escaped(char *w, const char *text);
// Full unsigned decimal: at most 20 bytes.
char *jb_put_u64(char *w, uint64_t v);
inline char *jb_put(char *w, const char *p, size_t n)
{
    memcpy(w, p, n);
    return w + n;
}
// Ends a run of jb_put_* writes that began at b->buf + b->len.
inline void jb_commit(json_builder *b, char *end)
{
    b->len = (uint64_t)(end - b->buf);
    *end = '\0';
}

// Full unsigned decimal into out (at least 21 bytes), NUL-terminated; the length.
int jb_format_u64(char *out, uint64_t v);
// Milliseconds as "%.1f" formats them, always with a full stop; out of 32 bytes.
int jb_format_scan_time(char *out, double ms);

inline void jb_append_u64(json_builder *b, uint64_t v)
{
    char tmp[32];
    jb_append_n(b, tmp, (uint64_t)jb_format_u64(tmp, v));
}

// A heap copy of text, or null.
char *jb_copy_text(const char *text);

// Hands over the finished text; when a growth failed, releases it and returns
// a heap copy of fallback instead (null if even that cannot be had).
char *jb_finish(json_builder *b, const char *fallback);
