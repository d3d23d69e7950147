// A scan in the library as a source and as a sink of qvdisk's documents:
// a finished scan told entry by entry (disk_visit), and a scan built from
// what a source tells (disk_import_*), such as another tool's export.
#pragma once

#include <string>

#include "docsink.h"
#include "quorvel_disk.h"

// Tells sink every entry of the finished scan id, with what the library
// keeps of each (doc_node::entry), then end(). False with *error: the
// sink's refusal, or why the library told nothing.
bool scan_feed(int id, doc_sink &sink, std::string *error);

// A sink that builds a scan in the library from what it is told: its root
// names the scan; each entry must come with its disk_entry. The scan counts
// sizes as opts says (size_kind, hard_links_once).
class scan_builder : public doc_sink {
public:
    explicit scan_builder(const disk_scan_options &opts) : opts_(opts) {}
    ~scan_builder() override;
    scan_builder(const scan_builder &) = delete;
    scan_builder &operator=(const scan_builder &) = delete;

    bool root(const doc_root &r) override;
    bool enter(const doc_node &n) override;
    bool leave() override;
    bool end() override;
    // The finished scan, the caller's to free from now on; -1 before end().
    int take();
    // The root's path as the source named it.
    const std::string &root_path() const { return root_path_; }

private:
    disk_scan_options opts_;
    int id_ = -1;
    bool done_ = false;
    std::string root_path_;
};
