#include "htmlreport.h"

#include <cstring>

#include "treemap_html.h"

namespace {

// Writes a JSON document inside a script element. '<' only occurs within
// JSON strings, where "\u003c" means the same, so no "</script" or "<!--"
// can end or bend the element early, whatever the file names hold.
bool write_data(FILE *out, const char *id, const char *doc)
{
    if (!doc)
        return true;
    if (fprintf(out, "<script type=\"application/json\" id=\"%s\">", id) < 0)
        return false;
    const char *run = doc;
    for (const char *p = doc;; p++) {
        if (*p == '<' || *p == '\0') {
            if (fwrite(run, 1, (size_t)(p - run), out) != (size_t)(p - run))
                return false;
            if (*p == '\0')
                break;
            if (fputs("\\u003c", out) < 0)
                return false;
            run = p + 1;
        }
    }
    return fputs("</script>\n", out) >= 0;
}

}  // namespace

bool write_treemap_page(FILE *out, const char *tree_doc, const char *top_doc, const char *ext_doc)
{
    static const char marker[] = "<!--QV-DATA-->";
    const char *at = strstr(k_treemap_html, marker);
    if (!at)
        return false;
    size_t head = (size_t)(at - k_treemap_html);
    if (fwrite(k_treemap_html, 1, head, out) != head)
        return false;
    if (!write_data(out, "qv-tree", tree_doc) || !write_data(out, "qv-top", top_doc) ||
        !write_data(out, "qv-ext", ext_doc))
        return false;
    const char *tail = at + sizeof marker - 1;
    return fputs(tail, out) >= 0;
}
