// Deflate streams built bit by bit, one comment per field: the faults the
// decoder must refuse and the odd but valid codes it must accept.
#include "content/content.h"
#include "content/gzip_internal.h"
#include "gzip_helpers.h"

#include <gtest/gtest.h>

using namespace gzip_test;

namespace {

const int PRECODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A dynamic block header whose code lengths travel with a precode that gives
// each length 0-15 a 4-bit codeword equal to the length itself.
void dynamic_header(BitWriter &w, const std::vector<uint8_t> &litlen,
                    const std::vector<uint8_t> &dist)
{
    w.bits(1, 1);                                // BFINAL
    w.bits(2, 2);                                // BTYPE dynamic
    w.bits((uint32_t)litlen.size() - 257, 5);    // HLIT
    w.bits((uint32_t)dist.size() - 1, 5);        // HDIST
    w.bits(19 - 4, 4);                           // HCLEN: all 19 precode lengths
    for (int sym : PRECODE_ORDER)
        w.bits(sym < 16 ? 4 : 0, 3);             // lengths 0-15: 4 bits; 16-18 unused
    for (uint8_t len : litlen)
        w.code(len, 4);
    for (uint8_t len : dist)
        w.code(len, 4);
}

// A dynamic block header with HLIT 257 and HDIST 1 whose precode has only the
// symbols 0, 16, 17 and 18, two bits each: codewords 00, 01, 10, 11.
void repeat_precode_header(BitWriter &w)
{
    w.bits(1, 1).bits(2, 2);                     // BFINAL, dynamic
    w.bits(0, 5).bits(0, 5);                     // HLIT 257, HDIST 1
    w.bits(0, 4);                                // HCLEN 4: symbols 16, 17, 18, 0
    w.bits(2, 3).bits(2, 3).bits(2, 3).bits(2, 3);
}

std::vector<uint8_t> lengths(size_t n, std::initializer_list<std::pair<int, int>> set)
{
    std::vector<uint8_t> v(n, 0);
    for (auto &p : set)
        v[(size_t)p.first] = (uint8_t)p.second;
    return v;
}

struct Case {
    const char *why;
    std::string deflate;
    int expected;
    std::string decoded;  // also what the trailer is computed over
};

std::vector<Case> cases()
{
    std::vector<Case> list;
    BitWriter w;

    w = BitWriter();
    w.bits(1, 1).bits(1, 2);                     // final fixed block
    w.fixed_literal(256);                        // end of block at once
    list.push_back({"empty fixed block", w.data(), GZIP_OK, ""});

    w = BitWriter();
    w.bits(1, 1).bits(0, 2).align();             // final stored block
    w.bits(5, 16).bits(0x0000, 16);              // LEN 5, NLEN not its complement
    list.push_back({"stored NLEN mismatch", w.data() + "hello", GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(3, 2);                     // final block of reserved type 3
    list.push_back({"BTYPE 3", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(1, 2);                     // final fixed block
    w.fixed_literal('a');                        // one byte of output
    w.fixed_literal(257);                        // length 3
    w.fixed_distance(1);                         // distance 2: before the start
    w.fixed_literal(256);
    list.push_back({"distance beyond the output", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(1, 2);                     // final fixed block
    w.fixed_literal('a').fixed_literal('b');     // two bytes of output
    w.fixed_literal(257);                        // length 3
    w.fixed_distance(1);                         // distance 2: the very first byte
    w.fixed_literal(256);
    list.push_back({"distance to the first byte", w.data(), GZIP_OK, "ababa"});

    for (int sym : {286, 287}) {
        w = BitWriter();
        w.bits(1, 1).bits(1, 2);                 // final fixed block
        w.fixed_literal((unsigned)sym);          // a length symbol without meaning
        w.fixed_literal(256);
        list.push_back({sym == 286 ? "length symbol 286" : "length symbol 287", w.data(),
                        GZIP_CORRUPT, ""});
    }

    for (unsigned sym : {30u, 31u}) {
        w = BitWriter();
        w.bits(1, 1).bits(1, 2);                 // final fixed block
        w.fixed_literal('x');
        w.fixed_literal(257);                    // length 3
        w.fixed_distance(sym);                   // a distance symbol without meaning
        w.fixed_literal(256);
        list.push_back({sym == 30 ? "distance symbol 30" : "distance symbol 31", w.data(),
                        GZIP_CORRUPT, ""});
    }

    {
        // 32768 bytes in a stored block, then a match reaching back to the
        // first of them: the largest distance deflate has. One byte fewer and
        // the same match starts before the output.
        for (size_t before : {32768u, 32767u}) {
            std::string stored(before, '\0');
            for (size_t i = 0; i < before; i++)
                stored[i] = (char)('a' + i % 23);
            w = BitWriter();
            w.bits(0, 1).bits(0, 2).align();     // stored block, not final
            w.bits((uint32_t)before, 16).bits((uint32_t)before ^ 0xFFFF, 16);
            BitWriter m;
            m.bits(1, 1).bits(1, 2);             // final fixed block
            m.fixed_literal(285);                // length 258
            m.fixed_distance(29);                // distance base 24577
            m.bits(32768 - 24577, 13);           // + 8191 = 32768
            m.fixed_literal(256);
            std::string decoded = stored;
            if (before == 32768)
                decoded += stored.substr(0, 258);
            list.push_back({before == 32768 ? "distance 32768 after 32768 bytes"
                                            : "distance 32768 after 32767 bytes",
                            w.data() + stored + m.data(),
                            before == 32768 ? GZIP_OK : GZIP_CORRUPT, decoded});
        }
    }

    w = BitWriter();
    // Literals 'a' (97), end of block (256) and length 3 (257) with 2-bit
    // codewords 00, 01, 10, codeword 11 unused; one distance code of 1 bit.
    // Both codes are incomplete, which deflate encoders do produce.
    dynamic_header(w, lengths(258, {{97, 2}, {256, 2}, {257, 2}}), lengths(1, {{0, 1}}));
    w.code(0, 2);                                // 'a'
    w.code(2, 2);                                // length 3
    w.code(0, 1);                                // distance 1
    w.code(1, 2);                                // end of block
    list.push_back({"incomplete codes", w.data(), GZIP_OK, "aaaa"});

    w = BitWriter();
    dynamic_header(w, lengths(258, {{97, 2}, {256, 2}, {257, 2}}), lengths(1, {{0, 1}}));
    w.code(0, 2);                                // 'a'
    w.code(3, 2);                                // the unused codeword
    list.push_back({"unused codeword of an incomplete code", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    dynamic_header(w, lengths(257, {{0, 1}, {1, 1}}), lengths(1, {{0, 1}}));  // 256 has none
    w.code(0, 1);                                // literal 0
    list.push_back({"end of block without a codeword", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    dynamic_header(w, lengths(257, {{0, 1}, {1, 1}, {256, 1}}), lengths(1, {{0, 1}}));
    w.code(0, 1);
    list.push_back({"over-subscribed literal/length code", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    dynamic_header(w, lengths(257, {{65, 1}, {256, 1}}), lengths(2, {{0, 1}, {1, 1}}));
    w.code(0, 1);                                // 'A'
    w.code(1, 1);                                // end of block
    list.push_back({"two-symbol codes", w.data(), GZIP_OK, "A"});

    w = BitWriter();
    dynamic_header(w, lengths(257, {{65, 1}, {256, 1}}), lengths(3, {{0, 1}, {1, 1}, {2, 1}}));
    list.push_back({"over-subscribed distance code", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(2, 2);                     // final dynamic block
    w.bits(0, 5).bits(0, 5).bits(0, 4);          // HLIT 257, HDIST 1, HCLEN 4
    w.bits(1, 3).bits(1, 3).bits(1, 3).bits(1, 3);  // four 1-bit codewords
    list.push_back({"over-subscribed precode", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(2, 2);                     // final dynamic block
    w.bits(0, 5).bits(0, 5).bits(0, 4);          // HLIT 257, HDIST 1, HCLEN 4
    w.bits(0, 3).bits(0, 3).bits(0, 3).bits(1, 3);  // only length 0 has a codeword: 0
    w.code(1, 1);                                // codeword 1 is unused
    list.push_back({"unused precode codeword", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(2, 2);                     // final dynamic block
    w.bits(30, 5);                               // HLIT 287
    w.bits(0, 5).bits(15, 4);
    list.push_back({"HLIT 287", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    w.bits(1, 1).bits(2, 2);                     // final dynamic block
    w.bits(0, 5).bits(30, 5);                    // HLIT 257, HDIST 31
    w.bits(15, 4);
    list.push_back({"HDIST 31", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    repeat_precode_header(w);
    w.code(1, 2).bits(0, 2);                     // 16 first: nothing to repeat
    list.push_back({"repeat of no previous length", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    repeat_precode_header(w);
    w.code(3, 2).bits(127, 7);                   // 18: 138 zeros, 120 of 258 left
    w.code(3, 2).bits(127, 7);                   // 18: 138 more zeros overrun
    list.push_back({"repeat past the last length", w.data(), GZIP_CORRUPT, ""});

    w = BitWriter();
    repeat_precode_header(w);
    w.code(3, 2).bits(127, 7);                   // 18: 138 zeros
    w.code(3, 2).bits(120 - 11, 7);              // 18: exactly the 120 left
    list.push_back({"repeat to the last length, all zero", w.data(), GZIP_CORRUPT, ""});

    return list;
}

}  // namespace

TEST(GzipDeflate, HandBuiltStreams)
{
    for (const Case &c : cases()) {
        std::string member = gzip_member(c.deflate, c.decoded);
        Sink sink;
        uint64_t size = 7;
        EXPECT_EQ(decode(member, &sink, GZIP_IO_CHUNK_BYTES, &size), c.expected) << c.why;
        if (c.expected == GZIP_OK) {
            EXPECT_TRUE(sink.out == c.decoded) << c.why;
            EXPECT_EQ(size, c.decoded.size()) << c.why;
        }
        // With plenty of input behind the member the decoder takes its fast
        // path, which must find the same faults; a good member then meets
        // trailing data.
        Sink padded;
        EXPECT_EQ(decode(member + std::string(200, '\0'), &padded),
                  c.expected == GZIP_OK ? GZIP_TRAILING_DATA : c.expected)
            << c.why << " (followed by more input)";
    }
}

TEST(GzipDeflate, EmptyPayloadWritesNothing)
{
    BitWriter w;
    w.bits(1, 1).bits(1, 2).fixed_literal(256);  // final fixed block, end of block
    Sink sink;
    uint64_t size = 7;
    EXPECT_EQ(decode(gzip_member(w.data(), ""), &sink, GZIP_IO_CHUNK_BYTES, &size), GZIP_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(sink.writes.empty());
}

TEST(GzipDeflate, ManyTinyBlocksAndMatchesAcrossChunks)
{
    // 300 stored blocks of 300 bytes, then fixed blocks of one long match each:
    // block boundaries, history kept across 64 KiB writes, overlapping copies.
    std::string decoded;
    BitWriter w;
    for (int b = 0; b < 300; b++) {
        std::string chunk(300, '\0');
        for (size_t i = 0; i < chunk.size(); i++)
            chunk[i] = (char)((b * 7 + i * 13) & 0xFF);
        w.bits(0, 1).bits(0, 2).align();         // stored block, not final
        w.bits(300, 16).bits(300 ^ 0xFFFF, 16);  // LEN, NLEN
        w.raw(chunk);
        decoded += chunk;
    }
    for (int b = 0; b < 200; b++) {
        w.bits(b == 199, 1).bits(1, 2);          // fixed block, the last one final
        w.fixed_literal(285);                    // length 258
        w.fixed_distance(b % 2 ? 0 : 17);        // distance 1, or 385 + extra
        if (b % 2 == 0)
            w.bits(100, 7);                      // distance 485
        w.fixed_literal(256);
        size_t dist = b % 2 ? 1 : 485;
        for (int i = 0; i < 258; i++)
            decoded.push_back(decoded[decoded.size() - dist]);
    }
    std::string deflate = w.data();
    std::string member = gzip_member(deflate, decoded);
    for (size_t chunk : {(size_t)GZIP_IO_CHUNK_BYTES, (size_t)1, (size_t)333}) {
        Sink sink;
        ASSERT_EQ(decode(member, &sink, chunk), GZIP_OK) << chunk;
        EXPECT_TRUE(sink.out == decoded) << chunk;
        std::vector<size_t> writes = {65536, 65536, decoded.size() - 2 * 65536};
        EXPECT_EQ(sink.writes, writes) << chunk;
    }
}

namespace {

// A match length 3-258 as its symbol of the fixed code and extra bits.
void put_length(BitWriter &w, unsigned length)
{
    if (length == 258) {
        w.fixed_literal(285);
        return;
    }
    unsigned base = 3;
    for (unsigned sym = 257; sym < 285; sym++) {
        unsigned extra = sym < 265 ? 0 : (sym - 261) / 4;
        if (length < base + (1u << extra)) {
            w.fixed_literal(sym).bits(length - base, (int)extra);
            return;
        }
        base += 1u << extra;
    }
    ADD_FAILURE() << "no length symbol for " << length;
}

// A distance 1-32768 as its symbol of the fixed code and extra bits.
void put_distance(BitWriter &w, unsigned dist)
{
    unsigned base = 1;
    for (unsigned sym = 0; sym < 30; sym++) {
        unsigned extra = sym < 4 ? 0 : sym / 2 - 1;
        if (dist < base + (1u << extra)) {
            w.fixed_distance(sym).bits(dist - base, (int)extra);
            return;
        }
        base += 1u << extra;
    }
    ADD_FAILURE() << "no distance symbol for " << dist;
}

// A match of the fixed code, and its bytes in `decoded`.
void put_match(BitWriter &w, std::string *decoded, unsigned length, unsigned dist)
{
    put_length(w, length);
    put_distance(w, dist);
    for (unsigned i = 0; i < length; i++)
        decoded->push_back((*decoded)[decoded->size() - dist]);
}

// Decodes `member` whole (the fast loop) and in 1-byte reads (one symbol at
// a time), with and without the processor's extensions.
void expect_decodes_to(const std::string &member, const std::string &decoded)
{
    for (int extensions : {1, 0}) {
        int before = gzip_use_cpu_extensions(extensions);
        for (size_t chunk : {(size_t)GZIP_IO_CHUNK_BYTES, (size_t)1}) {
            Sink sink;
            EXPECT_EQ(decode(member, &sink, chunk), GZIP_OK) << chunk << " " << extensions;
            EXPECT_TRUE(sink.out == decoded) << chunk << " " << extensions;
        }
        gzip_use_cpu_extensions(before);
    }
}

}  // namespace

TEST(GzipDeflate, CopiesOfEveryShortDistanceAndManyLengths)
{
    // Overlapping copies (distance below the length), copies whose source
    // ends right before their destination, and lengths around the 8- and
    // 16-byte steps of the copy loops, at distances on both sides of 8 and 16.
    BitWriter w;
    std::string decoded;
    w.bits(1, 1).bits(1, 2);                     // final fixed block
    for (unsigned i = 0; i < 48; i++) {
        decoded.push_back((char)(i * 37 + 11));
        w.fixed_literal((unsigned char)decoded.back());
    }
    for (unsigned dist = 1; dist <= 40; dist++)
        for (unsigned length : {3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 31u, 32u, 33u, 258u}) {
            put_match(w, &decoded, length, dist);
            w.fixed_literal((unsigned char)(dist + length));  // a literal between
            decoded.push_back((char)(dist + length));
        }
    w.fixed_literal(256);
    expect_decodes_to(gzip_member(w.data(), decoded), decoded);
}

TEST(GzipDeflate, ShortLiteralCodesDecodedInPairs)
{
    // Literals of 1 to 4 bits, so that two of them share one table lookup,
    // in every order, mixed with matches whose length codeword follows a
    // literal and with the 5-bit end of block.
    //   'a' 0, 'b' 10, 'c' 110, 'd' 1110, end of block 11110, length 3 11111;
    //   distances 1 (0) and 5-6 (1 and one extra bit).
    const uint32_t code[4] = {0x0, 0x2, 0x6, 0xE};
    const int bits[4] = {1, 2, 3, 4};
    BitWriter w;
    dynamic_header(w, lengths(258, {{'a', 1}, {'b', 2}, {'c', 3}, {'d', 4}, {256, 5}, {257, 5}}),
                   lengths(5, {{0, 1}, {4, 1}}));
    std::string decoded;
    uint32_t state = 12345;
    for (int i = 0; i < 20000; i++) {
        state = state * 1103515245u + 12345u;
        unsigned pick = (state >> 16) % 9;
        if (pick < 8 || decoded.size() < 6) {
            unsigned lit = pick % 4;
            w.code(code[lit], bits[lit]);
            decoded.push_back((char)('a' + lit));
        } else {
            unsigned dist = (state >> 20) % 3;  // 1, 5 or 6
            w.code(0x1F, 5);                    // length 3
            if (dist == 0) {
                w.code(0, 1);
            } else {
                w.code(1, 1).bits(dist - 1, 1);
            }
            unsigned d = dist == 0 ? 1 : 4 + dist;
            for (int k = 0; k < 3; k++)
                decoded.push_back(decoded[decoded.size() - d]);
        }
    }
    w.code(0x1E, 5);                             // end of block
    expect_decodes_to(gzip_member(w.data(), decoded), decoded);
}
