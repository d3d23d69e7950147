// Entry tree: creation, names, paths and bottom-up totals.
#include "tree.h"

#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <new>

qv_entry *qv_tree_new_entry(qv_arena *arena, const char *name, uint32_t len, bool meta)
{
    static_assert(sizeof(qv_entry_meta) == 8 && alignof(qv_entry) <= 8, "meta keeps the entry aligned");
    uint64_t n = len;
    size_t at = offsetof(qv_entry, name_start);
    uint64_t bytes = at + n + 1 < sizeof(qv_entry) ? sizeof(qv_entry) : at + n + 1;
    size_t before = meta ? sizeof(qv_entry_meta) : 0;
    auto *block = static_cast<char *>(qv_arena_alloc(arena, bytes + before));
    if (!block)
        return nullptr;
    memset(block, 0, before);
    auto *e = reinterpret_cast<qv_entry *>(block + before);
    memset(e, 0, sizeof(*e));
    e->name_len = (uint16_t)(n < QV_NAME_LONG ? n : QV_NAME_LONG);
    char *text = reinterpret_cast<char *>(e) + at;
    if (n > 0)
        memcpy(text, name, n);
    text[n] = '\0';
    return e;
}

void qv_tree_add_child(qv_entry *parent, qv_entry *child)
{
    child->parent = parent;
    child->next_sibling = parent->first_child;
    parent->first_child = child;
}

// Totals of one entry from its children, which are already final.
static void total_entry(qv_entry *e, bool times)
{
    if (!e->is_dir) {
        e->file_count = 1;
        return;
    }
    uint64_t size = 0, files = 0, dirs = 0;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling) {
        if (times && qv_tree_meta(c)->mtime > qv_tree_meta(e)->mtime)
            qv_tree_meta(e)->mtime = qv_tree_meta(c)->mtime;
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

void qv_tree_accumulate_sizes(qv_entry *top, bool times)
{
    if (!top)
        return;
    // Post-order through the parent links: no stack, any depth.
    qv_entry *e = top;
    for (;;) {
        while (e->first_child)
            e = e->first_child;
        for (;;) {
            total_entry(e, times);
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

int32_t qv_tree_child_count(const qv_entry *e) noexcept
{
    int32_t n = 0;
    for (const qv_entry *c = e->first_child; c; c = c->next_sibling)
        n++;
    return n;
}

char *qv_tree_get_path(const qv_entry *e, char *buf, int32_t cap)
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
        const char *name = qv_tree_get_name(chain[i]);
        size_t len = qv_tree_name_len(chain[i]);
        if (i > 0 && pos > 0 && buf[pos - 1] != '/') {
            buf[pos++] = '/';
            if (pos >= cap - 1)
                break;
        }
        if (len < (size_t)(cap - pos)) {
            memcpy(buf + pos, name, len);
            pos += (int32_t)len;
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
    new (r) qv_scan_result{};
    if (qv_mutex_init(&r->owners.lock) != 0 || !qv_scan_result_new_arena(r)) {
        qv_mutex_destroy(&r->owners.lock);
        r->~qv_scan_result();
        free(r);
        return nullptr;
    }
    return r;
}

qv_arena *qv_scan_result_new_arena(qv_scan_result *r)
{
    qv_arena *a = qv_arena_create(QV_ENTRY_FIRST_BLOCK, QV_ENTRY_MAX_BLOCK);
    if (!a)
        return nullptr;
    a->next = r->arenas.load(std::memory_order_relaxed);
    while (!r->arenas.compare_exchange_weak(a->next, a, std::memory_order_release, std::memory_order_relaxed)) {
    }
    return a;
}

qv_arena *qv_scan_result_first_arena(qv_scan_result *r)
{
    qv_arena *a = r->arenas.load(std::memory_order_acquire);
    while (a && a->next)
        a = a->next;
    return a;
}

void qv_scan_result_free(qv_scan_result *r)
{
    if (!r)
        return;
    qv_arena *a = r->arenas.load(std::memory_order_acquire);
    while (a) {
        qv_arena *next = a->next;
        qv_arena_destroy(a);
        a = next;
    }
    qv_mutex_destroy(&r->owners.lock);
    r->~qv_scan_result();
    free(r);
}

static uint32_t owner_hash(uint32_t uid, uint32_t gid, uint32_t mode)
{
    uint64_t h = ((uint64_t)uid * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)gid * 0xC2B2AE3D27D4EB4Full) ^ mode;
    return (uint32_t)(h ^ (h >> 29));
}

// Twice as many slots as owners at least, so that probing stays short.
static bool owner_grow(qv_owner_table *t)
{
    size_t want = t->slots.len < 64 ? 64 : t->slots.len * 2;
    qv_vec<uint32_t> fresh;
    if (!fresh.resize(want))
        return false;
    memset(fresh.items, 0, want * sizeof(uint32_t));
    for (uint32_t i = 1; i < t->owners.len; i++) {
        const qv_owner &o = t->owners.items[i];
        size_t at = owner_hash(o.uid, o.gid, o.mode) & (want - 1);
        while (fresh.items[at] != 0)
            at = (at + 1) & (want - 1);
        fresh.items[at] = i;
    }
    t->slots = std::move(fresh);
    return true;
}

static uint32_t owner_find_or_add(qv_owner_table *t, uint32_t uid, uint32_t gid, uint32_t mode)
{
    if (t->owners.len == 0 && !t->owners.push(qv_owner{}))
        return 0;
    if ((t->owners.len + 1) * 2 > t->slots.len && !owner_grow(t))
        return 0;
    size_t mask = t->slots.len - 1;
    size_t at = owner_hash(uid, gid, mode) & mask;
    for (; t->slots.items[at] != 0; at = (at + 1) & mask) {
        const qv_owner &o = t->owners.items[t->slots.items[at]];
        if (o.uid == uid && o.gid == gid && o.mode == mode)
            return t->slots.items[at];
    }
    if (t->owners.len >= UINT32_MAX || !t->owners.push(qv_owner{uid, gid, mode}))
        return 0;
    t->slots.items[at] = (uint32_t)(t->owners.len - 1);
    return t->slots.items[at];
}

uint32_t qv_owner_intern(qv_owner_table *t, uint32_t uid, uint32_t gid, uint32_t mode)
{
    qv_mutex_lock(&t->lock);
    uint32_t i = owner_find_or_add(t, uid, gid, mode);
    qv_mutex_unlock(&t->lock);
    return i;
}
