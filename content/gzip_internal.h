// Working state of one gzip_decode call, shared by the decoder and its table
// builders. Byte-level code only: no platform headers. Internal to content/.
//
// Decode tables hold packed 32-bit entries, so that one lookup gives
// everything the hot loop needs:
//
//   bits  0-7   bits to drop for this entry: codeword length plus the
//               symbol's extra bits (for a subtable pointer: the main
//               table's index bits)
//   bits  8-11  codeword length alone (the shift that isolates the extra
//               bits); for a subtable pointer, the subtable's index bits
//   bit  13     ENTRY_END_OF_BLOCK
//   bit  14     ENTRY_SUBTABLE: the main-table bits did not resolve the code
//   bit  15     ENTRY_EXCEPTIONAL: end of block, subtable pointer or invalid
//   bits 16-30  result: literal byte, length base, distance base or
//               subtable start
//   bit  31     ENTRY_LITERAL
//
// Literal entries (bit 31) are laid out apart, so that one lookup can give
// two literals whose codewords together fit the main table's index bits:
//
//   bits  0-7   bits to drop: the first codeword, or both
//   bits  8-15  the first literal
//   bits 16-23  the second literal, when bit 30 is set
//   bits 25-28  the first codeword's length alone (at this table level)
//   bit  30     ENTRY_TWO_LITERALS: bits 30-31 are one more than the number
//               of literals
//   bit  31     ENTRY_LITERAL
//
// Codes longer than the main table's index bits continue in subtables that
// follow the main table, one per distinct main-table prefix, each indexed by
// the next bits of the code.
#pragma once

#include "content/content.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// The bit buffer is one machine word: 32-bit builds refill four bytes at a
// time, 64-bit builds (the native fuzzing builds) eight.
typedef size_t GzipBits;

enum : uint32_t {
    ENTRY_LITERAL = 0x80000000u,
    ENTRY_TWO_LITERALS = 0x40000000u,
    ENTRY_EXCEPTIONAL = 0x8000,
    ENTRY_SUBTABLE = 0x4000,
    ENTRY_END_OF_BLOCK = 0x2000,
    // An unused codeword of an incomplete code, or symbols 286, 287, 30, 31.
    ENTRY_INVALID = ENTRY_EXCEPTIONAL,
};

enum {
    MAX_CODEWORD_BITS = 15,
    MAX_PRECODE_BITS = 7,
    NUM_LITLEN_SYMS = 288,
    NUM_DIST_SYMS = 32,
    NUM_PRECODE_SYMS = 19,

    LITLEN_TABLE_BITS = 10,
    DIST_TABLE_BITS = 9,
    PRECODE_TABLE_BITS = MAX_PRECODE_BITS,  // precode needs no subtables

    // Worst case of a code that is incomplete but not over-subscribed: each
    // symbol longer than the main table's bits can open its own subtable of
    // at most 2^(15 - table bits) entries.
    LITLEN_TABLE_ENTRIES =
        (1 << LITLEN_TABLE_BITS) + NUM_LITLEN_SYMS * (1 << (MAX_CODEWORD_BITS - LITLEN_TABLE_BITS)),
    DIST_TABLE_ENTRIES =
        (1 << DIST_TABLE_BITS) + NUM_DIST_SYMS * (1 << (MAX_CODEWORD_BITS - DIST_TABLE_BITS)),
    PRECODE_TABLE_ENTRIES = 1 << PRECODE_TABLE_BITS,

    // Output: 32 KiB of history (deflate's largest distance) in front of the
    // 64 KiB chunk that is handed to the write callback when full, and slack
    // behind it for the word-wise match copies that overshoot their end.
    HISTORY_BYTES = 32768,
    OUT_CHUNK_BYTES = GZIP_IO_CHUNK_BYTES,
    COPY_SLACK_BYTES = 32,
    IN_BYTES = GZIP_IO_CHUNK_BYTES,
    CHUNK_START = HISTORY_BYTES,
    CHUNK_END = HISTORY_BYTES + OUT_CHUNK_BYTES,

    // Code lengths of one block: the fixed code's 288 + 32 (a dynamic block
    // has at most 286 + 30; repeats are checked before they are written).
    CODE_LENS_BYTES = NUM_LITLEN_SYMS + NUM_DIST_SYMS,

    // The CRC-32 folds this many bytes per step, one table per byte position.
    CRC_SLICES = 16,
};

static_assert(sizeof(GzipBits) == 4 || sizeof(GzipBits) == 8, "bit buffer is a machine word");
static_assert(LITLEN_TABLE_ENTRIES < 32768 && DIST_TABLE_ENTRIES < 32768,
              "subtable starts fit the 15-bit result field");

struct GzipDecoder {
    GzipReadFn read;
    void *read_context;
    GzipWriteFn write;
    void *write_context;

    uint32_t in_fill;   // bytes valid in `in`
    uint32_t in_pos;    // next byte to take from `in`
    int end_of_input;   // the read callback returned 0 or failed
    uint32_t overrun;   // zero bytes handed out after the end of input
    uint32_t padded_bits;  // 8 * overrun: fewer pending bits is past the end

    GzipBits bitbuf;    // pending bits, next bit lowest
    uint32_t bitcount;  // number of pending bits; bits above are the next
                        // input bytes or zero

    uint32_t out_pos;          // next output position in `window`
    uint32_t history_start;    // earliest position a back-reference may reach
    uint64_t out_flushed;      // bytes already handed to the write callback
    uint32_t crc;              // CRC-32 register over the flushed bytes
    uint32_t crc_half_shift;   // crc32_shift_for(half a chunk)

    int error;                 // first GzipResult recorded, 0 while none
    int fixed_codes_loaded;    // the tables hold the fixed code
    int crc_clmul;             // fold the CRC with carry-less multiplication
    int use_bmi2;              // decode with the BMI2 build of the symbol loop

    uint32_t litlen_table[LITLEN_TABLE_ENTRIES];
    uint32_t dist_table[DIST_TABLE_ENTRIES];
    uint32_t precode_table[PRECODE_TABLE_ENTRIES];
    uint32_t crc_table[CRC_SLICES][256];
    uint8_t code_lens[CODE_LENS_BYTES];

    uint8_t in[IN_BYTES];
    uint8_t window[HISTORY_BYTES + OUT_CHUNK_BYTES + COPY_SLACK_BYTES];
};

// Fills the slice-by-16 tables of the reflected polynomial 0xEDB88320.
void crc32_build_tables(uint32_t tables[CRC_SLICES][256]);
// Feeds `n` bytes to the CRC-32 register `crc` (pre- and post-inverted by the
// caller).
uint32_t crc32_update(const uint32_t tables[CRC_SLICES][256], uint32_t crc, const uint8_t *p,
                      size_t n);
// 1 when the processor has carry-less multiplication (PCLMULQDQ) and SSE4.1.
int cpu_has_clmul(void);
// 1 when the processor has BMI1 and BMI2.
int cpu_has_bmi2(void);
// Tests: 0 makes later gzip_decode calls use only plain x86 code (the
// table CRC-32, the symbol loop built for any processor); 1 (the default)
// whatever the processor offers. Returns the previous setting.
int gzip_use_cpu_extensions(int allow);
// crc32_update with carry-less multiplication: many times faster. Only where
// cpu_has_clmul() answered 1.
uint32_t crc32_update_clmul(const uint32_t tables[CRC_SLICES][256], uint32_t crc,
                            const uint8_t *p, size_t n);
// x^(8 * bytes) modulo the polynomial: the factor that moves a register past
// `bytes` zero bytes. `bytes` is a power of two.
uint32_t crc32_shift_for(uint32_t bytes);
// crc32_update of `n` bytes (a multiple of 32) as two halves folded side by
// side; `shift` is crc32_shift_for(n / 2).
uint32_t crc32_update_halves(const uint32_t tables[CRC_SLICES][256], uint32_t crc,
                             const uint8_t *p, size_t n, uint32_t shift);

// Builds the packed decode tables from code lengths. `lens` are trusted to be
// at most 15 (7 for the precode) and are otherwise untrusted. Incomplete
// codes are accepted: their unused codewords decode to ENTRY_INVALID.
// Returns 0 for an over-subscribed code, 1 otherwise.
int build_precode_table(uint32_t *table, const uint8_t lens[NUM_PRECODE_SYMS]);
int build_litlen_table(uint32_t *table, const uint8_t *lens, unsigned num_syms);
int build_dist_table(uint32_t *table, const uint8_t *lens, unsigned num_syms);

// Shared by the member decoder (gzip_decode.cpp) and its symbol loop
// (gzip_huffman.cpp).
const unsigned WORD_BITS = 8 * sizeof(GzipBits);

inline GzipBits low_bits(GzipBits v, unsigned n)
{
    return v & (((GzipBits)1 << n) - 1);
}

inline GzipBits load_word_le(const uint8_t *p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    GzipBits v;
    memcpy(&v, p, sizeof v);
    return v;
#else
    GzipBits v = 0;
    for (unsigned i = 0; i < sizeof v; i++)
        v |= (GzipBits)p[i] << (8 * i);
    return v;
#endif
}

// Records `code` unless an earlier failure was recorded; returns the code
// that stands.
int decoder_fail(GzipDecoder *d, int code);
// Byte-wise refill through the read callback, zero bytes past the end of the
// input: afterwards WORD_BITS - 8 to WORD_BITS - 1 bits are pending.
void decoder_refill(GzipDecoder *d);
// Hands the chunk's bytes to the CRC and the write callback: 1, or 0 with
// GZIP_WRITE_ERROR recorded.
int decoder_flush(GzipDecoder *d);
// Decodes the symbols of one Huffman block with the loaded tables: 0 at its
// end of block, else the result code that stands.
int decode_huffman_block(GzipDecoder *d);
