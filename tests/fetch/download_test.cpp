// One object from the mirrors.
#include "support/harness.h"

#include "support/servers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>

using namespace testing_support;
using namespace update_test;

namespace {

struct Release {
    Manifest manifest;
    explicit Release(const std::string &name)
    {
        memset(&manifest, 0, sizeof manifest);
        EXPECT_TRUE(release_manifest(name, &manifest));
    }
    ~Release() { manifest_free(&manifest); }
    const ManifestEntry *find(const char *path) const
    {
        for (int i = 0; i < manifest.file_count; i++)
            if (!strcmp(manifest.files[i].path, path))
                return &manifest.files[i];
        return nullptr;
    }
};

MirrorList list_of(std::initializer_list<std::wstring> urls)
{
    MirrorList list = {};
    int i = 0;
    for (const std::wstring &u : urls)
        lstrcpynW(list.url[i++], u.c_str(), MIRROR_CHARS);
    return list;
}

// download_object of `entry` to `dest` over `urls`, from mirror *start on
// (0 without one, and *start then receives the mirror that delivered).
int fetch(const ManifestEntry *entry, const std::wstring &dest,
          std::initializer_list<std::wstring> urls, int *start = nullptr)
{
    MirrorList list = list_of(urls);
    int from = start ? *start : 0;
    volatile long cancel = 0;
    int result = download_object(nullptr, &list, (int)urls.size(), &from, entry, dest.c_str(),
                                 &cancel, 0, 0);
    if (start)
        *start = from;
    return result;
}

// The file at `dest` holds the release's bytes of `path` (compared without
// printing megabytes on a mismatch).
void expect_release_bytes(const std::wstring &dest, const std::string &release,
                          const std::string &path)
{
    std::string got;
    EXPECT_TRUE(read_file(dest, &got));
    EXPECT_TRUE(got == release_file(release, path)) << narrow(dest);
}

// Where `needle` first stands in the log, npos when it does not.
size_t at(const std::string &log, const std::string &needle)
{
    return log.find(needle);
}

// How often `needle` stands in the log.
int count_of(const std::string &log, const std::string &needle)
{
    int n = 0;
    for (size_t p = log.find(needle); p != std::string::npos; p = log.find(needle, p + 1))
        n++;
    return n;
}

}  // namespace

TEST(DownloadObject, PlainObjectAfterAMissingGzipOne)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("nogz");
    const ManifestEntry *text = r.find("data/text.txt");
    ASSERT_TRUE(text && text->packed_size);
    std::wstring dest = dir / L"data/text.txt";
    EXPECT_EQ(fetch(text, dest, {mirror("nogz")}), 1);
    EXPECT_EQ(file_size(dest), text->size);
    std::string log = log_text(dir.path());
    // One request for the gzip object, then the plain one on the same mirror.
    EXPECT_NE(at(log, ".gz: " + narrow(mirror("nogz")) + " -> 404 (try 1)"), std::string::npos) << log;
    EXPECT_EQ(at(log, "(try 2)"), std::string::npos);
}

TEST(DownloadObject, ThreeMismatchesMoveToTheNextMirror)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("main");
    const ManifestEntry *dv = r.find("system/dv.exe");  // random bytes: no gzip object
    ASSERT_TRUE(dv && !dv->packed_size);
    int start = 0;
    std::wstring dest = dir / L"system/dv.exe";
    EXPECT_EQ(fetch(dv, dest, {mirror("corrupt"), mirror("main")}, &start), 1);
    EXPECT_EQ(start, 1);
    std::string log = log_text(dir.path());
    std::string mismatch = ": hash mismatch from " + narrow(mirror("corrupt")) + ", discarding";
    EXPECT_EQ(count_of(log, mismatch), 3) << log;
    EXPECT_FALSE(file_exists(dest + L".part"));

    // A gzip object that decodes to the wrong content: the plain one next.
    TempDir gz_dir;
    log_open(gz_dir.path().c_str());
    const ManifestEntry *text = r.find("data/text.txt");
    dest = gz_dir / L"data/text.txt";
    EXPECT_EQ(fetch(text, dest, {mirror("corrupt"), mirror("main")}), 1);
    log = log_text(gz_dir.path());
    EXPECT_NE(at(log, ".gz: hash mismatch from " + narrow(mirror("corrupt"))), std::string::npos)
        << log;
    EXPECT_FALSE(file_exists(dest + L".tmp"));
}

TEST(DownloadObject, MirrorsRotateFromTheStartIndex)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("main");
    const ManifestEntry *dv = r.find("system/dv.exe");
    // Three mirrors, start at 2: the order is 2, 0, 1.
    int start = 2;
    std::wstring dest = dir / L"system/dv.exe";
    EXPECT_EQ(fetch(dv, dest, {mirror("empty"), mirror("main"), mirror("nothing")}, &start), 1);
    EXPECT_EQ(start, 1);
    std::string log = log_text(dir.path());
    size_t first = at(log, narrow(mirror("nothing")) + " -> 404 (try 1)");
    size_t second = at(log, narrow(mirror("empty")) + " -> 404 (try 1)");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);
}

TEST(DownloadObject, CompletePartFileNeedsNoServer)
{
    REQUIRE_RELEASES();
    TempDir dir;
    Release r("main");
    const ManifestEntry *dv = r.find("system/dv.exe");
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"system/dv.exe.part", release_file("main", "system/dv.exe")));
    std::wstring dest = dir / L"system/dv.exe";
    EXPECT_EQ(fetch(dv, dest, {dead_mirror()}), 1);
    EXPECT_EQ(file_size(dest), dv->size);
    EXPECT_FALSE(file_exists(dest + L".part"));

    // Small packed objects otherwise travel in memory, but one whose part
    // file an earlier run left is taken from there.
    const ManifestEntry *text = r.find("data/text.txt");
    ASSERT_TRUE(text && text->packed_size && text->packed_size < 65536);
    std::string hex = net_test::sha256_of(release_file("main", "data/text.txt"));
    ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"data/text.txt.part", release_object("main", hex + ".gz")));
    dest = dir / L"data/text.txt";
    EXPECT_EQ(fetch(text, dest, {dead_mirror()}), 1);
    expect_release_bytes(dest, "main", "data/text.txt");
    EXPECT_FALSE(file_exists(dest + L".part"));
    EXPECT_FALSE(file_exists(dest + L".tmp"));
}

// A small packed object is held in memory on its way: its body must have
// exactly the packed size, or the attempt fails like a file download's
// would and the plain object is fetched after the third.
class SmallGzipBody : public testing::TestWithParam<const char *> {};

TEST_P(SmallGzipBody, OfTheWrongLengthIsRefused)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("main");
    const ManifestEntry *text = r.find("data/text.txt");
    ASSERT_TRUE(text && text->packed_size && text->packed_size < 65536);
    std::wstring from = faulty_gzip_mirror(GetParam(), "main");
    std::wstring dest = dir / L"data/text.txt";
    EXPECT_EQ(fetch(text, dest, {from}), 1);
    expect_release_bytes(dest, "main", "data/text.txt");
    std::string log = log_text(dir.path());
    EXPECT_NE(at(log, ".gz: " + narrow(from) + " -> 0 (try 3)"), std::string::npos) << log;
    EXPECT_EQ(at(log, "mismatch"), std::string::npos) << log;
    EXPECT_FALSE(file_exists(dest + L".part"));
    EXPECT_FALSE(file_exists(dest + L".tmp"));
}

// Half the announced body; more than announced; more than the object, unannounced.
INSTANTIATE_TEST_SUITE_P(Faults, SmallGzipBody,
                         testing::Values("short", "long", "long-unannounced"));

TEST(DownloadObject, FailedMoveEndsAtOnceAndCancelStopsFirst)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("main");
    const ManifestEntry *dv = r.find("system/dv.exe");
    // A folder stands where the file must go.
    ASSERT_TRUE(CreateDirectoryW((dir / L"dv.exe").c_str(), nullptr));
    MirrorList list = list_of({mirror("main"), mirror("main")});
    int start = 0;
    volatile long cancel = 0;
    std::wstring dest = dir / L"dv.exe";
    EXPECT_EQ(download_object(nullptr, &list, 2, &start, dv, dest.c_str(), &cancel, 0, 0), 0);
    std::string log = log_text(dir.path());
    EXPECT_NE(at(log, "rename failed " + narrow(dest) + " ("), std::string::npos) << log;
    EXPECT_EQ(start, 0);

    cancel = 1;
    TempDir other;
    EXPECT_EQ(download_object(nullptr, &list, 2, &start, dv, (other / L"dv.exe").c_str(), &cancel,
                              0, 0),
              -1);
    EXPECT_FALSE(file_exists(other / L"dv.exe.part"));
}

// The working files' paths must fit as well as the destination's: under a
// cut name a part file would be some other file. Such an object is refused
// before anything is made.
TEST(DownloadObject, DestinationWithoutRoomForItsPartFileIsRefused)
{
    TempDir dir;
    log_open(dir.path().c_str());
    ManifestEntry entry = {};
    entry.size = 1;
    std::wstring folder = dir / L"sub";
    std::wstring dest = folder + L"\\";
    // The path and "<path>.tmp" fit CLIENT_PATH_CHARS, "<path>.part" does not.
    dest += std::wstring(CLIENT_PATH_CHARS - 5 - dest.size(), L'd');
    EXPECT_EQ(fetch(&entry, dest, {dead_mirror()}), 0);
    EXPECT_NE(at(log_text(dir.path()), "object path too long: "), std::string::npos);
    EXPECT_FALSE(file_exists(folder));
}

// Large gzip objects are unpacked while they arrive; on a slow line the
// decoder keeps catching up with the download and waiting for it.
TEST(DownloadObject, LargeGzipObjectUnpacksWhileItDownloads)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("bigtext");
    const ManifestEntry *text = r.find("data/stream.txt");
    ASSERT_TRUE(text && text->packed_size > 1048576);
    std::wstring dest = dir / L"data/stream.txt";
    EXPECT_EQ(fetch(text, dest, {slow_mirror("bigtext")}), 1)
        << log_text(dir.path());
    expect_release_bytes(dest, "bigtext", "data/stream.txt");
    EXPECT_FALSE(file_exists(dest + L".part"));
    EXPECT_FALSE(file_exists(dest + L".tmp"));
}

TEST(DownloadObject, BrokenLargeGzipObjectFallsBackToThePlainOne)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("bigbadgz");
    const ManifestEntry *text = r.find("data/stream.txt");
    ASSERT_TRUE(text && text->packed_size > 1048576);
    std::wstring dest = dir / L"data/stream.txt";
    EXPECT_EQ(fetch(text, dest, {mirror("bigbadgz")}), 1);
    expect_release_bytes(dest, "bigbadgz", "data/stream.txt");
    std::string log = log_text(dir.path());
    EXPECT_NE(at(log, ".gz from " + narrow(mirror("bigbadgz")) + ": "), std::string::npos) << log;
    EXPECT_NE(at(log, ", discarding"), std::string::npos) << log;
    EXPECT_FALSE(file_exists(dest + L".tmp"));
}

// A mirror that trickles 100 bytes every 5 s (every 500 ms, under a clock
// ten times as fast): its transfer is abandoned after the window, its bytes
// kept, the mirror loses its turn at once, and the next mirror resumes the
// part file to the right digest.
TEST(DownloadObject, TrickleMirrorIsAbandonedAndTheNextResumes)
{
    REQUIRE_RELEASES();
    net_test::FastRuleClock clock;
    TempDir dir;
    log_open(dir.path().c_str());
    Release r("main");
    const ManifestEntry *dv = r.find("system/dv.exe");  // plain only: its part file travels
    ASSERT_TRUE(dv && !dv->packed_size);
    std::wstring trickle = paced_mirror(100, 500, "main");
    std::string hex = net_test::sha256_of(release_file("main", "system/dv.exe"));
    int resumed_before = mirror_requests("/update/main/objects/" + hex + " HTTP/1.1\" 206");
    int start = 0;
    std::wstring dest = dir / L"system/dv.exe";
    EXPECT_EQ(fetch(dv, dest, {trickle, mirror("main")}, &start), 1);
    EXPECT_EQ(start, 1);
    expect_release_bytes(dest, "main", "system/dv.exe");
    EXPECT_FALSE(file_exists(dest + L".part"));
    std::string log = log_text(dir.path());
    EXPECT_EQ(count_of(log, ": " + narrow(trickle) + " too slow, "), 1) << log;
    EXPECT_NE(at(log, "object " + hex + ": " + narrow(trickle) + " too slow, "),
              std::string::npos);
    EXPECT_NE(at(log, "mirror " + narrow(trickle) + " too slow: no more objects from it"),
              std::string::npos) << log;
    // The second mirror was asked for the rest only. nginx logs a request
    // once it has ended on its side, which may come after the client is done.
    int resumed = resumed_before;
    for (int i = 0; i < 100 && resumed <= resumed_before; i++, Sleep(50))
        resumed = mirror_requests("/update/main/objects/" + hex + " HTTP/1.1\" 206");
    EXPECT_GT(resumed, resumed_before);
}
