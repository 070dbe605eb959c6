// The delta applier over any bytes: the input is a two-byte length, that
// many bytes of old copy, then the delta object. The delta is applied for
// the files its own header names (the caller's checks passed), over an old
// copy of the size it states: whatever the records say, the applier reads
// only inside that copy, writes no more than the new size, in pieces of at
// most 65536 bytes, and when it answers DELTA_OK it wrote exactly that size.
#include "rebuild/rebuild.h"

#include "tests/fuzz/fuzz.h"

#include <string.h>

namespace {

struct Input {
    const uint8_t *p;
    size_t left;
};

int read_delta(void *context, uint8_t *buffer, int capacity)
{
    Input *in = (Input *)context;
    size_t n = in->left < (size_t)capacity ? in->left : (size_t)capacity;
    memcpy(buffer, in->p, n);
    in->p += n;
    in->left -= n;
    return (int)n;
}

struct OldCopy {
    const uint8_t *bytes;  // repeated to the size the header states
    size_t length;
    uint64_t size;
};

int read_old(void *context, uint64_t offset, uint8_t *buffer, size_t length)
{
    const OldCopy *old = (const OldCopy *)context;
    FUZZ_CHECK(offset <= old->size && length <= old->size - offset, "read outside the old copy");
    for (size_t i = 0; i < length; i++)
        buffer[i] = old->length ? old->bytes[(offset + i) % old->length] : 0;
    return 1;
}

struct Written {
    uint64_t bytes;
    uint64_t limit;
};

int write_new(void *context, const uint8_t *, size_t length)
{
    Written *w = (Written *)context;
    FUZZ_CHECK(length >= 1 && length <= 65536, "a write outside its sizes");
    w->bytes += length;
    FUZZ_CHECK(w->bytes <= w->limit, "more than the new size written");
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t old_length = (size_t)(data[0] | data[1] << 8);
    if (old_length > size - 2)
        old_length = size - 2;
    ExactCopy in(data, size);
    const uint8_t *bytes = (const uint8_t *)in.p;
    const uint8_t *delta = bytes + 2 + old_length;
    size_t delta_size = size - 2 - old_length;

    DeltaHeader expected;
    if (delta_size < DELTA_HEADER_BYTES ||
        delta_parse_header(delta, delta_size, &expected) != DELTA_OK)
        memset(&expected, 0, sizeof expected);
    OldCopy old = {bytes + 2, old_length, expected.old_size};
    Written written = {0, expected.new_size};
    Input source = {delta, delta_size};
    DeltaResult r = delta_apply(read_delta, &source, delta_size, &expected, read_old, &old,
                                write_new, &written);
    FUZZ_CHECK(r >= DELTA_OK && r <= DELTA_OUT_OF_MEMORY, "result outside DeltaResult");
    FUZZ_CHECK(r != DELTA_OK || written.bytes == expected.new_size, "accepted a short file");
    FUZZ_CHECK(r != DELTA_OLD_READ_FAILED && r != DELTA_WRITE_FAILED && r != DELTA_READ_FAILED,
               "a failure no callback made");
    return 0;
}
