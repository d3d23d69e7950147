// The flat table's three writers. What they share is here first: the rows,
// made from the calls of a source with one path buffer and a stack of the
// lengths of the open directories' paths in it, so that any depth takes no
// more than the path's own bytes and no recursion. Each name is looked at
// once, as it comes: whether it is well-formed UTF-8 and whether CSV or
// JSON would have to quote or escape it. A path is plain when its parent's
// path and its name are, and a plain path is written as it is; on a long
// chain only the names are looked at, not the paths they make.
#include "table.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "openfile.h"
#include "utf8.h"

namespace {

// What a text holds that a writer must care for.
enum : unsigned {
    TEXT_BAD_UTF8 = 1,  // not well-formed UTF-8
    TEXT_CSV = 2,       // a comma, quote, CR or LF: quoted in CSV
    TEXT_JSON = 4,      // a quote, backslash or control character: escaped in JSON
};

unsigned classify(std::string_view s)
{
    unsigned flags = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (c == ',' || c == '"' || c == '\r' || c == '\n')
                flags |= TEXT_CSV;
            if (c == '"' || c == '\\' || c < 0x20)
                flags |= TEXT_JSON;
            i++;
            continue;
        }
        size_t len = utf8_len_n(p + i, n - i);
        if (len == 0) {
            flags |= TEXT_BAD_UTF8;
            len = utf8_bad_len_n(p + i, n - i);
        }
        i += len;
    }
    return flags;
}

const char *state_name(int state)
{
    switch (state) {
    case DISK_ENTRY_WHOLE: return nullptr;
    case DISK_ENTRY_UNREADABLE: return "unreadable";
    case DISK_ENTRY_LOOP: return "loop";
    case DISK_ENTRY_PSEUDO_FS: return "pseudo_fs";
    case DISK_ENTRY_STALLED: return "stalled";
    case DISK_ENTRY_OTHER_FS: return "other_fs";
    case DISK_ENTRY_CACHE: return "cache";
    default: return "unknown";
    }
}

// One row, valid during write_row(). The has_ flags say which of the
// columns after them are there (else null).
struct table_row {
    std::string_view path, parent, name;
    unsigned path_flags = 0, parent_flags = 0, name_flags = 0;
    bool has_parent = false;
    bool is_dir = false;
    uint64_t size = 0;
    bool has_sizes = false;
    uint64_t apparent_size = 0, disk_size = 0;
    bool has_counts = false;
    uint64_t files = 0, dirs = 0;
    const char *state = nullptr;
    bool has_error = false;
    int64_t error = 0;
    bool has_link = false;
    uint64_t dev = 0, ino = 0, nlink = 0;
    uint64_t depth = 0;
};

const char *const COLUMNS[] = {"path", "parent", "name", "kind", "size", "apparent_size", "disk_size", "files",
                               "dirs", "state", "error", "dev", "ino", "nlink", "depth"};

// Turns the source's calls into rows; the writers below say what a row
// becomes and what finishing means.
class row_sink : public doc_sink {
public:
    bool root(const doc_root &r) override
    {
        if (rooted_)
            return refuse("a second root");
        if (r.sums_later)
            return refuse("the table needs a directory's totals before its entries");
        rooted_ = true;
        if (!begin(r))
            return false;
        path_.assign(r.path);
        unsigned flags = classify(r.path);
        open_.push_back({path_.size(), flags});
        table_row row;
        row.path = row.name = path_;
        row.path_flags = row.name_flags = flags;
        row.is_dir = true;
        row.size = r.size;
        row.has_counts = true;
        row.files = r.files;
        row.dirs = r.dirs;
        describe(row, r.entry);
        return put(row);
    }

    bool enter(const doc_node &n) override
    {
        if (open_.empty())
            return refuse(rooted_ ? "an entry after the root ended" : "an entry before the root");
        const level &up = open_.back();
        // No "/" doubled after a root that ends in one ("/", "C:/").
        if (up.len > 0 && path_[up.len - 1] != '/')
            path_ += '/';
        path_ += n.name;
        unsigned name_flags = classify(n.name);
        table_row row;
        row.path = path_;
        row.parent = std::string_view(path_).substr(0, up.len);
        row.name = n.name;
        row.path_flags = up.flags | name_flags;
        row.parent_flags = up.flags;
        row.name_flags = name_flags;
        row.has_parent = true;
        row.is_dir = n.is_dir;
        row.size = n.size;
        row.depth = open_.size();
        if (n.is_dir) {
            row.has_counts = true;
            row.files = n.files;
            row.dirs = n.dirs;
        }
        describe(row, n.entry);
        if (!put(row))
            return false;
        if (n.is_dir)
            open_.push_back({path_.size(), row.path_flags});
        else
            path_.resize(up.len);
        return true;
    }

    bool leave() override
    {
        if (open_.empty())
            return refuse("a directory ended that was not begun");
        open_.pop_back();
        path_.resize(open_.empty() ? 0 : open_.back().len);
        return true;
    }

    bool row(const doc_row &) override { return refuse("a table holds a tree, not a list"); }

    bool end() override
    {
        if (!rooted_)
            return refuse("no root");
        if (!open_.empty())
            return refuse("the tree ended inside a directory");
        return finish();
    }

protected:
    uint64_t rows_ = 0;

    // The root's totals, before its row.
    virtual bool begin(const doc_root &) { return true; }
    virtual bool write_row(const table_row &) = 0;
    virtual bool finish() = 0;

private:
    struct level {
        size_t len;      // of the directory's path in path_
        unsigned flags;  // TEXT_* of that path
    };
    std::string path_;
    std::vector<level> open_;
    bool rooted_ = false;

    static void describe(table_row &row, const disk_entry *e)
    {
        if (!e)
            return;
        if (!row.is_dir) {
            row.has_sizes = true;
            row.apparent_size = e->apparent_size;
            row.disk_size = e->disk_size;
            if (e->nlink > 1) {
                row.has_link = true;
                row.dev = e->dev;
                row.ino = e->ino;
                row.nlink = e->nlink;
            }
        }
        row.state = state_name(e->state);
        if (e->state == DISK_ENTRY_UNREADABLE && e->error != 0) {
            row.has_error = true;
            row.error = e->error;
        }
    }

    bool put(const table_row &row)
    {
        if (!write_row(row))
            return false;
        rows_++;
        return true;
    }
};

// ---------------------------------------------------------------- text files

// CSV and NDJSON: rows built in a buffer that goes out a megabyte at a time.
// The file is the path given; one not finished (a failed write, a source
// that stopped) is removed, so that no short file looks like a whole one.
class text_sink : public row_sink {
public:
    text_sink(FILE *f, std::string path, bool owned) : f_(f), path_(std::move(path)), owned_(owned)
    {
        buf_.reserve(BUF + (64 << 10));
    }
    ~text_sink() override
    {
        if (!owned_)
            return;
        if (f_)
            fclose(f_);
        if (!done_) {
            // Only a file of our own: a pipe or device (a link to one) stays.
            struct stat st;
            if (stat(path_.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG)
                remove(path_.c_str());
        }
    }

protected:
    std::string buf_;

    bool flush_if_full() { return buf_.size() < BUF || flush(); }

    void number(uint64_t n)
    {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, n);
        buf_.append(tmp, size_t(r.ptr - tmp));
    }
    void number(int64_t n)
    {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, n);
        buf_.append(tmp, size_t(r.ptr - tmp));
    }

    // Appends s with each ill-formed part as U+FFFD, each other character
    // through put(c) for ASCII and as it is otherwise.
    template <class Ascii> void mend(std::string_view s, Ascii put)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(s.data());
        size_t n = s.size();
        for (size_t i = 0; i < n;) {
            if (p[i] < 0x80) {
                put(char(p[i]));
                i++;
                continue;
            }
            size_t len = utf8_len_n(p + i, n - i);
            if (len == 0) {
                buf_ += UTF8_REPLACEMENT;
                i += utf8_bad_len_n(p + i, n - i);
            } else {
                buf_.append(s.data() + i, len);
                i += len;
            }
        }
    }

    bool finish() override
    {
        if (!flush())
            return false;
        if (fflush(f_) != 0 || ferror(f_))
            return failed();
        if (owned_) {
            FILE *f = f_;
            f_ = nullptr;
            if (fclose(f) != 0)
                return failed();
        }
        // Every row went out whole: the buffer kept no part of one back.
        if (written_ != expected_)
            return refuse("cannot write " + path_ + ": a short write");
        done_ = true;
        return true;
    }

private:
    static constexpr size_t BUF = 1 << 20;
    FILE *f_;
    std::string path_;
    bool owned_;
    bool done_ = false;
    uint64_t written_ = 0, expected_ = 0;

    bool flush()
    {
        if (buf_.empty())
            return true;
        expected_ += buf_.size();
        size_t n = fwrite(buf_.data(), 1, buf_.size(), f_);
        written_ += n;
        if (n != buf_.size())
            return failed();
        buf_.clear();
        return true;
    }
    bool failed()
    {
        int e = errno;
        return refuse("cannot write " + path_ + ": " + (e ? strerror(e) : "write error"));
    }
};

class csv_sink : public text_sink {
public:
    using text_sink::text_sink;

    bool header()
    {
        for (const char *c : COLUMNS) {
            buf_ += c;
            buf_ += ',';
        }
        buf_.back() = '\n';
        return true;
    }

protected:
    bool write_row(const table_row &r) override
    {
        text(r.path, r.path_flags);
        buf_ += ',';
        if (r.has_parent)
            text(r.parent, r.parent_flags);
        buf_ += ',';
        text(r.name, r.name_flags);
        buf_ += r.is_dir ? ",dir," : ",file,";
        number(r.size);
        buf_ += ',';
        optional(r.has_sizes, r.apparent_size);
        optional(r.has_sizes, r.disk_size);
        optional(r.has_counts, r.files);
        optional(r.has_counts, r.dirs);
        if (r.state)
            buf_ += r.state;
        buf_ += ',';
        if (r.has_error)
            number(r.error);
        buf_ += ',';
        optional(r.has_link, r.dev);
        optional(r.has_link, r.ino);
        optional(r.has_link, r.nlink);
        number(r.depth);
        buf_ += '\n';
        return flush_if_full();
    }

private:
    void optional(bool has, uint64_t n)
    {
        if (has)
            number(n);
        buf_ += ',';
    }
    // RFC 4180: a field with a comma, quote, CR or LF in quotes, its quotes
    // doubled.
    void text(std::string_view s, unsigned flags)
    {
        if (!(flags & (TEXT_CSV | TEXT_BAD_UTF8))) {
            buf_ += s;
            return;
        }
        bool quoted = flags & TEXT_CSV;
        if (quoted)
            buf_ += '"';
        mend(s, [this](char c) {
            if (c == '"')
                buf_ += '"';
            buf_ += c;
        });
        if (quoted)
            buf_ += '"';
    }
};

class ndjson_sink : public text_sink {
public:
    using text_sink::text_sink;

protected:
    bool write_row(const table_row &r) override
    {
        buf_ += "{\"path\":";
        text(r.path, r.path_flags);
        buf_ += ",\"parent\":";
        if (r.has_parent)
            text(r.parent, r.parent_flags);
        else
            buf_ += "null";
        buf_ += ",\"name\":";
        text(r.name, r.name_flags);
        buf_ += r.is_dir ? ",\"kind\":\"dir\",\"size\":" : ",\"kind\":\"file\",\"size\":";
        number(r.size);
        member(",\"apparent_size\":", r.has_sizes, r.apparent_size);
        member(",\"disk_size\":", r.has_sizes, r.disk_size);
        member(",\"files\":", r.has_counts, r.files);
        member(",\"dirs\":", r.has_counts, r.dirs);
        buf_ += ",\"state\":";
        if (r.state) {
            buf_ += '"';
            buf_ += r.state;
            buf_ += '"';
        } else {
            buf_ += "null";
        }
        buf_ += ",\"error\":";
        if (r.has_error)
            number(r.error);
        else
            buf_ += "null";
        member(",\"dev\":", r.has_link, r.dev);
        member(",\"ino\":", r.has_link, r.ino);
        member(",\"nlink\":", r.has_link, r.nlink);
        buf_ += ",\"depth\":";
        number(r.depth);
        buf_ += "}\n";
        return flush_if_full();
    }

private:
    void member(const char *key, bool has, uint64_t n)
    {
        buf_ += key;
        if (has)
            number(n);
        else
            buf_ += "null";
    }
    void text(std::string_view s, unsigned flags)
    {
        buf_ += '"';
        if (!(flags & (TEXT_JSON | TEXT_BAD_UTF8))) {
            buf_ += s;
        } else {
            static const char hex[] = "0123456789abcdef";
            mend(s, [this](char c) {
                unsigned char u = (unsigned char)c;
                if (c == '"' || c == '\\') {
                    buf_ += '\\';
                    buf_ += c;
                } else if (c == '\n') {
                    buf_ += "\\n";
                } else if (c == '\r') {
                    buf_ += "\\r";
                } else if (c == '\t') {
                    buf_ += "\\t";
                } else if (u < 0x20) {
                    buf_ += "\\u00";
                    buf_ += hex[u >> 4];
                    buf_ += hex[u & 15];
                } else {
                    buf_ += c;
                }
            });
        }
        buf_ += '"';
    }
};

// ---------------------------------------------------------------- SQLite

// One database that many scans, of many hosts, share. Paths, parents and
// names are TEXT when they are well-formed UTF-8 and otherwise a BLOB of
// their bytes: a path and its children's parent are then both BLOBs of the
// same bytes, and parent = path still finds them.
const char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS scans(scan INTEGER PRIMARY KEY, host TEXT, root, time INTEGER,"
    " options TEXT, total_size INTEGER, total_files INTEGER, total_dirs INTEGER);"
    "CREATE TABLE IF NOT EXISTS entries(scan INTEGER NOT NULL REFERENCES scans(scan), path, parent, name,"
    " kind TEXT, size INTEGER, apparent_size INTEGER, disk_size INTEGER, files INTEGER, dirs INTEGER,"
    " state TEXT, error INTEGER, dev INTEGER, ino INTEGER, nlink INTEGER, depth INTEGER);";
// By parent, which finds a directory's entries. Not by path: an index of
// whole paths costs as much as the rows' own text, and a directory's own
// row is found among its parent's entries by name.
const char INDEXES[] = "CREATE INDEX IF NOT EXISTS entries_parent ON entries(scan, parent);";

const char INSERT_SCAN[] =
    "INSERT INTO scans(host, root, time, options, total_size, total_files, total_dirs) VALUES(?,?,?,?,?,?,?)";
const char INSERT_ENTRY[] =
    "INSERT INTO entries(scan, path, parent, name, kind, size, apparent_size, disk_size, files, dirs, state,"
    " error, dev, ino, nlink, depth) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

class sqlite_sink : public row_sink {
public:
    sqlite_sink(const std::string &path, const table_scan &scan) : path_(path), scan_(scan) {}
    ~sqlite_sink() override
    {
        if (in_tx_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }

    // Opens the file and makes or checks its tables; false with *error.
    bool open(std::string *error)
    {
        if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            return fail(error, "cannot open ");
        sqlite3_busy_timeout(db_, 10000);
        if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK) {
            if (sqlite3_errcode(db_) == SQLITE_NOTADB)
                return say(error, path_ + " is not an SQLite database");
            return fail(error, "cannot read ");
        }
        // The scan's rows go in one transaction, which only adds pages at
        // the end of the file: the rollback journal holds the few pages it
        // changes and costs a handful of syncs a scan, so it stays as it is
        // (DELETE, synchronous FULL), and a crash or power loss never costs
        // the scans already in the file. The time goes to the rows and
        // their indexes, which a larger cache serves. Pages of 64 KiB (a new
        // file's; an old one keeps its own) hold a directory's rows of long
        // paths in fewer pages.
        if (sqlite3_exec(db_, "PRAGMA page_size=65536; PRAGMA cache_size=-65536; PRAGMA temp_store=MEMORY", nullptr, nullptr, nullptr) !=
            SQLITE_OK)
            return fail(error, "cannot open ");
        if (sqlite3_exec(db_, SCHEMA, nullptr, nullptr, nullptr) != SQLITE_OK)
            return fail(error, "cannot write ");
        // A table of the same name made by something else: its columns are
        // not ours, or not all of them.
        if (!columns_are("scans", 8) || !columns_are("entries", 16) ||
            sqlite3_prepare_v2(db_, INSERT_ENTRY, -1, &insert_, nullptr) != SQLITE_OK)
            return say(error, path_ + " holds scans or entries tables that are not qvdisk's");
        return true;
    }

protected:
    bool begin(const doc_root &r) override
    {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed();
        in_tx_ = true;
        // Into a file of no entries yet, the rows go in first and their
        // indexes are made once after them, from sorted keys: a third of the
        // time of keeping them up row by row. Later scans keep them up.
        if (entries_empty() &&
            sqlite3_exec(db_, "DROP INDEX IF EXISTS entries_parent", nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed();
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db_, INSERT_SCAN, -1, &st, nullptr) != SQLITE_OK)
            return failed();
        std::string_view root = scan_.root.empty() ? r.path : std::string_view(scan_.root);
        sqlite3_bind_text(st, 1, scan_.host.data(), int(scan_.host.size()), SQLITE_STATIC);
        text(st, 2, root, classify(root));
        sqlite3_bind_int64(st, 3, scan_.time);
        if (scan_.options.empty())
            sqlite3_bind_null(st, 4);
        else
            sqlite3_bind_text(st, 4, scan_.options.data(), int(scan_.options.size()), SQLITE_STATIC);
        integer(st, 5, r.size);
        integer(st, 6, r.files);
        integer(st, 7, r.dirs);
        int rc = sqlite3_step(st);
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE)
            return failed();
        scan_id_ = sqlite3_last_insert_rowid(db_);
        return true;
    }

    bool write_row(const table_row &r) override
    {
        sqlite3_stmt *st = insert_;
        sqlite3_bind_int64(st, 1, scan_id_);
        text(st, 2, r.path, r.path_flags);
        if (r.has_parent)
            text(st, 3, r.parent, r.parent_flags);
        else
            sqlite3_bind_null(st, 3);
        text(st, 4, r.name, r.name_flags);
        sqlite3_bind_text(st, 5, r.is_dir ? "dir" : "file", -1, SQLITE_STATIC);
        integer(st, 6, r.size);
        optional(st, 7, r.has_sizes, r.apparent_size);
        optional(st, 8, r.has_sizes, r.disk_size);
        optional(st, 9, r.has_counts, r.files);
        optional(st, 10, r.has_counts, r.dirs);
        if (r.state)
            sqlite3_bind_text(st, 11, r.state, -1, SQLITE_STATIC);
        else
            sqlite3_bind_null(st, 11);
        if (r.has_error)
            sqlite3_bind_int64(st, 12, r.error);
        else
            sqlite3_bind_null(st, 12);
        optional(st, 13, r.has_link, r.dev);
        optional(st, 14, r.has_link, r.ino);
        optional(st, 15, r.has_link, r.nlink);
        integer(st, 16, r.depth);
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        return rc == SQLITE_DONE || failed();
    }

    bool finish() override
    {
        // What the file now holds of this scan is what was told, row for
        // row, before it is kept. (Not summed: SQLite's sum() fails past
        // 2^63, which a sparse file's size can pass.)
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM entries WHERE scan=?", -1, &st, nullptr) != SQLITE_OK)
            return failed();
        sqlite3_bind_int64(st, 1, scan_id_);
        bool same = sqlite3_step(st) == SQLITE_ROW && uint64_t(sqlite3_column_int64(st, 0)) == rows_;
        sqlite3_finalize(st);
        if (!same)
            return rollback("the rows written to " + path_ + " are not the rows told");
        if (sqlite3_exec(db_, INDEXES, nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed();
        in_tx_ = false;
        return true;
    }

private:
    std::string path_;
    table_scan scan_;
    sqlite3 *db_ = nullptr;

    bool entries_empty()
    {
        sqlite3_stmt *st = nullptr;
        bool empty = sqlite3_prepare_v2(db_, "SELECT NOT EXISTS(SELECT 1 FROM entries)", -1, &st, nullptr) == SQLITE_OK &&
                     sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
        sqlite3_finalize(st);
        return empty;
    }
    sqlite3_stmt *insert_ = nullptr;
    int64_t scan_id_ = 0;
    bool in_tx_ = false;

    static void text(sqlite3_stmt *st, int i, std::string_view s, unsigned flags)
    {
        if (flags & TEXT_BAD_UTF8)
            sqlite3_bind_blob64(st, i, s.data(), s.size(), SQLITE_STATIC);
        else
            sqlite3_bind_text64(st, i, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
    }
    // SQLite's integers are signed: a number past them (an inode of some
    // file systems) is kept exact as its decimal text.
    static void integer(sqlite3_stmt *st, int i, uint64_t n)
    {
        if (n <= uint64_t(INT64_MAX)) {
            sqlite3_bind_int64(st, i, int64_t(n));
            return;
        }
        std::string text = std::to_string(n);
        sqlite3_bind_text(st, i, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
    }
    static void optional(sqlite3_stmt *st, int i, bool has, uint64_t n)
    {
        if (has)
            integer(st, i, n);
        else
            sqlite3_bind_null(st, i);
    }

    bool columns_are(const char *table, int count)
    {
        std::string sql = std::string("SELECT count(*) FROM pragma_table_info('") + table + "')";
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            return false;
        bool same = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == count;
        sqlite3_finalize(st);
        return same;
    }
    bool say(std::string *error, std::string why)
    {
        if (error)
            *error = std::move(why);
        return false;
    }
    bool fail(std::string *error, const char *what)
    {
        return say(error, what + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }
    bool rollback(std::string why)
    {
        if (in_tx_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        in_tx_ = false;
        return refuse(std::move(why));
    }
    bool failed() { return rollback("cannot write " + path_ + ": " + sqlite3_errmsg(db_)); }
};

std::string extension(const std::string &path)
{
    size_t slash = path.find_last_of("/\\");
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(tolower(c)); });
    return ext;
}

}  // namespace

std::unique_ptr<doc_sink> table_open(const std::string &path, const table_scan &scan, std::string *error)
{
    std::string ext = extension(path);
    if (ext == "sqlite" || ext == "sqlite3" || ext == "db") {
        auto sink = std::make_unique<sqlite_sink>(path, scan);
        if (!sink->open(error))
            return nullptr;
        return sink;
    }
    bool csv = ext == "csv" || path == "-";
    if (!csv && ext != "ndjson" && ext != "jsonl") {
        if (error)
            *error = path + ": the table's kind is told by its extension: .sqlite, .sqlite3, .db, .csv, .ndjson or .jsonl";
        return nullptr;
    }
    FILE *f = path == "-" ? stdout : open_file(path.c_str(), "wb");
    if (!f) {
        if (error)
            *error = "cannot write " + path + ": " + strerror(errno);
        return nullptr;
    }
    if (!csv)
        return std::make_unique<ndjson_sink>(f, path, path != "-");
    auto sink = std::make_unique<csv_sink>(f, path, path != "-");
    sink->header();
    return sink;
}
