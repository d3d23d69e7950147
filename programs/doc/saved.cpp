// The reader walks the document once, byte by byte, with a stack of the
// objects it is inside instead of recursion, and keeps each entry in 48 bytes
// plus its name: a million-entry scan (a 69 MB document) reads in well under
// a second into about 60 MB, where a general JSON DOM would take several
// times the document's size.
#include "saved.h"
#include "utf8.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";  // what the library writes for bytes that are not UTF-8

// The document's bytes, from memory or a file read in pieces.
struct source {
    const unsigned char *p = nullptr, *end = nullptr;
    FILE *f = nullptr;
    std::vector<unsigned char> buf;
    uint64_t before = 0;  // bytes consumed before buf
    const unsigned char *base = nullptr;

    int peek()
    {
        if (p == end && !refill())
            return -1;
        return *p;
    }
    int get()
    {
        int c = peek();
        if (c >= 0)
            p++;
        return c;
    }
    bool refill()
    {
        if (!f)
            return false;
        before += (uint64_t)(p - base);
        size_t n = fread(buf.data(), 1, buf.size(), f);
        base = p = buf.data();
        end = p + n;
        return n > 0;
    }
    uint64_t offset() const { return before + (uint64_t)(p - base); }
};

struct parser {
    source in;
    sv_tree *t;
    std::string *error;
    // Documents straight from the library: a name the file system listed
    // twice in one directory is kept once instead of refused.
    bool merge_twice = false;
    uint64_t merged = 0;        // entries dropped so
    uint64_t dirs_read = 0;     // directory entries read, the root left out
    uint64_t dirs_dropped = 0;  // of them, in what was merged away

    bool fail(const std::string &why)
    {
        if (error->empty())
            *error = why + " at byte " + std::to_string(in.offset());
        return false;
    }
    int ws()
    {
        int c;
        while ((c = in.peek()) == ' ' || c == '\n' || c == '\r' || c == '\t')
            in.p++;
        return c;
    }
    bool expect(char ch, const char *what)
    {
        int c = ws();
        if (c != ch)
            return fail(c < 0 ? "the document ends early" : std::string("expected ") + what);
        in.p++;
        return true;
    }

    int hex4()
    {
        int v = 0;
        for (int i = 0; i < 4; i++) {
            int h = in.get();
            int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
            if (d < 0)
                return -1;
            v = v * 16 + d;
        }
        return v;
    }

    // One well-formed UTF-8 sequence that starts with lead (already read).
    bool utf8_tail(int lead, std::string &out)
    {
        int n = lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2 : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
        if (n < 0)
            return false;
        out += (char)lead;
        for (int i = 0; i < n; i++) {
            int c = in.get();
            int lo = 0x80, hi = 0xBF;
            if (i == 0) {
                lo = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
                hi = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            }
            if (c < lo || c > hi)
                return false;
            out += (char)c;
        }
        return true;
    }

    bool string(std::string &out)
    {
        if (!expect('"', "a string"))
            return false;
        for (;;) {
            int c = in.get();
            if (c < 0)
                return fail("the document ends early");
            if (c == '"')
                return true;
            if (c < 0x20)
                return fail("a control character in a string");
            if (c >= 0x80) {
                if (!utf8_tail(c, out))
                    return fail("text that is not UTF-8");
                continue;
            }
            if (c != '\\') {
                out += (char)c;
                continue;
            }
            int e = in.get();
            uint32_t cp;
            int simple = json_simple_escape(e);
            switch (simple >= 0 ? 256 : e) {
            case 256: cp = (uint32_t)simple; break;
            case 'u': {
                int v = hex4();
                if (v < 0)
                    return fail("a bad \\u escape");
                cp = (uint32_t)v;
                if (cp >= 0xDC00 && cp < 0xE000)
                    return fail("a lone surrogate escape");
                if (cp >= 0xD800 && cp < 0xDC00) {
                    int lo = in.get() == '\\' && in.get() == 'u' ? hex4() : -1;
                    if (lo < 0xDC00 || lo >= 0xE000)
                        return fail("a lone surrogate escape");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint32_t)lo - 0xDC00);
                }
                break;
            }
            default: return fail("a bad escape");
            }
            put_utf8(out, cp);
        }
    }

    bool whole_number(const std::string &key, uint64_t *out)
    {
        int c = ws();
        if (c < '0' || c > '9')
            return fail(c < 0 ? "the document ends early" : "\"" + key + "\" is not a whole number");
        uint64_t v = 0;
        bool first_zero = c == '0';
        int digits = 0;
        while ((c = in.peek()) >= '0' && c <= '9') {
            if (first_zero && digits > 0)
                return fail("\"" + key + "\" has a leading zero");
            uint64_t d = (uint64_t)(c - '0');
            if (v > (UINT64_MAX - d) / 10)
                return fail("\"" + key + "\" is larger than 2^64-1");
            v = v * 10 + d;
            digits++;
            in.p++;
        }
        if (c == '.' || c == 'e' || c == 'E')
            return fail("\"" + key + "\" is not a whole number");
        *out = v;
        return true;
    }

    // A JSON number from 0 up to a scan time that could be (1e15 ms is
    // some 30,000 years).
    static bool json_number(const std::string &t)
    {
        size_t i = 0;
        auto digits = [&] {
            size_t from = i;
            while (i < t.size() && t[i] >= '0' && t[i] <= '9')
                i++;
            return i > from;
        };
        if (i < t.size() && t[i] == '0')
            i++;
        else if (!digits())
            return false;
        if (i < t.size() && t[i] == '.' && (++i, !digits()))
            return false;
        if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
            i++;
            if (i < t.size() && (t[i] == '+' || t[i] == '-'))
                i++;
            if (!digits())
                return false;
        }
        return i == t.size();
    }

    bool real_number(const std::string &key, double *out)
    {
        int c = ws();
        std::string text;
        while (c >= 0 && text.size() <= 64 && (strchr("0123456789.eE+-", c) != nullptr)) {
            text += (char)c;
            in.p++;
            c = in.peek();
        }
        double v = json_number(text) ? strtod(text.c_str(), nullptr) : -1;
        if (!(v >= 0 && v < 1e15))
            return fail("\"" + key + "\" is not a number of milliseconds");
        *out = v;
        return true;
    }

    bool boolean(const std::string &key, bool *out)
    {
        int c = ws();
        const char *word = c == 't' ? "true" : c == 'f' ? "false" : nullptr;
        for (const char *w = word; w && *w; w++)
            if (in.get() != *w)
                word = nullptr;
        if (!word)
            return fail("\"" + key + "\" is not true or false");
        *out = c == 't';
        return true;
    }

    // Members seen in the object of one frame.
    enum member_bit : unsigned { M_NAME = 1, M_SIZE = 2, M_FILES = 4, M_DIRS = 8, M_DIR = 16, M_TIME = 32, M_CHILDREN = 64 };

    struct frame {
        uint32_t entry;
        uint32_t last_child = 0;
        unsigned seen = 0;
        bool in_children = false;  // between the children's [ and ]
    };

    // Takes entry c (after prev, or first) out of directory d's list, with
    // its size and files out of d and every directory above it.
    void drop_child(uint32_t d, uint32_t prev, uint32_t c, const std::vector<frame> &stack)
    {
        sv_entry &dir = t->entries[d];
        const sv_entry e = t->entries[c];
        (prev ? t->entries[prev].next_sibling : dir.first_child) = e.next_sibling;
        dir.child_count--;
        for (const frame &fr : stack) {
            sv_entry &up = t->entries[fr.entry];
            up.size = up.size == UINT64_MAX ? up.size : up.size - std::min(up.size, e.size);
            up.files -= std::min(up.files, e.files);
        }
        std::vector<uint32_t> todo{c};
        while (!todo.empty()) {
            const sv_entry &x = t->entries[todo.back()];
            todo.pop_back();
            dirs_dropped += x.is_dir;
            for (uint32_t k = x.first_child; k; k = t->entries[k].next_sibling)
                todo.push_back(k);
        }
        merged++;
    }

    // Keeps the first of each name listed twice in directory d (the top of
    // the stack): the file system gave one entry under both.
    void merge_names(uint32_t d, const std::vector<frame> &stack)
    {
        std::unordered_set<std::string_view> seen;
        for (uint32_t prev = 0, c = t->entries[d].first_child; c;) {
            uint32_t next = t->entries[c].next_sibling;
            std::string_view name = t->name(t->entries[c]);
            if (!seen.insert(name).second && name.find(REPLACEMENT) == std::string_view::npos)
                drop_child(d, prev, c, stack);
            else
                prev = c;
            c = next;
        }
    }

    // A name given to two entries of directory index, or empty (names the
    // library mended may meet).
    std::string_view name_twice(uint32_t index) const
    {
        std::vector<std::string_view> names;
        names.reserve(t->entries[index].child_count);
        for (uint32_t c = t->entries[index].first_child; c; c = t->entries[c].next_sibling)
            names.push_back(t->name(t->entries[c]));
        std::sort(names.begin(), names.end());
        for (size_t i = 1; i < names.size(); i++)
            if (names[i] == names[i - 1] && names[i].find(REPLACEMENT) == std::string_view::npos)
                return names[i];
        return {};
    }

    // A directory's children: sums that agree with it and no name twice.
    bool check_children(uint32_t index, const std::vector<frame> &stack)
    {
        std::string_view twice = name_twice(index);
        if (!twice.empty() && merge_twice) {
            merge_names(index, stack);
            twice = {};
        }
        const sv_entry &dir = t->entries[index];
        uint64_t size = 0, files = 0;
        for (uint32_t c = dir.first_child; c; c = t->entries[c].next_sibling) {
            const sv_entry &e = t->entries[c];
            size = e.size > UINT64_MAX - size ? UINT64_MAX : size + e.size;
            files = e.files > UINT64_MAX - files ? UINT64_MAX : files + e.files;
        }
        if (size != dir.size || files != dir.files)
            return fail(dir.first_child ? "a directory whose size or file count is not the sum of its entries"
                                        : "a directory with no entries but a size or files");
        if (twice.empty())
            return true;
        std::string shown(twice.substr(0, 200));
        for (char &ch : shown)
            if ((unsigned char)ch < 0x20 || ch == 0x7F)
                ch = '?';
        return fail("the name \"" + shown + "\" twice in one directory");
    }

    bool member(frame &fr, std::vector<frame> &stack)
    {
        std::string key;
        if (!string(key) || !expect(':', "':'"))
            return false;
        bool root = fr.entry == 0;
        sv_entry *e = &t->entries[fr.entry];
        unsigned bit = key == (root ? "path" : "name")            ? M_NAME
                       : key == (root ? "total_size" : "size")   ? M_SIZE
                       : key == (root ? "total_files" : "files") ? M_FILES
                       : root && key == "total_dirs"             ? M_DIRS
                       : root && key == "scan_time_ms"           ? M_TIME
                       : !root && key == "is_dir"                ? M_DIR
                       : key == "children"                       ? M_CHILDREN
                                                                 : 0u;
        if (!bit)
            return fail("an unknown member \"" + key + "\"");
        if (fr.seen & bit)
            return fail("the member \"" + key + "\" twice");
        fr.seen |= bit;
        switch (bit) {
        case M_NAME: {
            std::string name;
            if (!string(name))
                return false;
            if (root) {
                t->path = std::move(name);
                return true;
            }
            if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
                name.find('\0') != std::string::npos || name.size() > UINT32_MAX)
                return fail("an entry name that cannot be a file name");
            e->name_at = t->names.size();
            e->name_len = (uint32_t)name.size();
            t->names += name;
            return true;
        }
        case M_SIZE: return whole_number(key, &e->size);
        case M_FILES: return whole_number(key, &e->files);
        case M_DIRS: return whole_number(key, &t->total_dirs);
        case M_TIME: return real_number(key, &t->scan_time_ms);
        case M_DIR: return boolean(key, &e->is_dir);
        default: break;
        }
        // "children": the first child's frame goes on the stack.
        if (!expect('[', "a list of entries"))
            return false;
        if (ws() == ']') {
            in.p++;
            return true;
        }
        fr.in_children = true;
        return open_child(stack);
    }

    bool open_child(std::vector<frame> &stack)
    {
        if (stack.size() >= (size_t)SV_MAX_DEPTH)
            return fail("entries nested deeper than " + std::to_string(SV_MAX_DEPTH) + " levels");
        if (t->entries.size() >= UINT32_MAX)
            return fail("too many entries");
        if (!expect('{', "an entry object"))
            return false;
        uint32_t index = (uint32_t)t->entries.size();
        t->entries.emplace_back();
        frame &parent = stack.back();
        sv_entry &p = t->entries[parent.entry];
        if (parent.last_child)
            t->entries[parent.last_child].next_sibling = index;
        else
            p.first_child = index;
        p.child_count++;
        parent.last_child = index;
        frame fr;
        fr.entry = index;
        stack.push_back(fr);
        return true;
    }

    // The object of the top frame has just ended.
    bool close_object(std::vector<frame> &stack)
    {
        frame fr = stack.back();
        const sv_entry &e = t->entries[fr.entry];
        unsigned need = fr.entry == 0 ? M_NAME | M_SIZE | M_FILES | M_DIRS : M_NAME | M_SIZE | M_FILES | M_DIR;
        if ((fr.seen & need) != need)
            return fail(fr.entry == 0 ? "a document that is not a scan result" : "an entry without its name, size, files or is_dir");
        if (!e.is_dir && (fr.seen & M_CHILDREN))
            return fail("a file with entries");
        if (!e.is_dir && e.files != 1)
            return fail("a file whose file count is not 1");
        dirs_read += fr.entry != 0 && e.is_dir;
        if (e.is_dir && !check_children(fr.entry, stack))
            return false;
        stack.pop_back();
        return true;
    }

    bool run()
    {
        t->entries.clear();
        t->entries.emplace_back();
        t->entries[0].is_dir = true;
        if (!expect('{', "a scan result object"))
            return false;
        std::vector<frame> stack(1);
        stack[0].entry = 0;
        bool first = true;  // no member read yet in the top object
        while (!stack.empty()) {
            frame &fr = stack.back();
            int c = ws();
            if (fr.in_children) {
                // Back in a parent after one of its children ended.
                if (c < 0)
                    return fail("the document ends early");
                in.p++;
                if (c == ',') {
                    if (!open_child(stack))
                        return false;
                    first = true;
                    continue;
                }
                if (c != ']')
                    return fail(c < 0 ? "the document ends early" : "expected ',' or ']'");
                fr.in_children = false;
                continue;
            }
            if (c == '}') {
                in.p++;
                if (!close_object(stack))
                    return false;
                first = false;
                continue;
            }
            if (!first) {
                if (c != ',')
                    return fail(c < 0 ? "the document ends early" : "expected ',' or '}'");
                in.p++;
            }
            size_t depth = stack.size();
            if (!member(fr, stack))
                return false;
            first = stack.size() > depth;
        }
        if (ws() >= 0)
            return fail("text after the document");
        if (t->total_dirs != dirs_read)
            return fail("\"total_dirs\" is not the number of directories");
        t->total_dirs -= dirs_dropped;
        return true;
    }
};

// The tree grows with what is read, never from the length a file claims:
// a huge or sparse file costs only as much as the entries it really holds.
bool read_with(parser &ps)
{
    ps.error->clear();
    *ps.t = sv_tree{};
    bool ok;
    try {
        ok = ps.run();
    } catch (const std::bad_alloc &) {
        ps.error->clear();
        ok = ps.fail("out of memory");
    }
    if (!ok) {
        *ps.t = sv_tree{};
        if (ps.error->empty())
            *ps.error = "cannot read it";
    } else {
        ps.t->entries.shrink_to_fit();
        ps.t->names.shrink_to_fit();
    }
    return ok;
}

}  // namespace

bool sv_read(const char *text, size_t len, sv_tree *tree, std::string *error)
{
    parser ps{{}, tree, error};
    ps.in.base = ps.in.p = reinterpret_cast<const unsigned char *>(text);
    ps.in.end = ps.in.p + len;
    return read_with(ps);
}

bool sv_read_scan(const char *text, size_t len, sv_tree *tree, uint64_t *merged, std::string *error)
{
    parser ps{{}, tree, error};
    ps.merge_twice = true;
    ps.in.base = ps.in.p = reinterpret_cast<const unsigned char *>(text);
    ps.in.end = ps.in.p + len;
    bool ok = read_with(ps);
    *merged = ok ? ps.merged : 0;
    if (!ok || ps.merged == 0)
        return ok;
    // What was merged away still sits in the entries: read the tree again
    // from its own text, so that entries are again the document in order
    // (the page's growth colours are matched to them by position).
    try {
        std::string again = sv_text(*tree);
        return sv_read(again.data(), again.size(), tree, error);
    } catch (const std::bad_alloc &) {
        *tree = sv_tree{};
        *error = "out of memory";
        return false;
    }
}

bool sv_read_file(FILE *f, sv_tree *tree, std::string *error)
{
    parser ps{{}, tree, error};
    ps.in.f = f;
    try {
        ps.in.buf.resize(1 << 20);
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
        return false;
    }
    ps.in.base = ps.in.p = ps.in.end = ps.in.buf.data();
    bool ok = read_with(ps);
    if (ok && ferror(f)) {
        *error = "a read error";
        return false;
    }
    return ok;
}
