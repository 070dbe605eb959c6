// A delta object applied: the new file made from the player's old copy and
// the instructions of a delta the publisher built between the two releases.
//
// The instructions are those of the bsdiff family: add a run of bytes to
// the old copy's bytes at the current old position, copy a run of new
// bytes, move the old position. Compiled code that moved keeps most bytes
// and changes its relative addresses by small amounts, so the added bytes
// are mostly zeros and compress to little. Runs, bytes and moves travel in
// one deflate stream in a gzip member, record after record, so that the
// launcher's own decoder reads them in order with fixed memory and the new
// file is written front to back (hashed as it is written, by the caller).
//
// Everything in a delta is untrusted: every length and position is checked
// in 64 bits before it is used, a read outside the old copy, output beyond
// the new size and a stream that ends before the new size or goes on after
// it fail the delta. No platform calls: the fuzz target builds this file.
#include "rebuild/rebuild.h"

#include <string.h>

#include <new>

namespace {

const uint8_t DELTA_MAGIC[4] = {'K', 'V', 'D', 'L'};
const int VARINT_MAX_BYTES = 10;  // 64 bits, seven a byte
// New bytes gathered before one write; the old bytes of an added run are
// read into the same block.
const size_t DELTA_BLOCK_BYTES = 65536;

enum Field { FIELD_ADD, FIELD_COPY, FIELD_SEEK, FIELD_ADD_BYTES, FIELD_COPY_BYTES };

struct Applying {
    const DeltaHeader *header;
    DeltaOldReadFn read_old;
    void *old_context;
    GzipWriteFn write;
    void *write_context;
    Field field;
    uint64_t varint;       // the number being read
    int varint_bytes;
    uint64_t add_left, copy_left;
    uint64_t old_pos;      // the old byte the next added byte goes onto
    uint64_t next_pos;     // the old position once the record's runs are done
    uint64_t produced;     // new bytes made, written or gathered
    DeltaResult failure;   // DELTA_OK until a record fails
    uint8_t out[DELTA_BLOCK_BYTES];
    size_t out_used;
};

uint64_t load_le64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

int fail(Applying *a, DeltaResult why)
{
    a->failure = why;
    return 0;
}

bool flush_out(Applying *a)
{
    if (a->out_used == 0)
        return true;
    bool ok = a->write(a->write_context, a->out, a->out_used) != 0;
    a->out_used = 0;
    return ok;
}

bool put_out(Applying *a, const uint8_t *bytes, size_t n)
{
    while (n > 0) {
        size_t room = DELTA_BLOCK_BYTES - a->out_used;
        size_t take = n < room ? n : room;
        memcpy(a->out + a->out_used, bytes, take);
        a->out_used += take;
        a->produced += take;
        bytes += take;
        n -= take;
        if (a->out_used == DELTA_BLOCK_BYTES && !flush_out(a))
            return false;
    }
    return true;
}

// `diff` added to `to`, byte by byte without carries: four bytes at a time
// in a word, the top bit of each byte apart so that no carry crosses into
// the next (the launcher's build may not assume vector instructions).
void add_in_place(uint8_t *to, const uint8_t *diff, size_t n)
{
    const uint32_t LOW7 = 0x7F7F7F7Fu, TOP = 0x80808080u;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t x, y;
        memcpy(&x, to + i, 4);
        memcpy(&y, diff + i, 4);
        uint32_t sum = ((x & LOW7) + (y & LOW7)) ^ ((x ^ y) & TOP);
        memcpy(to + i, &sum, 4);
    }
    for (; i < n; i++)
        to[i] = (uint8_t)(to[i] + diff[i]);
}

// Added bytes: `n` of them from `diff`, each added to its old byte, the old
// bytes read straight into the output block.
bool add_bytes(Applying *a, const uint8_t *diff, size_t n)
{
    while (n > 0) {
        size_t room = DELTA_BLOCK_BYTES - a->out_used;
        size_t take = n < room ? n : room;
        uint8_t *to = a->out + a->out_used;
        if (!a->read_old(a->old_context, a->old_pos, to, take)) {
            a->failure = DELTA_OLD_READ_FAILED;
            return false;
        }
        add_in_place(to, diff, take);
        a->out_used += take;
        a->produced += take;
        a->old_pos += take;
        diff += take;
        n -= take;
        if (a->out_used == DELTA_BLOCK_BYTES && !flush_out(a)) {
            a->failure = DELTA_WRITE_FAILED;
            return false;
        }
    }
    return true;
}

// New bytes that the record carries as they are.
bool copy_bytes(Applying *a, const uint8_t *bytes, size_t n)
{
    if (put_out(a, bytes, n))
        return true;
    a->failure = DELTA_WRITE_FAILED;
    return false;
}

// The record's three numbers are read: every run and the move checked
// against both files before a byte of them is used.
int begin_record(Applying *a, uint64_t add, uint64_t copy, uint64_t zigzag)
{
    uint64_t left = a->header->new_size - a->produced;
    if (add > left || copy > left - add)
        return fail(a, DELTA_PAST_NEW_SIZE);
    if (add > a->header->old_size - a->old_pos)
        return fail(a, DELTA_OUTSIDE_OLD);
    // The move, after the added run, keeps the position within the old copy
    // (its end included: a later record may add nothing).
    uint64_t from = a->old_pos + add;
    uint64_t magnitude = zigzag >> 1;
    bool back = zigzag & 1;
    if (back ? magnitude > from : magnitude > a->header->old_size - from)
        return fail(a, DELTA_OUTSIDE_OLD);
    a->next_pos = back ? from - magnitude : from + magnitude;
    a->add_left = add;
    a->copy_left = copy;
    return 1;
}

// The runs of the record are done: the next record starts at the move.
void end_runs(Applying *a)
{
    if (a->add_left == 0 && a->copy_left == 0) {
        a->old_pos = a->next_pos;
        a->field = FIELD_ADD;
    } else {
        a->field = a->add_left ? FIELD_ADD_BYTES : FIELD_COPY_BYTES;
    }
}

// The gzip decoder's sink: the instruction stream, in pieces of any size.
int on_instructions(void *context, const uint8_t *bytes, size_t length)
{
    Applying *a = (Applying *)context;
    size_t at = 0;
    while (at < length) {
        if (a->field == FIELD_ADD_BYTES || a->field == FIELD_COPY_BYTES) {
            bool adding = a->field == FIELD_ADD_BYTES;
            uint64_t *left = adding ? &a->add_left : &a->copy_left;
            size_t n = length - at;
            if (n > *left)
                n = (size_t)*left;
            if (adding ? !add_bytes(a, bytes + at, n) : !copy_bytes(a, bytes + at, n))
                return 0;
            *left -= n;
            at += n;
            end_runs(a);
            continue;
        }
        // Nothing may follow the record that completes the file.
        if (a->field == FIELD_ADD && a->varint_bytes == 0 && a->produced == a->header->new_size)
            return fail(a, DELTA_MALFORMED);
        uint8_t byte = bytes[at++];
        if (a->varint_bytes == VARINT_MAX_BYTES - 1 && byte > 1)
            return fail(a, DELTA_MALFORMED);  // past 64 bits
        a->varint |= (uint64_t)(byte & 0x7F) << (7 * a->varint_bytes++);
        if (byte & 0x80)
            continue;
        uint64_t value = a->varint;
        a->varint = 0;
        a->varint_bytes = 0;
        if (a->field == FIELD_ADD) {
            a->add_left = value;
            a->field = FIELD_COPY;
        } else if (a->field == FIELD_COPY) {
            a->copy_left = value;
            a->field = FIELD_SEEK;
        } else {
            if (!begin_record(a, a->add_left, a->copy_left, value))
                return 0;
            end_runs(a);
        }
    }
    return 1;
}

struct HeaderThenStream {
    DeltaReadFn read;
    void *context;
    uint64_t left;  // bytes of the gzip member not yet handed to the decoder
    bool failed;
};

int read_stream(void *context, uint8_t *buffer, int capacity)
{
    HeaderThenStream *h = (HeaderThenStream *)context;
    if (h->left == 0)
        return 0;
    int want = (uint64_t)capacity < h->left ? capacity : (int)h->left;
    int got = h->read(h->context, buffer, want);
    if (got < 0 || got > want) {
        h->failed = true;
        return -1;
    }
    h->left -= (uint64_t)got;
    return got;
}

}  // namespace

DeltaResult delta_parse_header(const uint8_t *bytes, size_t len, DeltaHeader *header)
{
    memset(header, 0, sizeof *header);
    if (len < DELTA_HEADER_BYTES || memcmp(bytes, DELTA_MAGIC, sizeof DELTA_MAGIC) != 0 ||
        bytes[5] || bytes[6] || bytes[7])
        return DELTA_MALFORMED;
    if (bytes[4] != DELTA_VERSION)
        return DELTA_UNKNOWN_VERSION;
    header->old_size = load_le64(bytes + 8);
    header->new_size = load_le64(bytes + 16);
    memcpy(header->old_digest, bytes + 24, SHA256_BYTES);
    memcpy(header->new_digest, bytes + 56, SHA256_BYTES);
    header->stream_bytes = load_le64(bytes + 88);
    return DELTA_OK;
}

DeltaResult delta_apply(DeltaReadFn read, void *read_context, uint64_t delta_size,
                        const DeltaHeader *expected, DeltaOldReadFn read_old, void *old_context,
                        GzipWriteFn write, void *write_context)
{
    uint8_t head[DELTA_HEADER_BYTES];
    size_t have = 0;
    while (have < DELTA_HEADER_BYTES) {
        int got = read(read_context, head + have, (int)(DELTA_HEADER_BYTES - have));
        if (got <= 0 || (size_t)got > DELTA_HEADER_BYTES - have)
            return got < 0 ? DELTA_READ_FAILED : DELTA_MALFORMED;
        have += (size_t)got;
    }
    DeltaHeader header;
    DeltaResult parsed = delta_parse_header(head, sizeof head, &header);
    if (parsed != DELTA_OK)
        return parsed;
    if (delta_size < DELTA_HEADER_BYTES || header.stream_bytes != delta_size - DELTA_HEADER_BYTES)
        return DELTA_MALFORMED;
    if (header.old_size != expected->old_size || header.new_size != expected->new_size ||
        memcmp(header.old_digest, expected->old_digest, SHA256_BYTES) != 0 ||
        memcmp(header.new_digest, expected->new_digest, SHA256_BYTES) != 0)
        return DELTA_NOT_FOR_THESE_FILES;

    // A 64 KiB block: on the heap, not on a carrier's stack.
    Applying *a = new (std::nothrow) Applying();
    if (!a)
        return DELTA_OUT_OF_MEMORY;
    a->header = &header;
    a->read_old = read_old;
    a->old_context = old_context;
    a->write = write;
    a->write_context = write_context;
    a->field = FIELD_ADD;
    a->failure = DELTA_OK;
    HeaderThenStream stream = {read, read_context, header.stream_bytes, false};
    int decoded = gzip_decode(read_stream, &stream, on_instructions, a, nullptr);
    DeltaResult result = a->failure;
    if (result == DELTA_OK && decoded != GZIP_OK)
        result = stream.failed ? DELTA_READ_FAILED
               : decoded == GZIP_WRITE_ERROR ? DELTA_WRITE_FAILED : DELTA_MALFORMED;
    if (result == DELTA_OK && (a->produced != header.new_size || a->field != FIELD_ADD ||
                               a->varint_bytes != 0))
        result = DELTA_ENDS_EARLY;
    if (result == DELTA_OK && !flush_out(a))
        result = DELTA_WRITE_FAILED;
    delete a;
    return result;
}

const char *delta_result_text(DeltaResult result)
{
    switch (result) {
    case DELTA_OK:
        return "ok";
    case DELTA_MALFORMED:
        return "malformed";
    case DELTA_UNKNOWN_VERSION:
        return "of an unknown version";
    case DELTA_NOT_FOR_THESE_FILES:
        return "made for other files";
    case DELTA_OUTSIDE_OLD:
        return "reaching outside the old copy";
    case DELTA_PAST_NEW_SIZE:
        return "making more than the new file";
    case DELTA_ENDS_EARLY:
        return "ending before the new file does";
    case DELTA_READ_FAILED:
        return "unreadable";
    case DELTA_OLD_READ_FAILED:
        return "old copy unreadable";
    case DELTA_WRITE_FAILED:
        return "not written";
    case DELTA_OUT_OF_MEMORY:
        return "out of memory";
    }
    return "unknown error";
}
