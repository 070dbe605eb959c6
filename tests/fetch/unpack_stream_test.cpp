// The decoder that follows a download through its part file, driven by hand:
// the test plays the download, appending to the part file and reporting.
#include "support/harness.h"

#include "content/content.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

using namespace testing_support;
using namespace update_test;

namespace {

struct Streamed {
    std::string gz;
    std::string plain;
    uint8_t digest[SHA256_BYTES];
};

bool load_streamed(Streamed *s)
{
    Manifest m;
    memset(&m, 0, sizeof m);
    if (!release_manifest("bigtext", &m))
        return false;
    char hex[SHA256_HEX_CHARS];
    hex_encode(m.files[1].digest, SHA256_BYTES, hex);
    memcpy(s->digest, m.files[1].digest, SHA256_BYTES);
    manifest_free(&m);
    s->gz = release_object("bigtext", std::string(hex) + ".gz");
    s->plain = release_file("bigtext", "data/stream.txt");
    return !s->gz.empty();
}

// Plays a download: appends `bytes` to the part file in pieces of `piece`,
// reporting every piece as the HTTP client does.
void append_and_report(UnpackStream *stream, HANDLE part, const std::string &bytes,
                       size_t from, size_t to, size_t piece, uint64_t *present)
{
    for (size_t at = from; at < to; at += piece) {
        size_t n = to - at < piece ? to - at : piece;
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(part, bytes.data() + at, (DWORD)n, &written, nullptr));
        *present += n;
        unpack_stream_progress(stream, *present, bytes.size());
    }
}

struct Files {
    TempDir dir;
    std::wstring part = dir / L"stream.txt.part";
    std::wstring tmp = dir / L"stream.txt.tmp";
    DownloadProgress progress;
    volatile long cancel = 0;
    HANDLE open_part()
    {
        memset(&progress, 0, sizeof progress);
        progress.cancel_flag = &cancel;
        return CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

#define REQUIRE_STREAMED(s)                                                     \
    do {                                                                        \
        if (!releases_available())                                             \
            GTEST_SKIP() << "releases need the demo key (build with it)";      \
        ASSERT_TRUE(load_streamed(&s));                                         \
    } while (0)

}  // namespace

TEST(UnpackStream, DecodesBehindTheDownloadAndFromAKeptPrefix)
{
    Streamed s;
    REQUIRE_STREAMED(s);
    // From nothing, and resumed: the part file already holds a third that is
    // reported at once with the first report.
    for (size_t prefix : {(size_t)0, s.gz.size() / 3}) {
        Files f;
        HANDLE part = f.open_part();
        ASSERT_NE(part, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(part, s.gz.data(), (DWORD)prefix, &written, nullptr));
        UnpackStream *stream =
            unpack_stream_open(f.part.c_str(), f.tmp.c_str(), &f.progress, nullptr);
        ASSERT_TRUE(stream);
        uint64_t present = prefix;
        unpack_stream_progress(stream, present, s.gz.size());
        append_and_report(stream, part, s.gz, prefix, s.gz.size(), 16384, &present);
        uint8_t digest[SHA256_BYTES];
        char error[GZIP_ERROR_TEXT_BYTES] = "";
        EXPECT_EQ(unpack_stream_finish(stream, 1, digest, error), 1) << error;
        CloseHandle(part);
        EXPECT_EQ(memcmp(digest, s.digest, SHA256_BYTES), 0) << prefix;
        std::string out;
        EXPECT_TRUE(read_file(f.tmp, &out));
        EXPECT_TRUE(out == s.plain) << prefix;
    }
}

TEST(UnpackStream, BrokenMemberReportsItsErrorAndLeavesNoOutput)
{
    Streamed s;
    REQUIRE_STREAMED(s);
    std::string broken = s.gz;
    for (size_t i = broken.size() / 2; i < broken.size() / 2 + 64; i++)
        broken[i] = (char)(broken[i] ^ 0xFF);
    Files f;
    HANDLE part = f.open_part();
    UnpackStream *stream = unpack_stream_open(f.part.c_str(), f.tmp.c_str(), &f.progress, nullptr);
    ASSERT_TRUE(stream);
    uint64_t present = 0;
    append_and_report(stream, part, broken, 0, broken.size(), 65536, &present);
    uint8_t digest[SHA256_BYTES];
    char error[GZIP_ERROR_TEXT_BYTES] = "";
    EXPECT_EQ(unpack_stream_finish(stream, 1, digest, error), 0);
    CloseHandle(part);
    // The same text the file-to-file decoder gives for these bytes.
    char expected[GZIP_ERROR_TEXT_BYTES] = "";
    ASSERT_TRUE(write_file(f.dir / L"broken.gz", broken));
    EXPECT_EQ(gunzip_file_hashed((f.dir / L"broken.gz").c_str(), (f.dir / L"out").c_str(), digest,
                                 expected),
              0);
    EXPECT_STREQ(error, expected);
    EXPECT_FALSE(file_exists(f.tmp));
}

// When the download fails, starts over (the part file fell back) or never
// reported, the stream is of no use and leaves nothing behind.
TEST(UnpackStream, UnusableAfterAFailureAFallBackOrNoReport)
{
    Streamed s;
    REQUIRE_STREAMED(s);
    enum Case { FAILED, FELL_BACK, NO_REPORT };
    for (Case c : {FAILED, FELL_BACK, NO_REPORT}) {
        Files f;
        HANDLE part = f.open_part();
        UnpackStream *stream =
            unpack_stream_open(f.part.c_str(), f.tmp.c_str(), &f.progress, nullptr);
        ASSERT_TRUE(stream);
        uint64_t present = 0;
        if (c != NO_REPORT)
            append_and_report(stream, part, s.gz, 0, s.gz.size() / 2, 16384, &present);
        if (c == FELL_BACK) {
            // A resume answered with the whole object: truncated, then whole.
            SetFilePointer(part, 0, nullptr, FILE_BEGIN);
            SetEndOfFile(part);
            present = 0;
            unpack_stream_progress(stream, 0, s.gz.size());
            append_and_report(stream, part, s.gz, 0, s.gz.size(), 65536, &present);
        }
        uint8_t digest[SHA256_BYTES];
        char error[GZIP_ERROR_TEXT_BYTES] = "";
        EXPECT_EQ(unpack_stream_finish(stream, c != FAILED, digest, error), -1) << c;
        CloseHandle(part);
        EXPECT_FALSE(file_exists(f.tmp)) << c;
    }
}

// Without an output file the stream only hashes the part file's bytes, kept
// prefix included; a fall-back makes it unusable like the decoder.
TEST(UnpackStream, HashOnlyFollowsAPlainObject)
{
    Streamed s;
    REQUIRE_STREAMED(s);
    for (bool fall_back : {false, true}) {
        Files f;
        HANDLE part = f.open_part();
        DWORD written = 0;
        size_t prefix = s.plain.size() / 4;
        ASSERT_TRUE(WriteFile(part, s.plain.data(), (DWORD)prefix, &written, nullptr));
        UnpackStream *stream = unpack_stream_open(f.part.c_str(), nullptr, &f.progress, nullptr);
        ASSERT_TRUE(stream);
        uint64_t present = prefix;
        unpack_stream_progress(stream, present, s.plain.size());
        if (fall_back) {
            SetFilePointer(part, 0, nullptr, FILE_BEGIN);
            SetEndOfFile(part);
            present = 0;
            unpack_stream_progress(stream, 0, s.plain.size());
            prefix = 0;
        }
        append_and_report(stream, part, s.plain, prefix, s.plain.size(), 100000, &present);
        uint8_t digest[SHA256_BYTES];
        char error[GZIP_ERROR_TEXT_BYTES] = "";
        int result = unpack_stream_finish(stream, 1, digest, error);
        CloseHandle(part);
        if (fall_back) {
            EXPECT_EQ(result, -1);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(memcmp(digest, s.digest, SHA256_BYTES), 0);
        }
        EXPECT_FALSE(file_exists(f.tmp));
    }
}

// A pass's pool runs the streams of several objects at once on threads of
// its own, and later ones on the same threads: two streams fed in turns,
// then one more.
TEST(UnpackStream, APoolRunsStreamsAtOnceAndThenAgain)
{
    Streamed s;
    REQUIRE_STREAMED(s);
    UnpackPool *pool = unpack_pool_open();
    ASSERT_TRUE(pool);
    for (int streams : {2, 1}) {
        Files f[2];
        HANDLE part[2];
        UnpackStream *stream[2];
        uint64_t present[2] = {0, 0};
        for (int i = 0; i < streams; i++) {
            part[i] = f[i].open_part();
            ASSERT_NE(part[i], INVALID_HANDLE_VALUE);
            stream[i] = unpack_stream_open(f[i].part.c_str(), f[i].tmp.c_str(), &f[i].progress,
                                           pool);
            ASSERT_TRUE(stream[i]);
        }
        size_t half = s.gz.size() / 2;
        for (size_t from : {(size_t)0, half})
            for (int i = 0; i < streams; i++)
                append_and_report(stream[i], part[i], s.gz, from, from ? s.gz.size() : half,
                                  16384, &present[i]);
        for (int i = 0; i < streams; i++) {
            uint8_t digest[SHA256_BYTES];
            char error[GZIP_ERROR_TEXT_BYTES] = "";
            EXPECT_EQ(unpack_stream_finish(stream[i], 1, digest, error), 1) << error;
            CloseHandle(part[i]);
            EXPECT_EQ(memcmp(digest, s.digest, SHA256_BYTES), 0) << streams << " " << i;
            std::string out;
            EXPECT_TRUE(read_file(f[i].tmp, &out) && out == s.plain) << streams << " " << i;
        }
    }
    unpack_pool_close(pool);
}
