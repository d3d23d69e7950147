#include "htmlreport.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "treemap_html.h"

namespace {

// Writes a JSON document inside script elements of about CHUNK bytes each,
// which the page joins again: browsers parse many moderate text nodes faster
// than one huge one. '<' only occurs within JSON strings, where "\u003c"
// means the same, so no "</script" or "<!--" can end or bend an element
// early, whatever the file names hold. Chunks end before an ASCII byte, never
// inside a UTF-8 sequence.
const size_t CHUNK = 1 << 18;

bool write_escaped(FILE *out, const char *from, const char *to)
{
    const char *run = from;
    for (const char *p = from; p < to; p++) {
        if (*p != '<')
            continue;
        if (fwrite(run, 1, (size_t)(p - run), out) != (size_t)(p - run) || fputs("\\u003c", out) < 0)
            return false;
        run = p + 1;
    }
    return fwrite(run, 1, (size_t)(to - run), out) == (size_t)(to - run);
}

bool write_data(FILE *out, const char *id, const char *doc)
{
    if (!doc)
        return true;
    const char *p = doc, *end = doc + strlen(doc);
    do {
        const char *cut = end - p > (ptrdiff_t)CHUNK ? p + CHUNK : end;
        while (cut < end && (unsigned char)*cut >= 0x80)
            cut++;
        if (fprintf(out, "<script type=\"application/json\" class=\"%s\">", id) < 0 ||
            !write_escaped(out, p, cut) || fputs("</script>\n", out) < 0)
            return false;
        p = cut;
    } while (p < end);
    return true;
}

// The problems as the page reads them: the counts, and the directories to
// mark under "dirs".
std::string problems_doc(const treemap_docs &docs)
{
    if (!docs.counts)
        return {};
    const disk_problems &p = *docs.counts;
    return "{\"unreadable_dirs\":" + std::to_string(p.unreadable_dirs) +
           ",\"skipped_entries\":" + std::to_string(p.skipped_entries) +
           ",\"loop_dirs\":" + std::to_string(p.loop_dirs) +
           ",\"pseudo_fs_dirs\":" + std::to_string(p.pseudo_fs_dirs) +
           ",\"stalled_dirs\":" + std::to_string(p.stalled_dirs) +
           ",\"dirs\":" + (docs.problems ? docs.problems : "[]") + "}";
}

// What the sizes count, for the summary line. The patterns stay out: the
// page needs only their number.
std::string options_doc(const treemap_docs &docs)
{
    if (!docs.options)
        return {};
    const disk_scan_options &o = *docs.options;
    return std::string("{\"size_kind\":\"") + (o.size_kind == DISK_SIZE_ON_DISK ? "on_disk" : "apparent") +
           "\",\"hard_links_once\":" + (o.hard_links_once ? "true" : "false") +
           ",\"one_file_system\":" + (o.one_file_system ? "true" : "false") +
           ",\"exclude_caches\":" + (o.exclude_caches ? "true" : "false") +
           ",\"exclude_count\":" + std::to_string(o.exclude_count) + "}";
}

}  // namespace

bool write_treemap_page(FILE *out, const treemap_docs &docs)
{
    static const char marker[] = "<!--QV-DATA-->";
    const char *at = strstr(k_treemap_html, marker);
    if (!at)
        return false;
    size_t head = (size_t)(at - k_treemap_html);
    if (fwrite(k_treemap_html, 1, head, out) != head)
        return false;
    std::string problems = problems_doc(docs), options = options_doc(docs);
    if (!write_data(out, "qv-tree", docs.tree) || !write_data(out, "qv-top", docs.top) ||
        !write_data(out, "qv-ext", docs.ext) ||
        !write_data(out, "qv-problems", problems.empty() ? nullptr : problems.c_str()) ||
        !write_data(out, "qv-growth", docs.growth) ||
        !write_data(out, "qv-options", options.empty() ? nullptr : options.c_str()))
        return false;
    const char *tail = at + sizeof marker - 1;
    return fputs(tail, out) >= 0;
}
