// Resumable downloads against the local mirror and the fault server, over
// HTTPS and plain HTTP: the status rules, the length rules, the digest of the
// whole file, and what stays on disk after each failure.
#include "base/base.h"
#include "net/net.h"
#include "support/servers.h"
#include "support/support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

using namespace net_test;
using testing_support::TempDir;
using testing_support::read_file;
using testing_support::write_file;

namespace {

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    uint64_t stop_at = UINT64_MAX;  // answer 0 once present reaches this
};

int record_progress(void *context, uint64_t present, uint64_t expected)
{
    Progress *p = (Progress *)context;
    p->calls.push_back({present, expected});
    return present < p->stop_at;
}

// Compares without printing kilobytes of random bytes.
::testing::AssertionResult same_bytes(const std::string &got, const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        at++;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << at;
}

class Download : public ::testing::TestWithParam<Scheme> {
protected:
    void SetUp() override
    {
        log_open(dir_.path().c_str());
        file_ = dir_ / L"object.part";
    }

    int get(const std::wstring &url, uint64_t expected, Progress *progress = nullptr)
    {
        return http_download_to_file(url.c_str(), file_.c_str(), expected, digest_,
                                     progress ? record_progress : nullptr, progress);
    }

    std::string on_disk()
    {
        std::string bytes;
        read_file(file_, &bytes);
        return bytes;
    }

    std::string log()
    {
        std::string text;
        read_file(dir_ / L"Korvanth.log", &text);
        return text;
    }

    Scheme scheme() const { return GetParam(); }

    TempDir dir_;
    std::wstring file_;
    uint8_t digest_[32] = {};
};

INSTANTIATE_TEST_SUITE_P(Schemes, Download, ::testing::Values("https", "http"));

// No server listens at unreachable_url(): these would fail if they asked.
TEST(DownloadComplete, FileOfExpectedSizeIsTakenWithoutRequest)
{
    TempDir dir;
    std::wstring file = dir / L"x";
    // Wrong content of the right size passes too: the caller compares digests.
    const std::string content(5000, 'w');
    ASSERT_TRUE(write_file(file, content));
    uint8_t digest[32];
    Progress progress;
    progress.stop_at = 0;  // its answer at the end is ignored
    EXPECT_EQ(http_download_to_file(unreachable_url().c_str(), file.c_str(), 5000, digest,
                                    record_progress, &progress),
              200);
    EXPECT_EQ(hex(digest), sha256_of(content));
    ASSERT_EQ(progress.calls.size(), 1u);
    EXPECT_EQ(progress.calls[0], std::make_pair(uint64_t(5000), uint64_t(5000)));
}

TEST(DownloadComplete, EmptyObjectNeedsNoFileAndNoRequest)
{
    TempDir dir;
    std::wstring file = dir / L"missing";
    uint8_t digest[32];
    EXPECT_EQ(http_download_to_file(unreachable_url().c_str(), file.c_str(), 0, digest, nullptr,
                                    nullptr),
              200);
    EXPECT_EQ(hex(digest), sha256_of(""));
    EXPECT_TRUE(testing_support::file_exists(file));
}

TEST(DownloadComplete, TransportFailureIsZeroAndKeepsPartialFile)
{
    TempDir dir;
    std::wstring file = dir / L"x";
    ASSERT_TRUE(write_file(file, "abc"));
    uint8_t digest[32];
    EXPECT_EQ(http_download_to_file(unreachable_url().c_str(), file.c_str(), 5000, digest, nullptr,
                                    nullptr),
              0);
    EXPECT_EQ(testing_support::file_size(file), 3u);
}

TEST_P(Download, WholeObjectFromMirrorInSeveralBlocks)
{
    const std::string want = served("obj600k");  // more than one 256 KiB block
    Progress progress;
    EXPECT_EQ(get(mirror_url(scheme(), "obj600k"), want.size(), &progress), 200);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(hex(digest_), sha256_of(want));
    ASSERT_GE(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls.front().first, 0u);
    EXPECT_EQ(progress.calls.back().first, want.size());
    for (size_t i = 1; i < progress.calls.size(); i++)
        EXPECT_LE(progress.calls[i].first - progress.calls[i - 1].first, 262144u);
}

// A stored .gz object comes without Content-Encoding and is not unpacked on
// the way, or the download would refuse it.
TEST_P(Download, MirrorServesGzipObjectsAsStored)
{
    const std::string want = served("obj5000.gz");
    EXPECT_EQ(get(mirror_url(scheme(), "obj5000.gz"), want.size()), 200);
    EXPECT_TRUE(same_bytes(on_disk(), want));
}

// The fault server's /file/ answers only an exact "bytes=N-" with 206.
TEST_P(Download, ResumeFrom1000Of5000)
{
    const std::string want = served("obj5000");
    for (const std::wstring &url : {mirror_url(scheme(), "obj5000"), fault_url(scheme(), "file/obj5000")}) {
        ASSERT_TRUE(write_file(file_, want.substr(0, 1000)));
        Progress progress;
        EXPECT_EQ(get(url, 5000, &progress), 206);
        EXPECT_TRUE(same_bytes(on_disk(), want));
        // The digest covers the kept prefix as well as the new bytes.
        EXPECT_EQ(hex(digest_), sha256_of(want));
        ASSERT_FALSE(progress.calls.empty());
        EXPECT_EQ(progress.calls.front().first, 1000u);
    }
}

TEST_P(Download, ResumeAnsweredWithWholeBodyStartsOver)
{
    const std::string want = served("obj5000");
    // A stale prefix: the restart must not keep a byte of it.
    ASSERT_TRUE(write_file(file_, std::string(1000, 'x')));
    EXPECT_EQ(get(fault_url(scheme(), "ignore-range/obj5000"), 5000), 200);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(hex(digest_), sha256_of(want));
}

// A caller without use for the digest (a gzip object) passes none: the same
// results and bytes on disk, whole, resumed and already complete.
TEST_P(Download, WithoutDigestTheSameResultsAndBytes)
{
    const std::string want = served("obj600k");
    const std::wstring url = mirror_url(scheme(), "obj600k");
    EXPECT_EQ(http_download_to_file(url.c_str(), file_.c_str(), want.size(), nullptr, nullptr,
                                    nullptr),
              200);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    ASSERT_TRUE(write_file(file_, want.substr(0, 300000)));
    EXPECT_EQ(http_download_to_file(url.c_str(), file_.c_str(), want.size(), nullptr, nullptr,
                                    nullptr),
              206);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(http_download_to_file(unreachable_url().c_str(), file_.c_str(), want.size(), nullptr,
                                    nullptr, nullptr),
              200);
}

TEST_P(Download, FileLongerThanExpectedStartsOver)
{
    const std::string want = served("obj5000");
    ASSERT_TRUE(write_file(file_, std::string(6000, 'x')));
    EXPECT_EQ(get(mirror_url(scheme(), "obj5000"), 5000), 200);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(hex(digest_), sha256_of(want));
}

TEST_P(Download, PartialContentWithoutRangeIsRefused)
{
    EXPECT_EQ(get(fault_url(scheme(), "always-206/obj5000"), 5000), 0);
    EXPECT_EQ(on_disk(), "");
}

TEST_P(Download, ContentEncodings)
{
    const struct {
        const char *value;  // "-": an empty header
        int result;
    } cases[] = {
        {"gzip", 0},
        {"identity", 200},
        {"IdEnTiTy", 200},
        {"IDENTITY", 200},
        {"-", 200},
    };
    const std::string want = served("obj5000");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        DeleteFileW(file_.c_str());
        std::wstring url = fault_url(scheme(), std::string("encoding/") + c.value + "/obj5000");
        EXPECT_EQ(get(url, 5000), c.result);
        EXPECT_TRUE(same_bytes(on_disk(), c.result ? want : ""));
        bool logged = log().find("net: unasked Content-Encoding on " + testing_support::narrow(url)) !=
                      std::string::npos;
        EXPECT_EQ(logged, c.result == 0);
    }
}

TEST_P(Download, BodyLongerThanManifestSizeIsRefusedBeforeTheExcess)
{
    // Announced honestly, without a length, and announced beyond 32 bits.
    for (const char *fault : {"long/obj5000", "long-unannounced/obj5000", "huge/obj5000"}) {
        SCOPED_TRACE(fault);
        DeleteFileW(file_.c_str());
        EXPECT_EQ(get(fault_url(scheme(), fault), 5000), 0);
        std::string kept = on_disk();
        EXPECT_LE(kept.size(), 5000u);
        EXPECT_TRUE(same_bytes(kept, served("obj5000").substr(0, kept.size())));
    }
    size_t lines = 0;
    for (size_t at = 0; (at = log().find("net: object longer than its manifest size", at)) !=
                        std::string::npos;
         at++)
        lines++;
    EXPECT_EQ(lines, 3u);
}

// Bytes behind the announced length belong to no response: WinHTTP either
// stops at the length or refuses the connection, and none of them is written.
TEST_P(Download, BytesSentBeyondTheAnnouncedLengthAreNotWritten)
{
    const std::string want = served("obj5000");
    int result = get(fault_url(scheme(), "overrun/obj5000"), 5000);
    EXPECT_TRUE(result == 200 || result == 0) << result;
    std::string kept = on_disk();
    EXPECT_TRUE(same_bytes(kept, want.substr(0, kept.size())));
    if (result == 200) {
        EXPECT_TRUE(same_bytes(kept, want));
    }
}

TEST_P(Download, ShortBodyIsKeptForTheNextResume)
{
    const std::string want = served("obj5000");
    EXPECT_EQ(get(fault_url(scheme(), "short/obj5000"), 5000), 0);
    EXPECT_NE(log().find("net: short body 2500 of 5000"), std::string::npos) << log();
    EXPECT_TRUE(same_bytes(on_disk(), want.substr(0, 2500)));

    EXPECT_EQ(get(mirror_url(scheme(), "obj5000"), 5000), 206);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(hex(digest_), sha256_of(want));
}

TEST_P(Download, DroppedConnectionKeepsWhatArrived)
{
    const std::string want = served("obj5000");
    EXPECT_EQ(get(fault_url(scheme(), "drop/obj5000"), 5000), 0);
    std::string kept = on_disk();
    EXPECT_LE(kept.size(), 2500u);
    EXPECT_TRUE(same_bytes(kept, want.substr(0, kept.size())));
}

TEST_P(Download, ErrorStatusIsReturnedAndNothingWritten)
{
    for (int status : {404, 416, 500}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(get(fault_url(scheme(), "status/" + std::to_string(status)), 5000), status);
        EXPECT_EQ(on_disk(), "");
    }
    EXPECT_EQ(get(mirror_url(scheme(), "no-such-object"), 5000), 404);
    EXPECT_EQ(on_disk(), "");
}

TEST_P(Download, ProgressThatStopsAtOnceReadsNothing)
{
    ASSERT_TRUE(write_file(file_, served("obj5000").substr(0, 1000)));
    Progress progress;
    progress.stop_at = 0;
    EXPECT_EQ(get(mirror_url(scheme(), "obj5000"), 5000, &progress), -1);
    ASSERT_EQ(progress.calls.size(), 1u);
    EXPECT_EQ(progress.calls[0], std::make_pair(uint64_t(1000), uint64_t(5000)));
    EXPECT_EQ(testing_support::file_size(file_), 1000u);
}

TEST_P(Download, CancelMidTransferKeepsThePartForResume)
{
    const std::string want = served("obj5000");
    Progress progress;
    progress.stop_at = 1000;
    EXPECT_EQ(get(fault_url(scheme(), "trickle/obj5000"), 5000, &progress), -1);
    std::string kept = on_disk();
    EXPECT_GE(kept.size(), 1000u);
    EXPECT_LT(kept.size(), 5000u);
    EXPECT_TRUE(same_bytes(kept, want.substr(0, kept.size())));

    EXPECT_EQ(get(fault_url(scheme(), "file/obj5000"), 5000), 206);
    EXPECT_TRUE(same_bytes(on_disk(), want));
    EXPECT_EQ(hex(digest_), sha256_of(want));
}

TEST(DownloadTls, CertificateFromUntrustedAuthorityIsRefused)
{
    TempDir dir;
    std::wstring file = dir / L"x";
    uint8_t digest[32];
    EXPECT_EQ(http_download_to_file(untrusted_url("file/obj5000").c_str(), file.c_str(), 5000,
                                    digest, nullptr, nullptr),
              0);
    EXPECT_EQ(testing_support::file_size(file), 0u);
    // The same server behind the trusted authority serves the object.
    EXPECT_EQ(http_download_to_file(fault_url("https", "file/obj5000").c_str(), file.c_str(), 5000,
                                    digest, nullptr, nullptr),
              200);
}

}  // namespace
