#include "agefilter.h"

#include "quorvel_disk.h"
#include "scanfeed.h"

namespace {

// Passes on every directory and the files of the span; the rest of the
// files go nowhere.
class age_filter : public doc_sink {
public:
    age_filter(doc_sink &next, int64_t from, int64_t before) : next_(next), from_(from), before_(before) {}
    bool root(const doc_root &r) override { return next_.root(r) || refuse(next_.refusal()); }
    bool enter(const doc_node &n) override
    {
        if (!n.is_dir && !in_span(n.entry))
            return true;
        kept_ += n.is_dir ? 0 : 1;
        return next_.enter(n) || refuse(next_.refusal());
    }
    bool leave() override { return next_.leave() || refuse(next_.refusal()); }
    bool end() override { return next_.end() || refuse(next_.refusal()); }
    uint64_t kept() const { return kept_; }

private:
    bool in_span(const disk_entry *e) const
    {
        return e && (e->fields & DISK_FIELD_MTIME) && e->mtime >= from_ && e->mtime < before_;
    }
    doc_sink &next_;
    int64_t from_, before_;
    uint64_t kept_ = 0;
};

}  // namespace

int age_filtered(int id, int64_t from, int64_t before, uint64_t *kept, std::string *error)
{
    disk_scan_options o{};
    o.struct_size = sizeof o;
    if (disk_scan_get_options(id, &o) != 0) {
        *error = "no such scan";
        return -1;
    }
    o.extended = 1;
    scan_builder builder(o);
    age_filter filter(builder, from, before);
    if (!scan_feed(id, filter, error))
        return -1;
    *kept = filter.kept();
    return builder.take();
}
