// The tree is built as the reader streams the document by: each entry takes
// 32 bytes plus its name and 4 bytes in its directory's list by name, and
// each directory's list is sorted once, when the directory ends, which
// serves both the check that no name is there twice and the comparison's
// walk of two trees in step. A million-entry scan (a 66 MB document) takes
// some 55 MB.
#include "saved.h"

#include <algorithm>
#include <new>

#include "docread.h"
#include "utf8.h"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#endif

namespace {

uint64_t sat_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

bool mended(std::string_view name) { return name.find(UTF8_REPLACEMENT) != std::string_view::npos; }

class tree_builder : public doc_sink {
public:
    tree_builder(sv_tree &t, bool merge_twice) : t_(t), merge_twice_(merge_twice) {}

    uint64_t merged = 0;  // entries left out for a name met twice

    // Room for the entries a document of this length can hold at most, so
    // that nothing is copied as the tree grows: taken only as it is written
    // to, and not at all past a length no real scan has (a sparse file).
    void reserve_for(uint64_t bytes)
    {
        const uint64_t SHORTEST_ENTRY = 45;  // {"name":"x","size":0,"files":0,"is_dir":true}
        if (bytes == 0 || bytes > (uint64_t(4) << 30))
            return;
        try {
            t_.entries.reserve(bytes / SHORTEST_ENTRY + 2);
            t_.kids.reserve(bytes / SHORTEST_ENTRY + 2);
            t_.names.reserve(bytes / 3);
        } catch (const std::bad_alloc &) {
            // It grows as it is read instead.
        }
    }

    bool root(const doc_root &r) override
    {
        if (r.sums_later)
            return refuse("a tree that gives its totals only after its entries");
        t_.path.assign(r.path);
        t_.total_dirs = r.dirs;
        t_.scan_time_ms = r.scan_time_ms;
        sv_entry e;
        e.size = r.size;
        e.files = r.files;
        e.is_dir = 1;
        t_.entries.push_back(e);
        open_.push_back({0, 0});
        return true;
    }

    bool enter(const doc_node &n) override
    {
        if (!n.is_dir && n.files != 1)
            return refuse("a file whose file count is not 1");
        if (n.name.size() > DOC_MAX_NAME)
            return refuse("an entry name that cannot be a file name");
        if (t_.entries.size() >= UINT32_MAX || t_.names.size() + n.name.size() >= (uint64_t(1) << 40))
            return refuse("too many entries");
        sv_entry e;
        e.size = n.size;
        e.files = n.files;
        e.name_at = t_.names.size();
        e.name_len = n.name.size();
        e.is_dir = n.is_dir;
        uint32_t index = (uint32_t)t_.entries.size();
        t_.entries.push_back(e);
        t_.names.append(n.name);
        below_.push_back(index);
        if (n.is_dir) {
            dirs_read_++;
            open_.push_back({index, below_.size()});
        }
        return true;
    }

    bool leave() override
    {
        if (!close_dir())
            return false;
        open_.pop_back();
        if (!open_.empty())
            return true;
        if (t_.total_dirs != dirs_read_)
            return refuse("\"total_dirs\" is not the number of directories");
        t_.total_dirs -= dirs_dropped_;
        return true;
    }

private:
    struct open_dir {
        uint32_t entry;
        size_t from;  // its entries start at below_[from]
    };
    sv_tree &t_;
    bool merge_twice_;
    std::vector<open_dir> open_;
    std::vector<uint32_t> below_;  // the entries of the open directories, in document order
    // A name with its first bytes as a number, which orders most names
    // without a call to compare them: names hold no NUL byte, so a shorter
    // name padded with zeros still sorts first.
    struct named {
        uint64_t head;
        std::string_view name;
        uint32_t index;
        named(std::string_view n, uint32_t i) : head(0), name(n), index(i)
        {
            for (size_t k = 0; k < 8; k++)
                head = head << 8 | (k < n.size() ? (unsigned char)n[k] : 0);
        }
        bool operator<(const named &o) const
        {
            if (head != o.head)
                return head < o.head;
            int c = name.compare(o.name);
            return c != 0 ? c < 0 : index < o.index;
        }
    };
    std::vector<named> by_name_;
    uint64_t dirs_read_ = 0;     // the root left out
    uint64_t dirs_dropped_ = 0;  // of them, in what was merged away

    // Leaves entry c of the directory on top out, with all below it, its
    // size and files taken from every directory above it.
    void drop(uint32_t c)
    {
        const sv_entry e = t_.entries[c];
        for (const open_dir &d : open_) {
            sv_entry &up = t_.entries[d.entry];
            up.size = up.size == UINT64_MAX ? up.size : up.size - std::min<uint64_t>(up.size, e.size);
            up.files -= std::min<uint64_t>(up.files, e.files);
        }
        // What is below c follows it up to its next sibling.
        uint32_t end = (uint32_t)t_.entries.size();
        for (size_t k = open_.back().from; k < below_.size(); k++)
            if (below_[k] > c)
                end = std::min(end, below_[k]);
        for (uint32_t k = c; k < end; k++) {
            sv_entry &x = t_.entries[k];
            dirs_dropped_ += x.is_dir && !x.dropped;
            x.dropped = 1;
        }
        merged++;
    }

    // The directory on top has ended: its entries by name, merged or
    // refused where one name is there twice (names the library mended may
    // meet), and sums that agree with it.
    bool close_dir()
    {
        const open_dir d = open_.back();
        by_name_.clear();
        for (size_t k = d.from; k < below_.size(); k++)
            by_name_.emplace_back(t_.name(t_.entries[below_[k]]), below_[k]);
        std::sort(by_name_.begin(), by_name_.end());
        std::string_view twice;
        size_t kept = 0;
        for (size_t k = 0; k < by_name_.size(); k++) {
            if (k > 0 && by_name_[k].name == by_name_[kept - 1].name && !mended(by_name_[k].name)) {
                if (merge_twice_) {
                    drop(by_name_[k].index);
                    continue;
                }
                if (twice.empty())
                    twice = by_name_[k].name;
            }
            by_name_[kept++] = by_name_[k];
        }
        by_name_.erase(by_name_.begin() + (std::ptrdiff_t)kept, by_name_.end());

        sv_entry &dir = t_.entries[d.entry];
        uint64_t size = 0, files = 0;
        for (const named &n : by_name_) {
            size = sat_add(size, t_.entries[n.index].size);
            files = sat_add(files, t_.entries[n.index].files);
        }
        if (size != dir.size || files != dir.files)
            return refuse(by_name_.empty() ? "a directory with no entries but a size or files"
                                           : "a directory whose size or file count is not the sum of its entries");
        if (!twice.empty()) {
            std::string shown(twice.substr(0, 200));
            for (char &ch : shown)
                if ((unsigned char)ch < 0x20 || ch == 0x7F)
                    ch = '?';
            return refuse("the name \"" + shown + "\" twice in one directory");
        }
        dir.kids_at = (uint32_t)t_.kids.size();
        dir.kid_count = (uint32_t)by_name_.size();
        for (const named &n : by_name_)
            t_.kids.push_back(n.index);
        below_.resize(d.from);
        return true;
    }
};

template <typename Read>
bool read_tree(sv_tree *tree, bool merge_twice, uint64_t bytes, uint64_t *merged, Read read)
{
    *tree = sv_tree{};
    tree_builder b(*tree, merge_twice);
    b.reserve_for(bytes);
    bool ok = read(b);
    if (!ok)
        *tree = sv_tree{};
    if (merged)
        *merged = ok ? b.merged : 0;
    return ok;
}

}  // namespace

bool sv_read(const char *text, size_t len, sv_tree *tree, std::string *error)
{
    return read_tree(tree, false, len, nullptr,
                     [&](doc_sink &b) { return doc_read_text(text, len, doc_form::saved, b, error); });
}

bool sv_read_scan(const char *text, size_t len, sv_tree *tree, uint64_t *merged, std::string *error)
{
    if (!read_tree(tree, true, len, merged,
                   [&](doc_sink &b) { return doc_read_text(text, len, doc_form::saved, b, error); }))
        return false;
    if (*merged == 0)
        return true;
    // What was merged away still sits in the entries: the tree is read
    // again from its own text, so that entries are again the document in
    // order (the page's growth colours are matched to them by position).
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
    uint64_t bytes = 0;
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFREG))
        bytes = (uint64_t)st.st_size;
#else
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode))
        bytes = (uint64_t)st.st_size;
#endif
    bool ok = read_tree(tree, false, bytes, nullptr,
                        [&](doc_sink &b) { return doc_read_file(f, doc_form::saved, b, error); });
    if (ok && ferror(f)) {
        *tree = sv_tree{};
        *error = "a read error";
        return false;
    }
    return ok;
}

bool sv_feed(const sv_tree &t, doc_sink &sink)
{
    if (t.entries.empty())
        return false;
    const sv_entry &r = t.entries[0];
    doc_root root;
    root.path = t.path;
    root.size = r.size;
    root.files = r.files;
    root.dirs = t.total_dirs;
    root.scan_time_ms = t.scan_time_ms;
    if (!sink.root(root))
        return false;
    // Entries are in the document's order: each directory's entries, with
    // all below them, follow it. The stack holds how many are still to come
    // in each open directory.
    std::vector<uint32_t> left{r.kid_count};
    size_t i = 1;
    while (!left.empty()) {
        if (left.back() == 0) {
            left.pop_back();
            if (!sink.leave())
                return false;
            continue;
        }
        while (i < t.entries.size() && t.entries[i].dropped)
            i++;
        if (i == t.entries.size())
            return false;
        const sv_entry &e = t.entries[i++];
        left.back()--;
        doc_node n;
        n.name = t.name(e);
        n.size = e.size;
        n.files = e.files;
        n.is_dir = e.is_dir;
        if (!sink.enter(n))
            return false;
        if (e.is_dir)
            left.push_back(e.kid_count);
    }
    return sink.end();
}
