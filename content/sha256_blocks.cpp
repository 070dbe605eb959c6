// SHA-256 in this process with the processor's SHA extensions (SHA-NI with
// SSSE3 and SSE4.1), or in plain 32-bit arithmetic for the native tools. Byte-level code only: no platform headers, so it also
// compiles natively for sanitizers.
//
// Only the block function is compiled for those instructions (a target
// attribute on it alone): the launcher must still start on processors
// without them, where nothing here runs and the platform's provider hashes.
#include "content/sha256_internal.h"

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

namespace {

alignas(16) const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const uint32_t INITIAL_STATE[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Runs `blocks` 64-byte blocks at `p` through the compression function.
// The instructions keep the state as the word pairs ABEF and CDGH; the
// message schedule is four registers of four words, each next one made from
// the four before it while the rounds of the current one run. A 32-bit
// Windows thread's stack is only 4-byte aligned, and the registers this
// keeps on the stack need 16: the function aligns its own frame.
__attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer)) void compress_blocks(
    uint32_t state[8], const uint8_t *p, size_t blocks)
{
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i dcba = _mm_loadu_si128((const __m128i *)state);
    __m128i hgfe = _mm_loadu_si128((const __m128i *)(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; blocks--, p += 64) {
        const __m128i abef_before = abef, cdgh_before = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; i++)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(p + 16 * i)), byte_swap);
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            __m128i msg = _mm_add_epi32(w[i & 3],
                                        _mm_load_si128((const __m128i *)(ROUND_CONSTANTS + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(msg, 0x0E));
            if (i < 12) {
                // Words 4i+16 .. 4i+19 from words 4i .. 4i+15.
                __m128i t = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
                t = _mm_add_epi32(t, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
                w[i & 3] = _mm_sha256msg2_epu32(t, w[(i + 3) & 3]);
            }
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128((__m128i *)state, _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128((__m128i *)(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

uint32_t ror(uint32_t x, int n)
{
    return x >> n | x << (32 - n);
}

// One block through the rounds of FIPS 180-4 in 32-bit arithmetic.
void plain_block(uint32_t h[8], const uint8_t *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 |
               p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    memcpy(v, h, sizeof v);
    for (int i = 0; i < 64; i++) {
        uint32_t e = v[4], a = v[0];
        uint32_t t1 = v[7] + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) + ((e & v[5]) ^ (~e & v[6])) +
                      ROUND_CONSTANTS[i] + w[i];
        uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) + ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
        memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; i++)
        h[i] += v[i];
}

void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// The blocks through the state's engine.
void compress(Sha256Blocks *s, const uint8_t *p, size_t blocks)
{
    if (!s->plain) {
        compress_blocks(s->h, p, blocks);
        return;
    }
    for (size_t i = 0; i < blocks; i++)
        plain_block(s->h, p + 64 * i);
}

}  // namespace

int cpu_has_sha_extensions(void)
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    const unsigned ssse3 = 1u << 9, sse41 = 1u << 19;
    if ((c & (ssse3 | sse41)) != (ssse3 | sse41))
        return 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return (b >> 29) & 1;
}

void sha256_blocks_begin(Sha256Blocks *s)
{
    memcpy(s->h, INITIAL_STATE, sizeof s->h);
    s->total = 0;
    s->plain = false;
}

void sha256_blocks_begin_plain(Sha256Blocks *s)
{
    sha256_blocks_begin(s);
    s->plain = true;
}

void sha256_blocks_add(Sha256Blocks *s, const void *bytes, size_t len)
{
    if (len == 0)
        return;
    const uint8_t *p = (const uint8_t *)bytes;
    size_t held = (size_t)(s->total & 63);
    s->total += len;
    if (held) {
        size_t take = 64 - held < len ? 64 - held : len;
        memcpy(s->partial + held, p, take);
        p += take;
        len -= take;
        if (held + take < 64)
            return;
        compress(s, s->partial, 1);
    }
    if (len >= 64)
        compress(s, p, len / 64);
    memcpy(s->partial, p + (len & ~(size_t)63), len & 63);
}

void sha256_blocks_finish(Sha256Blocks *s, uint8_t out[SHA256_BYTES])
{
    // The bit length is what was fed, before the padding is added.
    uint64_t bits = s->total * 8;
    static const uint8_t padding[64] = {0x80};
    size_t held = (size_t)(s->total & 63);
    sha256_blocks_add(s, padding, held < 56 ? 56 - held : 120 - held);
    uint8_t length[8];
    store_be32(length, (uint32_t)(bits >> 32));
    store_be32(length + 4, (uint32_t)bits);
    sha256_blocks_add(s, length, 8);
    for (int i = 0; i < 8; i++)
        store_be32(out + 4 * i, s->h[i]);
}
