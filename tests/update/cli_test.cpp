// The console driver, run for real: what it prints, its exit codes, and an
// update that is killed half-way and finished by the next run.
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

std::wstring cli_exe()
{
    return wine_path(KORVANTH_BINARY_DIR "/korvanth-cli.exe");
}

// The driver of the build, its output going to a file; `until` may end it
// early (returning true kills it).
CliRun run_cli(const std::wstring &args, const std::wstring &out_file,
               bool (*until)(const std::wstring &) = nullptr, const std::wstring &until_arg = L"")
{
    return run_driver(cli_exe(), args, out_file, until, until_arg);
}

std::wstring pair(const std::wstring &first)
{
    return L"--mirror-pair " + first + L" " + dead_mirror() + L" ";
}

bool part_past_a_mebibyte(const std::wstring &part)
{
    uint64_t size = file_size(part);
    return size != UINT64_MAX && size > (1u << 20);
}

// Every client file in place holds the content the manifest names.
void expect_no_wrong_file(const std::wstring &folder, const std::string &release)
{
    Manifest m;
    ASSERT_TRUE(release_manifest(release, &m));
    for (int i = 0; i < m.file_count; i++) {
        wchar_t rel[CLIENT_REL_CHARS], full[CLIENT_PATH_CHARS];
        client_file_path(m.files[i].path, folder.c_str(), rel, full);
        if (!file_exists(full))
            continue;
        uint8_t digest[SHA256_BYTES];
        EXPECT_TRUE(sha256_file(full, digest));
        EXPECT_EQ(memcmp(digest, m.files[i].digest, SHA256_BYTES), 0) << m.files[i].path;
    }
    manifest_free(&m);
}

}  // namespace

TEST(Cli, PrintsEveryMessageAndEndsWithTheState)
{
    REQUIRE_RELEASES();
    TempDir dir;
    TempDir out;
    CliRun check = run_cli(pair(mirror("main")) + L"\"" + dir.path() + L"\"", out / L"out.txt");
    EXPECT_EQ(check.code, 3u) << check.out;
    EXPECT_EQ(check.out.find("status You are being connected to the update server.\n"), 0u)
        << check.out;
    // Undecided Vulkan mode: the driver answers the probe like the launcher.
    EXPECT_NE(check.out.find("\ngraphics 1\n"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("\nstatus Verification of files has begun.\n"), std::string::npos);
    EXPECT_NE(check.out.find("\ntotal 0\n"), std::string::npos);
    EXPECT_NE(check.out.find("\ndetail -\n"), std::string::npos);
    EXPECT_NE(check.out.find("\nstatus 6 files need updating (1 MB).\n"), std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.substr(check.out.size() - 21), "state UpdateNeeded 6\n");

    CliRun update = run_cli(L"--update " + pair(mirror("main")) + L"\"" + dir.path() + L"\"",
                         out / L"update.txt");
    EXPECT_EQ(update.code, 2u) << update.out;
    EXPECT_NE(update.out.find("\nstatus Downloading 1 of 6: system\\dv.exe\n"), std::string::npos)
        << update.out;
    EXPECT_NE(update.out.find("\nfile 1000\n"), std::string::npos);
    EXPECT_NE(update.out.find("\ntotal 1000\n"), std::string::npos);
    EXPECT_EQ(update.out.substr(update.out.size() - 17), "state UpToDate 0\n");
}

// After `prune --keep 2` the mirror still serves both kept releases whole: a
// player on the older one updates to the newest, a new player installs
// either, and the newest verifies.
TEST(Cli, PrunedTreeServesBothKeptReleases)
{
    REQUIRE_RELEASES();
    for (const char *start : {"pruned-1.1", "pruned"}) {
        SCOPED_TRACE(start);
        TempDir dir;
        TempDir out;
        std::wstring folder = L"\"" + dir.path() + L"\"";
        CliRun first = run_cli(L"--update " + pair(mirror(start)) + folder, out / L"a.txt");
        EXPECT_EQ(first.code, 2u) << first.out;
        CliRun update = run_cli(L"--update " + pair(mirror("pruned")) + folder, out / L"b.txt");
        EXPECT_EQ(update.code, 2u) << update.out;
        CliRun check = run_cli(pair(mirror("pruned")) + folder, out / L"c.txt");
        EXPECT_NE(check.out.find("\nstatus Verification of files has begun.\n"),
                  std::string::npos) << check.out;
        EXPECT_EQ(check.out.substr(check.out.size() - 17), "state UpToDate 0\n") << check.out;
        expect_no_wrong_file(dir.path(), "pruned");
    }
}

TEST(Cli, UsageSelfUpdateAndUnreachableServer)
{
    REQUIRE_RELEASES();
    TempDir dir;
    TempDir out;
    EXPECT_EQ(run_cli(L"", out / L"a.txt").code, 1u);
    EXPECT_EQ(run_cli(L"--dxvk 2 x", out / L"b.txt").code, 1u);
    EXPECT_EQ(run_cli(L"--frobnicate x", out / L"c.txt").code, 1u);

    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", "MZ an older launcher"));
    CliRun self = run_cli(pair(mirror("launcher")) + L"\"" + dir.path() + L"\"", out / L"d.txt");
    EXPECT_EQ(self.code, 6u) << self.out;
    EXPECT_NE(self.out.find("\nself-update " + narrow(dir / L"Korvanth.new") + "\n"),
              std::string::npos) << self.out;

    CliRun none = run_cli(pair(dead_mirror()) + L"\"" + dir.path() + L"\"", out / L"e.txt");
    EXPECT_EQ(none.code, 5u);
    EXPECT_NE(none.out.find("state ServerUnreachable 0\n"), std::string::npos) << none.out;
}

TEST(Cli, KilledUpdateIsFinishedByTheNextOne)
{
    REQUIRE_RELEASES();
    TempDir dir;
    TempDir out;
    std::wstring folder = L"\"" + dir.path() + L"\"";
    CliRun killed = run_cli(L"--update " + pair(slow_mirror("big")) + folder, out / L"k.txt",
                         part_past_a_mebibyte, dir / L"data/big.pak.part");
    EXPECT_EQ(killed.code, 77u) << killed.out;
    EXPECT_FALSE(file_exists(dir / L"data/big.pak"));
    expect_no_wrong_file(dir.path(), "big");
    LocalState state;
    EXPECT_TRUE(state_load(&state, dir.path().c_str()));
    state_free(&state);

    CliRun again = run_cli(L"--update " + pair(mirror("big")) + folder, out / L"u.txt");
    EXPECT_EQ(again.code, 2u) << again.out;
    expect_no_wrong_file(dir.path(), "big");
    EXPECT_TRUE(file_exists(dir / L"data/big.pak"));
    EXPECT_FALSE(file_exists(dir / L"data/big.pak.part"));
    CliRun check = run_cli(pair(mirror("big")) + folder, out / L"c.txt");
    EXPECT_EQ(check.code, 2u) << check.out;
}
