// Decode tables of the gzip decoder: packed prefix-code tables built from
// code lengths, and the slice-by-16 CRC-32 tables.
#include "content/gzip_internal.h"

#include <cpuid.h>
#include <immintrin.h>

namespace {

// Length symbols 257-285 and distance symbols 0-29 (RFC 1951, 3.2.5).
const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

enum CodeKind { KIND_LITLEN, KIND_DIST, KIND_PRECODE };

// The packed entry of `sym` when its codeword has `bits` bits left to
// resolve at this table level.
uint32_t symbol_entry(CodeKind kind, unsigned sym, unsigned bits)
{
    uint32_t cw = (uint32_t)bits << 8 | bits;
    switch (kind) {
    case KIND_LITLEN:
        if (sym < 256)
            return ENTRY_LITERAL | (uint32_t)bits << 25 | (uint32_t)sym << 8 | bits;
        if (sym == 256)
            return ENTRY_EXCEPTIONAL | ENTRY_END_OF_BLOCK | cw;
        if (sym <= 285)
            return (uint32_t)LENGTH_BASE[sym - 257] << 16 | (cw + LENGTH_EXTRA[sym - 257]);
        return ENTRY_INVALID | cw;
    case KIND_DIST:
        if (sym < 30)
            return (uint32_t)DIST_BASE[sym] << 16 | (cw + DIST_EXTRA[sym]);
        return ENTRY_INVALID | cw;
    case KIND_PRECODE:
        break;
    }
    return (uint32_t)sym << 16 | cw;
}

// The codeword after `rev` (a `len`-bit codeword, bit-reversed) in the same
// reversed form: adding one to a reversed number clears its run of top ones
// and sets the highest zero below them. A longer next codeword is the same
// number with zeros appended to the code, which in reversed form are leading
// zeros: nothing changes. The all-ones codeword has no successor; it stays.
inline unsigned next_reversed_code(unsigned rev, unsigned len)
{
    unsigned zeros = ~rev & ((1u << len) - 1);
    if (!zeros)
        return rev;
    unsigned highest_zero = 1u << (31 - __builtin_clz(zeros));
    return (rev & (highest_zero - 1)) | highest_zero;
}

// Literals whose codewords leave room in the main table's index for another,
// in canonical order (shortest first), with their reversed codewords.
struct ShortLiterals {
    unsigned n;
    uint8_t sym[256], len[256];
    uint16_t rev[256];
};

// Builds a table of `1 << table_bits` main entries plus subtables, holding at
// most `capacity` entries, for the canonical code given by `lens` (untrusted,
// each at most 15). Codewords are stored bit-reversed, since deflate sends
// them most significant bit first into a buffer read from its low end.
int build_table(uint32_t *table, unsigned capacity, const uint8_t *lens, unsigned num_syms,
                unsigned table_bits, CodeKind kind, ShortLiterals *short_literals = nullptr)
{
    unsigned count[MAX_CODEWORD_BITS + 1] = {0};
    for (unsigned s = 0; s < num_syms; s++)
        count[lens[s]]++;
    count[0] = 0;

    // Over-subscribed codes are refused; incomplete ones are kept.
    int32_t left = 1;
    for (unsigned len = 1; len <= MAX_CODEWORD_BITS; len++) {
        left = 2 * left - (int32_t)count[len];
        if (left < 0)
            return 0;
    }

    // Symbols sorted by codeword length, then by value: canonical order.
    uint16_t sorted[NUM_LITLEN_SYMS];
    unsigned offset[MAX_CODEWORD_BITS + 2];
    offset[1] = 0;
    for (unsigned len = 1; len <= MAX_CODEWORD_BITS; len++)
        offset[len + 1] = offset[len] + count[len];
    unsigned used = offset[MAX_CODEWORD_BITS + 1];
    for (unsigned s = 0; s < num_syms; s++)
        if (lens[s])
            sorted[offset[lens[s]]++] = (uint16_t)s;

    // A complete code writes every entry; only an incomplete one leaves
    // unused codewords, which must read as invalid.
    const bool complete = left == 0;
    const unsigned main_size = 1u << table_bits;
    if (!complete)
        for (unsigned i = 0; i < main_size; i++)
            table[i] = ENTRY_INVALID | table_bits;

    unsigned next_free = main_size;   // where the next subtable starts
    unsigned sub_prefix = main_size;  // main-table index of the open subtable
    unsigned sub_start = 0, sub_bits = 0;
    unsigned rev = 0, len = 0;
    for (unsigned i = 0; i < used; i++, rev = next_reversed_code(rev, len)) {
        unsigned sym = sorted[i];
        len = lens[sym];
        if (len <= table_bits) {
            uint32_t entry = symbol_entry(kind, sym, len);
            for (unsigned j = rev; j < main_size; j += 1u << len)
                table[j] = entry;
            count[len]--;
            if (short_literals && sym < 256 && len < table_bits) {
                ShortLiterals &l = *short_literals;
                l.sym[l.n] = (uint8_t)sym;
                l.len[l.n] = (uint8_t)len;
                l.rev[l.n] = (uint16_t)rev;
                l.n++;
            }
            continue;
        }
        unsigned prefix = rev & (main_size - 1);
        if (prefix != sub_prefix) {
            // A new prefix starts at the beginning of its codespace (canonical
            // codes fill it from below). Its subtable is just big enough for
            // the remaining codewords that share it: grow until they fill it,
            // or up to the longest possible codeword for an incomplete code.
            sub_prefix = prefix;
            sub_bits = len - table_bits;
            unsigned filled = count[len];
            while (filled < (1u << sub_bits) && table_bits + sub_bits < MAX_CODEWORD_BITS) {
                sub_bits++;
                filled = 2 * filled + count[table_bits + sub_bits];
            }
            sub_start = next_free;
            next_free += 1u << sub_bits;
            if (next_free > capacity)
                return 0;  // cannot happen for valid lengths; kept as a guard
            if (!complete)
                for (unsigned j = 0; j < (1u << sub_bits); j++)
                    table[sub_start + j] = ENTRY_INVALID | sub_bits;
            table[prefix] = (uint32_t)sub_start << 16 | ENTRY_EXCEPTIONAL | ENTRY_SUBTABLE |
                            (uint32_t)sub_bits << 8 | table_bits;
        }
        unsigned rest = len - table_bits;
        uint32_t entry = symbol_entry(kind, sym, rest);
        for (unsigned j = rev >> table_bits; j < (1u << sub_bits); j += 1u << rest)
            table[sub_start + j] = entry;
        count[len]--;
    }
    return 1;
}

}  // namespace

int build_precode_table(uint32_t *table, const uint8_t lens[NUM_PRECODE_SYMS])
{
    return build_table(table, PRECODE_TABLE_ENTRIES, lens, NUM_PRECODE_SYMS, PRECODE_TABLE_BITS,
                       KIND_PRECODE);
}

// Main-table entries whose literal leaves room for a second codeword in the
// index bits get that one too when it is a literal: for each two short
// literals that fit together, every index that starts with both codewords.
static void pair_literals(uint32_t *table, const ShortLiterals &l)
{
    const unsigned main_size = 1u << LITLEN_TABLE_BITS;
    for (unsigned i = 0; i < l.n; i++) {
        unsigned len1 = l.len[i];
        uint32_t first = ENTRY_LITERAL | ENTRY_TWO_LITERALS | (uint32_t)len1 << 25 |
                         (uint32_t)l.sym[i] << 8;
        // Shortest first: the first literal too long to follow ends the run.
        for (unsigned j = 0; j < l.n && len1 + l.len[j] <= LITLEN_TABLE_BITS; j++) {
            unsigned both = len1 + l.len[j];
            uint32_t entry = first | (uint32_t)l.sym[j] << 16 | both;
            for (unsigned k = l.rev[i] | (unsigned)l.rev[j] << len1; k < main_size; k += 1u << both)
                table[k] = entry;
        }
    }
}

int build_litlen_table(uint32_t *table, const uint8_t *lens, unsigned num_syms)
{
    ShortLiterals short_literals;
    short_literals.n = 0;
    if (!build_table(table, LITLEN_TABLE_ENTRIES, lens, num_syms, LITLEN_TABLE_BITS, KIND_LITLEN,
                     &short_literals))
        return 0;
    pair_literals(table, short_literals);
    return 1;
}

int build_dist_table(uint32_t *table, const uint8_t *lens, unsigned num_syms)
{
    return build_table(table, DIST_TABLE_ENTRIES, lens, num_syms, DIST_TABLE_BITS, KIND_DIST);
}

void crc32_build_tables(uint32_t tables[CRC_SLICES][256])
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        tables[0][i] = c;
    }
    // tables[k][i]: the register after byte i followed by k zero bytes, so
    // that 16 bytes fold into the register with 16 independent lookups
    // instead of a chain of 16 dependent ones.
    for (int k = 1; k < CRC_SLICES; k++)
        for (int i = 0; i < 256; i++)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
}

namespace {

inline uint32_t load_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Folds 16 bytes into the register.
static_assert(CRC_SLICES == 16, "one table per byte of a 16-byte step");
inline uint32_t fold16(const uint32_t t[CRC_SLICES][256], uint32_t crc, const uint8_t *p)
{
    uint32_t a = crc ^ load_le32(p);
    uint32_t b = load_le32(p + 4);
    uint32_t c = load_le32(p + 8);
    uint32_t e = load_le32(p + 12);
    return t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
           t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
           t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
           t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
}

// a * b modulo the CRC-32 polynomial, both in the reflected representation
// (the coefficient of x^0 in the top bit).
uint32_t multiply_mod_poly(uint32_t a, uint32_t b)
{
    uint32_t p = 0;
    for (uint32_t m = 1u << 31; m; m >>= 1) {
        if (a & m)
            p ^= b;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return p;
}

}  // namespace

uint32_t crc32_update(const uint32_t t[CRC_SLICES][256], uint32_t crc, const uint8_t *p, size_t n)
{
    for (; n >= 16; n -= 16, p += 16)
        crc = fold16(t, crc, p);
    while (n--)
        crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t crc32_shift_for(uint32_t bytes)
{
    uint32_t x_pow = 1u << 30;  // x^1
    for (uint32_t e = 1; e < 8 * bytes; e *= 2)
        x_pow = multiply_mod_poly(x_pow, x_pow);
    return x_pow;
}

uint32_t crc32_update_halves(const uint32_t t[CRC_SLICES][256], uint32_t crc, const uint8_t *p,
                             size_t n, uint32_t shift)
{
    // The register is linear in its input: the second half run from a zero
    // register, plus the first half's register moved past n / 2 zero bytes,
    // is the register over the whole. Two independent chains keep twice as
    // many lookups in flight.
    const uint8_t *q = p + n / 2;
    uint32_t crc2 = 0;
    for (size_t left = n / 2; left >= 16; left -= 16, p += 16, q += 16) {
        crc = fold16(t, crc, p);
        crc2 = fold16(t, crc2, q);
    }
    return multiply_mod_poly(shift, crc) ^ crc2;
}

namespace {

// Folds four 16-byte lanes at a time with carry-less multiplication: each
// lane is moved 64 bytes on by multiplying its halves with x^(512+-32)
// modulo the polynomial, then the lanes are folded into one, reduced to 64
// and to 32 bits, and the last step is a Barrett reduction. The constants
// are those powers of x, bit-reflected and shifted left by one as the
// instruction wants them in the reflected domain.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_lane(__m128i lane, __m128i k,
                                                                  __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00),
                                       _mm_clmulepi64_si128(lane, k, 0x11)),
                         next);
}

// Aligns its own frame: a 32-bit Windows thread's stack is only 4-byte
// aligned, and spilled lanes need 16.
__attribute__((target("pclmul,sse4.1"), force_align_arg_pointer)) uint32_t fold_clmul(
    uint32_t crc, const uint8_t *p, size_t n)
{
    const __m128i k512 = _mm_set_epi64x(0x1c6e41596ll, 0x154442bd4ll);  // x^(512-32), x^(512+32)
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009ell, 0x1751997d0ll);  // x^(128-32), x^(128+32)
    const __m128i k64 = _mm_set_epi64x(0, 0x163cd6124ll);               // x^64
    const __m128i barrett = _mm_set_epi64x(0x1f7011641ll, 0x1db710641ll);  // x^64 / P, P
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i *q = (const __m128i *)p;

    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(q), _mm_cvtsi32_si128((int)crc));
    __m128i x1 = _mm_loadu_si128(q + 1);
    __m128i x2 = _mm_loadu_si128(q + 2);
    __m128i x3 = _mm_loadu_si128(q + 3);
    q += 4;
    for (n -= 64; n >= 64; n -= 64, q += 4) {
        x0 = fold_lane(x0, k512, _mm_loadu_si128(q));
        x1 = fold_lane(x1, k512, _mm_loadu_si128(q + 1));
        x2 = fold_lane(x2, k512, _mm_loadu_si128(q + 2));
        x3 = fold_lane(x3, k512, _mm_loadu_si128(q + 3));
    }
    x0 = fold_lane(x0, k128, x1);
    x0 = fold_lane(x0, k128, x2);
    x0 = fold_lane(x0, k128, x3);
    for (; n >= 16; n -= 16, q++)
        x0 = fold_lane(x0, k128, _mm_loadu_si128(q));

    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(x0, k128, 0x10));
    __m128i t = _mm_and_si128(x0, low32);
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 4), _mm_clmulepi64_si128(t, k64, 0x00));
    t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10), low32);
    x0 = _mm_xor_si128(x0, _mm_clmulepi64_si128(t, barrett, 0x00));
    return (uint32_t)_mm_extract_epi32(x0, 1);
}

// 0 until asked, then 1 (no carry-less multiplication) or 2 (there is).
int g_clmul;

}  // namespace

int cpu_has_clmul(void)
{
    int known = __atomic_load_n(&g_clmul, __ATOMIC_RELAXED);
    if (!known) {
        unsigned a, b, c, d;
        const unsigned pclmul = 1u << 1, sse41 = 1u << 19;
        known = __get_cpuid(1, &a, &b, &c, &d) && (c & (pclmul | sse41)) == (pclmul | sse41)
                    ? 2
                    : 1;
        __atomic_store_n(&g_clmul, known, __ATOMIC_RELAXED);
    }
    return known == 2;
}

uint32_t crc32_update_clmul(const uint32_t t[CRC_SLICES][256], uint32_t crc, const uint8_t *p,
                            size_t n)
{
    if (n >= 64) {
        size_t folded = n & ~(size_t)15;
        crc = fold_clmul(crc, p, folded);
        p += folded;
        n -= folded;
    }
    return crc32_update(t, crc, p, n);
}
