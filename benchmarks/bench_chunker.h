// The chunker's speed on bytes in memory, measured the same way by the
// 32-bit Windows benchmark (bench_formats, under Wine) and by its native
// twin (bench_chunker_native.cpp, built with the host's compiler as the
// publisher's tool is): cutting only, the digests left out. Timed by the
// thread's processor time, not the wall clock: on a machine shared with
// other work the wall clock measures the neighbours as much as the code,
// and the two builds run at different moments.
#pragma once

#include "chunks/chunks.h"

#include <stdio.h>

// Cuts `size` bytes into the format's chunks; the number of chunks.
inline uint64_t cut_all(const uint8_t *data, size_t size)
{
    Chunker c;
    chunker_begin(&c);
    uint64_t chunks = 0;
    for (size_t at = 0; at < size;) {
        uint32_t cut = 0;
        at += chunker_feed(&c, data + at, size - at, &cut);
        chunks += cut != 0;
    }
    return chunks + (chunker_end(&c) != 0);
}

// Prints "chunker BUILD NAME SIZE MiB ... MB/s" for the best of three runs,
// each of eight cuts of the bytes (half a gigabyte for a corpus of 64 MiB:
// far above the processor clock's 10 ms steps under Wine), timed with
// `cpu_seconds`; 0 when the cuts disagree.
template <typename Clock>
int print_chunker_rate(const char *build, const char *name, const uint8_t *data, size_t size,
                       Clock cpu_seconds)
{
    const int CUTS = 8;
    double best = 0;
    uint64_t chunks = 0;
    for (int i = 0; i < 3; i++) {
        double t0 = cpu_seconds();
        for (int k = 0; k < CUTS; k++) {
            uint64_t n = cut_all(data, size);
            if (chunks && n != chunks)
                return 0;
            chunks = n;
        }
        double rate = (double)CUTS * size / (cpu_seconds() - t0) / 1e6;
        best = rate > best ? rate : best;
    }
    printf("chunker %-7s %-8s %7.1f MiB  %7llu chunks (%.0f bytes on average)  %7.1f MB/s\n",
           build, name, size / 1048576.0, (unsigned long long)chunks, (double)size / chunks, best);
    fflush(stdout);
    return 1;
}
