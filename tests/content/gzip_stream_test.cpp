// The gzip member around the deflate data: header fields, truncation, the
// trailer's checks (both ways of computing the CRC-32), trailing data, and
// failing callbacks.
#include "content/content.h"
#include "content/gzip_internal.h"
#include "gzip_helpers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <random>

using namespace gzip_test;
using namespace testing_support;

namespace {

std::string corpus_bytes(const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(std::string(CONTENT_CORPUS_DIR) + "/" + name), &bytes))
        << name;
    return bytes;
}

const std::string PAYLOAD = "header test payload";

// A member with the given flag byte, optional fields and method byte around
// a stored copy of PAYLOAD.
std::string member_with_header(uint8_t flags, const std::string &fields, uint8_t method = 8)
{
    std::string m("\x1f\x8b", 2);
    m.push_back((char)method);
    m.push_back((char)flags);
    m += std::string("\x01\x02\x03\x04\x00\x03", 6);  // time, extra flags, OS
    m += fields;
    std::string deflate = stored_deflate(PAYLOAD);
    return m + gzip_member(deflate, PAYLOAD).substr(10);
}

int decode_result(const std::string &member, size_t chunk = GZIP_IO_CHUNK_BYTES)
{
    Sink sink;
    return decode(member, &sink, chunk);
}

}  // namespace

TEST(GzipHeader, OptionalFieldsAreSkippedAndReservedBitsRefused)
{
    const std::string extra("\x05\x00" "a\x00\x1f\x8b" "b", 7);  // XLEN 5, bytes that look like a header
    const std::string name("name.txt\0", 9);
    const std::string comment("a comment\0", 10);
    const std::string hcrc("\xde\xad", 2);  // wrong on purpose: never checked
    struct Case {
        uint8_t flags;
        std::string fields;
        int expected;
        const char *why;
    } cases[] = {
        {0x00, "", GZIP_OK, "no optional fields"},
        {0x01, "", GZIP_OK, "FTEXT is a hint only"},
        {0x02, hcrc, GZIP_OK, "FHCRC skipped unchecked"},
        {0x04, std::string("\x00\x00", 2), GZIP_OK, "FEXTRA of length 0"},
        {0x04, extra, GZIP_OK, "FEXTRA skipped by its length"},
        {0x08, name, GZIP_OK, "FNAME up to its zero byte"},
        {0x10, comment, GZIP_OK, "FCOMMENT up to its zero byte"},
        {0x1F, extra + name + comment + hcrc, GZIP_OK, "all fields in their order"},
        {0x20, "", GZIP_NOT_GZIP, "reserved bit 5"},
        {0x40, "", GZIP_NOT_GZIP, "reserved bit 6"},
        {0x80, "", GZIP_NOT_GZIP, "reserved bit 7"},
    };
    for (const Case &c : cases) {
        Sink sink;
        EXPECT_EQ(decode(member_with_header(c.flags, c.fields), &sink), c.expected) << c.why;
        if (c.expected == GZIP_OK) {
            EXPECT_EQ(sink.out, PAYLOAD) << c.why;
        }
    }
    EXPECT_EQ(decode_result(member_with_header(0, "", 7)), GZIP_NOT_GZIP) << "method 7";
}

TEST(GzipHeader, WrongMagicOrTooShortInput)
{
    struct Case {
        std::string input;
        int expected;
        const char *why;
    } cases[] = {
        {"", GZIP_TRUNCATED, "empty input"},
        {std::string("\x1f", 1), GZIP_TRUNCATED, "the first magic byte only"},
        {std::string("\x00", 1), GZIP_NOT_GZIP, "one byte that is not 31"},
        {std::string("\x1f\x8c\x08\x00", 4), GZIP_NOT_GZIP, "second magic byte"},
        {"plain text, not gzip at all", GZIP_NOT_GZIP, "text"},
        {std::string("\x1f\x8b\x08\x04\0\0\0\0\0\x03\xff\x00" "ab", 14), GZIP_TRUNCATED,
         "FEXTRA longer than the input"},
        {std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03name", 14), GZIP_TRUNCATED,
         "FNAME without its zero byte"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(decode_result(c.input), c.expected) << c.why;
}

TEST(GzipTruncation, EveryCutOfAMemberIsTruncated)
{
    // A header with FNAME, dynamic, fixed and stored blocks: every cut, from
    // nothing to all but the last byte of ISIZE, must read as truncated.
    for (const char *name : {"small.txt.gzip9name.gz", "small.txt.zfixed.gz",
                             "small.txt.zstored.gz", "small.txt.zopfli.gz"}) {
        std::string member = corpus_bytes(name);
        ASSERT_EQ(decode_result(member), GZIP_OK) << name;
        for (size_t cut = 0; cut < member.size(); cut++)
            ASSERT_EQ(decode_result(member.substr(0, cut)), GZIP_TRUNCATED)
                << name << " cut at " << cut;
    }
}

TEST(GzipTrailer, EveryFlippedBitOfCrcOrSizeIsAMismatch)
{
    std::string member = corpus_bytes("small.txt.gzip9.gz");
    for (size_t bit = 0; bit < 64; bit++) {
        std::string m = member;
        m[m.size() - 8 + bit / 8] ^= (char)(1 << (bit % 8));
        EXPECT_EQ(decode_result(m), GZIP_CHECK_MISMATCH) << "bit " << bit;
    }
}

TEST(GzipTrailer, AnythingAfterTheMemberIsRefused)
{
    std::string member = corpus_bytes("small.txt.gzip9.gz");
    std::string zero("\0", 1);
    EXPECT_EQ(decode_result(member + zero), GZIP_TRAILING_DATA) << "one zero byte";
    EXPECT_EQ(decode_result(member + member), GZIP_TRAILING_DATA) << "a second member";
    // The extra byte arrives in a read of its own, after the whole member.
    Source src;
    src.data = member + zero;
    src.chunk = member.size();
    Sink sink;
    EXPECT_EQ(gzip_decode(source_read, &src, sink_write, &sink, nullptr), GZIP_TRAILING_DATA);
    // Byte by byte: the trailer is complete before the extra byte is read.
    EXPECT_EQ(decode_result(member + zero, 1), GZIP_TRAILING_DATA) << "byte-sized reads";
}

TEST(GzipCallbacks, FailuresAreReportedAsSuch)
{
    std::string member = corpus_bytes("text.txt.gzip9.gz");  // 300000 bytes decoded
    struct Case {
        int read_fail_at, write_fail_at;
        size_t chunk;
        int expected;
        const char *why;
    } cases[] = {
        {0, -1, 65536, GZIP_READ_ERROR, "the first read"},
        {3, -1, 4096, GZIP_READ_ERROR, "a read inside the deflate data"},
        {-1, 0, 65536, GZIP_WRITE_ERROR, "the first write"},
        {-1, 2, 65536, GZIP_WRITE_ERROR, "a later write"},
    };
    for (const Case &c : cases) {
        Source src;
        src.data = member;
        src.chunk = c.chunk;
        src.fail_at = c.read_fail_at;
        Sink sink;
        sink.fail_at = c.write_fail_at;
        uint64_t size = 99;
        EXPECT_EQ(gzip_decode(source_read, &src, sink_write, &sink, &size), c.expected) << c.why;
        EXPECT_EQ(size, 0u) << c.why;
    }
    // The read after the trailer fails: the end of the input was never seen.
    std::string small = corpus_bytes("small.txt.gzip9.gz");
    Source src;
    src.data = small;
    src.fail_at = 1;
    Sink sink;
    EXPECT_EQ(gzip_decode(source_read, &src, sink_write, &sink, nullptr), GZIP_READ_ERROR);
}

TEST(GzipResultText, EachCodeHasItsText)
{
    const char *texts[] = {"ok",         "out of memory",        "read error",
                           "write error", "not a gzip file",      "truncated",
                           "corrupt deflate data", "crc or size mismatch", "trailing data"};
    for (int code = 0; code < 9; code++)
        EXPECT_STREQ(gzip_result_text(code), texts[code]);
    EXPECT_STREQ(gzip_result_text(9), "unknown error");
    EXPECT_STREQ(gzip_result_text(-1), "unknown error");
}

TEST(GunzipFileHashed, FailuresNameTheStepAndLeaveNoOutput)
{
    TempDir dir;
    std::wstring gz = dir / L"object.gz", out = dir / L"object";
    uint8_t digest[SHA256_BYTES];
    char error[GZIP_ERROR_TEXT_BYTES];

    EXPECT_EQ(gunzip_file_hashed(gz.c_str(), out.c_str(), digest, error), 0);
    EXPECT_STREQ(error, "open .gz");
    EXPECT_FALSE(file_exists(out));

    std::string member = corpus_bytes("small.txt.gzip9.gz");
    ASSERT_TRUE(write_file(gz, member));
    std::wstring no_folder = dir / L"missing/object";
    EXPECT_EQ(gunzip_file_hashed(gz.c_str(), no_folder.c_str(), digest, error), 0);
    EXPECT_STREQ(error, "create output");

    // A damaged object replaces an older output and then removes it.
    ASSERT_TRUE(write_file(out, "older content"));
    ASSERT_TRUE(write_file(gz, member.substr(0, member.size() / 2)));
    EXPECT_EQ(gunzip_file_hashed(gz.c_str(), out.c_str(), digest, error), 0);
    EXPECT_STREQ(error, "truncated");
    EXPECT_FALSE(file_exists(out));
    EXPECT_TRUE(file_exists(gz));

    ASSERT_TRUE(write_file(gz, member + member));
    EXPECT_EQ(gunzip_file_hashed(gz.c_str(), out.c_str(), digest, error), 0);
    EXPECT_STREQ(error, "trailing data");
    EXPECT_FALSE(file_exists(out));
}

// The carry-less fold and the tables agree with the bitwise CRC-32 at every
// length around the fold's 16- and 64-byte steps, at odd addresses, and
// continuing from a register that is not the initial one.
TEST(GzipCrc32, CarrylessFoldAgreesWithTheTables)
{
    if (!cpu_has_clmul())
        GTEST_SKIP() << "this processor has no carry-less multiplication";
    static uint32_t tables[CRC_SLICES][256];
    crc32_build_tables(tables);
    std::mt19937 rng(7);
    std::string data(70000, '\0');
    for (char &c : data)
        c = (char)rng();
    for (int round = 0; round < 5000; round++) {
        size_t len = round < 300 ? (size_t)round : rng() % (round % 50 == 0 ? data.size() : 600);
        size_t start = rng() % (data.size() - len + 1);
        const uint8_t *p = (const uint8_t *)data.data() + start;
        uint32_t want = reference_crc32(data.substr(start, len));
        EXPECT_EQ(crc32_update_clmul(tables, 0xFFFFFFFFu, p, len) ^ 0xFFFFFFFFu, want) << len;
        EXPECT_EQ(crc32_update(tables, 0xFFFFFFFFu, p, len) ^ 0xFFFFFFFFu, want) << len;
        // Two pieces: the second fold starts from the first one's register.
        size_t cut = len ? rng() % len : 0;
        uint32_t crc = crc32_update_clmul(tables, 0xFFFFFFFFu, p, cut);
        EXPECT_EQ(crc32_update_clmul(tables, crc, p + cut, len - cut) ^ 0xFFFFFFFFu, want) << len;
        if (HasFailure())
            break;
    }
}
