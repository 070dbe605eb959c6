// Members written by other programs (made at build time by
// make_gzip_corpus.py) decode to their originals, in memory and file to file.
#include "content/content.h"
#include "content/gzip_internal.h"
#include "gzip_helpers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace gzip_test;
using namespace testing_support;

namespace {

std::wstring corpus_file(const std::string &name)
{
    return wine_path(std::string(CONTENT_CORPUS_DIR) + "/" + name);
}

std::string corpus_bytes(const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(corpus_file(name), &bytes)) << name;
    return bytes;
}

struct CorpusEntry {
    std::string member, original;
};

std::vector<CorpusEntry> corpus_list()
{
    std::istringstream lines(corpus_bytes("list.txt"));
    std::vector<CorpusEntry> list;
    CorpusEntry e;
    while (lines >> e.member >> e.original)
        list.push_back(e);
    return list;
}

}  // namespace

// The decoder with the processor's extensions (BMI2 symbol loop, carry-less
// CRC-32) where it has them, and with plain x86 code only.
class GzipCorpusBothBuilds : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { before_ = gzip_use_cpu_extensions(GetParam()); }
    void TearDown() override { gzip_use_cpu_extensions(before_); }

private:
    int before_ = 1;
};

INSTANTIATE_TEST_SUITE_P(Cpu, GzipCorpusBothBuilds, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param ? "Extensions" : "PlainX86");
                         });

TEST_P(GzipCorpusBothBuilds, EveryToolAndStrategyDecodesToTheOriginal)
{
    std::vector<CorpusEntry> list = corpus_list();
    ASSERT_EQ(list.size(), 88u);  // 8 inputs x 11 compressors
    for (const CorpusEntry &e : list) {
        std::string original = corpus_bytes(e.original);
        Sink sink;
        uint64_t size = 1;
        ASSERT_EQ(decode(corpus_bytes(e.member), &sink, GZIP_IO_CHUNK_BYTES, &size), GZIP_OK)
            << e.member;
        EXPECT_EQ(size, original.size()) << e.member;
        EXPECT_TRUE(sink.out == original) << e.member;
        // Every write is a full chunk but the last, and none is empty.
        for (size_t i = 0; i < sink.writes.size(); i++) {
            EXPECT_GT(sink.writes[i], 0u) << e.member;
            if (i + 1 < sink.writes.size()) {
                EXPECT_EQ(sink.writes[i], (size_t)GZIP_IO_CHUNK_BYTES) << e.member;
            }
        }
    }
}

TEST_P(GzipCorpusBothBuilds, InputSplitAnywhereDecodesTheSame)
{
    // Reads that end inside codes, extra bits, stored lengths and the trailer.
    const char *members[] = {"text.txt.gzip9.gz", "binary.bin.zopfli.gz", "random.bin.zstored.gz",
                             "repeat.bin.libdeflate12.gz", "text.txt.zfixed.gz"};
    const size_t chunks[] = {1, 2, 3, 7, 13, 100, 4095, 65535};
    for (const char *name : members) {
        std::string member = corpus_bytes(name);
        Sink whole;
        ASSERT_EQ(decode(member, &whole), GZIP_OK) << name;
        for (size_t chunk : chunks) {
            if (chunk < 7 && member.size() > 200000)
                continue;  // byte-sized reads of the big stored member add nothing
            Sink sink;
            ASSERT_EQ(decode(member, &sink, chunk), GZIP_OK) << name << " chunk " << chunk;
            EXPECT_TRUE(sink.out == whole.out) << name << " chunk " << chunk;
            EXPECT_EQ(sink.writes, whole.writes) << name << " chunk " << chunk;
        }
    }
}

TEST(GzipCorpus, OutputOfOneChunkIsOneWriteAndOneMoreByteIsASecond)
{
    struct Case {
        const char *member;
        std::vector<size_t> writes;
    } cases[] = {
        {"size65536.txt.gzip9.gz", {65536}},
        {"size65536.txt.zstored.gz", {65536}},
        {"size65537.txt.gzip9.gz", {65536, 1}},
        {"size65537.txt.zstored.gz", {65536, 1}},
        {"empty.bin.gzip9.gz", {}},
    };
    for (const Case &c : cases) {
        Sink sink;
        ASSERT_EQ(decode(corpus_bytes(c.member), &sink), GZIP_OK) << c.member;
        EXPECT_EQ(sink.writes, c.writes) << c.member;
    }
}

TEST(GunzipFileHashed, WritesTheOriginalAndItsDigest)
{
    TempDir dir;
    for (const char *base : {"text.txt", "binary.bin", "empty.bin"}) {
        std::string gz = std::string(base) + ".libdeflate12.gz";
        std::wstring out = dir / widen(base);
        uint8_t digest[SHA256_BYTES];
        char error[GZIP_ERROR_TEXT_BYTES] = "x";
        ASSERT_EQ(gunzip_file_hashed(corpus_file(gz).c_str(), out.c_str(), digest, error), 1)
            << error;
        EXPECT_STREQ(error, "");
        std::string original = corpus_bytes(base), written;
        ASSERT_TRUE(read_file(out, &written));
        EXPECT_TRUE(written == original) << base;
        uint8_t expected[SHA256_BYTES];
        ASSERT_EQ(sha256_buffer(original.data(), original.size(), expected), 1);
        EXPECT_EQ(memcmp(digest, expected, SHA256_BYTES), 0) << base;
        // The gzip file stays for the caller.
        EXPECT_TRUE(file_exists(corpus_file(gz)));
    }
}
