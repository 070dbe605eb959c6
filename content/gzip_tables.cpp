// Decode tables of the gzip decoder: packed prefix-code tables built from
// code lengths, and the slice-by-8 CRC-32 tables.
#include "content/gzip_internal.h"

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
            return ENTRY_LITERAL | (uint32_t)sym << 16 | cw;
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

unsigned reverse_bits(unsigned code, unsigned bits)
{
    unsigned r = 0;
    for (unsigned i = 0; i < bits; i++) {
        r = r << 1 | (code & 1);
        code >>= 1;
    }
    return r;
}

// Builds a table of `1 << table_bits` main entries plus subtables, holding at
// most `capacity` entries, for the canonical code given by `lens` (untrusted,
// each at most 15). Codewords are stored bit-reversed, since deflate sends
// them most significant bit first into a buffer read from its low end.
int build_table(uint32_t *table, unsigned capacity, const uint8_t *lens, unsigned num_syms,
                unsigned table_bits, CodeKind kind)
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

    unsigned next_code[MAX_CODEWORD_BITS + 1];
    next_code[1] = 0;
    for (unsigned len = 2; len <= MAX_CODEWORD_BITS; len++)
        next_code[len] = (next_code[len - 1] + count[len - 1]) << 1;

    const unsigned main_size = 1u << table_bits;
    for (unsigned i = 0; i < main_size; i++)
        table[i] = ENTRY_INVALID | table_bits;

    unsigned next_free = main_size;   // where the next subtable starts
    unsigned sub_prefix = main_size;  // main-table index of the open subtable
    unsigned sub_start = 0, sub_bits = 0;
    for (unsigned i = 0; i < used; i++) {
        unsigned sym = sorted[i];
        unsigned len = lens[sym];
        unsigned rev = reverse_bits(next_code[len]++, len);
        if (len <= table_bits) {
            uint32_t entry = symbol_entry(kind, sym, len);
            for (unsigned j = rev; j < main_size; j += 1u << len)
                table[j] = entry;
            count[len]--;
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

int build_litlen_table(uint32_t *table, const uint8_t *lens, unsigned num_syms)
{
    return build_table(table, LITLEN_TABLE_ENTRIES, lens, num_syms, LITLEN_TABLE_BITS, KIND_LITLEN);
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
