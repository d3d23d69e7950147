// Fuzz target: the reader of ncdu's export format
// (programs/doc/ncduread.cpp). For any input,
//  - it is read, or refused with one phrase and "at byte N", N within the
//    input;
//  - what it tells a sink is well formed: the root first, each directory
//    left once after its entries, the root last, then the end; nothing
//    after a refusal; every entry with its disk_entry, names that can be
//    file names;
//  - a file read in pieces of any size tells the same and ends the same
//    as the text read whole (the byte count runs across pieces);
//  - reading gdu's way or not, with hard links once or not, changes sizes
//    only, never the shape of the tree.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "ncduread.h"

namespace {

class recorder : public doc_sink {
public:
    std::string calls;

    bool root(const doc_root &r) override
    {
        FUZZ_CHECK(!rooted_ && !ended_ && r.sums_later && r.entry && r.entry->is_dir);
        FUZZ_CHECK(r.path.find('\0') == std::string_view::npos);
        rooted_ = true;
        // A root of no name holds several: its own entries are named by paths.
        nameless_ = r.path.empty();
        open_ = 1;
        calls += "root " + std::string(r.path) + "\n";
        return true;
    }
    bool enter(const doc_node &n) override
    {
        FUZZ_CHECK(open_ > 0 && !ended_ && n.entry && (n.entry->is_dir != 0) == n.is_dir);
        FUZZ_CHECK(n.entry->struct_size == sizeof(disk_entry));
        FUZZ_CHECK(std::string_view(n.entry->name, n.entry->name_len) == n.name);
        FUZZ_CHECK(!n.name.empty() && n.name.size() <= 65535 && n.name.find('\0') == std::string_view::npos);
        if (!(nameless_ && open_ == 1))
            FUZZ_CHECK(n.name != "." && n.name != ".." && n.name.find('/') == std::string_view::npos);
        FUZZ_CHECK(!n.is_dir || (n.entry->apparent_size == 0 && n.entry->disk_size == 0));
        FUZZ_CHECK(n.entry->nlink == 0 || n.entry->nlink >= 2);
        open_ += n.is_dir;
        calls += "enter " + std::string(n.name) + (n.is_dir ? " dir\n" : "\n");
        return true;
    }
    bool leave() override
    {
        FUZZ_CHECK(open_ > 0 && !ended_);
        open_--;
        calls += "leave\n";
        return true;
    }
    bool end() override
    {
        FUZZ_CHECK(!ended_ && rooted_ && open_ == 0);
        ended_ = true;
        return true;
    }
    bool ended() const { return ended_; }

private:
    bool rooted_ = false, ended_ = false, nameless_ = false;
    long open_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    recorder whole;
    std::string why;
    ncdu_read_stats stats;
    bool ok = ncdu_read_text(text, size, ncdu_read_options{}, whole, &why, &stats);
    FUZZ_CHECK(ok == why.empty() && ok == whole.ended());
    if (!ok) {
        size_t at = why.rfind(" at byte ");
        FUZZ_CHECK(at != std::string::npos && at > 0);
        FUZZ_CHECK(std::stoull(why.substr(at + 9)) <= size);
    }

    recorder whole_links;
    std::string why_links;
    ncdu_read_options each;
    each.links_once = false;
    FUZZ_CHECK(ncdu_read_text(text, size, each, whole_links, &why_links) == ok);
    FUZZ_CHECK(why_links == why && whole_links.calls == whole.calls);

    // Pieces of 4 to 11 bytes put every boundary somewhere new. A file that
    // starts with zstd's magic is decompressed first: its text is another.
    if (size >= 4 && memcmp(data, "\x28\xb5\x2f\xfd", 4) == 0)
        return 0;
    recorder pieces;
    std::string why_pieces;
    size_t piece = 4 + (size > 0 ? data[size / 2] % 8 : 0);
    FILE *f = tmpfile();
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, f) == size && fseek(f, 0, SEEK_SET) == 0);
    bool ok_pieces = ncdu_read_file(f, ncdu_read_options{}, pieces, &why_pieces, nullptr, piece);
    fclose(f);
    FUZZ_CHECK(ok_pieces == ok && why_pieces == why && pieces.calls == whole.calls);
    return 0;
}
