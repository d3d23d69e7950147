// Fuzz target: the one reader of the library's documents
// (programs/doc/docread.cpp), in each of its forms. For any input,
//  - it is read, or refused with one phrase and "at byte N", N within the
//    input;
//  - what it tells a sink is well formed: for a tree, the root first, each
//    directory left once after its entries, the root last, then the end;
//    for a list, rows and then the end; nothing after a refusal;
//  - a file read in pieces of any size tells the same and ends the same
//    as the text read whole (the byte count runs across pieces);
//  - the saved form takes nothing the library's form refuses.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "docread.h"
#include "fuzz_check.h"

namespace {

// Records the calls, one line each, and checks their order as they come.
class recorder : public doc_sink {
public:
    explicit recorder(doc_form form) : list_(form == doc_form::list) {}
    std::string calls;

    bool root(const doc_root &r) override
    {
        FUZZ_CHECK(!list_ && !rooted_ && !ended_);
        rooted_ = true;
        open_ = 1;
        calls += "root " + std::string(r.path) + " " + std::to_string(r.size) + " " + std::to_string(r.files) + " " +
                 std::to_string(r.dirs) + " " + std::to_string(r.scan_time_ms) + "\n";
        return true;
    }
    bool enter(const doc_node &n) override
    {
        FUZZ_CHECK(!list_ && open_ > 0 && !ended_);
        open_ += n.is_dir;
        calls += "enter " + std::string(n.name) + " " + std::to_string(n.size) + " " + std::to_string(n.files) +
                 (n.is_dir ? " dir\n" : "\n");
        return true;
    }
    bool leave() override
    {
        FUZZ_CHECK(!list_ && open_ > 0 && !ended_);
        open_--;
        calls += "leave\n";
        return true;
    }
    bool row(const doc_row &r) override
    {
        FUZZ_CHECK(list_ && !ended_);
        calls += "row " + std::string(r.name) + " " + std::to_string(r.size) + " " + std::to_string(r.count) + " " +
                 std::string(r.problem) + " " + std::to_string(r.error) + "\n";
        return true;
    }
    bool end() override
    {
        FUZZ_CHECK(!ended_ && (list_ || (rooted_ && open_ == 0)));
        ended_ = true;
        return true;
    }
    bool ended() const { return ended_; }

private:
    bool list_;
    bool rooted_ = false, ended_ = false;
    long open_ = 0;
};

bool read_from_file(const uint8_t *data, size_t size, doc_form form, size_t piece, recorder *r, std::string *why)
{
    FILE *f = tmpfile();
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, f) == size && fseek(f, 0, SEEK_SET) == 0);
    bool ok = doc_read_file(f, form, *r, why, piece);
    fclose(f);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    bool read_as[3] = {};
    const doc_form forms[] = {doc_form::saved, doc_form::library, doc_form::list};
    for (int k = 0; k < 3; k++) {
        recorder whole(forms[k]);
        std::string why;
        bool ok = doc_read_text(text, size, forms[k], whole, &why);
        read_as[k] = ok;
        FUZZ_CHECK(ok == why.empty() && ok == whole.ended());
        if (!ok) {
            size_t at = why.rfind(" at byte ");
            FUZZ_CHECK(at != std::string::npos && at > 0);
            FUZZ_CHECK(std::stoull(why.substr(at + 9)) <= size);
        }
        // Pieces of 1 to 8 bytes put every boundary somewhere new.
        recorder pieces(forms[k]);
        std::string why_pieces;
        size_t piece = 1 + (size > 0 ? data[size / 2] % 8 : 0);
        bool ok_pieces = read_from_file(data, size, forms[k], piece, &pieces, &why_pieces);
        FUZZ_CHECK(ok_pieces == ok && why_pieces == why && pieces.calls == whole.calls);
    }
    FUZZ_CHECK(!read_as[0] || read_as[1]);
    return 0;
}
