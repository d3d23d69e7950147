// ncdu's export format: [1, 2, {header}, root], a directory an array of its
// own object then its entries, a file its object alone. Each object carries
// a directory's or file's own sizes (qvdisk counts a directory's own size
// as 0, and writes none), a hard-linked file's identity, and why a
// directory was not read or entered, in ncdu's words where it has them.
#include "ncduwrite.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#ifndef QVDISK_VERSION
#define QVDISK_VERSION "0"
#endif

namespace {

class ncdu_sink : public doc_sink {
public:
    ncdu_sink(FILE *out, int64_t timestamp) : out_(out), timestamp_(timestamp) { buf_.reserve(1 << 16); }

    bool root(const doc_root &r) override
    {
        if (r.sums_later)
            return refuse("ncdu's format is written from a scan");
        buf_ += "[1,2,{\"progname\":\"qvdisk\",\"progver\":\"" QVDISK_VERSION "\",\"timestamp\":";
        buf_ += std::to_string(timestamp_ > 0 ? timestamp_ : 0);
        buf_ += "},\n";
        disk_entry e = r.entry ? *r.entry : disk_entry{};
        e.is_dir = 1;
        e.name = r.path.data();
        e.name_len = (unsigned)r.path.size();
        object(e);
        return flush_if_full();
    }
    bool enter(const doc_node &n) override
    {
        // Both sizes of each file, which only a scan's own entries have.
        if (!n.entry)
            return refuse("ncdu's format is written from a scan");
        disk_entry e = *n.entry;
        e.name = n.name.data();
        e.name_len = (unsigned)n.name.size();
        e.is_dir = n.is_dir;
        buf_ += ",\n";
        object(e);
        return flush_if_full();
    }
    bool leave() override
    {
        buf_ += ']';
        return flush_if_full();
    }
    bool end() override
    {
        buf_ += "]\n";
        return flush() && (fflush(out_) == 0 || fail(errno));
    }

private:
    FILE *out_;
    int64_t timestamp_;
    std::string buf_;

    bool fail(int err) { return refuse(std::string("cannot write: ") + strerror(err ? err : EIO)); }
    bool flush()
    {
        if (!buf_.empty() && fwrite(buf_.data(), 1, buf_.size(), out_) != buf_.size())
            return fail(errno);
        buf_.clear();
        return true;
    }
    bool flush_if_full() { return buf_.size() < (1 << 16) - 512 || flush(); }

    static bool plain(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\' && c != 0x7F; }
    void name(const char *p, size_t n)
    {
        static const char hex[] = "0123456789abcdef";
        buf_ += '"';
        for (size_t i = 0; i < n;) {
            // Runs that need no escape go in whole: bytes of 0x80 and up
            // raw, UTF-8 or not, as ncdu writes names.
            size_t run = i;
            while (run < n && plain((unsigned char)p[run]))
                run++;
            buf_.append(p + i, run - i);
            if (run == n)
                break;
            unsigned char c = (unsigned char)p[run];
            if (c == '"' || c == '\\') {
                buf_ += '\\';
                buf_ += (char)c;
            } else {
                buf_ += "\\u00";
                buf_ += hex[c >> 4];
                buf_ += hex[c & 15];
            }
            i = run + 1;
        }
        buf_ += '"';
    }
    void number(const char *key, uint64_t v)
    {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        buf_ += key;
        buf_.append(digits, (size_t)(end - digits));
    }
    // One entry's object, opening the array of a directory.
    void object(const disk_entry &e)
    {
        buf_ += e.is_dir ? "[{\"name\":" : "{\"name\":";
        name(e.name, e.name_len);
        if (!e.is_dir) {
            number(",\"asize\":", e.apparent_size);
            number(",\"dsize\":", e.disk_size);
        }
        if (e.ino != 0 && e.nlink > 1) {
            // The device is written with the inode: a file's identity is
            // both, whatever its directory's device. A name met once (its
            // other names outside the scan) is written as ncdu's own
            // files of one name are.
            number(",\"dev\":", e.dev);
            number(",\"ino\":", e.ino);
            buf_ += ",\"hlnkc\":true";
            number(",\"nlink\":", e.nlink > 1 ? e.nlink : 2);
        }
        // The members ncdu -e writes. A directory's time is the newest below
        // it, the only one a scan keeps, which ncdu shows as its own.
        if (e.fields & DISK_FIELD_OWNER) {
            number(",\"uid\":", e.uid);
            number(",\"gid\":", e.gid);
            number(",\"mode\":", e.mode);
        }
        if (e.fields & DISK_FIELD_MTIME)
            number(",\"mtime\":", (uint64_t)(e.mtime > 0 ? e.mtime : 0));
        switch (e.state) {
        case DISK_ENTRY_UNREADABLE:
        case DISK_ENTRY_STALLED: buf_ += ",\"read_error\":true"; break;
        case DISK_ENTRY_OTHER_FS: buf_ += ",\"excluded\":\"otherfs\""; break;
        case DISK_ENTRY_PSEUDO_FS: buf_ += ",\"excluded\":\"kernfs\""; break;
        // ncdu has no word for these; any other word reads there as
        // excluded, and here as what it is.
        case DISK_ENTRY_LOOP: buf_ += ",\"excluded\":\"loop\""; break;
        case DISK_ENTRY_CACHE: buf_ += ",\"excluded\":\"cache\""; break;
        default: break;
        }
        buf_ += '}';
    }
};

}  // namespace

std::unique_ptr<doc_sink> ncdu_writer(FILE *out, int64_t timestamp)
{
    return std::make_unique<ncdu_sink>(out, timestamp);
}
