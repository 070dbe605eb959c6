// The content-defined chunker and the chunk index: the format pinned (gear
// table, cuts of a fixed input), the cuts' independence from how the stream
// is fed, the edits that must change only the chunks around them, the
// index reader against hostile bytes, and the lookup by digest.
#include "chunks/chunks.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

struct Cut {
    uint64_t offset;
    uint32_t length;
    std::string digest;  // raw
    bool operator==(const Cut &o) const
    {
        return offset == o.offset && length == o.length && digest == o.digest;
    }
};

std::string digest_of(const char *p, size_t n)
{
    uint8_t d[SHA256_BYTES];
    EXPECT_TRUE(sha256_buffer(p, n, d));
    return std::string((const char *)d, SHA256_BYTES);
}

// The chunks of `data` fed in blocks of `block` bytes (0: all at once).
std::vector<Cut> cuts_of(const std::string &data, size_t block = 0)
{
    std::vector<Cut> cuts;
    Chunker c;
    chunker_begin(&c);
    uint64_t start = 0;
    size_t at = 0;
    auto add = [&](uint32_t len) {
        cuts.push_back({start, len, digest_of(data.data() + start, len)});
        start += len;
    };
    while (at < data.size()) {
        size_t n = block ? std::min(block, data.size() - at) : data.size() - at;
        const uint8_t *p = (const uint8_t *)data.data() + at;
        while (n > 0) {
            uint32_t cut = 0;
            size_t used = chunker_feed(&c, p, n, &cut);
            p += used;
            n -= used;
            at += used;
            if (cut)
                add(cut);
        }
    }
    if (uint32_t last = chunker_end(&c))
        add(last);
    return cuts;
}

// Bytes of a xorshift stream: the fixed input of the pinned cuts.
std::string noise(size_t n, uint64_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        s[i] = (char)(seed >> 24);
    }
    return s;
}

// Text-like bytes: words from a small vocabulary, as in scripts and
// localisation files, which repeat far more than noise does.
std::string words(size_t n, uint64_t seed)
{
    static const char *const vocabulary[] = {"sword ", "shield ", "quest ", "dragon\n",
                                             "tavern ", "gold ", "= 12;\n", "potion "};
    std::string s;
    std::string r = noise(n / 4 + 1, seed);
    for (size_t i = 0; s.size() < n; i++)
        s += vocabulary[(uint8_t)r[i % r.size()] % 8];
    s.resize(n);
    return s;
}

std::string hex(const std::string &raw)
{
    char text[SHA256_HEX_CHARS];
    hex_encode((const uint8_t *)raw.data(), SHA256_BYTES, text);
    return text;
}

TEST(ChunkFormat, GearTableIsPinned)
{
    // The table's bytes, little-endian, hashed: any change of any entry
    // changes every launcher's cuts.
    std::string bytes;
    for (uint32_t v : CHUNK_GEAR_TABLE)
        for (int k = 0; k < 4; k++)
            bytes += (char)(v >> (8 * k));
    EXPECT_EQ(hex(digest_of(bytes.data(), bytes.size())),
              "7af9a25d3dcad89dd7bc5d76b814d13fa8c97dd5891d08c6543715d5e129b56e");
    // And how it was made: the first word of the SHA-256 of each byte.
    for (int i = 0; i < 256; i++) {
        char b = (char)i;
        std::string d = digest_of(&b, 1);
        uint32_t word = (uint32_t)(uint8_t)d[0] << 24 | (uint32_t)(uint8_t)d[1] << 16 |
                        (uint32_t)(uint8_t)d[2] << 8 | (uint8_t)d[3];
        ASSERT_EQ(CHUNK_GEAR_TABLE[i], word) << i;
    }
}

TEST(ChunkFormat, CutsOfAFixedInputArePinned)
{
    std::vector<Cut> cuts = cuts_of(noise(1 << 20, 88172645463325252ull));
    std::string lengths;
    for (const Cut &c : cuts)
        lengths += std::to_string(c.length) + " ";
    EXPECT_EQ(cuts.size(), 56u);
    EXPECT_EQ(lengths.substr(0, 48), "39766 29265 21805 6184 4359 5633 9509 9699 27075");
    EXPECT_EQ(hex(digest_of(lengths.data(), lengths.size())),
              "c8399457f669a155e2148a9b221ae42a831701232e26d3d2e1669884cac3b398");
}

// Every chunk within the limits, in order, covering the input exactly.
void expect_well_formed(const std::vector<Cut> &cuts, size_t size)
{
    uint64_t at = 0;
    for (size_t i = 0; i < cuts.size(); i++) {
        EXPECT_EQ(cuts[i].offset, at);
        EXPECT_LE(cuts[i].length, (uint32_t)CHUNK_MAX_BYTES);
        if (i + 1 < cuts.size()) {
            EXPECT_GE(cuts[i].length, (uint32_t)CHUNK_MIN_BYTES);
        }
        at += cuts[i].length;
    }
    EXPECT_EQ(at, size);
}

TEST(Chunker, SameCutsWhateverTheBlocks)
{
    // Noise, a run of zeros (never cut before the maximum) and text.
    std::string data = noise(700000, 5) + std::string(300000, '\0') + words(600000, 6);
    std::vector<Cut> whole = cuts_of(data);
    expect_well_formed(whole, data.size());
    for (size_t block : {1u, 7u, 4095u, 65536u, 1048576u}) {
        SCOPED_TRACE(block);
        EXPECT_TRUE(cuts_of(data, block) == whole);
    }
}

TEST(Chunker, ShortAndEmptyStreams)
{
    EXPECT_TRUE(cuts_of("").empty());
    std::string one_short = noise(CHUNK_MIN_BYTES - 1, 9);
    std::vector<Cut> cuts = cuts_of(one_short);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].length, (uint32_t)CHUNK_MIN_BYTES - 1);
    // Zeros hash to a constant that never passes the test: maximum chunks,
    // and an exact multiple leaves no short last one.
    cuts = cuts_of(std::string(3 * CHUNK_MAX_BYTES, '\0'));
    ASSERT_EQ(cuts.size(), 3u);
    EXPECT_EQ(cuts[2].length, (uint32_t)CHUNK_MAX_BYTES);
}

enum EditKind { INSERT, DELETE, OVERWRITE };

struct Edit {
    const char *why;
    EditKind kind;
    size_t at;   // in the old file; SIZE_MAX: at its end
    size_t len;
};

// The chunks of `after` that `before` lacks must all lie near the edit: from
// the start of the chunk that held the edit's first byte to at most two
// maximum chunks past its last; and the chunks before it stay as they were.
TEST(Chunker, EditsChangeOnlyTheChunksAroundThem)
{
    const std::string old = noise(2 << 20, 77).substr(0, 1 << 20) + words(1 << 20, 78);
    std::vector<Cut> old_cuts = cuts_of(old);
    const size_t at_cut = old_cuts[40].offset;  // an edit right on a cut
    const Edit edits[] = {
        {"one byte inserted at the start", INSERT, 0, 1},
        {"one byte inserted in the noise", INSERT, 300001, 1},
        {"1 KiB inserted in the text", INSERT, 1500000, 1024},
        {"64 KiB inserted, more than a maximum chunk", INSERT, 700000, 65536},
        {"bytes inserted right at a cut", INSERT, at_cut, 100},
        {"one byte deleted", DELETE, 500000, 1},
        {"10 KiB deleted across the noise and the text", DELETE, (1 << 20) - 5000, 10240},
        {"the first 100 bytes deleted", DELETE, 0, 100},
        {"one byte overwritten", OVERWRITE, 800000, 1},
        {"30 KiB overwritten in the text", OVERWRITE, 1700000, 30000},
        {"a tail appended", INSERT, SIZE_MAX, 20000},
        {"the last 3 KiB cut off", DELETE, old.size() - 3072, 3072},
    };
    std::set<std::string> had;
    for (const Cut &c : old_cuts)
        had.insert(c.digest);
    for (const Edit &e : edits) {
        SCOPED_TRACE(e.why);
        size_t at = e.at == SIZE_MAX ? old.size() : e.at;
        std::string fresh = noise(e.len, at + 1);
        std::string now = old;
        if (e.kind == INSERT)
            now.insert(at, fresh);
        else if (e.kind == DELETE)
            now.erase(at, e.len);
        else
            now.replace(at, e.len, fresh);
        size_t edit_end = at + (e.kind == DELETE ? 0 : e.len);  // in the new file
        std::vector<Cut> cuts = cuts_of(now);
        expect_well_formed(cuts, now.size());
        size_t changed = 0;
        for (const Cut &c : cuts) {
            if (had.count(c.digest))
                continue;
            changed++;
            EXPECT_GT(c.offset + c.length + CHUNK_MAX_BYTES, at) << "changed chunk at " << c.offset;
            EXPECT_LT(c.offset, edit_end + 2 * CHUNK_MAX_BYTES) << "changed chunk at " << c.offset;
        }
        EXPECT_GE(changed, 1u);
        // (The old file's last chunk ended with the file, not by its content.)
        for (size_t i = 0; i + 1 < old_cuts.size() && old_cuts[i].offset + old_cuts[i].length <= at;
             i++)
            EXPECT_TRUE(i < cuts.size() && cuts[i] == old_cuts[i]) << "chunk " << i << " before the edit";
    }
}

// An index built by hand: records of the given lengths, digests from the
// record's number, packed sizes as given (0 by default).
struct IndexBytes {
    std::string bytes;

    IndexBytes(const std::vector<uint32_t> &lengths, uint64_t size = UINT64_MAX,
               const std::vector<uint32_t> &packed = {})
    {
        uint64_t sum = 0;
        for (uint32_t l : lengths)
            sum += l;
        bytes = std::string("KCIX\x01\0\0\0", 8);
        put64(size == UINT64_MAX ? sum : size);
        put32((uint32_t)lengths.size());
        for (size_t i = 0; i < lengths.size(); i++) {
            put32(lengths[i]);
            put32(i < packed.size() ? packed[i] : 0);
            std::string d(SHA256_BYTES, (char)i);
            d[0] = (char)(i >> 8);
            bytes += d;
        }
    }
    void put32(uint32_t v)
    {
        for (int k = 0; k < 4; k++)
            bytes += (char)(v >> (8 * k));
    }
    void put64(uint64_t v)
    {
        put32((uint32_t)v);
        put32((uint32_t)(v >> 32));
    }
};

// The file size an index's header states; 0 for bytes too short to state one.
uint64_t size_field(const std::string &bytes)
{
    uint64_t v = 0;
    for (int k = 7; k >= 0 && bytes.size() >= 16; k--)
        v = v << 8 | (uint8_t)bytes[8 + k];
    return v;
}

ChunkIndexResult parse(const std::string &bytes, uint64_t file_size, ChunkIndex *index)
{
    // An exact copy, so that a read past the end meets no friendly bytes.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    return chunk_index_parse(copy.empty() ? nullptr : copy.data(), copy.size(), file_size, index);
}

TEST(ChunkIndexRead, HostileBytes)
{
    const uint32_t MIN = CHUNK_MIN_BYTES, MAX = CHUNK_MAX_BYTES;
    const std::vector<uint32_t> good = {MAX, MIN, 20000, 17};
    const std::string valid = IndexBytes(good).bytes;
    auto with = [&](size_t at, char v) {
        std::string s = valid;
        s[at] = v;
        return s;
    };
    const struct {
        const char *why;
        std::string bytes;
        ChunkIndexResult result;
    } cases[] = {
        {"valid", valid, CHUNK_INDEX_OK},
        {"an empty file without chunks", IndexBytes({}).bytes, CHUNK_INDEX_OK},
        {"the last chunk a whole maximum", IndexBytes({MIN, MAX}).bytes, CHUNK_INDEX_OK},
        {"packed sizes below the lengths", IndexBytes(good, UINT64_MAX, {MAX - 1, 1, 0, 16}).bytes,
         CHUNK_INDEX_OK},
        {"no bytes", "", CHUNK_INDEX_MALFORMED},
        {"a header cut short", valid.substr(0, CHUNK_INDEX_HEADER_BYTES - 1), CHUNK_INDEX_MALFORMED},
        {"another magic", with(0, 'k'), CHUNK_INDEX_MALFORMED},
        {"version 2, whatever follows", with(4, 2).substr(0, 9), CHUNK_INDEX_UNKNOWN_VERSION},
        {"version 0", with(4, 0), CHUNK_INDEX_UNKNOWN_VERSION},
        {"a reserved byte set", with(7, 1), CHUNK_INDEX_MALFORMED},
        {"one byte more", valid + "x", CHUNK_INDEX_MALFORMED},
        {"one byte less", valid.substr(0, valid.size() - 1), CHUNK_INDEX_MALFORMED},
        {"a count one above the records", with(16, 5), CHUNK_INDEX_MALFORMED},
        {"a count of 2^32 - 1", with(16, -1).substr(0, 17) + std::string("\xff\xff\xff", 3) +
                                    valid.substr(20), CHUNK_INDEX_MALFORMED},
        {"a middle chunk below the minimum", IndexBytes({MAX, MIN - 1, 17}).bytes,
         CHUNK_INDEX_MALFORMED},
        {"a chunk above the maximum", IndexBytes({MAX + 1, 17}).bytes, CHUNK_INDEX_MALFORMED},
        {"an empty last chunk", IndexBytes({MAX, 0}).bytes, CHUNK_INDEX_MALFORMED},
        {"lengths short of the size", IndexBytes(good, MAX + MIN + 20000 + 18).bytes,
         CHUNK_INDEX_MALFORMED},
        {"lengths past the size", IndexBytes(good, MAX + MIN + 20000 + 16).bytes,
         CHUNK_INDEX_MALFORMED},
        {"no chunks for a file of one byte", IndexBytes({}, 1).bytes, CHUNK_INDEX_MALFORMED},
        {"a packed size equal to its length", IndexBytes(good, UINT64_MAX, {0, MIN}).bytes,
         CHUNK_INDEX_MALFORMED},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.why);
        ChunkIndex index;
        memset(&index, 0x55, sizeof index);
        EXPECT_EQ(parse(t.bytes, size_field(t.bytes), &index), t.result);
        if (t.result != CHUNK_INDEX_OK) {
            EXPECT_EQ(index.count, 0u);
            EXPECT_EQ(index.records, nullptr);
        }
        EXPECT_TRUE(chunk_index_result_text(t.result)[0]);
    }
    // The size the manifest promises must be the index's.
    ChunkIndex index;
    EXPECT_EQ(parse(valid, MAX + MIN + 20000 + 17, &index), CHUNK_INDEX_OK);
    EXPECT_EQ(index.count, 4u);
    EXPECT_EQ(chunk_index_length(&index, 2), 20000u);
    EXPECT_EQ(chunk_index_digest(&index, 3)[1], 3);
    EXPECT_EQ(parse(valid, MAX + MIN + 20000 + 18, &index), CHUNK_INDEX_MALFORMED);
}

TEST(ChunkIndexRead, SizesPast32Bits)
{
    // 65,536 maximum chunks are exactly 4 GiB, where 32-bit sums wrap to 0;
    // one more byte makes a last chunk of 1.
    std::vector<uint32_t> lengths(65536, CHUNK_MAX_BYTES);
    ChunkIndex index;
    EXPECT_EQ(parse(IndexBytes(lengths).bytes, 1ull << 32, &index), CHUNK_INDEX_OK);
    lengths.push_back(1);
    EXPECT_EQ(parse(IndexBytes(lengths).bytes, (1ull << 32) + 1, &index), CHUNK_INDEX_OK);
    EXPECT_EQ(index.file_size, (1ull << 32) + 1);
    EXPECT_EQ(parse(IndexBytes(lengths, 1).bytes, 1, &index), CHUNK_INDEX_MALFORMED);
    // Past the reader's limit: refused before the records are walked.
    std::string big = IndexBytes(lengths).bytes;
    big.resize(CHUNK_INDEX_MAX_BYTES + 1);
    EXPECT_EQ(parse(big, (1ull << 32) + 1, &index), CHUNK_INDEX_MALFORMED);
}

TEST(ChunkLookup, FindsEveryChunkAndItsTwins)
{
    // Records 0..199, where records 10, 50 and 150 share one digest.
    std::vector<uint32_t> lengths(200, CHUNK_MIN_BYTES);
    IndexBytes made(lengths);
    std::string twin = made.bytes.substr(CHUNK_INDEX_HEADER_BYTES + 10 * CHUNK_INDEX_RECORD_BYTES + 8,
                                         SHA256_BYTES);
    for (int i : {50, 150})
        made.bytes.replace(CHUNK_INDEX_HEADER_BYTES + i * CHUNK_INDEX_RECORD_BYTES + 8, SHA256_BYTES,
                           twin);
    ChunkIndex index;
    ASSERT_EQ(chunk_index_parse(made.bytes.data(), made.bytes.size(), size_field(made.bytes), &index),
              CHUNK_INDEX_OK);
    std::vector<uint32_t> order(index.count);
    chunk_lookup_build(&index, order.data());
    for (uint32_t i = 0; i < index.count; i++) {
        int64_t at = chunk_lookup_find(&index, order.data(), chunk_index_digest(&index, i));
        ASSERT_GE(at, 0) << i;
        EXPECT_EQ(memcmp(chunk_index_digest(&index, order[at]), chunk_index_digest(&index, i),
                         SHA256_BYTES), 0);
    }
    int64_t at = chunk_lookup_find(&index, order.data(), (const uint8_t *)twin.data());
    ASSERT_GE(at, 0);
    EXPECT_EQ(order[at], 10u);
    EXPECT_EQ(order[at + 1], 50u);
    EXPECT_EQ(order[at + 2], 150u);
    uint8_t absent[SHA256_BYTES];
    memset(absent, 0xEE, sizeof absent);
    EXPECT_EQ(chunk_lookup_find(&index, order.data(), absent), -1);
}

struct Collected {
    std::vector<Cut> cuts;
    size_t stop_after = SIZE_MAX;
};

int collect(void *context, uint64_t offset, uint32_t length, const uint8_t digest[SHA256_BYTES])
{
    Collected *c = (Collected *)context;
    c->cuts.push_back({offset, length, std::string((const char *)digest, SHA256_BYTES)});
    return c->cuts.size() < c->stop_after;
}

TEST(ChunkFile, CutsAFileAsTheStreamIsCut)
{
    TempDir dir;
    // Longer than the ring of read blocks, so that chunks span two reads and
    // blocks are used again.
    std::string data = words(2500000, 3) + noise(2300000, 4);
    ASSERT_TRUE(write_file(dir / L"f.pak", data));
    Collected got;
    uint64_t size = 0;
    EXPECT_EQ(chunk_file((dir / L"f.pak").c_str(), collect, &got, &size), CHUNK_FILE_OK);
    EXPECT_EQ(size, data.size());
    EXPECT_TRUE(got.cuts == cuts_of(data));

    Collected stopped;
    stopped.stop_after = 3;
    EXPECT_EQ(chunk_file((dir / L"f.pak").c_str(), collect, &stopped, nullptr), CHUNK_FILE_STOPPED);
    EXPECT_EQ(stopped.cuts.size(), 3u);

    ASSERT_TRUE(write_file(dir / L"empty", ""));
    Collected none;
    EXPECT_EQ(chunk_file((dir / L"empty").c_str(), collect, &none, &size), CHUNK_FILE_OK);
    EXPECT_TRUE(none.cuts.empty());
    EXPECT_EQ(chunk_file((dir / L"missing").c_str(), collect, &none, &size), CHUNK_FILE_FAILED);
}

}  // namespace
