// Bump allocator over a chain of growing blocks.
#include "arena.h"

#include <cstdlib>

static qv_arena_block *new_block(uint64_t capacity)
{
    if (capacity > SIZE_MAX - sizeof(qv_arena_block))
        return nullptr;
    auto *b = static_cast<qv_arena_block *>(malloc(sizeof(qv_arena_block) + capacity));
    if (!b)
        return nullptr;
    b->next = nullptr;
    b->capacity = capacity;
    b->used = 0;
    return b;
}

static char *block_data(const qv_arena_block *b)
{
    return (char *)(b + 1);
}

static_assert(sizeof(qv_arena_block) % 8 == 0, "block data must stay 8-byte aligned");

qv_arena *qv_arena_create(uint64_t first_block, uint64_t max_block)
{
    auto *a = static_cast<qv_arena *>(malloc(sizeof(qv_arena)));
    if (!a)
        return nullptr;
    qv_arena_block *b = new_block(first_block);
    if (!b) {
        free(a);
        return nullptr;
    }
    a->head = a->current = b;
    a->max_block = max_block < first_block ? first_block : max_block;
    a->next_block = first_block * 2 < a->max_block ? first_block * 2 : a->max_block;
    a->capacity = first_block;
    a->used = 0;
    a->next = nullptr;
    return a;
}

void *qv_arena_alloc(qv_arena *a, uint64_t size)
{
    if (size > UINT64_MAX - 7)
        return nullptr;
    uint64_t r = (size + 7) & ~7ull;
    qv_arena_block *cur = a->current;
    if (r <= cur->capacity - cur->used) {
        char *p = block_data(cur) + cur->used;
        cur->used += r;
        a->used += r;
        return p;
    }
    // After a reset, later blocks of the chain are served again first.
    qv_arena_block *next = cur->next;
    while (next && next->capacity < r)
        next = next->next;
    if (next) {
        a->current = next;
        next->used = r;
        a->used += r;
        return block_data(next);
    }
    qv_arena_block *b = new_block(r > a->next_block ? r : a->next_block);
    if (!b)
        return nullptr;
    if (a->next_block < a->max_block)
        a->next_block = a->next_block * 2 < a->max_block ? a->next_block * 2 : a->max_block;
    b->used = r;
    qv_arena_block *tail = cur;
    while (tail->next)
        tail = tail->next;
    tail->next = b;
    a->current = b;
    a->capacity += b->capacity;
    a->used += r;
    return block_data(b);
}

void qv_arena_destroy(qv_arena *a)
{
    if (!a)
        return;
    qv_arena_block *b = a->head;
    while (b) {
        qv_arena_block *next = b->next;
        free(b);
        b = next;
    }
    free(a);
}

void qv_arena_reset(qv_arena *a)
{
    if (!a)
        return;
    for (qv_arena_block *b = a->head; b; b = b->next)
        b->used = 0;
    a->current = a->head;
    a->used = 0;
}
