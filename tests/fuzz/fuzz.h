// Shared by the libFuzzer targets below targets/: a check that ends the run
// with the input kept (libFuzzer saves it on abort), and an input copied
// into a heap block of exactly its size so that one byte read past the end
// is caught by AddressSanitizer.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_CHECK(cond, what)                                                        \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

struct ExactCopy {
    char *p;
    ExactCopy(const uint8_t *data, size_t size, bool nul = false)
    {
        p = (char *)malloc(size + (nul ? 1 : 0) + (size == 0 ? 1 : 0));
        if (size)
            memcpy(p, data, size);
        if (nul)
            p[size] = 0;
    }
    ~ExactCopy() { free(p); }
    ExactCopy(const ExactCopy &) = delete;
    ExactCopy &operator=(const ExactCopy &) = delete;
};

// A cheap deterministic stream of numbers drawn from the input, for choices
// that must replay exactly from a saved input.
struct Draw {
    uint64_t s;
    explicit Draw(uint64_t seed) : s(seed | 1) {}
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 16);
    }
};

// True when `w` holds a terminator within its first `cap` units.
template <typename C>
bool terminated_within(const C *w, size_t cap)
{
    for (size_t i = 0; i < cap; i++)
        if (w[i] == 0)
            return true;
    return false;
}
