// Entry tree: creation, names, paths and bottom-up totals.
#include "tree.h"

#include <cstdlib>
#include <cstring>

qv_entry *qv_tree_new_entry(qv_arena *entry_arena)
{
    auto *e = static_cast<qv_entry *>(qv_arena_alloc(entry_arena, sizeof(qv_entry)));
    if (e)
        memset(e, 0, sizeof(*e));
    return e;
}

void qv_tree_add_child(qv_entry *parent, qv_entry *child)
{
    child->parent = parent;
    child->next_sibling = parent->first_child;
    parent->first_child = child;
}

void qv_tree_set_name(qv_entry *e, qv_arena *name_arena, const char *text, int32_t len)
{
    uint32_t n = (uint32_t)len & 0xFFFFu;
    e->name_len = (uint16_t)n;
    e->name_offset = (uint32_t)qv_arena_store_string(name_arena, text, n);
}

const char *qv_tree_get_name(const qv_entry *e, const qv_arena *name_arena)
{
    if (e->name_len == 0 || e->name_offset == QV_NAME_NONE)
        return "";
    const char *s = qv_arena_get_string(name_arena, e->name_offset);
    return s ? s : "";
}

// Totals of one entry from its children, which are already final.
static void total_entry(qv_entry *e)
{
    if (!e->is_dir) {
        e->file_count = 1;
        e->dir_count = 0;
        return;
    }
    uint64_t size = 0, files = 0, dirs = 0;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling) {
        size = qv_sat_add(size, c->size);
        if (c->is_dir) {
            files = qv_sat_add(files, c->file_count);
            dirs = qv_sat_add(dirs, qv_sat_add(c->dir_count, 1));
        } else {
            files = qv_sat_add(files, 1);
        }
    }
    e->size = size;
    e->file_count = files;
    e->dir_count = dirs;
}

void qv_tree_accumulate_sizes(qv_entry *top)
{
    if (!top)
        return;
    // Post-order through the parent links: no stack, any depth.
    qv_entry *e = top;
    for (;;) {
        while (e->first_child)
            e = e->first_child;
        for (;;) {
            total_entry(e);
            if (e == top)
                return;
            if (e->next_sibling) {
                e = e->next_sibling;
                break;
            }
            e = e->parent;
        }
    }
}

int32_t qv_tree_child_count(const qv_entry *e)
{
    int32_t n = 0;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
        n++;
    return n;
}

char *qv_tree_get_path(const qv_entry *e, const qv_arena *name_arena, char *buf, int32_t cap)
{
    if (cap <= 0)
        return buf;
    buf[0] = '\0';
    if (!e)
        return buf;
    size_t n = 0;
    for (const qv_entry *p = e; p; p = p->parent)
        n++;
    auto **chain = static_cast<const qv_entry **>(malloc(n * sizeof(qv_entry *)));
    if (!chain)
        return buf;
    size_t i = n;
    for (const qv_entry *p = e; p; p = p->parent)
        chain[--i] = p;
    int32_t pos = 0;
    for (i = 0; i < n && pos < cap - 1; i++) {
        const char *name = qv_tree_get_name(chain[i], name_arena);
        int32_t len = (int32_t)strlen(name);
        if (i > 0 && pos > 0 && buf[pos - 1] != '/') {
            buf[pos++] = '/';
            if (pos >= cap - 1)
                break;
        }
        if (pos + len < cap) {
            memcpy(buf + pos, name, (size_t)len);
            pos += len;
        } else {
            memcpy(buf + pos, name, (size_t)(cap - 1 - pos));
            pos = cap - 1;
        }
    }
    buf[pos] = '\0';
    free(chain);
    return buf;
}

qv_scan_result *qv_scan_result_create(void)
{
    auto *r = static_cast<qv_scan_result *>(malloc(sizeof(qv_scan_result)));
    if (!r)
        return nullptr;
    r->entry_arena = qv_arena_create(QV_ENTRY_BLOCK_SIZE);
    r->name_arena = qv_arena_create(QV_NAME_BLOCK_SIZE);
    if (!r->entry_arena || !r->name_arena) {
        qv_arena_destroy(r->entry_arena);
        qv_arena_destroy(r->name_arena);
        free(r);
        return nullptr;
    }
    r->root = nullptr;
    r->total_size = r->total_files = r->total_dirs = 0;
    r->scan_time_ms = 0.0;
    return r;
}

void qv_scan_result_free(qv_scan_result *r)
{
    if (!r)
        return;
    qv_arena_destroy(r->entry_arena);
    qv_arena_destroy(r->name_arena);
    free(r);
}
