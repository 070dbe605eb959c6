// Chunked updates end to end: a client folder in some state, one update pass
// against the chunked releases, and the files, the log's line for each
// chunked file and the working files left behind.
#include "support/harness.h"

#include "content/content.h"
#include "manifest/manifest.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

using namespace testing_support;
using namespace update_test;

namespace {

const char *const FILES[] = {"data/world.pak", "data/pack/moved.pak", "data/fresh.pak"};

// What the folder holds before the update.
enum Start {
    FROM_OLD,       // the previous release installed
    FROM_DAMAGED,   // the new release installed, then its archive damaged
    FROM_NOTHING,   // an empty folder
    FROM_HALF_PART, // the previous release, and most of the new archive in its part file
    FROM_CHANGED,   // the previous release, its archive changed behind its kept chunk list
    FROM_FINISHED,  // killed as the rebuilt archive replaced the old: the old copy gone,
                    // the whole new archive in its part file
    FROM_EDITED,    // the previous release, its archive then edited by the player
    FROM_OLDER,     // a release older than any delta
};

struct Case {
    const char *name;
    Start start;
    const char *release;      // the first mirror's; the second serves the same
    const char *second;       // the second mirror's release
    bool hide_key;            // the launcher reads no "chunks" key
    // Expected in the update's log, and in its line for the moved file.
    const char *world_line;
    const char *moved_line;
    // The archive rebuilt from chunks with at most this many bytes to fetch
    // (0: it comes whole).
    long long fetch_max;
    // The old copy's chunks taken from its kept list, not cut.
    bool from_list;
};

// Names the case in test listings.
void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

std::string file_text(const TempDir &dir, const char *rel)
{
    std::string bytes;
    read_file(dir / widen(rel), &bytes);
    return bytes;
}

// The line of the log that begins with `prefix` after its time, or "".
std::string line_of(const std::string &log, const char *prefix)
{
    size_t at = log.find(prefix);
    if (at == std::string::npos)
        return "";
    return log.substr(at, log.find('\n', at) - at);
}

// The figure of "N bytes to fetch" in the archive's line, or -1.
long long bytes_to_fetch(const std::string &log)
{
    size_t at = log.find("file data/world.pak: ");
    size_t figure = at == std::string::npos ? at : log.find("chunks local, ", at);
    if (figure == std::string::npos)
        return -1;
    return atoll(log.c_str() + figure + strlen("chunks local, "));
}

// The names in the folder of kept chunk lists.
std::vector<std::string> kept_lists(const TempDir &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir / L"Korvanth.chunks\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(narrow(found.cFileName));
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

std::string hex_digest(const std::string &bytes)
{
    uint8_t digest[SHA256_BYTES];
    char hex[SHA256_HEX_CHARS];
    sha256_buffer(bytes.data(), bytes.size(), digest);
    hex_encode(digest, SHA256_BYTES, hex);
    return hex;
}

void prepare(const TempDir &dir, Start start)
{
    if (start == FROM_OLD || start == FROM_HALF_PART || start == FROM_CHANGED ||
        start == FROM_FINISHED || start == FROM_EDITED) {
        ASSERT_EQ(run_pass(dir.path(), Update, mirror("chunks_old"), dead_mirror()).state,
                  UpToDate) << log_text(dir.path());
    }
    if (start == FROM_OLDER) {
        ASSERT_EQ(run_pass(dir.path(), Update, mirror("deltas_older"), dead_mirror()).state,
                  UpToDate);
    }
    if (start == FROM_EDITED) {
        std::string world = file_text(dir, "data/world.pak");
        world.replace(1000, 4, "edit");
        ASSERT_TRUE(write_file(dir / L"data/world.pak", world));
    }
    if (start == FROM_DAMAGED) {
        ASSERT_EQ(run_pass(dir.path(), Update, mirror("chunks"), dead_mirror()).state, UpToDate);
        std::string world = file_text(dir, "data/world.pak");
        for (size_t i = 0; i < 5000; i++)
            world[world.size() / 3 + i] ^= 0x55;
        ASSERT_TRUE(write_file(dir / L"data/world.pak", world));
    }
    if (start == FROM_CHANGED) {
        // Same size, same time: the state still vouches for the copy.
        std::wstring path = dir / L"data/world.pak";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME written;
        std::string edit(5000, 'x');
        DWORD put = 0;
        ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
        SetFilePointer(file, 200000, nullptr, FILE_BEGIN);
        EXPECT_TRUE(WriteFile(file, edit.data(), (DWORD)edit.size(), &put, nullptr));
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
        CloseHandle(file);
    }
    if (start == FROM_HALF_PART) {
        // A killed rebuild: the new archive's front in place beside the old copy.
        std::string world = release_file("chunks", "data/world.pak");
        world.resize(world.size() * 2 / 3);
        ASSERT_TRUE(write_file(dir / L"data/world.pak.part", world));
    }
    if (start == FROM_FINISHED) {
        ASSERT_TRUE(
            write_file(dir / L"data/world.pak.part", release_file("chunks", "data/world.pak")));
        ASSERT_TRUE(DeleteFileW((dir / L"data/world.pak").c_str()));
    }
}

// The folder prepared as `start`, then updated from the two mirrors'
// releases with the manifest key that `*key` switches read as `reads` says:
// the pass's result and the log it wrote.
void update(const TempDir &dir, Start start, const char *release, const char *second, bool *key,
            bool reads, PassResult *r, std::string *log)
{
    log_open(dir.path().c_str());
    prepare(dir, start);
    if (::testing::Test::HasFatalFailure())
        return;
    size_t mark = log_text(dir.path()).size();
    bool before = *key;
    *key = reads;
    *r = run_pass(dir.path(), Update, mirror(release), mirror(second));
    *key = before;
    *log = log_text(dir.path()).substr(mark);
}

// The check does not read the archives: its figure is the whole objects',
// said to be an upper bound, and only then. It leaves the file the release
// removes: the update takes chunks from it.
TEST(ChunkedCheck, FigureIsAnUpperBound)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("chunks_old"), dead_mirror()).state, UpToDate);
    PassResult check = run_pass(dir.path(), Verify, mirror("chunks"), dead_mirror());
    EXPECT_TRUE(check.has_status(L"3 files need updating (at most 2 MB).")) << narrow(
        check.statuses().empty() ? L"" : check.statuses().back());
    EXPECT_TRUE(file_exists(dir / L"data/moved.pak"));
    bool before = manifest_reads_chunks;
    manifest_reads_chunks = false;
    PassResult old = run_pass(dir.path(), Verify, mirror("chunks"), dead_mirror());
    manifest_reads_chunks = before;
    EXPECT_TRUE(old.has_status(L"3 files need updating (2 MB)."));
}

class ChunkedUpdate : public ::testing::TestWithParam<Case> {};

TEST_P(ChunkedUpdate, BuildsTheRelease)
{
    REQUIRE_RELEASES();
    const Case &c = GetParam();
    TempDir dir;
    std::string log;
    PassResult r;
    update(dir, c.start, c.release, c.second, &manifest_reads_chunks, !c.hide_key, &r, &log);
    if (HasFatalFailure())
        return;

    EXPECT_EQ(r.state, UpToDate) << log;
    for (const char *path : FILES)
        EXPECT_TRUE(file_text(dir, path) == release_file("chunks", path)) << path;
    EXPECT_FALSE(file_exists(dir / L"data/moved.pak"));
    for (const wchar_t *left : {L"data/world.pak.part", L"data/world.pak.chunk0",
                                L"data/world.pak.tmp", L"data/world.pak.chunk1.part"})
        EXPECT_FALSE(file_exists(dir / left)) << narrow(left);
    EXPECT_NE(log.find(c.world_line), std::string::npos) << log;
    EXPECT_NE(line_of(log, "file data/pack/moved.pak: ").find(c.moved_line), std::string::npos)
        << log;
    // The moved file never needs its whole object; the archive only when
    // no chunk way is left.
    EXPECT_EQ(log.find("file data/pack/moved.pak: chunked rebuild failed"), std::string::npos)
        << log;
    if (c.fetch_max) {
        EXPECT_EQ(log.find("rebuild failed"), std::string::npos) << log;
    }
    if (c.hide_key) {
        EXPECT_EQ(log.find("chunks local"), std::string::npos) << log;
        EXPECT_EQ(log.find("chunk index"), std::string::npos) << log;
    }
    EXPECT_EQ(log.find("kept chunk lists for data/world.pak: ") != std::string::npos, c.from_list)
        << log;
    // The file the release removes was installed with its list wherever the
    // previous release was; a copy that failed its list has had every
    // local file cut instead.
    bool old_listed =
        c.start == FROM_OLD || c.start == FROM_HALF_PART || c.start == FROM_FINISHED;
    EXPECT_EQ(log.find("kept chunk lists for data/pack/moved.pak: ") != std::string::npos,
              old_listed && !c.hide_key)
        << log;
    // Lists are kept for the installed files alone: the old release's go.
    std::vector<std::string> installed;
    for (const char *path : FILES)
        installed.push_back(hex_digest(release_file("chunks", path)));
    for (const std::string &name : kept_lists(dir)) {
        bool known = false;
        for (const std::string &hex : installed)
            known = known || name.compare(0, hex.size(), hex) == 0;
        EXPECT_TRUE(known) << name;
    }

    // What travels is what changed: a few edits of a 1.2 MB packed archive.
    long long fetched = bytes_to_fetch(log);
    if (c.start == FROM_FINISHED) {
        EXPECT_NE(line_of(log, "file data/world.pak: ").find("chunks local, 0 bytes to fetch"),
                  std::string::npos) << log;
    }
    if (c.fetch_max) {
        EXPECT_GT(fetched, 0);
        EXPECT_LE(fetched, c.fetch_max);
    }
}

// Every chunk of the moved file is found in the file the release removes.
const char MOVED_LOCAL[] = "chunks local, 0 bytes to fetch";

const Case CASES[] = {
    {"FromOld", FROM_OLD, "chunks", "chunks", false, "chunks local, ", MOVED_LOCAL, 150000,
     true},
    {"FromDamagedCopy", FROM_DAMAGED, "chunks", "chunks", false, "chunks local, ",
     "", 20000, false},
    {"FromNothing", FROM_NOTHING, "chunks", "chunks", false, "file data/world.pak: 0 of ",
     ": 0 of ", 0, false},
    {"FromHalfBuiltPart", FROM_HALF_PART, "chunks", "chunks", false, "chunks local, ",
     MOVED_LOCAL, 60000, true},
    // Nothing fetched: the part file holds every chunk in place.
    {"FromFinishedPart", FROM_FINISHED, "chunks", "chunks", false, "chunks local, ", MOVED_LOCAL,
     0, true},
    // The list says more is local than is: the copy cut after all.
    {"FromCopyChangedBehindItsList", FROM_CHANGED, "chunks", "chunks", false,
     "file data/world.pak: cutting the local files", MOVED_LOCAL, 150000, true},
    // A wrong chunk: its .gz refused, the plain object of the same mirror
    // delivers; both refused, the next mirror delivers.
    {"WrongChunkGzip", FROM_OLD, "chunks_badchunkgz", "chunks_badchunkgz", false,
     ".gz from https", MOVED_LOCAL, 150000, true},
    {"WrongChunkOnOneMirror", FROM_OLD, "chunks_badchunk", "chunks", false,
     "hash mismatch from", MOVED_LOCAL, 150000, true},
    // No way to the chunk: the whole object after all.
    {"ChunkOnNoMirror", FROM_OLD, "chunks_nochunk", "chunks_nochunk", false,
     "file data/world.pak: chunked rebuild failed, whole object", MOVED_LOCAL, 0, true},
    {"IndexFailsItsDigest", FROM_OLD, "chunks_badindex", "chunks_badindex", false,
     "file data/world.pak: chunk index not available, whole object", MOVED_LOCAL, 0, false},
    {"IndexOfLaterVersion", FROM_OLD, "chunks_newindex", "chunks_newindex", false,
     "file data/world.pak: chunk index ", MOVED_LOCAL, 0, false},
    // A launcher that knows no chunks: whole objects, as before.
    {"KeyHidden", FROM_OLD, "chunks", "chunks", true, "removed data", "", 0, false},
};

INSTANTIATE_TEST_SUITE_P(Starts, ChunkedUpdate, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

// Deltas: the archive from the player's old copy and the cheapest delta
// from it, or, when none applies or it fails, by chunks as above.
struct DeltaCase {
    const char *name;
    Start start;
    const char *release, *second;  // the mirrors' releases
    bool hide_key;                 // the launcher reads no "deltas" key
    const char *line;              // expected in the archive's lines of the log
    bool by_delta;                 // else by chunks, or from the part file
};

void PrintTo(const DeltaCase &c, std::ostream *os)
{
    *os << c.name;
}

class DeltaUpdate : public ::testing::TestWithParam<DeltaCase> {};

TEST_P(DeltaUpdate, EndsWithTheRightFileAndTheFewestBytes)
{
    REQUIRE_RELEASES();
    const DeltaCase &c = GetParam();
    TempDir dir;
    std::string log;
    PassResult r;
    update(dir, c.start, c.release, c.second, &manifest_reads_deltas, !c.hide_key, &r, &log);
    if (HasFatalFailure())
        return;

    EXPECT_EQ(r.state, UpToDate) << log;
    for (const char *path : FILES)
        EXPECT_TRUE(file_text(dir, path) == release_file("deltas", path)) << path;
    for (const wchar_t *left : {L"data/world.pak.part", L"data/world.pak.delta",
                                L"data/world.pak.delta.part", L"data/world.pak.tmp"})
        EXPECT_FALSE(file_exists(dir / left)) << narrow(left);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    // By delta: the smaller of the two from the old copy, and nothing else
    // for the archive. Else the chunks, which fetch only what changed.
    bool chunked = false;
    for (size_t at = log.find("file data/world.pak: "); at != std::string::npos;
         at = log.find("file data/world.pak: ", at + 1))
        chunked = chunked || line_of(log.substr(at), "file").find("chunks local") != std::string::npos;
    size_t delta = log.find("file data/world.pak: delta from ");
    EXPECT_EQ(delta != std::string::npos && !chunked, c.by_delta) << log;
    if (c.by_delta) {
        long long sent = atoll(log.c_str() + delta + strlen("file data/world.pak: delta from ") + 10);
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent, 60000) << log;
    } else if (c.start != FROM_FINISHED) {
        EXPECT_GT(bytes_to_fetch(log), 0) << log;
        EXPECT_LE(bytes_to_fetch(log), 150000) << log;
    }
}

const DeltaCase DELTA_CASES[] = {
    {"FromOld", FROM_OLD, "deltas", "deltas", false, "world.pak: delta from ", true},
    {"EditedOldCopy", FROM_EDITED, "deltas", "deltas", false, "world.pak: no delta from ", false},
    {"OlderThanAnyDelta", FROM_OLDER, "deltas", "deltas", false, "world.pak: no delta from ",
     false},
    {"DeltaFailsItsDigestOnOneMirror", FROM_OLD, "deltas_baddelta", "deltas", false,
     "hash mismatch", true},
    {"DeltaOnNoMirror", FROM_OLD, "deltas_nodelta", "deltas_nodelta", false,
     "world.pak: the delta could not be fetched", false},
    {"DeltaMakesAnotherFile", FROM_OLD, "deltas_wrongfile", "deltas_wrongfile", false,
     "world.pak: the delta made another file", false},
    {"KeyHidden", FROM_OLD, "deltas", "deltas", true, "world.pak: ", false},
    {"MadeByAKilledPass", FROM_FINISHED, "deltas", "deltas", false,
     "world.pak: made by an earlier pass, moved into place", false},
};

INSTANTIATE_TEST_SUITE_P(Starts, DeltaUpdate, ::testing::ValuesIn(DELTA_CASES),
                         [](const ::testing::TestParamInfo<DeltaCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
