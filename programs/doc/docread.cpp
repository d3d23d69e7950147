// nlohmann-json's SAX parser was chosen by measurement: it streams from a
// file in pieces, has no depth limit and does not recurse (its parser keeps
// an explicit stack), and it refuses malformed JSON (UTF-8, escapes,
// surrogates, numbers) with where it stopped. What is left here is what the
// library's documents mean: which members an object has, of what type, and
// when an entry is complete enough to tell a sink.
#include "docread.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// The document's bytes, from memory or from a file a piece at a time, with
// the count of bytes handed to the parser.
struct source {
    const char *p = nullptr, *end = nullptr, *piece = nullptr;
    uint64_t before = 0;  // bytes in the pieces before this one
    FILE *f = nullptr;
    std::vector<char> buf;
    bool ended = false;  // asked for a byte past the last

    bool refill()
    {
        if (f && !ended) {
            before += (uint64_t)(end - piece);
            size_t n = fread(buf.data(), 1, buf.size(), f);
            piece = p = buf.data();
            end = p + n;
            if (n > 0)
                return true;
        }
        ended = true;
        return false;
    }
    uint64_t read() const { return before + (uint64_t)(p - piece); }
};

// How the parser takes bytes from a source: an input iterator compared
// only with the one end there is.
struct byte_iter {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    source *s;
    reference operator*() const { return *s->p; }
    byte_iter &operator++()
    {
        ++s->p;
        return *this;
    }
    byte_iter operator++(int)
    {
        byte_iter was = *this;
        ++s->p;
        return was;
    }
    bool operator!=(const byte_iter &) const { return s->p != s->end || s->refill(); }
    bool operator==(const byte_iter &other) const { return !(*this != other); }
};

enum member : unsigned {
    M_NAME = 1,
    M_SIZE = 2,
    M_FILES = 4,
    M_DIRS = 8,
    M_TIME = 16,
    M_IS_DIR = 32,
    M_FIELDS = 64,
    M_MTIME = 128,
    M_UID = 256,
    M_GID = 512,
    M_MODE = 1024,
    M_CHILDREN = 2048,
    M_PROBLEM = 4096,
    M_ERROR = 8192,
};
const unsigned M_OWNER = M_UID | M_GID | M_MODE;

struct member_name {
    std::string_view text;
    unsigned bit;
};
// In the order the library writes them, which is also the order of the bits.
// A scan with disk_scan_options.extended adds "mtime", "uid", "gid" and
// "mode" before "children", and to the root "fields" (the list of those
// its entries carry, passed over: each entry says what it has); others have
// none of them.
const member_name ROOT_MEMBERS[] = {{"path", M_NAME},       {"total_size", M_SIZE},     {"total_files", M_FILES},
                                    {"total_dirs", M_DIRS}, {"scan_time_ms", M_TIME}, {"fields", M_FIELDS},
                                    {"mtime", M_MTIME},
                                    {"uid", M_UID},         {"gid", M_GID},             {"mode", M_MODE},
                                    {"children", M_CHILDREN}};
const member_name ENTRY_MEMBERS[] = {{"name", M_NAME},   {"size", M_SIZE}, {"files", M_FILES},
                                     {"is_dir", M_IS_DIR}, {"mtime", M_MTIME}, {"uid", M_UID},
                                     {"gid", M_GID},       {"mode", M_MODE},   {"children", M_CHILDREN}};
const member_name ROW_MEMBERS[] = {{"path", M_NAME},       {"ext", M_NAME},     {"size", M_SIZE},      {"total_size", M_SIZE},
                                   {"count", M_FILES},     {"problem", M_PROBLEM}, {"error", M_ERROR}};
const unsigned ROOT_NEEDS = M_NAME | M_SIZE | M_FILES | M_DIRS;
const unsigned ENTRY_NEEDS = M_NAME | M_SIZE | M_FILES | M_IS_DIR;

template <size_t N>
const member_name *find_member(const member_name (&table)[N], std::string_view key)
{
    // Byte by byte: a call to compare costs more than these short names do.
    for (const member_name &m : table) {
        if (m.text.size() != key.size())
            continue;
        size_t i = 0;
        while (i < key.size() && m.text[i] == key[i])
            i++;
        if (i == key.size())
            return &m;
    }
    return nullptr;
}

// The JSON values the handler is inside of.
enum frame_kind : uint8_t { F_TOP, F_ENTRY, F_CHILDREN, F_LIST, F_ROW };
struct frame {
    frame_kind kind;
    unsigned seen = 0;  // members read
    bool told = false;  // the object has gone to the sink
};

class handler {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    handler(source &in, doc_form form, doc_sink &sink) : in_(in), form_(form), sink_(sink) {}

    std::string why;  // what stopped the reading, with where
    uint64_t done_at() const { return done_at_; }

    bool fail(const std::string &what, uint64_t at)
    {
        if (why.empty())
            why = what + " at byte " + std::to_string(at);
        return false;
    }

    // Before the parser: the first byte that is not white space must open
    // the document, so that nothing else is taken for one and a file of
    // anything else is refused at its first byte.
    bool starts_well()
    {
        while (in_.p != in_.end || in_.refill()) {
            char c = *in_.p;
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
                return c == (form_ == doc_form::list ? '[' : '{') || fail(not_a_document(), in_.read());
            in_.p++;
        }
        return fail("the document ends early", in_.read());
    }

    bool null()
    {
        int to = scalar(in_.read());
        return to <= 0 ? to == 0 : type_error(to, in_.read());
    }
    bool boolean(bool v)
    {
        int to = scalar(in_.read());
        if (to <= 0)
            return to == 0;
        if (to != M_IS_DIR)
            return type_error(to, in_.read());
        node_.is_dir = v;
        return true;
    }
    bool number_unsigned(number_unsigned_t v)
    {
        int to = scalar(after_number());
        if (to <= 0)
            return to == 0;
        switch (to) {
        case M_SIZE: size_of_pending() = v; return true;
        case M_FILES: files_of_pending() = v; return true;
        case M_DIRS: root_.dirs = v; return true;
        case M_TIME: return scan_time((double)v, false);
        case M_ERROR: row_.error = (int64_t)std::min<uint64_t>(v, INT64_MAX); return true;
        case M_MTIME: return mtime((int64_t)std::min<uint64_t>(v, INT64_MAX));
        case M_UID: case M_GID: case M_MODE: return owner_part((unsigned)to, v);
        default: return type_error(to, after_number());
        }
    }
    bool number_integer(number_integer_t v)
    {
        int to = scalar(after_number());
        if (to <= 0)
            return to == 0;
        if (to == M_MTIME)
            return mtime(v);
        if (to != M_ERROR)
            return type_error(to, after_number());
        row_.error = v;
        return true;
    }
    bool number_float(number_float_t v, const string_t &text)
    {
        int to = scalar(after_number());
        if (to <= 0)
            return to == 0;
        if (to == M_TIME)
            return scan_time(v, !text.empty() && text[0] == '-');
        // A whole number past 2^64-1 comes as a float.
        bool digits = text.find_first_not_of("0123456789") == std::string::npos;
        if (digits && (to == M_SIZE || to == M_FILES || to == M_DIRS || to == M_MTIME))
            return fail(quoted_key() + " is larger than 2^64-1", after_number());
        return type_error(to, after_number());
    }
    bool string(string_t &v)
    {
        int to = scalar(in_.read());
        if (to <= 0)
            return to == 0;
        if (to == M_PROBLEM) {
            problem_.assign(v);
            return true;
        }
        if (to != M_NAME)
            return type_error(to, in_.read());
        // A root of no name holds several roots, each named by its path.
        bool a_root = virtual_root_ && stack_.size() == 3;
        if (form_ == doc_form::saved && stack_.back().kind == F_ENTRY && !(a_root ? root_name(v) : file_name(v)))
            return fail("an entry name that cannot be a file name", in_.read());
        name_.assign(v);
        return true;
    }
    bool binary(binary_t &) { return fail("text that is not JSON", in_.read()); }

    bool start_object(std::size_t)
    {
        if (skip_depth_ > 0) {
            skip_depth_++;
            return true;
        }
        if (stack_.empty()) {
            if (form_ == doc_form::list)
                return fail(not_a_document(), in_.read());
            pending_reset();
            root_ = doc_root{};
            owner_parts_ = 0;
            stack_.push_back({F_TOP});
            return true;
        }
        switch (stack_.back().kind) {
        case F_CHILDREN:
            if (entries_open_ >= (size_t)DOC_MAX_DEPTH)
                return fail("entries nested deeper than " + std::to_string(DOC_MAX_DEPTH) + " levels", in_.read());
            entries_open_++;
            pending_reset();
            node_ = doc_node{};
            owner_parts_ = 0;
            stack_.push_back({F_ENTRY});
            return true;
        case F_LIST:
            pending_reset();
            row_ = doc_row{};
            stack_.push_back({F_ROW});
            return true;
        default:
            return container_value();
        }
    }
    bool key(string_t &k)
    {
        if (skip_depth_ > 0)
            return true;
        frame &fr = stack_.back();
        const member_name *m = fr.kind == F_ROW     ? find_member(ROW_MEMBERS, k)
                               : fr.kind == F_ENTRY ? find_member(ENTRY_MEMBERS, k)
                                                    : find_member(ROOT_MEMBERS, k);
        // One directory of a scan comes as an entry object.
        if (!m && fr.kind == F_TOP && form_ == doc_form::library)
            m = find_member(ENTRY_MEMBERS, k);
        if (!m) {
            if (form_ == doc_form::saved)
                return fail("an unknown member \"" + printable(k) + "\"", in_.read());
            want_ = 0;
            skip_next_ = true;
            return true;
        }
        if (form_ == doc_form::saved) {
            if (fr.seen & m->bit)
                return fail("the member \"" + k + "\" twice", in_.read());
            if (fr.seen > m->bit)
                return fail("the member \"" + k + "\" out of order", in_.read());
            if ((needs(fr.kind) & (m->bit - 1)) & ~fr.seen)
                return fail(missing(fr.kind), in_.read());
        }
        fr.seen |= m->bit;
        want_ = m->bit;
        key_ = m->text;
        if (m->bit == M_FIELDS) {
            want_ = 0;
            skip_next_ = true;
            return true;
        }
        // The library writes "children" last: what comes before it is all
        // there is of the object, and its entries can follow it to the sink.
        if (m->bit == M_CHILDREN && fr.kind != F_ROW && !fr.told) {
            if (fr.kind == F_ENTRY && !node_.is_dir)
                return fail("a file with entries", in_.read());
            fr.told = true;
            return fr.kind == F_TOP ? tell_root() : tell_entry();
        }
        return true;
    }
    bool end_object()
    {
        if (skip_depth_ > 0) {
            skip_depth_--;
            return true;
        }
        frame fr = stack_.back();
        stack_.pop_back();
        uint64_t at = in_.read();
        if (fr.kind == F_ROW) {
            row_.name = name_;
            row_.problem = problem_;
            return tell(sink_.row(row_), at);
        }
        unsigned need = form_ == doc_form::saved ? needs(fr.kind) : fr.kind == F_TOP ? (unsigned)M_NAME : 0u;
        if (!fr.told && (fr.seen & need) != need)
            return fail(missing(fr.kind), at);
        // Told at "children", an entry was a directory; else it is the last
        // object read and node_ still holds it.
        bool dir = fr.kind == F_TOP || fr.told || node_.is_dir;
        if (fr.kind == F_ENTRY)
            entries_open_--;
        if (!fr.told && !(fr.kind == F_TOP ? tell_root() : tell_entry()))
            return false;
        if (dir && !tell(sink_.leave(), at))
            return false;
        if (fr.kind == F_TOP) {
            done_ = true;
            done_at_ = at;
        }
        return true;
    }
    bool start_array(std::size_t)
    {
        if (skip_depth_ > 0) {
            skip_depth_++;
            return true;
        }
        if (stack_.empty()) {
            if (form_ != doc_form::list)
                return fail(not_a_document(), in_.read());
            stack_.push_back({F_LIST});
            return true;
        }
        frame_kind in = stack_.back().kind;
        if (in != F_CHILDREN && in != F_LIST && want_ == M_CHILDREN) {
            want_ = 0;
            stack_.push_back({F_CHILDREN});
            return true;
        }
        return container_value();
    }
    bool end_array()
    {
        if (skip_depth_ > 0) {
            skip_depth_--;
            return true;
        }
        frame_kind was = stack_.back().kind;
        stack_.pop_back();
        if (was == F_LIST) {
            done_ = true;
            done_at_ = in_.read();
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &e)
    {
        if (done_)
            return fail("text after the document", done_at_);
        if (in_.ended)
            return fail("the document ends early", in_.read());
        return fail(syntax_phrase(e.what()), in_.read());
    }

private:
    source &in_;
    doc_form form_;
    doc_sink &sink_;
    std::vector<frame> stack_;
    bool virtual_root_ = false;  // the root has no name: roots below it
    size_t entries_open_ = 0;
    size_t skip_depth_ = 0;   // inside a value passed over
    bool skip_next_ = false;  // the next value is passed over
    unsigned want_ = 0;       // the member whose value comes next
    std::string_view key_;    // its name, for what is said about it
    doc_root root_;
    doc_node node_;
    doc_row row_;
    std::string name_, problem_;  // the text of the object being read
    unsigned owner_parts_ = 0;    // of "uid", "gid", "mode", those read of it
    bool done_ = false;
    uint64_t done_at_ = 0;

    static unsigned needs(frame_kind k) { return k == F_TOP ? ROOT_NEEDS : k == F_ENTRY ? ENTRY_NEEDS : 0; }
    static const char *missing(frame_kind k)
    {
        return k == F_TOP ? "a document that is not a scan result" : "an entry without its name, size, files or is_dir";
    }
    const char *not_a_document() const
    {
        return form_ == doc_form::list ? "expected a list" : "expected a scan result object";
    }
    static bool root_name(const std::string &n)
    {
        return !n.empty() && n.size() <= DOC_MAX_NAME && n.find('\0') == std::string::npos;
    }
    static bool file_name(const std::string &n)
    {
        return !n.empty() && n != "." && n != ".." && n.size() <= DOC_MAX_NAME && n.find('/') == std::string::npos &&
               n.find('\0') == std::string::npos;
    }
    // A key as a message can show it: control characters as '?', cut at 200.
    static std::string printable(const std::string &k)
    {
        std::string out = k.substr(0, 200);
        for (char &ch : out)
            if ((unsigned char)ch < 0x20 || ch == 0x7F)
                ch = '?';
        return out;
    }

    void pending_reset()
    {
        name_.clear();
        problem_.clear();
        want_ = 0;
    }
    uint64_t &size_of_pending()
    {
        frame_kind k = stack_.back().kind;
        return k == F_TOP ? root_.size : k == F_ENTRY ? node_.size : row_.size;
    }
    uint64_t &files_of_pending()
    {
        frame_kind k = stack_.back().kind;
        return k == F_TOP ? root_.files : k == F_ENTRY ? node_.files : row_.count;
    }
    // A number's end: the parser has read one byte past it, unless the text
    // ran out there.
    uint64_t after_number() const { return in_.ended ? in_.read() : in_.read() - 1; }

    bool tell(bool sink_took, uint64_t at) { return sink_took || fail(sink_.refusal(), at); }
    bool tell_root()
    {
        root_.path = name_;
        virtual_root_ = name_.empty();
        return tell(sink_.root(root_), in_.read());
    }
    bool tell_entry()
    {
        node_.name = name_;
        return tell(sink_.enter(node_), in_.read());
    }

    // Where a scalar value ending at byte at goes: the member it is the
    // value of, 0 when it is passed over, -1 when it is refused.
    int scalar(uint64_t at)
    {
        if (skip_depth_ > 0)
            return 0;
        if (stack_.empty())
            return fail(not_a_document(), at) ? 0 : -1;
        frame_kind in = stack_.back().kind;
        if (in == F_CHILDREN || in == F_LIST)
            return fail(in == F_LIST ? "expected an object in the list" : "expected an entry object", at) ? 0 : -1;
        if (skip_next_) {
            skip_next_ = false;
            return 0;
        }
        int to = (int)want_;
        want_ = 0;
        return to;
    }
    // An object or array where a member's value is expected.
    bool container_value()
    {
        frame_kind in = stack_.back().kind;
        if (in == F_CHILDREN || in == F_LIST)
            return fail(in == F_LIST ? "expected an object in the list" : "expected an entry object", in_.read());
        if (skip_next_) {
            skip_next_ = false;
            skip_depth_ = 1;
            return true;
        }
        return type_error(want_, in_.read());
    }
    doc_meta &meta_of_pending() { return stack_.back().kind == F_TOP ? root_.meta : node_.meta; }
    bool mtime(int64_t v)
    {
        doc_meta &m = meta_of_pending();
        m.mtime = v;
        m.fields |= DISK_FIELD_MTIME;
        return true;
    }
    bool owner_part(unsigned to, uint64_t v)
    {
        if (v > UINT32_MAX)
            return fail(quoted_key() + " is larger than 2^32-1", after_number());
        doc_meta &m = meta_of_pending();
        (to == M_UID ? m.uid : to == M_GID ? m.gid : m.mode) = (uint32_t)v;
        owner_parts_ |= to;
        if (owner_parts_ == M_OWNER)
            m.fields |= DISK_FIELD_OWNER;
        return true;
    }
    bool scan_time(double v, bool negative)
    {
        // 1e15 ms is some 30,000 years.
        if (negative || !(v >= 0 && v < 1e15))
            return type_error(M_TIME, after_number());
        root_.scan_time_ms = v;
        return true;
    }

    std::string quoted_key() const
    {
        std::string k = "\"";
        k.append(key_);
        return k += '"';
    }
    std::string type_phrase(unsigned to) const
    {
        std::string k = quoted_key();
        switch (to) {
        case M_SIZE:
        case M_FILES:
        case M_DIRS:
        case M_MTIME:
        case M_UID:
        case M_GID:
        case M_MODE:
        case M_ERROR: return k + " is not a whole number";
        case M_TIME: return k + " is not a number of milliseconds";
        case M_IS_DIR: return k + " is not true or false";
        case M_CHILDREN: return "expected a list of entries";
        default: return k + " is not a string";
        }
    }
    bool type_error(unsigned to, uint64_t at) { return fail(type_phrase(to), at); }

    // What the parser found wrong, said as the rest of qvdisk says it.
    std::string syntax_phrase(const std::string &what) const
    {
        static const std::pair<const char *, const char *> IN_STRINGS[] = {
            {"ill-formed UTF-8", "text that is not UTF-8"},
            {"control character", "a control character in a string"},
            {"surrogate", "a lone surrogate escape"},
            {"must be followed by 4 hex digits", "a bad \\u escape"},
            {"forbidden character after backslash", "a bad escape"},
        };
        for (const auto &[found, phrase] : IN_STRINGS)
            if (what.find(found) != std::string::npos)
                return phrase;
        if (what.find("parsing object separator") != std::string::npos)
            return "expected ':'";
        if (what.find("parsing object key") != std::string::npos)
            return "expected a member name";
        if (what.find("parsing object -") != std::string::npos)
            return "expected ',' or '}'";
        if (what.find("parsing array") != std::string::npos)
            return "expected ',' or ']'";
        if (want_ != 0)
            return type_phrase(want_);
        if (!stack_.empty() && stack_.back().kind == F_CHILDREN)
            return "expected an entry object";
        if (!stack_.empty() && stack_.back().kind == F_LIST)
            return "expected an object in the list";
        return "text that is not JSON";
    }
};

// Memory gone is said without asking for more: error's room is had first.
bool out_of_memory(uint64_t at, std::string *error)
{
    char msg[64];
    snprintf(msg, sizeof msg, "out of memory at byte %llu", (unsigned long long)at);
    if (error->capacity() > strlen(msg))
        error->assign(msg);
    return false;
}

bool run(source &in, doc_form form, doc_sink &sink, std::string *error)
{
    error->clear();
    try {
        error->reserve(64);
    } catch (const std::bad_alloc &) {
        return false;
    }
    try {
        handler h(in, form, sink);
        bool ok = h.starts_well() && json::sax_parse(byte_iter{&in}, byte_iter{&in}, &h);
        // The parser takes a NUL byte for the end of the text.
        if (ok && !in.ended)
            ok = h.fail("text after the document", h.done_at());
        ok = ok && (sink.end() || h.fail(sink.refusal(), in.read()));
        if (!ok)
            *error = h.why.empty() ? "cannot read it at byte " + std::to_string(in.read()) : h.why;
        return ok;
    } catch (const std::bad_alloc &) {
        return out_of_memory(in.read(), error);
    }
}

}  // namespace

bool doc_read_text(const char *text, size_t len, doc_form form, doc_sink &sink, std::string *error)
{
    source in;
    in.piece = in.p = text;
    in.end = text + len;
    return run(in, form, sink, error);
}

bool doc_read_file(FILE *f, doc_form form, doc_sink &sink, std::string *error, size_t piece_bytes)
{
    source in;
    in.f = f;
    try {
        error->reserve(64);
        in.buf.resize(std::max<size_t>(piece_bytes, 1));
    } catch (const std::bad_alloc &) {
        return out_of_memory(0, error);
    }
    in.piece = in.p = in.end = in.buf.data();
    return run(in, form, sink, error);
}
