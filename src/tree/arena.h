// Bump allocator over a chain of blocks, released only with the arena.
// Blocks start small and double up to a ceiling, so a small scan takes (and
// on Windows commits) little memory while a large one takes few blocks.
#pragma once

#include <cstdint>

struct qv_arena_block {
    qv_arena_block *next;
    uint64_t capacity;
    uint64_t used;
};

struct qv_arena {
    qv_arena_block *head;
    qv_arena_block *current;
    uint64_t next_block;  // data capacity of the next new block
    uint64_t max_block;   // ceiling of next_block
    uint64_t capacity;    // bookkeeping: data capacity of all blocks
    uint64_t used;        // bookkeeping: rounded sizes served
    qv_arena *next;       // arenas of one owner (the scan result) are chained
};

// New arena whose first block holds first_block bytes, each later one twice
// the one before, up to max_block (a larger request gets a block of its own
// size); null when out of memory.
qv_arena *qv_arena_create(uint64_t first_block, uint64_t max_block);
// size rounded up to 8; null when no block can be obtained or rounding overflows.
void *qv_arena_alloc(qv_arena *a, uint64_t size);
void qv_arena_destroy(qv_arena *a);
// Empties every block; all earlier addresses become void. The blocks are
// kept and served again.
void qv_arena_reset(qv_arena *a);
