// The chunk index: reading it from untrusted bytes, writing it, and finding
// its chunks by digest. Byte-level code only, no platform calls: the
// publisher's tool and the fuzz targets build it natively.
//
// The index arrives over the network. Its own digest is checked against the
// signed manifest before it is read, but the reader still trusts nothing:
// every number is checked against the others in 64 bits before any record
// is used, so a caller that walks a parsed index never meets a length out of
// range or a sum that misses the file's size.
#include "chunks/chunks.h"

#include <algorithm>
#include <string.h>

namespace {

const uint8_t MAGIC[4] = {'K', 'C', 'I', 'X'};

uint32_t load_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Lengths are checked one by one against the limits, each packed size
// against its length (so no download of a chunk can exceed CHUNK_MAX_BYTES),
// and the lengths' running sum against the file's size: a sum of up to 2^32 lengths of at most
// CHUNK_MAX_BYTES cannot overflow 64 bits.
ChunkIndexResult check_records(const uint8_t *records, uint32_t count, uint64_t file_size)
{
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *record = records + (size_t)i * CHUNK_INDEX_RECORD_BYTES;
        uint32_t len = load_le32(record);
        uint32_t packed = load_le32(record + 4);
        bool last = i + 1 == count;
        if (len == 0 || len > CHUNK_MAX_BYTES || (!last && len < CHUNK_MIN_BYTES) ||
            packed >= len)
            return CHUNK_INDEX_MALFORMED;
        sum += len;
        if (sum > file_size)
            return CHUNK_INDEX_MALFORMED;
    }
    return sum == file_size ? CHUNK_INDEX_OK : CHUNK_INDEX_MALFORMED;
}

}  // namespace

ChunkIndexResult chunk_index_parse(const void *bytes, size_t len, uint64_t file_size,
                                   ChunkIndex *index)
{
    memset(index, 0, sizeof *index);
    const uint8_t *p = (const uint8_t *)bytes;
    if (!p || len < sizeof MAGIC + 1 || memcmp(p, MAGIC, sizeof MAGIC) != 0)
        return CHUNK_INDEX_MALFORMED;
    if (p[4] != CHUNK_INDEX_VERSION)
        return CHUNK_INDEX_UNKNOWN_VERSION;
    if (len < CHUNK_INDEX_HEADER_BYTES || len > CHUNK_INDEX_MAX_BYTES || p[5] || p[6] || p[7])
        return CHUNK_INDEX_MALFORMED;
    uint64_t size = (uint64_t)load_le32(p + 8) | (uint64_t)load_le32(p + 12) << 32;
    uint32_t count = load_le32(p + 16);
    // The record count must fill the bytes exactly; with len bounded above,
    // the product stays far inside 64 bits.
    if (size != file_size ||
        (uint64_t)count * CHUNK_INDEX_RECORD_BYTES != (uint64_t)len - CHUNK_INDEX_HEADER_BYTES)
        return CHUNK_INDEX_MALFORMED;
    // Cheap bounds first, so that a hostile count is refused before a walk.
    if ((uint64_t)count * CHUNK_MAX_BYTES < size ||
        (count > 0 && (uint64_t)(count - 1) * CHUNK_MIN_BYTES >= size))
        return CHUNK_INDEX_MALFORMED;
    ChunkIndexResult checked = check_records(p + CHUNK_INDEX_HEADER_BYTES, count, size);
    if (checked != CHUNK_INDEX_OK)
        return checked;
    index->file_size = size;
    index->count = count;
    index->records = p + CHUNK_INDEX_HEADER_BYTES;
    return CHUNK_INDEX_OK;
}

const char *chunk_index_result_text(ChunkIndexResult result)
{
    switch (result) {
    case CHUNK_INDEX_OK:
        return "ok";
    case CHUNK_INDEX_MALFORMED:
        return "malformed chunk index";
    case CHUNK_INDEX_UNKNOWN_VERSION:
        return "chunk index of an unknown version";
    }
    return "unknown error";
}

uint32_t chunk_index_length(const ChunkIndex *index, uint32_t i)
{
    return load_le32(index->records + (size_t)i * CHUNK_INDEX_RECORD_BYTES);
}

uint32_t chunk_index_packed(const ChunkIndex *index, uint32_t i)
{
    return load_le32(index->records + (size_t)i * CHUNK_INDEX_RECORD_BYTES + 4);
}

const uint8_t *chunk_index_digest(const ChunkIndex *index, uint32_t i)
{
    return index->records + (size_t)i * CHUNK_INDEX_RECORD_BYTES + 8;
}

void chunk_lookup_build(const ChunkIndex *index, uint32_t *order)
{
    for (uint32_t i = 0; i < index->count; i++)
        order[i] = i;
    std::sort(order, order + index->count, [index](uint32_t a, uint32_t b) {
        int c = memcmp(chunk_index_digest(index, a), chunk_index_digest(index, b), SHA256_BYTES);
        return c < 0 || (c == 0 && a < b);
    });
}

int64_t chunk_lookup_find(const ChunkIndex *index, const uint32_t *order,
                          const uint8_t digest[SHA256_BYTES])
{
    // The first position whose digest is not below `digest`.
    uint32_t lo = 0, hi = index->count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (memcmp(chunk_index_digest(index, order[mid]), digest, SHA256_BYTES) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < index->count && memcmp(chunk_index_digest(index, order[lo]), digest, SHA256_BYTES) == 0)
        return lo;
    return -1;
}
