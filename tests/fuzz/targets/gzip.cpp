// The gzip decoder, twice over the same input: once in whole reads, once in
// reads of random sizes (1 byte up to the offered capacity, replayed from
// the input itself). Both must give the same result and the same bytes,
// every write must be within the chunk contract, and a success must report
// the size it wrote.
#include "content/content.h"

#include "tests/fuzz/fuzz.h"

#include <string>

namespace {

// Output past this fails the sink, at the same byte in both decodes.
const size_t OUTPUT_LIMIT = 8u << 20;

struct Source {
    const uint8_t *data;
    size_t size, pos;
    Draw *pieces;  // null: as much as is offered
};

int read_input(void *context, uint8_t *buffer, int capacity)
{
    Source *s = (Source *)context;
    FUZZ_CHECK(capacity == GZIP_IO_CHUNK_BYTES, "read offered another capacity");
    size_t n = s->size - s->pos;
    if (s->pieces) {
        uint32_t r = s->pieces->next();
        size_t want = r % 4 == 0 ? r % (size_t)capacity + 1 : r % 64 + 1;
        if (n > want)
            n = want;
    }
    if (n > (size_t)capacity)
        n = (size_t)capacity;
    memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return (int)n;
}

int collect(void *context, const uint8_t *bytes, size_t length)
{
    std::string *out = (std::string *)context;
    FUZZ_CHECK(length > 0 && length <= GZIP_IO_CHUNK_BYTES, "write outside the chunk contract");
    if (out->size() + length > OUTPUT_LIMIT)
        return 0;
    out->append((const char *)bytes, length);
    return 1;
}

int decode(const uint8_t *data, size_t size, Draw *pieces, std::string *out, uint64_t *decoded)
{
    ExactCopy in(data, size);
    Source s = {(const uint8_t *)in.p, size, 0, pieces};
    return gzip_decode(read_input, &s, collect, out, decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string whole, pieced;
    uint64_t whole_size = 7, pieced_size = 7;
    int a = decode(data, size, nullptr, &whole, &whole_size);
    uint64_t seed = size;
    for (size_t i = 0; i < size && i < 16; i++)
        seed = seed * 131 + data[i];
    Draw pieces(seed);
    int b = decode(data, size, &pieces, &pieced, &pieced_size);
    FUZZ_CHECK(a >= GZIP_OK && a <= GZIP_TRAILING_DATA, "result outside GzipResult");
    FUZZ_CHECK(a == b, "whole and pieced reads give other results");
    FUZZ_CHECK(whole == pieced, "whole and pieced reads give other bytes");
    if (a == GZIP_OK)
        FUZZ_CHECK(whole_size == whole.size() && pieced_size == pieced.size(),
                   "decoded size differs from the bytes written");
    FUZZ_CHECK(gzip_result_text(a) && gzip_result_text(a)[0], "result without a text");
    return 0;
}
