// Bump allocator over a chain of blocks.
#include "arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

// Largest logical offset a stored string may end at: offsets are 32-bit and
// 0xFFFFFFFF marks a failed store.
static const uint64_t NAME_SPACE_LIMIT = 0xFFFFFFFFull;

static qv_arena_block *new_block(uint64_t capacity)
{
    if (capacity > SIZE_MAX - sizeof(qv_arena_block))
        return nullptr;
    void *mem = malloc(sizeof(qv_arena_block) + capacity);
    if (!mem)
        return nullptr;
    auto *b = new (mem) qv_arena_block;
    b->next = nullptr;
    b->capacity = capacity;
    b->used.store(0, std::memory_order_relaxed);
    return b;
}

static char *block_data(const qv_arena_block *b)
{
    return (char *)(b + 1);
}

static_assert(sizeof(qv_arena_block) % 8 == 0, "block data must stay 8-byte aligned");

qv_arena *qv_arena_create(uint64_t block_size)
{
    auto *a = static_cast<qv_arena *>(malloc(sizeof(qv_arena)));
    if (!a)
        return nullptr;
    qv_arena_block *b = new_block(block_size);
    if (!b) {
        free(a);
        return nullptr;
    }
    a->head = a->current = b;
    a->block_size = block_size;
    a->capacity = block_size;
    a->used = 0;
    return a;
}

void *qv_arena_alloc(qv_arena *a, uint64_t size)
{
    if (size > UINT64_MAX - 7)
        return nullptr;
    uint64_t r = (size + 7) & ~7ull;
    qv_arena_block *cur = a->current;
    uint64_t used = cur->used.load(std::memory_order_relaxed);
    if (r <= cur->capacity - used) {
        cur->used.store(used + r, std::memory_order_release);
        a->used += r;
        return block_data(cur) + used;
    }
    // After a reset, later blocks of the chain are reused before new ones.
    qv_arena_block *next = cur->next;
    while (next && next->capacity < r) {
        next = next->next;
    }
    if (next) {
        a->current = next;
        next->used.store(r, std::memory_order_release);
        a->used += r;
        return block_data(next);
    }
    qv_arena_block *b = new_block(r > a->block_size ? r : a->block_size);
    if (!b)
        return nullptr;
    b->used.store(r, std::memory_order_relaxed);
    // Append at the end of the chain (after any blocks skipped above).
    qv_arena_block *tail = cur;
    while (tail->next)
        tail = tail->next;
    tail->next = b;
    a->current = b;
    a->capacity += b->capacity;
    a->used += r;
    return block_data(b);
}

int32_t qv_arena_store_string(qv_arena *a, const char *text, uint32_t len)
{
    uint32_t n = len & 0xFFFFu;
    uint64_t need = (n + 1 + 7) & ~7ull;
    // The string lands at the current end of the offset space unless the
    // current block is full, in which case it starts the next block.
    uint64_t offset = a->used;
    if (offset + need > NAME_SPACE_LIMIT)
        return -1;
    char *p = static_cast<char *>(qv_arena_alloc(a, n + 1));
    if (!p)
        return -1;
    memcpy(p, text, n);
    p[n] = '\0';
    return (int32_t)(uint32_t)offset;
}

const char *qv_arena_get_string(const qv_arena *a, uint32_t offset)
{
    uint64_t base = 0;
    for (const qv_arena_block *b = a->head; b; b = b->next) {
        uint64_t used = b->used.load(std::memory_order_acquire);
        if (offset < base + used)
            return block_data(b) + (offset - base);
        base += used;
    }
    return nullptr;
}

void qv_arena_destroy(qv_arena *a)
{
    if (!a)
        return;
    qv_arena_block *b = a->head;
    while (b) {
        qv_arena_block *next = b->next;
        b->~qv_arena_block();
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
        b->used.store(0, std::memory_order_relaxed);
    a->current = a->head;
    a->used = 0;
}
