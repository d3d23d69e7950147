// The JSON documents of a finished scan: the whole tree or one directory of
// it, the largest files and the extension totals. Texts are heap allocations the slot owns.
#include "documents.h"

#include <cstdlib>
#include <cstring>

#include "json.h"
#include "scanner.h"
#include "sorter.h"

static const char NO_RESULT[] = "{\"error\":\"no result\"}";
static const char OUT_OF_MEMORY[] = "{\"error\":\"out of memory\"}";
static const char EMPTY_LIST[] = "[]";

#define FRAG(b, lit) jb_append_n((b), (lit), sizeof(lit) - 1)

#define PUT(w, lit) jb_put((w), (lit), sizeof(lit) - 1)

#define NO_LIMIT INT32_MAX

// An extended scan's time, owner and mode of e, where known: up to 76
// bytes.
static char *put_meta(char *w, const qv_scan_result *r, const qv_entry *e)
{
    const qv_entry_meta *m = qv_tree_meta(e);
    w = PUT(w, ",\"mtime\":");
    w = jb_put_u64(w, m->mtime);
    if (m->owner == 0)
        return w;
    qv_owner o = qv_owner_at(&r->owners, m->owner);
    w = PUT(w, ",\"uid\":");
    w = jb_put_u64(w, o.uid);
    w = PUT(w, ",\"gid\":");
    w = jb_put_u64(w, o.gid);
    w = PUT(w, ",\"mode\":");
    return jb_put_u64(w, o.mode);
}

// The members before "children" of one entry object, written in one
// reserved stretch: one capacity check per entry.
static void entry_head(json_builder *b, const qv_scan_result *r, const qv_entry *e, const char *name)
{
    if (!jb_reserve(b, 6 * (uint64_t)strlen(name) + 96 + 80))
        return;
    char *w = b->buf + b->len;
    w = PUT(w, "{\"name\":");
    w = jb_put_escaped(w, name);
    w = PUT(w, ",\"size\":");
    w = jb_put_u64(w, e->size);
    w = PUT(w, ",\"files\":");
    w = jb_put_u64(w, e->file_count);
    if (e->is_dir)
        w = PUT(w, ",\"is_dir\":true");
    else
        w = PUT(w, ",\"is_dir\":false");
    if (r->extended)
        w = put_meta(w, r, e);
    jb_commit(b, w);
}

// Appends the object of top with its descendants down to levels below it
// (NO_LIMIT: all). Walks by the parent links instead of recursing, so the
// depth of the tree costs no stack.
static void entry_to_json(json_builder *b, const qv_scan_result *r, const qv_entry *top, int32_t levels)
{
    const qv_entry *e = top;
    int32_t depth = 0;  // of e below top
    for (;;) {
        const char *name = qv_tree_get_name(e);
        // The next sibling was requested one step ago: request the sibling
        // after it (its name comes with it) while this entry is written.
        if (const qv_entry *next = e->next_sibling)
            qv_prefetch_entry(next->next_sibling);
        bool descend = e->is_dir && e->first_child && depth < levels;
        if (descend)
            qv_prefetch_entry(e->first_child);
        entry_head(b, r, e, name);
        if (descend) {
            FRAG(b, ",\"children\":[");
            e = e->first_child;
            depth++;
            continue;
        }
        jb_append_char(b, '}');
        // Close every list that ends here, then go on with the next sibling.
        for (;;) {
            if (e == top)
                return;
            if (e->next_sibling) {
                jb_append_char(b, ',');
                e = e->next_sibling;
                break;
            }
            e = e->parent;
            depth--;
            FRAG(b, "]}");
        }
    }
}

// The tree is ordered by size once, before the first document that shows
// it; ordering again would change nothing but cost a pass over the tree.
void qv_doc_order(scan_slot *slot)
{
    if (slot->ordered)
        return;
    qv_sort_tree(slot->result->root, SORT_SIZE_DESC);
    slot->ordered = 1;
}

// What every entry of an extended scan carries, then the root's own: owners
// are left out where the scan met none (Windows).
static void root_meta(json_builder *b, const qv_scan_result *r)
{
    if (r->owners.owners.len > 1)
        FRAG(b, ",\"fields\":[\"mtime\",\"uid\",\"gid\",\"mode\"]");
    else
        FRAG(b, ",\"fields\":[\"mtime\"]");
    if (!jb_reserve(b, 80))
        return;
    jb_commit(b, put_meta(b->buf + b->len, r, r->root));
}

// The root object with the scan's totals, its children down to levels.
static char *scan_result_to_json(const qv_scan_result *r, int32_t levels)
{
    const qv_entry *root = r->root;
    json_builder b;
    if (jb_init(&b) != 0)
        return jb_copy_text(OUT_OF_MEMORY);
    char num[32];
    FRAG(&b, "{\"path\":");
    jb_append_escaped(&b, qv_tree_get_name(root));
    FRAG(&b, ",\"total_size\":");
    jb_append_u64(&b, r->total_size);
    FRAG(&b, ",\"total_files\":");
    jb_append_u64(&b, r->total_files);
    FRAG(&b, ",\"total_dirs\":");
    jb_append_u64(&b, r->total_dirs);
    FRAG(&b, ",\"scan_time_ms\":");
    jb_append_n(&b, num, (uint64_t)jb_format_scan_time(num, r->scan_time_ms));
    if (r->extended)
        root_meta(&b, r);
    if (root->first_child && levels > 0) {
        FRAG(&b, ",\"children\":[");
        for (const qv_entry *c = root->first_child; c; c = c->next_sibling) {
            if (c != root->first_child)
                jb_append_char(&b, ',');
            entry_to_json(&b, r, c, levels - 1);
        }
        jb_append_char(&b, ']');
    }
    jb_append_char(&b, '}');
    return jb_finish(&b, OUT_OF_MEMORY);
}

const char *qv_doc_scan_result(scan_slot *slot)
{
    if (slot->result_json)
        return slot->result_json;
    qv_scan_result *r = slot->result;
    if (!r || !r->root) {
        slot->result_json = jb_copy_text(NO_RESULT);
    } else {
        qv_doc_order(slot);
        slot->result_json = scan_result_to_json(r, NO_LIMIT);
    }
    return slot->result_json;
}

// --- One directory -----------------------------------------------------------

// The child directory of dir named by the len bytes at name: the one whose
// name is those bytes, else the only one whose name reads so in the
// documents. Null when none is, or when several read so.
static const qv_entry *child_dir(const qv_entry *dir, const char *name, size_t len)
{
    const qv_entry *mended = nullptr;
    int32_t mended_count = 0;
    for (const qv_entry *c = dir->first_child; c; c = c->next_sibling) {
        if (!c->is_dir)
            continue;
        const char *n = qv_tree_get_name(c);
        if (strlen(n) == len && memcmp(n, name, len) == 0)
            return c;
        if (jb_mended_equals(n, name, len)) {
            mended = c;
            mended_count++;
        }
    }
    return mended_count == 1 ? mended : nullptr;
}

// The directory that p names below e: names, each after a "/". Null when
// it names none.
static const qv_entry *find_below(const qv_entry *e, const char *p)
{
    for (;;) {
        const char *slash = strchr(p, '/');
        size_t len = slash ? (size_t)(slash - p) : strlen(p);
        e = child_dir(e, p, len);
        if (!e)
            return nullptr;
        if (!slash)
            return e;
        p = slash + 1;
    }
}

// After the whole name of a root: the rest of the path below it (past its
// "/", which a name ending in "/" holds already), the end of path for the
// root itself. Null when path does not go on from name.
static const char *past_root(const char *path, const char *name, size_t len)
{
    if (strncmp(path, name, len) != 0)
        return nullptr;
    const char *p = path + len;
    if (*p == '\0' || (len > 0 && name[len - 1] == '/'))
        return p;
    return *p == '/' ? p + 1 : nullptr;
}

// Below a root of the empty name (an import of several roots), each child
// is a root named by its path: the one whose whole name the path starts
// with and below which the rest is found, the longest name first (one root
// may lie inside another: "/a" and "/a/b").
static const qv_entry *find_in_roots(const qv_entry *top, const char *path)
{
    const qv_entry *found = nullptr;
    size_t found_len = 0;
    for (const qv_entry *c = top->first_child; c; c = c->next_sibling) {
        size_t len = qv_tree_name_len(c);
        const char *rest = c->is_dir && (!found || len > found_len) ? past_root(path, qv_tree_get_name(c), len)
                                                                     : nullptr;
        const qv_entry *at = !rest ? nullptr : rest == path + len && !*rest ? c : find_below(c, rest);
        if (at) {
            found = at;
            found_len = len;
        }
    }
    return found;
}

// The directory that path names, in the form of the largest-files document:
// the root's name, then the names below it, each after a "/" (none after a
// root name that ends in "/"). Null when it names no directory.
static const qv_entry *find_dir(const qv_scan_result *r, const char *path)
{
    const qv_entry *root = r->root;
    const char *name = qv_tree_get_name(root);
    size_t len = strlen(name);
    if (len == 0)
        return *path ? find_in_roots(root, path) : root;
    const char *rest = past_root(path, name, len);
    return !rest ? nullptr : rest == path + len && !*rest ? root : find_below(root, rest);
}

static char *dir_to_json(const qv_scan_result *r, const qv_entry *dir, int32_t levels)
{
    if (dir == r->root)
        return scan_result_to_json(r, levels);
    json_builder b;
    if (jb_init(&b) != 0)
        return jb_copy_text(OUT_OF_MEMORY);
    entry_to_json(&b, r, dir, levels);
    return jb_finish(&b, OUT_OF_MEMORY);
}

const char *qv_doc_dir(scan_slot *slot, const char *path, int32_t levels)
{
    // The previous text goes first, whatever becomes of the new one.
    free(slot->dir_json);
    slot->dir_json = nullptr;
    qv_scan_result *r = slot->result;
    if (!r || !r->root || !path)
        return nullptr;
    qv_doc_order(slot);
    const qv_entry *dir = find_dir(r, path);
    if (!dir)
        return nullptr;
    slot->dir_json = dir_to_json(r, dir, levels > 0 ? levels : NO_LIMIT);
    return slot->dir_json;
}

// A new text of the n largest files; null only when not even "[]" fits.
static char *top_files_to_json(qv_scan_result *r, int32_t n)
{
    if (!r || !r->root)
        return jb_copy_text(EMPTY_LIST);
    int32_t count = 0;
    qv_entry **files = qv_top_files(r->root, n, &count);
    json_builder b;
    if (jb_init(&b) != 0) {
        free(files);
        return jb_copy_text(EMPTY_LIST);
    }
    char path[4096];
    jb_append_char(&b, '[');
    for (int32_t i = 0; i < count; i++) {
        if (i > 0)
            jb_append_char(&b, ',');
        FRAG(&b, "{\"path\":");
        jb_append_escaped(&b, qv_tree_get_path(files[i], path, (int32_t)sizeof(path)));
        FRAG(&b, ",\"size\":");
        jb_append_u64(&b, files[i]->size);
        if (r->extended && jb_reserve(&b, 80))
            jb_commit(&b, put_meta(b.buf + b.len, r, files[i]));
        jb_append_char(&b, '}');
    }
    jb_append_char(&b, ']');
    free(files);
    return jb_finish(&b, EMPTY_LIST);
}

const char *qv_doc_top(scan_slot *slot, int32_t n)
{
    // The previous text goes first, whatever becomes of the new one.
    free(slot->top_json);
    slot->top_json = nullptr;
    slot->top_json = top_files_to_json(slot->result, n);
    return slot->top_json;
}

static char *extensions_to_json(qv_scan_result *r)
{
    int32_t count = 0;
    qv_ext_info *exts = qv_extension_breakdown(r->root, &count);
    json_builder b;
    if (jb_init(&b) != 0) {
        qv_extension_breakdown_free(exts, count);
        return jb_copy_text(EMPTY_LIST);
    }
    jb_append_char(&b, '[');
    for (int32_t i = 0; i < count; i++) {
        if (i > 0)
            jb_append_char(&b, ',');
        FRAG(&b, "{\"ext\":");
        jb_append_escaped(&b, exts[i].ext);
        FRAG(&b, ",\"total_size\":");
        jb_append_u64(&b, exts[i].total_size);
        FRAG(&b, ",\"count\":");
        jb_append_u64(&b, exts[i].count);
        jb_append_char(&b, '}');
    }
    jb_append_char(&b, ']');
    qv_extension_breakdown_free(exts, count);
    return jb_finish(&b, EMPTY_LIST);
}

const char *qv_doc_extensions(scan_slot *slot)
{
    if (slot->ext_json)
        return slot->ext_json;
    qv_scan_result *r = slot->result;
    if (!r || !r->root)
        slot->ext_json = jb_copy_text(EMPTY_LIST);
    else
        slot->ext_json = extensions_to_json(r);
    return slot->ext_json;
}

// --- Directories the walk could not take in whole ----------------------------

namespace {
struct problem_row {
    char *path;
    int32_t kind;
    int32_t err;
};
}  // namespace

static int cmp_problem_rows(const void *a, const void *b)
{
    return strcmp(static_cast<const problem_row *>(a)->path, static_cast<const problem_row *>(b)->path);
}

static const char *problem_name(int32_t kind)
{
    switch (kind) {
    case QV_PROBLEM_LOOP:
        return "loop";
    case QV_PROBLEM_PSEUDO_FS:
        return "pseudo_fs";
    case QV_PROBLEM_STALLED:
        return "stalled";
    default:
        return "unreadable";
    }
}

static char *problems_to_json(const scan_slot *slot)
{
    const qv_scan_result *r = slot->result;
    qv_problem_list problems = qv_scanner_problem_list(slot);
    size_t listed = r && r->root ? problems.count : 0;
    auto *rows = static_cast<problem_row *>(calloc(listed ? listed : 1, sizeof(problem_row)));
    if (!rows)
        return jb_copy_text(OUT_OF_MEMORY);
    char path[4096];
    bool ok = true;
    size_t n = 0;
    for (size_t i = 0; i < listed && ok; i++) {
        const qv_problem &p = problems.items[i];
        if (p.kind > QV_PROBLEM_STALLED)
            continue;  // not entered as the host asked
        rows[n] = {jb_copy_text(qv_tree_get_path(p.dir, path, (int32_t)sizeof(path))), p.kind, p.err};
        ok = rows[n++].path != nullptr;
    }
    char *text = nullptr;
    json_builder b;
    if (ok && jb_init(&b) == 0) {
        qsort(rows, n, sizeof(problem_row), cmp_problem_rows);
        jb_append_char(&b, '[');
        for (size_t i = 0; i < n; i++) {
            if (i > 0)
                jb_append_char(&b, ',');
            FRAG(&b, "{\"path\":");
            jb_append_escaped(&b, rows[i].path);
            FRAG(&b, ",\"problem\":\"");
            jb_append(&b, problem_name(rows[i].kind));
            jb_append_char(&b, '"');
            if (rows[i].kind == QV_PROBLEM_UNREADABLE) {
                FRAG(&b, ",\"error\":");
                jb_append_u64(&b, (uint64_t)(uint32_t)rows[i].err);
            }
            jb_append_char(&b, '}');
        }
        jb_append_char(&b, ']');
        text = jb_finish(&b, OUT_OF_MEMORY);
    } else {
        text = jb_copy_text(OUT_OF_MEMORY);
    }
    for (size_t i = 0; i < n; i++)
        free(rows[i].path);
    free(rows);
    return text;
}

// Callers that build at the same time each make a text; the first stored
// is kept for all of them, and the others give theirs back.
const char *qv_doc_problems(scan_slot *slot)
{
    if (char *kept = slot->problems_json.load(std::memory_order_acquire))
        return kept;
    char *made = problems_to_json(slot);
    char *kept = nullptr;
    if (!slot->problems_json.compare_exchange_strong(kept, made, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
        free(made);
        return kept;
    }
    return made;
}
