// What a scan with disk_scan_options.extended adds to the documents
// ("mtime", "uid", "gid", "mode", after "is_dir", and to the root after
// "scan_time_ms" "fields" and the same),
// read by the one reader in its forms: told to the sink with each entry,
// in the library's order, and refused when it is not a whole number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "docread.h"

namespace {

// Writes down each entry's name and what the document said of it beyond
// its sizes: "name t=MTIME o=UID:GID:MODE", each part only when given.
class meta_recorder : public doc_sink {
public:
    std::vector<std::string> seen;
    bool root(const doc_root &r) override { return note(r.path, r.meta); }
    bool enter(const doc_node &n) override { return note(n.name, n.meta); }

private:
    bool note(std::string_view name, const doc_meta &m)
    {
        std::string line(name);
        if (m.fields & DISK_FIELD_MTIME)
            line += " t=" + std::to_string(m.mtime);
        if (m.fields & DISK_FIELD_OWNER)
            line += " o=" + std::to_string(m.uid) + ":" + std::to_string(m.gid) + ":" + std::to_string(m.mode);
        seen.push_back(line);
        return true;
    }
};

std::string read_as(const std::string &doc, doc_form form, std::vector<std::string> *seen = nullptr)
{
    meta_recorder r;
    std::string why;
    bool ok = doc_read_text(doc.data(), doc.size(), form, r, &why);
    if (seen)
        *seen = r.seen;
    return ok ? "read" : why;
}

// A scan result with the members of an extended scan on Linux.
const std::string EXTENDED =
    "{\"path\":\"/r\",\"total_size\":5,\"total_files\":2,\"total_dirs\":1,\"scan_time_ms\":0.5,"
    "\"fields\":[\"mtime\",\"uid\",\"gid\",\"mode\"],\"mtime\":1797067800,\"uid\":0,\"gid\":0,\"mode\":16877,\"children\":["
    "{\"name\":\"d\",\"size\":3,\"files\":1,\"is_dir\":true,\"mtime\":1797067800,\"uid\":1000,\"gid\":100,"
    "\"mode\":17407,\"children\":["
    "{\"name\":\"f\",\"size\":3,\"files\":1,\"is_dir\":false,\"mtime\":1797067800,\"uid\":1000,\"gid\":100,"
    "\"mode\":35309}]},"
    "{\"name\":\"g\",\"size\":2,\"files\":1,\"is_dir\":false,\"mtime\":0,\"uid\":4294967295,\"gid\":7,\"mode\":41471}]}";

TEST(DocMeta, ExtendedMembersAreToldWithEachEntryInEveryForm)
{
    const std::vector<std::string> want = {"/r t=1797067800 o=0:0:16877", "d t=1797067800 o=1000:100:17407",
                                           "f t=1797067800 o=1000:100:35309", "g t=0 o=4294967295:7:41471"};
    for (doc_form form : {doc_form::library, doc_form::saved}) {
        std::vector<std::string> seen;
        EXPECT_EQ(read_as(EXTENDED, form, &seen), "read");
        EXPECT_EQ(seen, want);
    }
}

TEST(DocMeta, DocumentsWithoutThemTellNone)
{
    std::vector<std::string> seen;
    EXPECT_EQ(read_as("{\"path\":\"r\",\"total_size\":1,\"total_files\":1,\"total_dirs\":0,\"children\":["
                      "{\"name\":\"a\",\"size\":1,\"files\":1,\"is_dir\":false}]}",
                      doc_form::saved, &seen),
              "read");
    EXPECT_EQ(seen, (std::vector<std::string>{"r", "a"}));
}

TEST(DocMeta, PartsAsGiven)
{
    // Times without owners (Windows); an owner is told only with all three
    // of uid, gid and mode; a directory of a scan handed out as an entry;
    // a time before 1970 as the number it is.
    struct row {
        const char *doc;
        std::vector<std::string> seen;
    } rows[] = {
        {"{\"path\":\"C:/r\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"mtime\":42,\"children\":[]}",
         {"C:/r t=42"}},
        {"{\"path\":\"r\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"uid\":1,\"gid\":2,\"children\":[]}",
         {"r"}},
        {"{\"name\":\"sub\",\"size\":0,\"files\":0,\"is_dir\":true,\"mtime\":7,\"uid\":1,\"gid\":2,\"mode\":16832,"
         "\"children\":[]}",
         {"sub t=7 o=1:2:16832"}},
        {"{\"path\":\"r\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"mtime\":-5}", {"r t=-5"}},
    };
    for (const row &r : rows) {
        std::vector<std::string> seen;
        EXPECT_EQ(read_as(r.doc, doc_form::library, &seen), "read") << r.doc;
        EXPECT_EQ(seen, r.seen) << r.doc;
    }
}

TEST(DocMeta, RefusedAsTheirTypeOrPlaceSays)
{
    auto entry = [](const std::string &members) {
        return "{\"path\":\"r\",\"total_size\":1,\"total_files\":1,\"total_dirs\":0,\"children\":[{\"name\":\"a\","
               "\"size\":1,\"files\":1," +
               members + "}]}";
    };
    struct row {
        std::string doc;
        doc_form form;
        std::string why;  // the phrase before " at byte"
    } rows[] = {
        {entry("\"is_dir\":false,\"mtime\":\"x\""), doc_form::library, "\"mtime\" is not a whole number"},
        {entry("\"is_dir\":false,\"mtime\":1.5"), doc_form::library, "\"mtime\" is not a whole number"},
        {entry("\"is_dir\":false,\"uid\":-1"), doc_form::library, "\"uid\" is not a whole number"},
        {entry("\"is_dir\":false,\"gid\":4294967296"), doc_form::library, "\"gid\" is larger than 2^32-1"},
        {entry("\"is_dir\":false,\"mode\":true"), doc_form::library, "\"mode\" is not a whole number"},
        {entry("\"is_dir\":false,\"mtime\":99999999999999999999"), doc_form::library,
         "\"mtime\" is larger than 2^64-1"},
        // A saved scan keeps the library's order, each member once.
        {entry("\"mtime\":1,\"is_dir\":false"), doc_form::saved, "an entry without its name, size, files or is_dir"},
        {entry("\"is_dir\":false,\"mode\":1,\"uid\":1"), doc_form::saved, "the member \"uid\" out of order"},
        {entry("\"is_dir\":false,\"mtime\":1,\"mtime\":1"), doc_form::saved, "the member \"mtime\" twice"},
        {"{\"path\":\"r\",\"total_size\":0,\"total_files\":0,\"total_dirs\":0,\"mtime\":1,\"fields\":[]}",
         doc_form::saved, "the member \"fields\" out of order"},
    };
    for (const row &r : rows) {
        std::string why = read_as(r.doc, r.form);
        EXPECT_EQ(why.substr(0, why.find(" at byte")), r.why) << r.doc;
    }
    // The library's own documents may hold them in any order.
    EXPECT_EQ(read_as(entry("\"mtime\":1,\"is_dir\":false,\"mode\":1,\"uid\":1"), doc_form::library), "read");
}

}  // namespace
