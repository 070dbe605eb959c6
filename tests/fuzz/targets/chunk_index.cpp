// The chunk index reader over any bytes, checked against the size its own
// header states and a size one off: whatever it accepts walks cleanly (the
// lengths within the limits, each packed size below its length, the sum the
// file's size), every digest is found again by the lookup, and a refusal
// leaves the record cleared.
#include "chunks/chunks.h"

#include "tests/fuzz/fuzz.h"

#include <vector>

namespace {

uint64_t stated_size(const uint8_t *data, size_t size)
{
    uint64_t v = 0;
    for (int k = 7; k >= 0 && size >= 16; k--)
        v = v << 8 | data[8 + k];
    return v;
}

void check(const uint8_t *data, size_t size, uint64_t file_size)
{
    ExactCopy in(data, size);
    ChunkIndex index;
    memset(&index, 0x55, sizeof index);
    ChunkIndexResult r = chunk_index_parse(in.p, size, file_size, &index);
    FUZZ_CHECK(r == CHUNK_INDEX_OK || r == CHUNK_INDEX_MALFORMED || r == CHUNK_INDEX_UNKNOWN_VERSION,
               "result outside ChunkIndexResult");
    if (r != CHUNK_INDEX_OK) {
        FUZZ_CHECK(index.count == 0 && index.records == nullptr && index.file_size == 0,
                   "refused index not cleared");
        return;
    }
    FUZZ_CHECK(index.file_size == file_size, "accepted another size");
    uint64_t sum = 0;
    for (uint32_t i = 0; i < index.count; i++) {
        uint32_t len = chunk_index_length(&index, i);
        FUZZ_CHECK(len >= 1 && len <= CHUNK_MAX_BYTES, "length outside the limits");
        FUZZ_CHECK(i + 1 == index.count || len >= CHUNK_MIN_BYTES, "short chunk before the last");
        FUZZ_CHECK(chunk_index_packed(&index, i) < len, "packed size not below the length");
        sum += len;
    }
    FUZZ_CHECK(sum == file_size, "lengths do not add up to the size");
    std::vector<uint32_t> order(index.count);
    chunk_lookup_build(&index, order.data());
    for (uint32_t i = 0; i < index.count; i++) {
        int64_t at = chunk_lookup_find(&index, order.data(), chunk_index_digest(&index, i));
        FUZZ_CHECK(at >= 0 && memcmp(chunk_index_digest(&index, order[at]),
                                     chunk_index_digest(&index, i), SHA256_BYTES) == 0,
                   "a chunk's digest is not found");
        FUZZ_CHECK(at == 0 || memcmp(chunk_index_digest(&index, order[at - 1]),
                                     chunk_index_digest(&index, i), SHA256_BYTES) < 0,
                   "not the first of its twins");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t stated = stated_size(data, size);
    check(data, size, stated);
    check(data, size, stated + 1);
    return 0;
}
