// The content-defined chunker: where a stream of bytes is cut into chunks.
// Byte-level code only, no platform calls: the publisher's tool builds this
// same file natively (tools/chunker), and both sides must cut alike.
//
// Gear hashing: one table look-up, a shift and an add per byte. The hash is
// 32 bits wide, the width of the 32-bit launcher's registers; since every
// byte shifts it one place further left, its top bits depend on the last 32
// bytes only. Whether a position may end a chunk is thus a matter of a short
// window of content (and of the chunk's length so far), so that after an
// edit the cuts fall on their old places again within a chunk or two.
//
// Normalized chunking: a harder test (one more zero bit) before the
// average size and an easier one (one fewer) after it draws chunk lengths
// closer to the average than a single test would, so fewer chunks are tiny
// or hit the maximum. One bit, not the two often used: the length so far
// decides which test applies, so after an edit the cuts find their old
// places later the more the two tests differ; on the patch bench two bits
// fetched a quarter more than one. Bytes below the minimum are not hashed
// at all: a cut there is never taken, and skipping them is free speed.
#include "chunks/chunks.h"

// Made once by the rule in content.h and pinned by a test: never edit.
const uint32_t CHUNK_GEAR_TABLE[256] = {
    0x6e340b9c, 0x4bf5122f, 0xdbc1b4c9, 0x084fed08, 0xe52d9c50, 0xe77b9a9a,
    0x67586e98, 0xca358758, 0xbeead779, 0x2b4c342f, 0x01ba4719, 0xe7cf46a0,
    0xef6cbd21, 0x9d1e0e2d, 0x4d7b3ef7, 0xdc0e9c36, 0xc555eab4, 0x4a64a107,
    0xf299791c, 0xab897fbd, 0x83891d7f, 0x2f0fd1e8, 0x7cb7c454, 0x8f11b05d,
    0x452ba1dd, 0x68aa2e2e, 0x58f7b078, 0x77adfc95, 0xbd4fc42a, 0x1f18d650,
    0x9652595f, 0xffe679bb, 0x36a9e7f1, 0xbb7208bc, 0x8a331fdd, 0x334359b9,
    0x09fc9608, 0xbbf3f11c, 0x951dcee3, 0x265fda17, 0x32ebb1ab, 0xba5ec51d,
    0x684888c0, 0xa318c242, 0xd03502c4, 0x3973e022, 0xcdb4ee2a, 0x8a5edab2,
    0x5feceb66, 0x6b86b273, 0xd4735e3a, 0x4e074085, 0x4b227777, 0xef2d127d,
    0xe7f6c011, 0x7902699b, 0x2c624232, 0x19581e27, 0xe7ac0786, 0x41b805ea,
    0xdabd3aff, 0x380918b9, 0x62b67e1f, 0x8a8de823, 0xc3641f85, 0x559aead0,
    0xdf7e70e5, 0x6b23c0d5, 0x3f39d5c3, 0xa9f51566, 0xf67ab10a, 0x333e0a1e,
    0x44bd7ae6, 0xa83dd0cc, 0x6da43b94, 0x86be9a55, 0x72dfcfb0, 0x08f27188,
    0x8ce86a6a, 0xc4694f2e, 0x5c62e091, 0x4ae81572, 0x8c257489, 0x8de0b3c4,
    0xe632b709, 0xa25513c7, 0xde5a6f78, 0xfcb5f40d, 0x4b68ab38, 0x18f5384d,
    0xbbeebd87, 0x245843ab, 0xa9253dc8, 0xcfae0d42, 0x74cd9ef9, 0xd2e2adf7,
    0x8d33f520, 0xca978112, 0x3e23e816, 0x2e7d2c03, 0x18ac3e73, 0x3f79bb7b,
    0x252f10c8, 0xcd0aa985, 0xaaa94026, 0xde7d1b72, 0x189f4003, 0x8254c329,
    0xacac86c0, 0x62c66a7a, 0x1b16b1df, 0x65c74c15, 0x148de9c5, 0x8e35c2cd,
    0x454349e4, 0x043a7187, 0xe3b98a4d, 0x0bfe935e, 0x4c94485e, 0x50e721e4,
    0x2d711642, 0xa1fce436, 0x594e519a, 0x021fb596, 0xcbe5cfdf, 0xd10b36aa,
    0x7ace431c, 0x620bfdaa, 0x76be8b52, 0x591b7cc9, 0xa5ab782c, 0x5ee0dd4d,
    0xaaa8e61e, 0xc00e7f88, 0x3cbdaf66, 0x4bfa260a, 0x4f362f90, 0xe9b0c031,
    0x2d319369, 0x3ebe1b59, 0x9defb0a9, 0x075198bf, 0x949f94d8, 0x5e37305c,
    0x9e076cea, 0x7da59d0d, 0x95606213, 0xd16bd22f, 0x67c872d4, 0x5bad0d11,
    0x84873854, 0x2a0ab732, 0x79bec7ff, 0xfd9528b9, 0x0605d153, 0x8d36bbb3,
    0x6e3faf1e, 0x9d277175, 0x35af2d15, 0x1f184f10, 0xc19a797f, 0x8a8950f7,
    0x0a43b22d, 0x6d90fbac, 0x88aa3e3b, 0x6922e93e, 0xfe1dcd3a, 0x2dbf9365,
    0x74e1ade3, 0x9e8e8c37, 0xbceef655, 0x087d80f7, 0xee6bb86b, 0x22adaf05,
    0x19753a9b, 0x5a6e7a47, 0xf4f97c88, 0x149488d8, 0x9be3799f, 0x65f15821,
    0x27952171, 0x892f60b3, 0xca41841c, 0x4d6a8e90, 0xd3bb0d59, 0x04d6c0c9,
    0x281c9399, 0xcbecda1c, 0x26e5bfe4, 0x68325720, 0x47850848, 0xb12dc850,
    0xe4ff5e7d, 0xd1bbd73b, 0xc557e713, 0xae3f4619, 0xd1211001, 0x5a0ec31d,
    0x49994461, 0x3340883a, 0x7c5bd2d1, 0x4fb733be, 0x13598656, 0x383e5d7d,
    0x1dd83126, 0x9a7b7b3a, 0xc337ded6, 0x7a4a4b50, 0xd4b0c0a4, 0xb5c9a5f4,
    0x85f97e04, 0x28969cdf, 0x528a84ce, 0xcdce9374, 0x0a2c6ea0, 0x414a21e5,
    0xaf193a8c, 0x19152ddf, 0x5d5c7d20, 0xb7d25296, 0xfb95aa98, 0x2795044c,
    0x7941cb07, 0x2ea970ff, 0x7d8c5da7, 0xf031efa5, 0x30a5bfa5, 0x457e4854,
    0x5e1effe9, 0xab61ba11, 0x0a3aaee7, 0xd0752b60, 0xe6f20750, 0xde2e331d,
    0x3ad4e44a, 0xf8d20e59, 0x45f83d17, 0xf3df1f9c, 0x94455e3e, 0x4d4d75d7,
    0xfde50285, 0xd4f09e5c, 0x966c7c47, 0x782e0202, 0x2017ff34, 0x27abdedd,
    0xb0b2988b, 0x50868f20, 0xe596a8e5, 0xd5202253, 0xaa7225e7, 0x04b8d34e,
    0x98722e2e, 0x3e151409, 0xaa687b58, 0xa8100ae6,
};

namespace {

// A mask of the top `n` bits of the hash.
uint32_t top_bits(uint32_t n)
{
    return n == 0 ? 0 : ~0u << (32 - n);
}

// Rolls the hash over p[from, to) and returns the index just past the
// first byte after which the masked bits of the hash are all zero, with
// `*cut` set; `to` when there is none.
inline size_t roll(uint32_t *hash, const uint8_t *p, size_t from, size_t to, uint32_t mask,
                   bool *cut)
{
    uint32_t h = *hash;
    for (size_t i = from; i < to; i++) {
        h = (h << 1) + CHUNK_GEAR_TABLE[p[i]];
        if ((h & mask) == 0) {
            *hash = h;
            *cut = true;
            return i + 1;
        }
    }
    *hash = h;
    return to;
}

size_t smaller(size_t a, size_t b)
{
    return a < b ? a : b;
}

}  // namespace

void chunker_begin(Chunker *chunker)
{
    chunker_begin_sized(chunker, CHUNK_MIN_BYTES, CHUNK_AVG_BYTES, CHUNK_MAX_BYTES);
}

int chunker_begin_sized(Chunker *chunker, uint32_t min_bytes, uint32_t avg_bytes,
                        uint32_t max_bytes)
{
    uint32_t bits = 0;
    while (bits < 31 && (1u << bits) < avg_bytes)
        bits++;
    if ((1u << bits) != avg_bytes || bits < 8 || bits > 24 || min_bytes == 0 ||
        min_bytes >= avg_bytes || max_bytes <= avg_bytes || max_bytes > (1u << 28))
        return 0;
    chunker->min_bytes = min_bytes;
    chunker->avg_bytes = avg_bytes;
    chunker->max_bytes = max_bytes;
    chunker->mask_before_avg = top_bits(bits + 1);
    chunker->mask_after_avg = top_bits(bits - 1);
    chunker->length = 0;
    chunker->hash = 0;
    return 1;
}

size_t chunker_feed(Chunker *chunker, const uint8_t *bytes, size_t len, uint32_t *cut_length)
{
    Chunker *c = chunker;
    uint32_t n = c->length;  // bytes of the chunk before bytes[i]
    size_t i = 0;
    bool cut = false;
    if (n < c->min_bytes) {
        size_t skip = smaller(len, c->min_bytes - n);
        i = skip;
        n += (uint32_t)skip;
    }
    if (i < len && n >= c->min_bytes && n < c->avg_bytes) {
        size_t j = roll(&c->hash, bytes, i, i + smaller(len - i, c->avg_bytes - n),
                        c->mask_before_avg, &cut);
        n += (uint32_t)(j - i);
        i = j;
    }
    if (!cut && i < len && n >= c->avg_bytes && n < c->max_bytes) {
        size_t j = roll(&c->hash, bytes, i, i + smaller(len - i, c->max_bytes - n),
                        c->mask_after_avg, &cut);
        n += (uint32_t)(j - i);
        i = j;
    }
    if (cut || n == c->max_bytes) {
        *cut_length = n;
        c->length = 0;
        c->hash = 0;
    } else {
        *cut_length = 0;
        c->length = n;
    }
    return i;
}

uint32_t chunker_end(Chunker *chunker)
{
    uint32_t n = chunker->length;
    chunker->length = 0;
    chunker->hash = 0;
    return n;
}
