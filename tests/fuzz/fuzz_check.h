// What every fuzz target shares: the entry point's declaration and a check
// that stops the run (libFuzzer saves the input as a crash) on a violation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
            abort();                                                                      \
        }                                                                                 \
    } while (0)
