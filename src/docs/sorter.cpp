// Tree ordering, largest files, extension breakdown.
#include "sorter.h"

#include <cstdlib>
#include <cstring>

#include "vec.h"

// --- Tree ordering ---------------------------------------------------------

static inline int cmp_u64_desc(uint64_t l, uint64_t r) { return l > r ? -1 : l < r ? 1 : 0; }

int cmp_entries(const qv_entry *l, const qv_entry *r, int32_t mode)
{
    switch (mode) {
    case SORT_SIZE_DESC:
        return cmp_u64_desc(l->size, r->size);
    case SORT_NAME:
        return strcmp(qv_tree_get_name(l), qv_tree_get_name(r));
    case SORT_FILES_DESC:
        return cmp_u64_desc(l->file_count, r->file_count);
    case SORT_SIZE_ASC:
        return -cmp_u64_desc(l->size, r->size);
    default:
        return 0;
    }
}

// Pointers reused from list to list: a list of n children in the first n,
// the merge sort's second half in the next n. While one lives, only calls
// known not to throw are made: its destructor would otherwise need unwinding
// code, which on Windows brings in the exception runtime and a TLS slot.
typedef qv_vec<qv_entry *> sort_scratch;

// Stable bottom-up merge sort of a[0..n) using tmp (n entries): equal
// entries keep their listing order on every system. The mode is passed
// along rather than kept in a global or thread-local for a comparator: on
// Windows thread-local storage would cost the host a TLS slot per unload.
// Returns the array that holds the result (a or tmp).
static qv_entry **merge_sort(qv_entry **a, qv_entry **tmp, int32_t n, int32_t mode)
{
    for (int64_t width = 1; width < n; width *= 2) {
        for (int64_t lo = 0; lo < n; lo += 2 * width) {
            int64_t mid = lo + width < n ? lo + width : n;
            int64_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            int64_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                tmp[k++] = cmp_entries(a[j], a[i], mode) < 0 ? a[j++] : a[i++];
            while (i < mid)
                tmp[k++] = a[i++];
            while (j < hi)
                tmp[k++] = a[j++];
        }
        qv_entry **t = a;
        a = tmp;
        tmp = t;
    }
    return a;
}

// Orders e's list using s for the pointers; an unchanged list when s cannot
// hold them.
static void sort_list(qv_entry *e, int32_t mode, sort_scratch *s)
{
    if (!e || !e->first_child || !e->first_child->next_sibling)
        return;
    int32_t n = qv_tree_child_count(e);
    if (!s->resize(2 * (size_t)n))
        return;
    qv_entry **items = s->items;
    int32_t i = 0;
    for (qv_entry *c = e->first_child; c; c = c->next_sibling)
        items[i++] = c;
    // A list already in order (the usual case when a tree is ordered again)
    // costs one comparison per child instead of a sort and a relink.
    int32_t k = 1;
    while (k < n && cmp_entries(items[k - 1], items[k], mode) <= 0)
        k++;
    if (k == n)
        return;
    items = merge_sort(items, s->items + n, n, mode);
    e->first_child = items[0];
    for (i = 0; i + 1 < n; i++)
        items[i]->next_sibling = items[i + 1];
    items[n - 1]->next_sibling = nullptr;
}

void qv_sort_children(qv_entry *e, int32_t mode)
{
    sort_scratch s;
    sort_list(e, mode, &s);
}

void qv_sort_tree(qv_entry *e, int32_t mode)
{
    if (!e)
        return;
    sort_scratch s;
    sort_list(e, mode, &s);
    // Pre-order: every directory's list is ordered before its children are
    // visited, so they are taken in the new order.
    for (qv_entry *c = qv_tree_next_preorder(e, e, true); c; c = qv_tree_next_preorder(e, c, c->is_dir != 0)) {
        if (c->is_dir)
            sort_list(c, mode, &s);
    }
}

// --- Largest files ---------------------------------------------------------

// The storage grows with the files found, so a huge N costs no more than
// the tree's files.
struct top_heap {
    qv_vec<qv_entry *> items;  // items[0] holds the smallest size kept
    size_t capacity;           // N: the heap is full at this count
};

// Restores heap order from slot 0 within the first n slots.
static void heap_sift_down(qv_entry **items, int32_t n)
{
    int32_t i = 0;
    for (;;) {
        int32_t l = 2 * i + 1, r = 2 * i + 2, c;
        if (l < n && items[l]->size < items[i]->size)
            c = (r < n && items[r]->size < items[l]->size) ? r : l;
        else if (r < n && items[r]->size < items[i]->size)
            c = r;
        else
            return;
        qv_entry *t = items[i];
        items[i] = items[c];
        items[c] = t;
        i = c;
    }
}

static void heap_offer(top_heap *h, qv_entry *e)
{
    qv_vec<qv_entry *> &items = h->items;
    if (items.size() < h->capacity) {
        if (items.push(e)) {
            size_t i = items.size() - 1;
            while (i > 0) {
                size_t p = (i - 1) / 2;
                if (!(e->size < items[p]->size))
                    break;
                items[i] = items[p];
                i = p;
            }
            items[i] = e;
            return;
        }
        // Out of memory for more slots: keep selecting among those there
        // are, so the answer is still the largest files, fewer of them.
        h->capacity = items.size();
    }
    if (items[0]->size < e->size) {
        items[0] = e;
        heap_sift_down(items.items, (int32_t)items.size());
    }
}

// Offers every file of the subtree to the heap, depth-first in child order;
// directories are descended into, never offered.
static void collect_files(qv_entry *top, top_heap *h)
{
    for (qv_entry *e = top; e; e = qv_tree_next_preorder(top, e, e->is_dir != 0)) {
        qv_prefetch_entry(e->next_sibling);
        if (e->is_dir)
            qv_prefetch_entry(e->first_child);
        else
            heap_offer(h, e);
    }
}

#define TOP_INITIAL_ROOM 4096

qv_entry **qv_top_files(qv_entry *root, int32_t n, int32_t *out_count)
{
    *out_count = 0;
    if (!root || n <= 0)
        return nullptr;
    top_heap h;
    h.capacity = (size_t)n;
    if (!h.items.reserve(n < TOP_INITIAL_ROOM ? (size_t)n : TOP_INITIAL_ROOM))
        return nullptr;
    collect_files(root, &h);
    int32_t k = (int32_t)h.items.size();
    if (k == 0)
        return nullptr;
    auto **out = static_cast<qv_entry **>(malloc((size_t)k * sizeof(qv_entry *)));
    if (!out)
        return nullptr;
    qv_entry **items = h.items.items;
    for (int32_t j = k - 1; j >= 0; j--) {
        out[j] = items[0];
        items[0] = items[j];
        if (j > 0)
            heap_sift_down(items, j);
    }
    *out_count = k;
    return out;
}

// --- Extension breakdown ---------------------------------------------------

struct ext_node {
    ext_node *next;
    char *ext;
    uint32_t len;
    uint64_t total_size;
    uint64_t count;
};

static inline uint32_t djb2(const unsigned char *s, size_t n)
{
    uint32_t h = 5381;
    for (size_t i = 0; i < n; i++)
        h = h * 33 + s[i];
    return h;
}

static void add_extension(ext_node **table, const char *ext, size_t len, uint64_t size)
{
    ext_node **chain = &table[djb2(reinterpret_cast<const unsigned char *>(ext), len) & (EXT_BUCKETS - 1)];
    for (ext_node *x = *chain; x; x = x->next) {
        if (x->len == len && memcmp(x->ext, ext, len) == 0) {
            x->total_size = qv_sat_add(x->total_size, size);
            x->count += 1;
            return;
        }
    }
    auto *x = static_cast<ext_node *>(malloc(sizeof(ext_node)));
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!x || !copy) {  // the file is left out of the totals
        free(x);
        free(copy);
        return;
    }
    memcpy(copy, ext, len);
    copy[len] = '\0';
    x->ext = copy;
    x->len = (uint32_t)len;
    x->total_size = size;
    x->count = 1;
    x->next = *chain;
    *chain = x;
}

// The extension of a file name: from its last dot, which must not be the
// first byte. Null when the name has none.
static const char *extension_of(const char *name, size_t len)
{
    for (size_t i = len; i-- > 1;)
        if (name[i] == '.')
            return name + i;
    return nullptr;
}

// Adds every named file of the subtree under the text from its last dot.
static void collect_extensions(qv_entry *top, ext_node **table)
{
    for (qv_entry *e = top; e; e = qv_tree_next_preorder(top, e, true)) {
        // Request the sibling after next and the next one's name while this
        // one is counted: the pass waits on memory, not on arithmetic.
        if (const qv_entry *next = e->next_sibling) {
            qv_prefetch_entry(next->next_sibling);
            if (!next->is_dir && next->name_len)
                QV_PREFETCH(qv_tree_get_name(next));
        }
        qv_prefetch_entry(e->first_child);
        if (e->is_dir || e->name_len == 0)
            continue;
        const char *name = qv_tree_get_name(e);
        size_t len = strlen(name);
        const char *dot = extension_of(name, len);
        if (dot)
            add_extension(table, dot, len - (size_t)(dot - name), e->size);
    }
}

static void free_table(ext_node **table)
{
    for (int i = 0; i < EXT_BUCKETS; i++) {
        for (ext_node *x = table[i], *next; x; x = next) {
            next = x->next;
            free(x->ext);
            free(x);
        }
    }
    free(table);
}

int cmp_ext_info(const void *a, const void *b)
{
    const auto *l = static_cast<const qv_ext_info *>(a);
    const auto *r = static_cast<const qv_ext_info *>(b);
    return cmp_u64_desc(l->total_size, r->total_size);
}

qv_ext_info *qv_extension_breakdown(qv_entry *root, int32_t *out_count)
{
    *out_count = 0;
    if (!root)
        return nullptr;
    auto **table = static_cast<ext_node **>(calloc(EXT_BUCKETS, sizeof(ext_node *)));
    if (!table)
        return nullptr;
    collect_extensions(root, table);
    int64_t n = 0;
    for (int i = 0; i < EXT_BUCKETS; i++)
        for (ext_node *x = table[i]; x; x = x->next)
            n++;
    if (n == 0 || n > INT32_MAX) {
        free_table(table);
        return nullptr;
    }
    auto *arr = static_cast<qv_ext_info *>(malloc((size_t)n * sizeof(qv_ext_info)));
    if (!arr) {
        free_table(table);
        return nullptr;
    }
    int32_t k = 0;
    for (int i = 0; i < EXT_BUCKETS; i++) {
        for (ext_node *x = table[i], *next; x; x = next) {
            next = x->next;
            arr[k++] = qv_ext_info{x->ext, x->total_size, x->count};
            free(x);
        }
        table[i] = nullptr;
    }
    free(table);
    qsort(arr, (size_t)k, sizeof(qv_ext_info), cmp_ext_info);
    *out_count = k;
    return arr;
}

void qv_extension_breakdown_free(qv_ext_info *arr, int32_t count)
{
    if (!arr)
        return;
    for (int32_t i = 0; i < count; i++)
        free(arr[i].ext);
    free(arr);
}
