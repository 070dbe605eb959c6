// Streaming decoder of one gzip member (RFC 1952) holding deflate data
// (RFC 1951), with fixed memory and callbacks for input and output.
//
// Design. Input arrives through the read callback into a 64 KiB buffer and is
// consumed through a bit buffer of one machine word, next bit lowest. While at
// least a word of input is buffered, a refill loads a whole word at once and
// keeps the bytes it could not count above the pending bits (they are the
// next input bytes, so loading them again later changes nothing); near the
// end of the buffer a refill goes byte by byte through the callback. Past the
// end of the input a refill supplies zero bytes and counts them (`overrun`):
// the decoder is past the end when it has consumed more bits than the input
// had, which is how truncation is told apart from corruption.
//
// Codes are decoded with packed table entries (gzip_internal.h): one lookup
// of the next 10 bits (9 for distances) resolves nearly every symbol together
// with the number of extra bits and the base to add them to; longer codes take
// one more lookup in a subtable. The symbol loop is in gzip_huffman.cpp.
//
// Output goes into a 64 KiB chunk with 32 KiB of history in front of it, so
// that every back-reference is a plain forward copy inside one buffer; a copy
// that fits before the chunk's end is done 8 or 16 bytes at a time. A full
// chunk is folded into the CRC-32, handed to the write callback, and its last
// 32 KiB become the history of the next.
//
// Errors: the first one recorded wins (a read failure stays a read error even
// when the zero bytes that follow it make the data look truncated), and any
// fault found after consuming bits that never existed is "truncated".
#include "content/gzip_internal.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

int decoder_fail(GzipDecoder *d, int code)
{
    if (!d->error)
        d->error = code;
    return d->error;
}

namespace {

const uint8_t PRECODE_ORDER[NUM_PRECODE_SYMS] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

// True once bits were consumed that the input never had.
inline bool past_end(const GzipDecoder *d)
{
    return d->bitcount < d->padded_bits;
}

// Asks the read callback for the next chunk; only called when the input
// buffer is used up and the end has not been seen.
void fill_input(GzipDecoder *d)
{
    int got = d->read(d->read_context, d->in, IN_BYTES);
    d->in_pos = 0;
    if (got > 0) {
        d->in_fill = got > IN_BYTES ? (uint32_t)IN_BYTES : (uint32_t)got;
        return;
    }
    d->in_fill = 0;
    d->end_of_input = 1;
    if (got < 0)
        decoder_fail(d, GZIP_READ_ERROR);
}

uint8_t next_byte(GzipDecoder *d)
{
    if (d->in_pos == d->in_fill) {
        if (!d->end_of_input)
            fill_input(d);
        if (d->in_pos == d->in_fill) {
            d->overrun++;
            d->padded_bits += 8;
            return 0;
        }
    }
    return d->in[d->in_pos++];
}

// Reads n <= 16 bits.
unsigned read_bits(GzipDecoder *d, unsigned n)
{
    if (d->bitcount < n)
        decoder_refill(d);
    unsigned v = (unsigned)low_bits(d->bitbuf, n);
    d->bitbuf >>= n;
    d->bitcount -= n;
    return v;
}

uint32_t read_u32_le(GzipDecoder *d)
{
    uint32_t lo = read_bits(d, 16);
    return lo | (uint32_t)read_bits(d, 16) << 16;
}

void align_to_byte(GzipDecoder *d)
{
    unsigned n = d->bitcount & 7;
    d->bitbuf >>= n;
    d->bitcount -= n;
}

int put_byte(GzipDecoder *d, uint8_t b)
{
    d->window[d->out_pos++] = b;
    if (d->out_pos == CHUNK_END)
        return decoder_flush(d);
    return 1;
}

int decode_stored_block(GzipDecoder *d)
{
    align_to_byte(d);
    unsigned len = read_bits(d, 16);
    unsigned nlen = read_bits(d, 16);
    if (past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (nlen != (len ^ 0xFFFF))
        return decoder_fail(d, GZIP_CORRUPT);

    // Whole bytes already in the bit buffer come first.
    while (len > 0 && d->bitcount >= 8) {
        uint8_t b = (uint8_t)d->bitbuf;
        d->bitbuf >>= 8;
        d->bitcount -= 8;
        if (past_end(d))
            return decoder_fail(d, GZIP_TRUNCATED);
        if (!put_byte(d, b))
            return d->error;
        len--;
    }
    if (len == 0)
        return 0;
    // The bit buffer is empty: what it held beyond its count were the bytes
    // about to be copied straight from the input buffer.
    d->bitbuf = 0;
    while (len > 0) {
        if (d->in_pos == d->in_fill) {
            if (!d->end_of_input)
                fill_input(d);
            if (d->in_pos == d->in_fill)
                return decoder_fail(d, GZIP_TRUNCATED);
        }
        size_t n = len;
        if (n > d->in_fill - d->in_pos)
            n = d->in_fill - d->in_pos;
        if (n > CHUNK_END - d->out_pos)
            n = CHUNK_END - d->out_pos;
        memcpy(d->window + d->out_pos, d->in + d->in_pos, n);
        d->in_pos += (uint32_t)n;
        d->out_pos += (uint32_t)n;
        len -= (unsigned)n;
        if (d->out_pos == CHUNK_END && !decoder_flush(d))
            return d->error;
    }
    return 0;
}

// Reads the code lengths of a dynamic block and builds its tables.
int read_dynamic_code(GzipDecoder *d)
{
    unsigned hlit = read_bits(d, 5) + 257;
    unsigned hdist = read_bits(d, 5) + 1;
    unsigned hclen = read_bits(d, 4) + 4;
    if (past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (hlit > 286 || hdist > 30)
        return decoder_fail(d, GZIP_CORRUPT);

    uint8_t precode_lens[NUM_PRECODE_SYMS] = {0};
    for (unsigned i = 0; i < hclen; i++)
        precode_lens[PRECODE_ORDER[i]] = (uint8_t)read_bits(d, 3);
    if (past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (!build_precode_table(d->precode_table, precode_lens))
        return decoder_fail(d, GZIP_CORRUPT);

    // A refill leaves at least 14 bits: a precode codeword and the extra
    // bits of a repeat. Faults found after the end of the input are that end.
    uint8_t *lens = d->code_lens;
    const unsigned total = hlit + hdist;
    static_assert(MAX_PRECODE_BITS + 7 <= WORD_BITS - 8, "a refill holds a precode symbol");
    GzipBits bitbuf = d->bitbuf;
    unsigned bitcount = d->bitcount;
    unsigned i = 0;
    int fault = 0;
    while (i < total) {
        if (bitcount < MAX_PRECODE_BITS + 7) {
            d->bitbuf = bitbuf;
            d->bitcount = bitcount;
            decoder_refill(d);
            bitbuf = d->bitbuf;
            bitcount = d->bitcount;
        }
        uint32_t entry = d->precode_table[low_bits(bitbuf, PRECODE_TABLE_BITS)];
        unsigned n = entry & 0xFF;
        bitbuf >>= n;
        bitcount -= n;
        unsigned sym = entry >> 16;
        if (entry & ENTRY_EXCEPTIONAL) {
            fault = 1;  // unused codeword of the precode
            break;
        }
        if (sym < 16) {
            lens[i++] = (uint8_t)sym;
            continue;
        }
        // 16: 3-6 of the previous length, 17: 3-10 zeros, 18: 11-138 zeros.
        unsigned extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
        unsigned repeat = (sym == 18 ? 11 : 3) + (unsigned)low_bits(bitbuf, extra);
        bitbuf >>= extra;
        bitcount -= extra;
        if ((sym == 16 && i == 0) || repeat > total - i) {
            fault = 1;  // nothing to repeat, or past the last length
            break;
        }
        memset(lens + i, sym == 16 ? lens[i - 1] : 0, repeat);
        i += repeat;
    }
    d->bitbuf = bitbuf;
    d->bitcount = bitcount;
    if (past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (fault)
        return decoder_fail(d, GZIP_CORRUPT);
    if (lens[256] == 0)
        return decoder_fail(d, GZIP_CORRUPT);  // a block that could never end
    if (!build_litlen_table(d->litlen_table, lens, hlit) ||
        !build_dist_table(d->dist_table, lens + hlit, hdist))
        return decoder_fail(d, GZIP_CORRUPT);
    d->fixed_codes_loaded = 0;
    return 0;
}

int load_fixed_code(GzipDecoder *d)
{
    if (d->fixed_codes_loaded)
        return 0;
    uint8_t *lens = d->code_lens;
    unsigned i = 0;
    for (; i < 144; i++)
        lens[i] = 8;
    for (; i < 256; i++)
        lens[i] = 9;
    for (; i < 280; i++)
        lens[i] = 7;
    for (; i < NUM_LITLEN_SYMS; i++)
        lens[i] = 8;
    for (; i < NUM_LITLEN_SYMS + NUM_DIST_SYMS; i++)
        lens[i] = 5;
    if (!build_litlen_table(d->litlen_table, lens, NUM_LITLEN_SYMS) ||
        !build_dist_table(d->dist_table, lens + NUM_LITLEN_SYMS, NUM_DIST_SYMS))
        return decoder_fail(d, GZIP_CORRUPT);
    d->fixed_codes_loaded = 1;
    return 0;
}

// Checks and skips the member header.
int read_header(GzipDecoder *d)
{
    static const unsigned MAGIC[3] = {31, 139, 8};
    for (unsigned i = 0; i < 3; i++) {
        unsigned b = read_bits(d, 8);
        if (d->error || past_end(d))
            return decoder_fail(d, GZIP_TRUNCATED);
        if (b != MAGIC[i])
            return decoder_fail(d, GZIP_NOT_GZIP);
    }
    unsigned flags = read_bits(d, 8);
    if (d->error || past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (flags & 0xE0)
        return decoder_fail(d, GZIP_NOT_GZIP);
    for (int i = 0; i < 6; i++)  // time, extra flags, operating system
        read_bits(d, 8);
    if (flags & 0x04) {  // FEXTRA
        unsigned xlen = read_bits(d, 16);
        while (xlen-- > 0 && !past_end(d))
            read_bits(d, 8);
    }
    for (unsigned flag = 0x08; flag <= 0x10; flag <<= 1) {  // FNAME, FCOMMENT
        if (flags & flag)
            while (read_bits(d, 8) != 0 && !past_end(d)) {
            }
    }
    if (flags & 0x02)  // FHCRC, not checked
        read_bits(d, 16);
    if (d->error || past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    return 0;
}

int decode_member(GzipDecoder *d)
{
    int r = read_header(d);
    if (r)
        return r;

    for (;;) {
        unsigned final_block = read_bits(d, 1);
        unsigned type = read_bits(d, 2);
        if (past_end(d))
            return decoder_fail(d, GZIP_TRUNCATED);
        if (type == 0)
            r = decode_stored_block(d);
        else if (type == 1)
            r = load_fixed_code(d);
        else if (type == 2)
            r = read_dynamic_code(d);
        else
            return decoder_fail(d, GZIP_CORRUPT);
        if (!r && type != 0)
            r = decode_huffman_block(d);
        if (r)
            return r;
        if (final_block)
            break;
    }
    if (!decoder_flush(d))
        return d->error;

    align_to_byte(d);
    uint32_t crc = read_u32_le(d);
    uint32_t isize = read_u32_le(d);
    if (past_end(d))
        return decoder_fail(d, GZIP_TRUNCATED);
    if (d->error)
        return d->error;
    if (crc != (d->crc ^ 0xFFFFFFFFu) || isize != (uint32_t)d->out_flushed)
        return decoder_fail(d, GZIP_CHECK_MISMATCH);

    // Real input already fetched beyond the trailer, or more from the source.
    if (d->bitcount > d->padded_bits || d->in_pos < d->in_fill)
        return decoder_fail(d, GZIP_TRAILING_DATA);
    if (!d->end_of_input) {
        int got = d->read(d->read_context, d->in, IN_BYTES);
        if (got < 0)
            return decoder_fail(d, GZIP_READ_ERROR);
        if (got > 0)
            return decoder_fail(d, GZIP_TRAILING_DATA);
    }
    return 0;
}

}  // namespace

// Stops short of a full word, so that a word-wise refill can always shift the
// next word in above the pending bits.
void decoder_refill(GzipDecoder *d)
{
    if (d->in_fill - d->in_pos >= sizeof(GzipBits)) {
        // A whole word: the bytes it could not count stay above the
        // pending bits, where the next refill puts them again.
        d->bitbuf |= load_word_le(d->in + d->in_pos) << d->bitcount;
        d->in_pos += (WORD_BITS - 1 - d->bitcount) >> 3;
        d->bitcount |= WORD_BITS - 8;
        return;
    }
    while (d->bitcount < WORD_BITS - 8) {
        d->bitbuf |= (GzipBits)next_byte(d) << d->bitcount;
        d->bitcount += 8;
    }
}

// A full chunk's last 32 KiB become the history of the next one.
int decoder_flush(GzipDecoder *d)
{
    uint8_t *start = d->window + CHUNK_START;
    size_t n = d->out_pos - CHUNK_START;
    if (n == 0)
        return 1;
    if (d->crc_clmul)
        d->crc = crc32_update_clmul(d->crc_table, d->crc, start, n);
    else if (n == OUT_CHUNK_BYTES)
        d->crc = crc32_update_halves(d->crc_table, d->crc, start, n, d->crc_half_shift);
    else
        d->crc = crc32_update(d->crc_table, d->crc, start, n);
    if (!d->write(d->write_context, start, n)) {
        decoder_fail(d, GZIP_WRITE_ERROR);
        return 0;
    }
    d->out_flushed += n;
    if (n == OUT_CHUNK_BYTES)
        memcpy(d->window, d->window + CHUNK_END - HISTORY_BYTES, HISTORY_BYTES);
    d->out_pos = CHUNK_START;
    d->history_start = 0;
    return 1;
}

namespace {

// One decoder block kept between calls. A block is about 180 KiB: the
// allocator maps such blocks afresh and the system zero-fills their pages on
// first touch, which for the many small objects of an update cost more than
// decoding them. A call takes the kept block when there is one (another
// thread's call meanwhile allocates its own) and keeps its block on return.
GzipDecoder *g_kept_decoder;

int g_cpu_extensions = 1;

}  // namespace

int gzip_use_cpu_extensions(int allow)
{
    return __atomic_exchange_n(&g_cpu_extensions, allow ? 1 : 0, __ATOMIC_RELAXED);
}

int gzip_decode(GzipReadFn read, void *read_context, GzipWriteFn write, void *write_context,
                uint64_t *decoded_size)
{
    if (decoded_size)
        *decoded_size = 0;
    GzipDecoder *d = __atomic_exchange_n(&g_kept_decoder, (GzipDecoder *)nullptr,
                                         __ATOMIC_ACQ_REL);
    bool tables_built = d != nullptr;
    if (!d)
        d = (GzipDecoder *)malloc(sizeof(GzipDecoder));
    if (!d)
        return GZIP_OUT_OF_MEMORY;
    // The state before the tables starts at zero; the tables and buffers
    // are always written before they are read.
    memset(d, 0, offsetof(GzipDecoder, litlen_table));
    d->read = read;
    d->read_context = read_context;
    d->write = write;
    d->write_context = write_context;
    d->out_pos = CHUNK_START;
    d->history_start = CHUNK_START;
    d->crc = 0xFFFFFFFFu;
    if (!tables_built)
        crc32_build_tables(d->crc_table);
    d->crc_half_shift = crc32_shift_for(OUT_CHUNK_BYTES / 2);
    int extensions = __atomic_load_n(&g_cpu_extensions, __ATOMIC_RELAXED);
    d->crc_clmul = extensions && cpu_has_clmul();
    d->use_bmi2 = extensions && cpu_has_bmi2();

    int r = decode_member(d);
    if (r == GZIP_OK && decoded_size)
        *decoded_size = d->out_flushed;
    free(__atomic_exchange_n(&g_kept_decoder, d, __ATOMIC_ACQ_REL));
    return r;
}

const char *gzip_result_text(int result)
{
    switch (result) {
    case GZIP_OK:
        return "ok";
    case GZIP_OUT_OF_MEMORY:
        return "out of memory";
    case GZIP_READ_ERROR:
        return "read error";
    case GZIP_WRITE_ERROR:
        return "write error";
    case GZIP_NOT_GZIP:
        return "not a gzip file";
    case GZIP_TRUNCATED:
        return "truncated";
    case GZIP_CORRUPT:
        return "corrupt deflate data";
    case GZIP_CHECK_MISMATCH:
        return "crc or size mismatch";
    case GZIP_TRAILING_DATA:
        return "trailing data";
    }
    return "unknown error";
}
