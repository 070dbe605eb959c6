// The symbol loop of the gzip decoder: literals and matches of one Huffman
// block, the part of decoding where nearly all the time goes.
#include "content/gzip_internal.h"

#include <cpuid.h>
#include <string.h>

namespace {

// The fast loop runs while the input buffer holds enough bytes for every
// word-wise refill between two checks (at most five: the one on entry and
// four in one step, each advancing less than a word and loading one) and the
// chunk has room for two literal stores of two bytes each, or one and the
// longest match with the copy's overshoot; then it needs no checks for the
// end of the input (nothing can have been padded yet) or of the chunk.
const uint32_t FAST_IN_MARGIN = 6 * sizeof(GzipBits);
const uint32_t FAST_OUT_MARGIN = 4 + 258 + 16;

// Bits one lookup may need: the longest codeword plus its extra bits. A
// 32-bit buffer holds at least 24 after a refill, so a distance (15 + 13) is
// decoded in two steps there: the main-table part (9 + 13) first.
const unsigned LITLEN_NEED_BITS = MAX_CODEWORD_BITS + 5;
const unsigned DIST_NEED_BITS = DIST_TABLE_BITS + 13;
const unsigned DIST_SUB_NEED_BITS = (MAX_CODEWORD_BITS - DIST_TABLE_BITS) + 13;
static_assert(LITLEN_NEED_BITS <= 24 && DIST_NEED_BITS <= 24 && DIST_SUB_NEED_BITS <= 24,
              "a refill guarantees 24 bits");

// The fast loop looks up the next symbol with the bits a refill left behind
// the last drop, counted or not (all of a word hold input after a refill):
// what each path drops after its refill must leave the next index.
static_assert(2 * LITLEN_TABLE_BITS + LITLEN_TABLE_BITS <= 32,
              "two literals, then the next literal/length index");
static_assert(LITLEN_NEED_BITS + DIST_TABLE_BITS <= 32,
              "a length from either table level, then the distance index");
static_assert(DIST_NEED_BITS + LITLEN_TABLE_BITS <= 32 &&
                  DIST_SUB_NEED_BITS + LITLEN_TABLE_BITS <= 32,
              "a distance from either table level, then the next index");

// Sixteen bytes at any address, moved as one: a single unaligned load and
// store where the function is built with SSE2, four word moves elsewhere.
typedef uint8_t Bytes16 __attribute__((vector_size(16), aligned(1), may_alias));

// Copies `length` bytes from `dist` back when the copy ends inside the chunk;
// word-wise copies may write up to 15 bytes beyond `out + length`.
inline void copy_match(uint8_t *out, uint32_t dist, uint32_t length)
{
    const uint8_t *src = out - dist;
    uint8_t *const end = out + length;
    if (dist >= 16) {
        do {
            *(Bytes16 *)out = *(const Bytes16 *)src;
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist >= 8) {
        do {
            memcpy(out, src, 8);
            memcpy(out + 8, src + 8, 8);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist == 1) {
        uint64_t v = 0x0101010101010101ull * src[0];
        do {
            memcpy(out, &v, 8);
            memcpy(out + 8, &v, 8);
            out += 16;
        } while (out < end);
    } else {
        do {
            *out++ = *src++;
        } while (out < end);
    }
}

// The literal byte or bytes of a literal entry, as two bytes.
inline void store_literals(uint8_t *out, uint32_t entry)
{
    out[0] = (uint8_t)(entry >> 8);
    out[1] = (uint8_t)(entry >> 16);
}

}  // namespace

// The hot state lives in locals; everything else is reached through `d` with
// a constant offset, which keeps a 32-bit build's few registers for the bit
// buffer and the positions. Any fault found with fewer bits pending than were
// padded in past the end of the input is reported as truncation. The body is
// compiled twice (below): for any x86 processor, and for those with BMI2,
// whose shifts take their count from any register and leave the flags alone,
// and which all have SSE2 for the 16-byte copies.
__attribute__((always_inline)) inline int decode_block_body(GzipDecoder *d)
{
    GzipBits bitbuf = d->bitbuf;
    unsigned bitcount = d->bitcount;
    uint32_t in_pos = d->in_pos;
    uint32_t out_pos = d->out_pos;
#define SAVE_STATE() (d->bitbuf = bitbuf, d->bitcount = bitcount, d->in_pos = in_pos,         \
                      d->out_pos = out_pos)
#define LOAD_STATE() (bitbuf = d->bitbuf, bitcount = d->bitcount, in_pos = d->in_pos,         \
                      out_pos = d->out_pos)
#define ENSURE_BITS(n)                                                                        \
    do {                                                                                      \
        if (bitcount < (n)) {                                                                 \
            if (d->in_fill - in_pos >= sizeof(GzipBits)) {                                    \
                bitbuf |= load_word_le(d->in + in_pos) << bitcount;                           \
                in_pos += (WORD_BITS - 1 - bitcount) >> 3;                                    \
                bitcount |= WORD_BITS - 8;                                                    \
            } else {                                                                          \
                SAVE_STATE();                                                                 \
                decoder_refill(d);                                                            \
                LOAD_STATE();                                                                 \
            }                                                                                 \
        }                                                                                     \
    } while (0)
#define DROP_BITS(n) (bitbuf >>= (n), bitcount -= (n))
#define FAIL(code)                                                                            \
    do {                                                                                      \
        SAVE_STATE();                                                                         \
        return decoder_fail(d, bitcount < d->padded_bits ? GZIP_TRUNCATED : (code));          \
    } while (0)
#define FLUSH_IF_FULL()                                                                       \
    do {                                                                                      \
        if (out_pos == CHUNK_END) {                                                           \
            SAVE_STATE();                                                                     \
            if (!decoder_flush(d))                                                            \
                return d->error;                                                              \
            LOAD_STATE();                                                                     \
        }                                                                                     \
    } while (0)

// In the fast loop only the low byte of `bitcount` counts: whole entries are
// subtracted from it (their low byte is the number of bits to drop), and
// shifts take their count modulo the word size, which leaves out the masking
// of the count.
#define FAST_REFILL_AT(p)                                                                     \
    (bitbuf |= load_word_le(p) << (bitcount & (WORD_BITS - 1)),                               \
     (p) += (~bitcount & (WORD_BITS - 1)) >> 3, bitcount |= WORD_BITS - 8)
#define DROP_ENTRY(e) (bitbuf >>= (e) & (WORD_BITS - 1), bitcount -= (e))
// The extra bits of a length or distance entry, with `saved` the bit buffer
// before DROP_ENTRY.
#define ENTRY_EXTRA(saved, e)                                                                 \
    (uint32_t)(((saved) & ~(~(GzipBits)0 << ((e) & (WORD_BITS - 1)))) >>                      \
               (((e) >> 8) & (WORD_BITS - 1)))

#define FAST_ROOM()                                                                           \
    (d->in_fill - in_pos >= FAST_IN_MARGIN && out_pos <= CHUNK_END - FAST_OUT_MARGIN)

    for (;;) {
        if (FAST_ROOM()) {
            // Each lookup here indexes the next bits before the refill that
            // follows it, so that the refill is off the path from one lookup
            // to the next. That is sound because a refill leaves every bit
            // of the word holding input (the bits it does not count are the
            // next input bits, which the next refill ORs in again), so after
            // one, what the drops below take leaves enough for the next
            // index: see the asserts above the loop.
            // Positions as pointers here, back to offsets on the way out.
            const uint8_t *in = d->in + in_pos;
            const uint8_t *const in_stop = d->in + d->in_fill - FAST_IN_MARGIN;
            uint8_t *out = d->window + out_pos;
            uint8_t *const out_stop = d->window + CHUNK_END - FAST_OUT_MARGIN;
            const uint8_t *const history = d->window + d->history_start;
#define LEAVE_FAST() (in_pos = (uint32_t)(in - d->in), out_pos = (uint32_t)(out - d->window))
            FAST_REFILL_AT(in);
            do {
                uint32_t entry = d->litlen_table[low_bits(bitbuf, LITLEN_TABLE_BITS)];
                FAST_REFILL_AT(in);
                if ((int32_t)entry < 0) {
                    // One or two literals, stored as two bytes either way (a
                    // second byte that is not one is overwritten by what
                    // comes next).
                    DROP_ENTRY(entry);
                    store_literals(out, entry);
                    out += (entry >> 30) - 1;
                    entry = d->litlen_table[low_bits(bitbuf, LITLEN_TABLE_BITS)];
                    if ((int32_t)entry < 0) {
                        DROP_ENTRY(entry);
                        store_literals(out, entry);
                        out += (entry >> 30) - 1;
                        continue;
                    }
                    FAST_REFILL_AT(in);
                }
                if (__builtin_expect(entry & ENTRY_SUBTABLE, 0)) {
                    DROP_ENTRY(entry);
                    entry = d->litlen_table[(entry >> 16) + low_bits(bitbuf, (entry >> 8) & 0xF)];
                    if ((int32_t)entry < 0) {
                        DROP_ENTRY(entry);
                        *out++ = (uint8_t)(entry >> 8);
                        continue;
                    }
                }
                GzipBits saved = bitbuf;
                DROP_ENTRY(entry);
                if (__builtin_expect(entry & ENTRY_EXCEPTIONAL, 0)) {
                    bitcount &= 0xFF;
                    LEAVE_FAST();
                    if (entry & ENTRY_END_OF_BLOCK)
                        goto block_done;
                    FAIL(GZIP_CORRUPT);
                }
                uint32_t length = (entry >> 16) + ENTRY_EXTRA(saved, entry);
                entry = d->dist_table[low_bits(bitbuf, DIST_TABLE_BITS)];
                FAST_REFILL_AT(in);
                if (entry & ENTRY_SUBTABLE) {
                    DROP_ENTRY(entry);
                    FAST_REFILL_AT(in);
                    entry = d->dist_table[(entry >> 16) + low_bits(bitbuf, (entry >> 8) & 0xF)];
                }
                saved = bitbuf;
                DROP_ENTRY(entry);
                uint32_t dist = (entry >> 16) + ENTRY_EXTRA(saved, entry);
                if (__builtin_expect(
                        entry & ENTRY_EXCEPTIONAL || dist > (uint32_t)(out - history), 0)) {
                    bitcount &= 0xFF;
                    LEAVE_FAST();
                    FAIL(GZIP_CORRUPT);
                }
                copy_match(out, dist, length);
                out += length;
            } while (in <= in_stop && out <= out_stop);
            LEAVE_FAST();
#undef LEAVE_FAST
        }
        bitcount &= 0xFF;

        // Near the end of the input buffer or of the chunk: one symbol with
        // every check, then the fast loop again when it can.
        ENSURE_BITS(LITLEN_NEED_BITS);
        uint32_t entry = d->litlen_table[low_bits(bitbuf, LITLEN_TABLE_BITS)];
        // A literal's bits 8-15 are its byte, not flags.
        if ((entry & (ENTRY_LITERAL | ENTRY_SUBTABLE)) == ENTRY_SUBTABLE) {
            DROP_BITS(LITLEN_TABLE_BITS);
            entry = d->litlen_table[(entry >> 16) + low_bits(bitbuf, (entry >> 8) & 0xF)];
        }
        GzipBits saved = bitbuf;
        // One literal at a time here: a pair's first codeword alone.
        unsigned n = (int32_t)entry < 0 ? (entry >> 25) & 0xF : entry & 0xFF;
        DROP_BITS(n);
        if ((int32_t)entry < 0) {
            if (bitcount < d->padded_bits)
                FAIL(GZIP_TRUNCATED);
            d->window[out_pos++] = (uint8_t)(entry >> 8);
            FLUSH_IF_FULL();
            continue;
        }
        if (entry & ENTRY_EXCEPTIONAL) {
            if (entry & ENTRY_END_OF_BLOCK && bitcount >= d->padded_bits)
                break;
            FAIL(GZIP_CORRUPT);  // symbols 286, 287 or an unused codeword
        }
        uint32_t length = (entry >> 16) + (uint32_t)(low_bits(saved, n) >> ((entry >> 8) & 0xF));

        ENSURE_BITS(DIST_NEED_BITS);
        entry = d->dist_table[low_bits(bitbuf, DIST_TABLE_BITS)];
        if (entry & ENTRY_SUBTABLE) {
            DROP_BITS(DIST_TABLE_BITS);
            ENSURE_BITS(DIST_SUB_NEED_BITS);
            entry = d->dist_table[(entry >> 16) + low_bits(bitbuf, (entry >> 8) & 0xF)];
        }
        saved = bitbuf;
        n = entry & 0xFF;
        DROP_BITS(n);
        if (entry & ENTRY_EXCEPTIONAL)
            FAIL(GZIP_CORRUPT);  // symbols 30, 31 or an unused codeword
        uint32_t dist = (entry >> 16) + (uint32_t)(low_bits(saved, n) >> ((entry >> 8) & 0xF));
        if (bitcount < d->padded_bits)
            FAIL(GZIP_TRUNCATED);
        if (dist > out_pos - d->history_start)
            FAIL(GZIP_CORRUPT);  // before the start of the output

        if (length <= CHUNK_END - out_pos) {
            copy_match(d->window + out_pos, dist, length);
            out_pos += length;
            FLUSH_IF_FULL();
        } else {
            // Crosses the end of the chunk: byte by byte, flushing on the way.
            // The history always reaches `dist` back, even right after a flush.
            do {
                d->window[out_pos] = d->window[out_pos - dist];
                out_pos++;
                FLUSH_IF_FULL();
            } while (--length);
        }
    }
block_done:
    SAVE_STATE();
    return 0;

#undef SAVE_STATE
#undef LOAD_STATE
#undef ENSURE_BITS
#undef DROP_BITS
#undef FAIL
#undef FLUSH_IF_FULL
#undef FAST_REFILL_AT
#undef FAST_ROOM
#undef DROP_ENTRY
#undef ENTRY_EXTRA
}

namespace {

int decode_block_any_cpu(GzipDecoder *d)
{
    return decode_block_body(d);
}

// SSE2 is only used for unaligned 16-byte moves through a register: a
// 32-bit Windows stack is not 16-byte aligned, and realigning it for spills
// (force_align_arg_pointer) costs this loop a register and about 15% of its
// speed.
__attribute__((target("bmi,bmi2,sse2"))) int decode_block_bmi2(GzipDecoder *d)
{
    return decode_block_body(d);
}

// 0 until asked, then 1 (no BMI2) or 2.
int g_bmi2;

}  // namespace

int cpu_has_bmi2(void)
{
    int known = __atomic_load_n(&g_bmi2, __ATOMIC_RELAXED);
    if (!known) {
        known = 1;
        if (__get_cpuid_max(0, nullptr) >= 7) {
            unsigned a, b, c, e;
            __cpuid_count(7, 0, a, b, c, e);
            if ((b & (1u << 3)) && (b & (1u << 8)))  // BMI1, BMI2
                known = 2;
        }
        __atomic_store_n(&g_bmi2, known, __ATOMIC_RELAXED);
    }
    return known == 2;
}

namespace {

}  // namespace

int decode_huffman_block(GzipDecoder *d)
{
    return d->use_bmi2 ? decode_block_bmi2(d) : decode_block_any_cpu(d);
}
