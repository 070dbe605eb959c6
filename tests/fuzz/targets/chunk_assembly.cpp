// Chunked assembly from arbitrary old bytes, as a player's launcher will do
// it: a new file is cut and listed in an index; the old bytes are cut and
// hashed, and every chunk of the index found among them is copied from
// there, every other one "fetched" (taken from the new file); the result
// must be the new file, and with no edit at all nothing may be fetched.
//
// The input is a recipe: its first bytes choose up to eight edits (insert,
// delete or overwrite, where and how long), the rest seeds the old file,
// which is stretched with noise to several chunks so that cuts are met.
#include "chunks/chunks.h"
#include "content/sha256_internal.h"

#include "tests/fuzz/fuzz.h"

#include <string>
#include <vector>

namespace {

const size_t OLD_BYTES = 3 * CHUNK_MAX_BYTES;

// The SHA extensions where the processor has them: hashing is most of a
// run's time, and the portable code under the sanitizers is slow.
std::string digest_of(const std::string &s, size_t at, size_t n)
{
    static const bool fast = cpu_has_sha_extensions();
    uint8_t d[SHA256_BYTES];
    Sha256Blocks h;
    if (fast)
        sha256_blocks_begin(&h);
    else
        sha256_blocks_begin_plain(&h);
    sha256_blocks_add(&h, s.data() + at, n);
    sha256_blocks_finish(&h, d);
    return std::string((const char *)d, SHA256_BYTES);
}

std::string noise_of(Draw *noise, size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)noise->next();
    return s;
}

struct Piece {
    uint64_t offset;
    uint32_t length;
};

std::vector<Piece> cut(const std::string &s)
{
    std::vector<Piece> out;
    Chunker c;
    chunker_begin(&c);
    size_t at = 0, start = 0;
    while (at < s.size()) {
        uint32_t len = 0;
        at += chunker_feed(&c, (const uint8_t *)s.data() + at, s.size() - at, &len);
        if (len) {
            out.push_back({start, len});
            start += len;
        }
    }
    if (uint32_t len = chunker_end(&c))
        out.push_back({start, len});
    return out;
}

void put32(std::string *s, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        *s += (char)(v >> (8 * k));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t edits = size > 0 ? data[0] % 9 : 0;
    if (size < 1 + 6 * edits)
        return 0;
    const uint8_t *recipe = data + 1;
    std::string old((const char *)recipe + 6 * edits, size - 1 - 6 * edits);
    Draw noise(size);
    if (old.size() < OLD_BYTES)
        old += noise_of(&noise, OLD_BYTES - old.size());

    std::string now = old;
    for (size_t e = 0; e < edits; e++) {
        const uint8_t *r = recipe + 6 * e;
        size_t at = ((size_t)r[1] << 16 | (size_t)r[2] << 8 | r[3]) % (now.size() + 1);
        size_t len = ((size_t)r[4] << 8 | r[5]) + 1;
        std::string fresh = noise_of(&noise, len);
        if (r[0] % 3 == 0)
            now.insert(at, fresh);
        else if (r[0] % 3 == 1)
            now.erase(at, len);
        else
            now.replace(at, len, fresh);
    }

    // The publisher's side: the index of the new file.
    std::vector<Piece> pieces = cut(now);
    std::string index_bytes("KCIX\x01\0\0\0", 8);
    put32(&index_bytes, (uint32_t)now.size());
    put32(&index_bytes, (uint32_t)((uint64_t)now.size() >> 32));
    put32(&index_bytes, (uint32_t)pieces.size());
    for (const Piece &p : pieces) {
        put32(&index_bytes, p.length);
        put32(&index_bytes, 0);
        index_bytes += digest_of(now, p.offset, p.length);
    }
    ChunkIndex index;
    FUZZ_CHECK(chunk_index_parse(index_bytes.data(), index_bytes.size(), now.size(), &index) ==
                   CHUNK_INDEX_OK,
               "the publisher's index is refused");

    // The player's side: the old bytes' chunks matched against it.
    std::vector<uint32_t> order(index.count);
    chunk_lookup_build(&index, order.data());
    std::vector<int64_t> source(index.count, -1);  // offset in the old bytes
    for (const Piece &p : cut(old)) {
        std::string d = digest_of(old, p.offset, p.length);
        int64_t at = chunk_lookup_find(&index, order.data(), (const uint8_t *)d.data());
        for (; at >= 0 && at < (int64_t)index.count &&
               memcmp(chunk_index_digest(&index, order[at]), d.data(), SHA256_BYTES) == 0;
             at++)
            source[order[at]] = (int64_t)p.offset;
    }
    std::string built;
    uint64_t offset = 0;
    size_t fetched = 0;
    for (uint32_t i = 0; i < index.count; i++) {
        uint32_t len = chunk_index_length(&index, i);
        if (source[i] >= 0) {
            built.append(old, (size_t)source[i], len);
        } else {
            built.append(now, (size_t)offset, len);
            fetched++;
        }
        offset += len;
    }
    FUZZ_CHECK(built == now, "the assembled file is not the new one");
    FUZZ_CHECK(edits > 0 || fetched == 0, "an unchanged file fetched chunks");
    return 0;
}
