// A sink that writes down every call a source makes, one line a call, so
// that two sources (or one source read two ways) can be held side by side.
// For tests and fuzz targets.
#pragma once

#include <string>

#include "docsink.h"

class recorder : public doc_sink {
public:
    std::string calls;
    // Also writes what an entry's disk_entry holds, when there is one:
    // "[apparent disk dev ino nlink state error]".
    bool entries = false;
    bool root(const doc_root &r) override
    {
        calls += "root " + std::string(r.path) + " " + std::to_string(r.size) + " " + std::to_string(r.files) + " " +
                 std::to_string(r.dirs) + entry(r.entry) + "\n";
        return true;
    }
    bool enter(const doc_node &n) override
    {
        calls += "enter " + std::string(n.name) + " " + std::to_string(n.size) + " " + std::to_string(n.files) +
                 (n.is_dir ? " dir" : "") + entry(n.entry) + "\n";
        return true;
    }
    bool leave() override
    {
        calls += "leave\n";
        return true;
    }
    bool row(const doc_row &r) override
    {
        calls += "row " + std::string(r.name) + " " + std::to_string(r.size) + " " + std::to_string(r.count) + " " +
                 std::string(r.problem) + " " + std::to_string(r.error) + "\n";
        return true;
    }
    bool end() override
    {
        calls += "end\n";
        return true;
    }

private:
    std::string entry(const disk_entry *e) const
    {
        if (!entries || !e)
            return "";
        return " [" + std::to_string(e->apparent_size) + " " + std::to_string(e->disk_size) + " " +
               std::to_string(e->dev) + " " + std::to_string(e->ino) + " " + std::to_string(e->nlink) + " " +
               std::to_string(e->state) + " " + std::to_string(e->error) + "]";
    }
};
