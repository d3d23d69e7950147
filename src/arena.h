// Bump allocator over a chain of large blocks, released only with the arena.
// Strings stored in it are found again by a 32-bit offset.
#pragma once

#include <atomic>
#include <cstdint>

struct qv_arena_block {
    qv_arena_block *next;
    uint64_t capacity;
    // Grows while other threads may read it (unlocked name lookups).
    std::atomic<uint64_t> used;
};

struct qv_arena {
    qv_arena_block *head;
    qv_arena_block *current;
    uint64_t block_size;
    uint64_t capacity;  // bookkeeping: data capacity of all blocks
    uint64_t used;      // bookkeeping: rounded sizes served, also the next string offset
};

// New arena whose blocks hold block_size bytes; null when out of memory.
qv_arena *qv_arena_create(uint64_t block_size);
// size rounded up to 8; null when no block can be obtained or rounding overflows.
void *qv_arena_alloc(qv_arena *a, uint64_t size);
// Stores the low 16 bits of len bytes plus a NUL; the offset, or -1 on failure
// (also when the offset space of 4 GiB would be exceeded).
int32_t qv_arena_store_string(qv_arena *a, const char *text, uint32_t len);
// Address of the text stored at offset, or null when no block holds it.
// Safe while another thread stores (under its own lock) into the same arena.
const char *qv_arena_get_string(const qv_arena *a, uint32_t offset);
void qv_arena_destroy(qv_arena *a);
// Empties every block; all earlier addresses and offsets become void.
void qv_arena_reset(qv_arena *a);
