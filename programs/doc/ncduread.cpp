// ncdu's export is JSON whose strings are not always text: ncdu writes a
// file name byte for byte, escaping only '"', '\' and control bytes, so a
// name the file system holds as Latin-1 or as broken UTF-8 comes out the
// same in the export. nlohmann-json, which reads the library's own
// documents (docread.cpp), refuses such strings as ill-formed UTF-8, and
// so the tokenizer here is written by hand: strict about the JSON (escapes
// and surrogate pairs, control bytes, numbers, nesting), byte-exact about
// names, and with its own stack, so that neither an entry nested a million
// levels deep nor an unknown member's value nested as deep grows the C++
// stack. Buffers (the piece read, a name, a key, the stack) are kept from
// one entry to the next; a read allocates only when one of them grows.
#include "ncduread.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#ifdef QV_HAVE_ZSTD
#include <zstd.h>
#endif

#include "docread.h"

namespace {

const unsigned char ZSTD_MAGIC[4] = {0x28, 0xB5, 0x2F, 0xFD};
// A root path may be longer than a name; this keeps a hostile one bounded.
const size_t MAX_ROOT_PATH = 1 << 20;

// The export's text, from memory, from a file a piece at a time, or from a
// file through zstd's decompressor. at() counts the text's bytes consumed.
struct input {
    const unsigned char *p = nullptr, *end = nullptr, *piece = nullptr;
    uint64_t before = 0;  // bytes in the pieces before this one
    FILE *f = nullptr;
    std::vector<unsigned char> buf;
    std::string trouble;  // why the text ended, when not at its true end
#ifdef QV_HAVE_ZSTD
    ZSTD_DStream *z = nullptr;
    std::vector<unsigned char> zbuf;
    ZSTD_inBuffer zin{nullptr, 0, 0};
    size_t zwant = 0;  // the decompressor's last answer: 0 at a frame's end
    bool zeof = false;
    ~input() { ZSTD_freeDStream(z); }
#endif

    uint64_t at() const { return before + (uint64_t)(p - piece); }

    bool refill()
    {
        if (!f || !trouble.empty())
            return false;
        before += (uint64_t)(end - piece);
        piece = p = end = buf.data();
#ifdef QV_HAVE_ZSTD
        if (z)
            return refill_zstd();
#endif
        size_t n = fread(buf.data(), 1, buf.size(), f);
        end = p + n;
        if (n == 0 && ferror(f))
            trouble = "the file cannot be read";
        return n > 0;
    }

#ifdef QV_HAVE_ZSTD
    bool refill_zstd()
    {
        for (;;) {
            if (zin.pos == zin.size && !zeof) {
                size_t n = fread(zbuf.data(), 1, zbuf.size(), f);
                zin = {zbuf.data(), n, 0};
                if (n == 0) {
                    if (ferror(f))
                        trouble = "the file cannot be read";
                    zeof = true;
                }
            }
            ZSTD_outBuffer out{buf.data(), buf.size(), 0};
            size_t was = zin.pos;
            size_t r = ZSTD_decompressStream(z, &out, &zin);
            if (ZSTD_isError(r)) {
                trouble = std::string("zstd-compressed text that is damaged (") + ZSTD_getErrorName(r) + ")";
                return false;
            }
            // Asked again past a frame's end, it answers for the next one.
            if (zin.pos != was || out.pos > 0)
                zwant = r;
            if (out.pos > 0) {
                end = buf.data() + out.pos;
                return true;
            }
            if (zeof && zin.pos == zin.size) {
                // Nothing more will come: the last frame must be whole.
                if (zwant != 0 && trouble.empty())
                    trouble = "zstd-compressed text that ends early";
                return false;
            }
        }
    }
#endif
};

enum class excluded_kind { none, left_out, other_fs, kern_fs, loop, cache };

// One entry's info object.
struct info {
    bool has_name = false;
    bool name_too_long = false;
    uint64_t asize = 0, dsize = 0, dev = 0, ino = 0, nlink = 0;
    bool has_dev = false, has_ino = false, hlnkc = false, read_error = false;
    excluded_kind excluded = excluded_kind::none;
    // ncdu -e: the time, and the owner and mode when all three are there.
    int64_t mtime = 0;
    uint32_t uid = 0, gid = 0, mode = 0;
    bool has_mtime = false;
    unsigned owner_parts = 0;  // 1 uid, 2 gid, 4 mode

    void clear() { *this = info{}; }
};

// A directory being read: the device its entries inherit, and whether its
// entries are told (left out, below a directory not entered).
struct frame {
    uint64_t dev;
    enum : unsigned char { told, hidden, closed } mode;
};

// Number forms, for members that take only some.
enum : unsigned { N_NEGATIVE = 1, N_FRACTION = 2, N_OVERFLOW = 4 };

class reader {
public:
    reader(input &in, const ncdu_read_options &o, doc_sink &sink, ncdu_read_stats &stats)
        : in_(in), opt_(o), sink_(sink), stats_(stats)
    {
    }

    std::string why;

    bool run()
    {
        return header() && tree() && trailer() && (sink_.end() || fail(sink_.refusal()));
    }

private:
    input &in_;
    const ncdu_read_options &opt_;
    doc_sink &sink_;
    ncdu_read_stats &stats_;
    std::string name_, key_, text_;
    std::vector<frame> frames_;
    bool virtual_root_ = false;  // the root has no name: roots below it
    std::vector<char> skip_;
    info info_;
    disk_entry entry_{};

    // ---- the bytes

    int peek()
    {
        if (in_.p == in_.end && !in_.refill())
            return -1;
        return *in_.p;
    }
    int next()
    {
        int c = peek();
        if (c >= 0)
            ++in_.p;
        return c;
    }
    int peek_past_space()
    {
        for (;;) {
            while (in_.p < in_.end) {
                unsigned char c = *in_.p;
                if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
                    return c;
                ++in_.p;
            }
            if (!in_.refill())
                return -1;
        }
    }
    int next_past_space()
    {
        int c = peek_past_space();
        if (c >= 0)
            ++in_.p;
        return c;
    }

    bool fail(const std::string &what)
    {
        if (why.empty())
            why = what + " at byte " + std::to_string(in_.at());
        return false;
    }
    // A fault at c, which may be the end of the text.
    bool fail_at(int c, const char *what)
    {
        if (c >= 0)
            return fail(what);
        return fail(in_.trouble.empty() ? "the file ends early" : in_.trouble);
    }
    bool expect(char want, const char *what)
    {
        int c = next_past_space();
        return c == want || fail_at(c, what);
    }

    // ---- JSON values

    // A string, its opening quote read, into *out (null: passed over) up to
    // cap bytes; *long_ says whether there were more.
    bool string(std::string *out, size_t cap, bool *too_long)
    {
        if (out)
            out->clear();
        bool over = false;
        for (;;) {
            const unsigned char *s = in_.p, *e = in_.end;
            while (s < e && *s != '"' && *s != '\\' && *s >= 0x20)
                ++s;
            if (out && !over) {
                size_t n = (size_t)(s - in_.p);
                if (out->size() + n > cap) {
                    over = true;
                    n = cap - out->size();
                }
                out->append(reinterpret_cast<const char *>(in_.p), n);
            }
            in_.p = s;
            if (s == e) {
                if (!in_.refill())
                    return fail_at(-1, "");
                continue;
            }
            int c = *in_.p++;
            if (c == '"')
                break;
            if (c < 0x20)
                return fail("a control character in a string");
            if (c == '\\') {
                char utf8[4];
                size_t n = 0;
                if (!escape(utf8, &n))
                    return false;
                if (out && !over) {
                    if (out->size() + n > cap)
                        over = true;
                    else
                        out->append(utf8, n);
                }
            }
        }
        if (too_long)
            *too_long = over;
        return true;
    }

    bool hex4(unsigned *v)
    {
        *v = 0;
        for (int i = 0; i < 4; i++) {
            int c = next();
            unsigned d;
            if (c >= '0' && c <= '9')
                d = (unsigned)(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = (unsigned)(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = (unsigned)(c - 'A' + 10);
            else
                return fail_at(c, "a \\u escape without four hex digits");
            *v = *v << 4 | d;
        }
        return true;
    }

    // An escape, its backslash read, as UTF-8 bytes.
    bool escape(char *utf8, size_t *n)
    {
        int c = next();
        const char *simple = "\"\"\\\\//b\bf\fn\nr\rt\t";
        for (const char *s = simple; *s; s += 2)
            if (c == *s) {
                utf8[0] = s[1];
                *n = 1;
                return true;
            }
        if (c != 'u')
            return fail_at(c, "an unknown escape in a string");
        unsigned u;
        if (!hex4(&u))
            return false;
        if (u >= 0xDC00 && u <= 0xDFFF)
            return fail("a lone surrogate in a string");
        if (u >= 0xD800 && u <= 0xDBFF) {
            unsigned low;
            int b = next(), ch = b == '\\' ? next() : b;
            if (b != '\\' || ch != 'u')
                return fail_at(ch, "a lone surrogate in a string");
            if (!hex4(&low))
                return false;
            if (low < 0xDC00 || low > 0xDFFF)
                return fail("a lone surrogate in a string");
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        if (u < 0x80) {
            utf8[0] = (char)u;
            *n = 1;
        } else if (u < 0x800) {
            utf8[0] = (char)(0xC0 | u >> 6);
            utf8[1] = (char)(0x80 | (u & 0x3F));
            *n = 2;
        } else if (u < 0x10000) {
            utf8[0] = (char)(0xE0 | u >> 12);
            utf8[1] = (char)(0x80 | (u >> 6 & 0x3F));
            utf8[2] = (char)(0x80 | (u & 0x3F));
            *n = 3;
        } else {
            utf8[0] = (char)(0xF0 | u >> 18);
            utf8[1] = (char)(0x80 | (u >> 12 & 0x3F));
            utf8[2] = (char)(0x80 | (u >> 6 & 0x3F));
            utf8[3] = (char)(0x80 | (u & 0x3F));
            *n = 4;
        }
        return true;
    }

    // A number, its first byte not yet read: *v its whole part (when it
    // fits), *form the N_ flags.
    bool number(uint64_t *v, unsigned *form)
    {
        *v = 0;
        *form = 0;
        int c = next();
        if (c == '-') {
            *form |= N_NEGATIVE;
            c = next();
        }
        if (c < '0' || c > '9')
            return fail_at(c, "a malformed number");
        if (c == '0') {
            c = peek();
            if (c >= '0' && c <= '9')
                return fail("a malformed number");
        } else {
            *v = (uint64_t)(c - '0');
            for (c = peek(); c >= '0' && c <= '9'; c = peek()) {
                unsigned d = (unsigned)(c - '0');
                if (*v > (UINT64_MAX - d) / 10)
                    *form |= N_OVERFLOW;
                else
                    *v = *v * 10 + d;
                ++in_.p;
            }
        }
        if (c == '.') {
            ++in_.p;
            *form |= N_FRACTION;
            if (!digits())
                return false;
            c = peek();
        }
        if (c == 'e' || c == 'E') {
            ++in_.p;
            *form |= N_FRACTION;
            c = peek();
            if (c == '+' || c == '-')
                ++in_.p;
            if (!digits())
                return false;
        }
        return true;
    }
    bool digits()
    {
        int c = peek();
        if (c < '0' || c > '9')
            return fail_at(c, "a malformed number");
        while (c >= '0' && c <= '9') {
            ++in_.p;
            c = peek();
        }
        return true;
    }

    // The rest of a literal whose first byte was read.
    bool literal(const char *rest)
    {
        for (; *rest; rest++) {
            int c = next();
            if (c != *rest)
                return fail_at(c, "an unknown word");
        }
        return true;
    }

    // Passes over one value of any kind and depth, its first byte not yet
    // read, with a stack of the closing brackets rather than recursion.
    bool skip_value()
    {
        skip_.clear();
        for (;;) {
            int c = next_past_space();
            switch (c) {
            case '{':
                if (peek_past_space() == '}') {
                    ++in_.p;
                    break;
                }
                if (!expect('"', "expected a member name") || !key())
                    return false;
                [[fallthrough]];
            case '[':
                if (c == '[' && peek_past_space() == ']') {
                    ++in_.p;
                    break;
                }
                if (skip_.size() >= (size_t)DOC_MAX_DEPTH)
                    return fail("values nested deeper than " + std::to_string(DOC_MAX_DEPTH) + " levels");
                skip_.push_back(c == '{' ? '}' : ']');
                continue;
            case '"':
                if (!string(nullptr, 0, nullptr))
                    return false;
                break;
            case 't':
                if (!literal("rue"))
                    return false;
                break;
            case 'f':
                if (!literal("alse"))
                    return false;
                break;
            case 'n':
                if (!literal("ull"))
                    return false;
                break;
            default: {
                if (c != '-' && (c < '0' || c > '9'))
                    return fail_at(c, "expected a value");
                --in_.p;  // c came from this piece: peek_past_space stood on it
                uint64_t v;
                unsigned form;
                if (!number(&v, &form))
                    return false;
            }
            }
            // A value has ended: close what it ends.
            for (;;) {
                if (skip_.empty())
                    return true;
                c = next_past_space();
                if (c == ',') {
                    if (skip_.back() == '}' && !(expect('"', "expected a member name") && key()))
                        return false;
                    break;
                }
                if (c != skip_.back())
                    return fail_at(c, skip_.back() == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
                skip_.pop_back();
            }
        }
    }

    // A member's name, its opening quote read, into key_, and the colon.
    bool key()
    {
        bool too_long;
        if (!string(&key_, 32, &too_long))
            return false;
        if (too_long)
            key_.assign(1, '?');  // no known key is that long
        return expect(':', "expected ':'");
    }

    // ---- members of an info object

    // A member's name in quotes, as a message names it.
    static std::string member(const char *name)
    {
        std::string m = "\"";
        m += name;
        m += '"';
        return m;
    }

    bool whole(const char *name, uint64_t *v)
    {
        int c = peek_past_space();
        if (c != '-' && (c < '0' || c > '9'))
            return fail_at(c, (member(name) + " that is not a number").c_str());
        unsigned form;
        if (!number(v, &form))
            return false;
        if (form & (N_NEGATIVE | N_FRACTION))
            return fail(member(name) + " that is not a whole number");
        if (form & N_OVERFLOW)
            return fail(member(name) + " larger than 2^64-1");
        return true;
    }
    // A number some writers keep as a fraction or below 0 (mtime): *out
    // and *kept set only for a whole one from -2^63 to 2^63-1.
    bool any_number(const char *name, int64_t *out, bool *kept)
    {
        int c = peek_past_space();
        if (c != '-' && (c < '0' || c > '9'))
            return fail_at(c, (member(name) + " that is not a number").c_str());
        uint64_t v;
        unsigned form;
        if (!number(&v, &form))
            return false;
        if (form & N_OVERFLOW)
            return fail(member(name) + " larger than 2^64-1");
        *kept = !(form & N_FRACTION) && v <= (uint64_t)INT64_MAX;
        if (*kept)
            *out = form & N_NEGATIVE ? -(int64_t)v : (int64_t)v;
        return true;
    }
    // uid, gid, mode: kept when whole and within 32 bits.
    bool owner_part(const char *name, unsigned bit, uint32_t *out)
    {
        int64_t v = 0;
        bool kept = false;
        if (!any_number(name, &v, &kept))
            return false;
        if (kept && v >= 0 && v <= (int64_t)UINT32_MAX) {
            *out = (uint32_t)v;
            info_.owner_parts |= bit;
        }
        return true;
    }
    bool boolean(const char *name, bool *v)
    {
        int c = next_past_space();
        if (c == 't') {
            *v = true;
            return literal("rue");
        }
        if (c == 'f') {
            *v = false;
            return literal("alse");
        }
        return fail_at(c, (member(name) + " that is not true or false").c_str());
    }
    bool a_string(const char *name, std::string *out, size_t cap, bool *too_long)
    {
        int c = next_past_space();
        if (c != '"')
            return fail_at(c, (member(name) + " that is not a string").c_str());
        return string(out, cap, too_long);
    }

    // An info object, its '{' read, into info_ and name_.
    bool info_object(bool root)
    {
        info_.clear();
        name_.clear();
        if (peek_past_space() == '}') {
            ++in_.p;
            return fail(root ? "a root with no \"name\"" : "an entry with no \"name\"");
        }
        for (;;) {
            if (!expect('"', "expected a member name") || !key())
                return false;
            bool ok = true;
            const std::string &k = key_;
            if (k == "name") {
                ok = a_string("name", &name_, root ? MAX_ROOT_PATH : DOC_MAX_NAME, &info_.name_too_long);
                info_.has_name = true;
            } else if (k == "asize")
                ok = whole("asize", &info_.asize);
            else if (k == "dsize")
                ok = whole("dsize", &info_.dsize);
            else if (k == "dev") {
                ok = whole("dev", &info_.dev);
                info_.has_dev = true;
            } else if (k == "ino") {
                ok = whole("ino", &info_.ino);
                info_.has_ino = true;
            } else if (k == "nlink")
                ok = whole("nlink", &info_.nlink);
            else if (k == "hlnkc")
                ok = boolean("hlnkc", &info_.hlnkc);
            else if (k == "read_error")
                ok = boolean("read_error", &info_.read_error);
            else if (k == "notreg") {
                bool notreg;  // passed as a file all the same, its size as given
                ok = boolean("notreg", &notreg);
            } else if (k == "excluded") {
                bool too_long;
                ok = a_string("excluded", &text_, 16, &too_long);
                // ncdu 1.18 writes "othfs" and reads "otherfs" too; "loop"
                // and "cache" are qvdisk's, read elsewhere as excluded.
                info_.excluded = text_ == "otherfs" || text_ == "othfs" ? excluded_kind::other_fs
                                 : text_ == "kernfs"                    ? excluded_kind::kern_fs
                                 : text_ == "loop"                      ? excluded_kind::loop
                                 : text_ == "cache"                     ? excluded_kind::cache
                                                                        : excluded_kind::left_out;
            } else if (k == "mtime")
                ok = any_number("mtime", &info_.mtime, &info_.has_mtime);
            else if (k == "uid")
                ok = owner_part("uid", 1, &info_.uid);
            else if (k == "gid")
                ok = owner_part("gid", 2, &info_.gid);
            else if (k == "mode")
                ok = owner_part("mode", 4, &info_.mode);
            else
                ok = skip_value();
            if (!ok)
                return false;
            int c = next_past_space();
            if (c == '}')
                break;
            if (c != ',')
                return fail_at(c, "expected ',' or '}' in an entry");
        }
        if (!info_.has_name)
            return fail(root ? "a root with no \"name\"" : "an entry with no \"name\"");
        // A root of no name holds several roots, each named by its path
        // (qvdisk's export of several PATHs; see disk_import_begin).
        bool a_root = root || (virtual_root_ && frames_.size() == 1);
        if (a_root) {
            if ((!root && name_.empty()) || info_.name_too_long || name_.find('\0') != std::string::npos)
                return fail(root ? "a root path that cannot be a path" : "an entry name that cannot be a file name");
        } else if (name_.empty() || info_.name_too_long || name_ == "." || name_ == ".." ||
                   name_.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            return fail("an entry name that cannot be a file name");
        return true;
    }

    // ---- the export

    bool header()
    {
        int c = next_past_space();
        if (c != '[')
            return fail_at(c, "not an ncdu export");
        uint64_t major, minor;
        unsigned form;
        c = peek_past_space();
        if (c < '0' || c > '9')
            return fail_at(c, "not an ncdu export");
        if (!number(&major, &form))
            return false;
        if (form)
            return fail("not an ncdu export");
        if (major != 1)
            return fail("an ncdu export of major version " + std::to_string(major) + ", not 1");
        if (!expect(',', "expected ','"))
            return false;
        c = peek_past_space();
        if (c < '0' || c > '9')
            return fail_at(c, "a minor version that is not a number");
        if (!number(&minor, &form))
            return false;
        if (form)
            return fail("a minor version that is not a whole number");
        if (!expect(',', "expected ','"))
            return false;
        c = next_past_space();
        if (c != '{')
            return fail_at(c, "metadata that is not an object");
        if (peek_past_space() == '}') {
            ++in_.p;
        } else {
            for (;;) {
                if (!expect('"', "expected a member name") || !key())
                    return false;
                if (key_ == "progname") {
                    bool too_long;
                    if (!a_string("progname", &text_, 64, &too_long))
                        return false;
                    stats_.gdu = text_ == "gdu";
                } else if (!skip_value())
                    return false;
                c = next_past_space();
                if (c == '}')
                    break;
                if (c != ',')
                    return fail_at(c, "expected ',' or '}' in the metadata");
            }
        }
        return expect(',', "expected ','");
    }

    // Fills entry_ from info_ and name_, for an entry below dev.
    void fill(bool is_dir, uint64_t dev)
    {
        entry_ = disk_entry{};
        entry_.struct_size = sizeof(disk_entry);
        entry_.name = name_.data();
        entry_.name_len = (unsigned)name_.size();
        entry_.is_dir = is_dir;
        entry_.dev = dev;
        if (info_.has_mtime) {
            entry_.fields |= DISK_FIELD_MTIME;
            entry_.mtime = info_.mtime;
        }
        if (info_.owner_parts == 7) {
            entry_.fields |= DISK_FIELD_OWNER;
            entry_.uid = info_.uid, entry_.gid = info_.gid, entry_.mode = info_.mode;
        }
        if (is_dir) {
            // A directory's own size counts 0 in qvdisk, and gdu's are its
            // totals anyway.
            if (info_.read_error)
                entry_.state = DISK_ENTRY_UNREADABLE;
            if (info_.excluded == excluded_kind::other_fs)
                entry_.state = DISK_ENTRY_OTHER_FS;
            else if (info_.excluded == excluded_kind::kern_fs)
                entry_.state = DISK_ENTRY_PSEUDO_FS;
            else if (info_.excluded == excluded_kind::loop)
                entry_.state = DISK_ENTRY_LOOP;
            else if (info_.excluded == excluded_kind::cache)
                entry_.state = DISK_ENTRY_CACHE;
            return;
        }
        entry_.apparent_size = info_.asize;
        entry_.disk_size = info_.dsize;
        if (stats_.gdu) {
            // gdu marks only the names after the first it met, whose size
            // it has counted already.
            if ((info_.has_ino || info_.hlnkc) && opt_.links_once)
                entry_.apparent_size = entry_.disk_size = 0;
            return;
        }
        if (info_.has_ino && (info_.hlnkc || info_.nlink > 1)) {
            entry_.ino = info_.ino;
            uint64_t n = std::max<uint64_t>(info_.nlink, 2);
            entry_.nlink = n > UINT_MAX ? UINT_MAX : (unsigned)n;
        }
    }

    // The root and everything below it, one entry at a time.
    bool tree()
    {
        int c = next_past_space();
        if (c == '{')
            return fail("a root that is not a directory");
        if (c != '[')
            return fail_at(c, "expected the root directory");
        if (!expect('{', "a directory whose first element is not an info object") || !info_object(true))
            return false;
        if (info_.excluded == excluded_kind::left_out)
            return fail("a root the file marks excluded");
        virtual_root_ = name_.empty();
        fill(true, info_.dev);
        frames_.clear();
        bool sealed = entry_.state != DISK_ENTRY_WHOLE && entry_.state != DISK_ENTRY_UNREADABLE;
        frames_.push_back({info_.dev, sealed ? frame::closed : frame::told});
        doc_root r;
        r.path = name_;
        r.entry = &entry_;
        r.sums_later = true;
        if (!sink_.root(r))
            return fail(sink_.refusal());
        while (!frames_.empty()) {
            c = next_past_space();
            if (c == ']') {
                bool told = frames_.back().mode != frame::hidden;
                frames_.pop_back();
                if (told && !sink_.leave())
                    return fail(sink_.refusal());
                continue;
            }
            if (c != ',')
                return fail_at(c, "expected ',' or ']' in a directory");
            c = next_past_space();
            bool is_dir = c == '[';
            if (is_dir) {
                if (frames_.size() >= (size_t)DOC_MAX_DEPTH)
                    return fail("entries nested deeper than " + std::to_string(DOC_MAX_DEPTH) + " levels");
                c = next_past_space();
                if (c != '{')
                    return fail_at(c, "a directory whose first element is not an info object");
            } else if (c != '{')
                return fail_at(c, "expected an entry");
            if (!info_object(false) || !entry(is_dir))
                return false;
        }
        return true;
    }

    // An entry whose info was just read.
    bool entry(bool is_dir)
    {
        frame &up = frames_.back();
        uint64_t dev = info_.has_dev ? info_.dev : up.dev;
        auto mode = up.mode;
        if (mode == frame::closed)
            return fail("an entry in a directory the file marks not entered");
        if (mode == frame::told && info_.excluded == excluded_kind::left_out) {
            stats_.left_out++;
            mode = frame::hidden;
        }
        // ncdu writes a directory on another file system as an object, not
        // entered: it is a directory all the same.
        bool not_entered = info_.excluded != excluded_kind::none && info_.excluded != excluded_kind::left_out;
        if (mode == frame::hidden) {
            if (is_dir)
                frames_.push_back({dev, frame::hidden});
            return true;
        }
        fill(is_dir || not_entered, dev);
        doc_node n;
        n.name = name_;
        n.is_dir = is_dir || not_entered;
        n.entry = &entry_;
        if (!sink_.enter(n))
            return fail(sink_.refusal());
        if (is_dir)
            frames_.push_back({dev, not_entered ? frame::closed : frame::told});
        else if (not_entered && !sink_.leave())
            return fail(sink_.refusal());
        return true;
    }

    bool trailer()
    {
        if (!expect(']', "expected ']' after the root"))
            return false;
        int c = peek_past_space();
        if (c >= 0)
            return fail("text after the export");
        return in_.trouble.empty() || fail(in_.trouble);
    }
};

bool run(input &in, const ncdu_read_options &o, doc_sink &sink, std::string *error, ncdu_read_stats *stats)
{
    ncdu_read_stats mine;
    ncdu_read_stats &s = stats ? *stats : mine;
    bool zstd = s.zstd;
    s = ncdu_read_stats{};
    s.zstd = zstd;
    error->clear();
    reader r(in, o, sink, s);
    try {
        if (r.run())
            return true;
        *error = r.why;
    } catch (const std::bad_alloc &) {
        *error = "out of memory at byte " + std::to_string(in.at());
    }
    return false;
}

}  // namespace

bool ncdu_read_text(const char *text, size_t len, const ncdu_read_options &o, doc_sink &sink, std::string *error,
                    ncdu_read_stats *stats)
{
    input in;
    in.piece = in.p = reinterpret_cast<const unsigned char *>(text);
    in.end = in.p + len;
    if (stats)
        stats->zstd = false;
    return run(in, o, sink, error, stats);
}

bool ncdu_read_file(FILE *f, const ncdu_read_options &o, doc_sink &sink, std::string *error, ncdu_read_stats *stats,
                    size_t piece_bytes)
{
    // Four bytes at least, for zstd's magic.
    const size_t piece = std::max<size_t>(piece_bytes, 4);
    input in;
    in.f = f;
    bool zstd = false;
    try {
        in.buf.resize(piece);
        // The first piece tells whether the text is compressed.
        size_t n = fread(in.buf.data(), 1, in.buf.size(), f);
        if (n == 0 && ferror(f)) {
            *error = "the file cannot be read at byte 0";
            return false;
        }
        zstd = n >= 4 && memcmp(in.buf.data(), ZSTD_MAGIC, 4) == 0;
        if (!zstd) {
            in.piece = in.p = in.buf.data();
            in.end = in.p + n;
        } else {
#ifdef QV_HAVE_ZSTD
            in.z = ZSTD_createDStream();
            if (!in.z)
                throw std::bad_alloc();
            ZSTD_initDStream(in.z);
            in.zbuf.assign(in.buf.begin(), in.buf.begin() + (std::ptrdiff_t)n);
            in.zbuf.resize(std::max(n, ZSTD_DStreamInSize()));
            in.zin = {in.zbuf.data(), n, 0};
            in.piece = in.p = in.end = in.buf.data();
#else
            *error = "a zstd-compressed file, and this qvdisk was built without zstd at byte 0";
            return false;
#endif
        }
    } catch (const std::bad_alloc &) {
        *error = "out of memory at byte 0";
        return false;
    }
    if (stats)
        stats->zstd = zstd;
    return run(in, o, sink, error, stats);
}

ncdu_kind ncdu_sniff(const void *head, size_t len)
{
    const unsigned char *b = static_cast<const unsigned char *>(head);
    if (len >= 4 && memcmp(b, ZSTD_MAGIC, 4) == 0)
        return ncdu_kind::zstd;
    size_t i = 0;
    auto space = [&] {
        while (i < len && (b[i] == ' ' || b[i] == '\n' || b[i] == '\r' || b[i] == '\t'))
            i++;
    };
    space();
    if (i == len || b[i] != '[')
        return ncdu_kind::other;
    i++;
    space();
    if (i == len || b[i] != '1')
        return ncdu_kind::other;
    i++;
    return i == len || (b[i] < '0' || b[i] > '9') ? ncdu_kind::json : ncdu_kind::other;
}
