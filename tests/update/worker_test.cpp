// Whole passes of the update worker against releases on the local mirror.
#include "support/harness.h"

#include "content/content.h"
#include "support/seams.h"
#include "support/servers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <algorithm>

#include <string>

using namespace testing_support;
using namespace update_test;

namespace {

std::string file_text(const TempDir &dir, const std::wstring &rel)
{
    std::string bytes;
    read_file(dir / rel, &bytes);
    return bytes;
}

// Holds a file open without sharing: any attempt to read it fails.
struct Locked {
    HANDLE handle;
    explicit Locked(const std::wstring &path)
        : handle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    }
    ~Locked() { CloseHandle(handle); }
};

int count_statuses(const PassResult &r, const std::wstring &prefix)
{
    int n = 0;
    for (const std::wstring &s : r.statuses())
        n += s.compare(0, prefix.size(), prefix) == 0;
    return n;
}

}  // namespace

TEST(UpdatePass, FreshFolderThenCheckReadsNoFile)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    // "fresh" is "main" under another name that no other case downloads, so
    // that the mirror's log counts this case's requests alone.
    std::string dup = release_file("main", "data/copy_a.bin");
    std::string dup_object = "/update/fresh/objects/" + net_test::sha256_of(dup) + " ";
    std::string text_object = "/update/fresh/objects/" +
                              net_test::sha256_of(release_file("main", "data/text.txt"));
    int dup_before = mirror_requests(dup_object);
    int gz_before = mirror_requests(text_object + ".gz ");
    int plain_before = mirror_requests(text_object + " ");
    size_t log_mark = mirror_log_mark();
    PassResult update = run_pass(dir.path(), Update, mirror("fresh"), dead_mirror());
    EXPECT_EQ(update.state, UpToDate);
    EXPECT_TRUE(update.has_status(L"All the files have been updated."));
    EXPECT_EQ(file_text(dir, L"system/dv.exe"), release_file("main", "system/dv.exe"));
    EXPECT_EQ(file_text(dir, L"data/text.txt"), release_file("main", "data/text.txt"));
    EXPECT_EQ(file_text(dir, L"ui/layout.xml"), release_file("main", "ui/layout.xml.stock"));
    EXPECT_EQ(file_text(dir, L"settings.ini"), release_file("main", "settings.ini"));
    EXPECT_FALSE(file_exists(dir / L"ui/only_interface.xml"));
    EXPECT_FALSE(file_exists(dir / L"system/d3d9.dll"));
    EXPECT_FALSE(file_exists(dir / L"textures/hd.pak"));
    EXPECT_FALSE(file_exists(dir / L"data/text.txt.part"));
    EXPECT_FALSE(file_exists(dir / L"data/text.txt.tmp"));

    // Two entries with one content: one download, one local copy.
    EXPECT_EQ(file_text(dir, L"data/copy_a.bin"), dup);
    EXPECT_EQ(file_text(dir, L"data/copy_b.bin"), dup);
    EXPECT_EQ(mirror_requests(dup_object) - dup_before, 1);
    // Compressed objects are asked for first, and the plain one is not needed.
    EXPECT_EQ(mirror_requests(text_object + ".gz ") - gz_before, 1);
    EXPECT_EQ(mirror_requests(text_object + " ") - plain_before, 0);
    // Connections stay open from one object to the next: no more of them
    // than objects on the wire at once.
    EXPECT_LE(mirror_connections("/update/fresh/objects/", log_mark), DOWNLOAD_CONNECTIONS);

    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_STREQ(state.version, "1.0");
    EXPECT_EQ(state.generated, 1767225600);
    EXPECT_TRUE(state_find(&state, "system/dv.exe"));
    // A seed file is recorded as it lands (the uninstall removes what the
    // state lists); a check never reads its record.
    EXPECT_TRUE(state_find(&state, "settings.ini"));
    state_free(&state);

    // The records vouch for every file: a check reads none of them.
    Locked dv(dir / L"system/dv.exe"), text(dir / L"data/text.txt"), a(dir / L"data/copy_a.bin");
    PassResult check = run_pass(dir.path(), Check, mirror("fresh"), dead_mirror());
    EXPECT_EQ(check.state, UpToDate);
    EXPECT_EQ(check.count, 0);
    EXPECT_TRUE(check.has_status(L"All the files have been updated."));
    EXPECT_EQ(count_statuses(check, L"Checking "), 0);
    EXPECT_NE(log_text(dir.path()).find("check: 6 wanted, 0 pending"), std::string::npos);
}

namespace {
// An update of a fresh folder with the shipped number of connections,
// through a gate of the fault server that no other test shares. It must end
// up to date without a request the gate refused.
PassResult gated_update(const TempDir &dir, const char *route, int n, const char *release)
{
    int before = worker_set_connections(DOWNLOAD_CONNECTIONS);
    log_open(dir.path().c_str());
    std::string tag = std::string(route) + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(GetTickCount());
    PassResult r = run_pass(dir.path(), Update, gated_mirror(route, tag, n, release),
                            dead_mirror());
    worker_set_connections(before);
    EXPECT_EQ(r.state, UpToDate);
    EXPECT_EQ(log_text(dir.path()).find("-> 503"), std::string::npos) << log_text(dir.path());
    return r;
}
// The numbers of the "Downloading K of N" statuses, in the order posted.
std::vector<std::wstring> downloading(const PassResult &r)
{
    std::vector<std::wstring> numbers;
    for (const std::wstring &s : r.statuses())
        if (s.compare(0, 12, L"Downloading ") == 0)
            numbers.push_back(s.substr(12, s.find(L':') - 12));
    return numbers;
}
}  // namespace

// Objects travel several at once: the mirror answers the first three object
// requests only once all three are waiting. The pass still reads in order.
TEST(UpdatePass, ObjectsTravelTogetherAndAreTakenInOrder)
{
    REQUIRE_RELEASES();
    TempDir dir;
    PassResult r = gated_update(dir, "together", 3, "main");
    for (const char *path : {"system/dv.exe", "data/text.txt", "data/copy_b.bin"})
        EXPECT_EQ(file_text(dir, widen(path)), release_file("main", path)) << path;

    EXPECT_EQ(downloading(r), (std::vector<std::wstring>{L"1 of 6", L"2 of 6", L"3 of 6",
                                                         L"5 of 6", L"6 of 6"}));
    unsigned long last_total = 0;
    for (const Message &m : r.messages)
        if (m.message == WM_LAUNCHER_TOTAL_PROGRESS) {
            EXPECT_LE(m.wparam, 1000u);
            last_total = m.wparam;
        }
    EXPECT_EQ(last_total, 1000u);
}

// An object still on the wire (a large one, say) holds up no later
// transfers: the mirror answers the first of sixteen objects only once ten
// later ones have been answered, more than the objects that may wait for
// transfer or judgement beside it. Their results wait for it in order.
TEST(UpdatePass, LaterObjectsGoOnBehindOneStillOnTheWire)
{
    REQUIRE_RELEASES();
    TempDir dir;
    PassResult r = gated_update(dir, "behind", 10, "many");
    std::vector<std::wstring> expected;
    for (int k = 1; k <= 16; k++)
        expected.push_back(std::to_wstring(k) + L" of 16");
    EXPECT_EQ(downloading(r), expected);
    for (const char *path : {"extra/00.txt", "extra/15.bin"})
        EXPECT_EQ(file_text(dir, widen(path)), release_file("many", path)) << path;
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_EQ(state.count, 16);
    state_free(&state);
}

namespace {
uint32_t g_tick, g_tick_step;
uint32_t stepping_tick(void)
{
    return g_tick += g_tick_step;
}
}  // namespace

// The comparison's total bar: always its first value, then new values only
// once the last post is 100 ms old.
TEST(UpdatePass, ComparisonTotalBarMovesAtTheBarRate)
{
    REQUIRE_RELEASES();
    SeamGuard seams;
    progress_tick = stepping_tick;
    for (uint32_t step : {0u, 99u, 100u}) {
        TempDir dir;
        g_tick = 5000;
        g_tick_step = step;
        PassResult check = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
        EXPECT_EQ(check.state, UpdateNeeded);
        std::vector<unsigned long> totals;
        for (const Message &m : check.messages)
            if (m.message == WM_LAUNCHER_TOTAL_PROGRESS)
                totals.push_back(m.wparam);
        // Six wanted entries: done * 1000 / 6 before each.
        std::vector<unsigned long> want = {0, 166, 333, 500, 666, 833};
        if (step == 99)
            want = {0, 333, 666};  // every second entry is 198 ms after the last post
        if (step == 0)
            want = {0};
        EXPECT_EQ(totals, want) << step;
    }
}

// A download of many small files: every file's status line, in order, and
// the bars' last values, in fewer than two posts a file (every bar at every
// file's start and end made it 93 posts for these 16 files, 65 of them
// bars). The clock stands still, so the count does not depend on the
// machine's speed: once posted, a bar is not due again.
TEST(UpdatePass, DownloadPostsFewMessagesPerFile)
{
    REQUIRE_RELEASES();
    SeamGuard seams;
    progress_tick = stepping_tick;
    g_tick = 5000;
    g_tick_step = 0;
    TempDir dir;
    PassResult r = run_pass(dir.path(), Update, mirror("many"), dead_mirror());
    ASSERT_EQ(r.state, UpToDate);
    std::vector<std::wstring> expected;
    for (int k = 1; k <= 16; k++)
        expected.push_back(std::to_wstring(k) + L" of 16");
    EXPECT_EQ(downloading(r), expected);
    EXPECT_EQ(r.statuses().back(), L"All the files have been updated.");
    unsigned long last_bar[2] = {0, 0};
    int bars = 0;
    for (const Message &m : r.messages)
        if (m.message == WM_LAUNCHER_FILE_PROGRESS || m.message == WM_LAUNCHER_TOTAL_PROGRESS) {
            last_bar[m.message == WM_LAUNCHER_TOTAL_PROGRESS] = m.wparam;
            bars++;
        }
    EXPECT_EQ(last_bar[0], 1000u);
    EXPECT_EQ(last_bar[1], 1000u);
    EXPECT_LE(bars, 8);
    EXPECT_LT(r.messages.size(), 2u * 16);
}

// A verify of many small files: every file's status, in order, while the
// count of checked files goes out at the bar's rate: once while the clock
// stands still, before every file once each post is 100 ms old.
TEST(UpdatePass, VerifyPostsEveryStatusAndTheCountAtTheBarRate)
{
    REQUIRE_RELEASES();
    SeamGuard seams;
    TempDir dir;
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("many"), dead_mirror()).state, UpToDate);
    progress_tick = stepping_tick;
    for (uint32_t step : {0u, 100u}) {
        g_tick = 5000;
        g_tick_step = step;
        PassResult verify = run_pass(dir.path(), Verify, mirror("many"), dead_mirror());
        EXPECT_EQ(verify.state, UpToDate);
        std::vector<std::wstring> checking, details;
        for (const std::wstring &s : verify.statuses())
            if (s.compare(0, 9, L"Checking ") == 0)
                checking.push_back(s);
        for (const Message &m : verify.messages)
            if (m.message == WM_LAUNCHER_DETAIL && !m.text.empty())
                details.push_back(m.text);
        ASSERT_EQ(checking.size(), 16u) << step;
        EXPECT_TRUE(std::is_sorted(checking.begin(), checking.end())) << step;
        std::vector<std::wstring> want = {L"Checked 0 of 16 files"};
        for (int k = 1; step && k < 16; k++)
            want.push_back(L"Checked " + std::to_wstring(k) + L" of 16 files");
        EXPECT_EQ(details, want) << step;
    }
}

// Without records every file is hashed, on two lanes: whichever lane ends
// its hash first, the files found wrong are fetched in the entries' order.
TEST(UpdatePass, HashedFilesFoundWrongAreFetchedInOrder)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("many"), dead_mirror()).state, UpToDate);
    ASSERT_TRUE(DeleteFileW((dir / L"Korvanth.state").c_str()));
    std::vector<std::wstring> wrong = {L"extra\\01.bin", L"extra\\04.txt", L"extra\\05.bin",
                                       L"extra\\11.bin", L"extra\\14.txt"};
    for (const std::wstring &rel : wrong) {
        std::string bytes = file_text(dir, rel);
        bytes[bytes.size() / 2] ^= 1;
        ASSERT_TRUE(write_file(dir / rel, bytes));
    }
    PassResult r = run_pass(dir.path(), Update, mirror("many"), dead_mirror());
    EXPECT_EQ(r.state, UpToDate);
    EXPECT_EQ(count_statuses(r, L"Checking "), 16);
    std::vector<std::wstring> fetched;
    for (const std::wstring &s : r.statuses())
        if (s.compare(0, 12, L"Downloading ") == 0)
            fetched.push_back(s.substr(s.find(L": ") + 2));
    EXPECT_EQ(fetched, wrong);
    for (const char *path : {"extra/04.txt", "extra/11.bin"})
        EXPECT_EQ(file_text(dir, widen(path)), release_file("many", path)) << path;
}

TEST(UpdatePass, VerifyHashesWhatCheckTrusts)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);

    // Same size, same write time, other content: only hashing can tell.
    uint64_t size, time;
    ASSERT_TRUE(file_info((dir / L"data/text.txt").c_str(), &size, &time));
    std::string changed = file_text(dir, L"data/text.txt");
    changed[10] ^= 1;
    ASSERT_TRUE(write_file(dir / L"data/text.txt", changed));
    ASSERT_TRUE(set_write_time(dir / L"data/text.txt", time));

    EXPECT_EQ(run_pass(dir.path(), Check, mirror("main"), dead_mirror()).state, UpToDate);
    PassResult verify = run_pass(dir.path(), Verify, mirror("main"), dead_mirror());
    EXPECT_EQ(verify.state, UpdateNeeded);
    EXPECT_EQ(verify.count, 1);
    EXPECT_EQ(count_statuses(verify, L"Checking "), 6 - 1);  // all but the seed file
    EXPECT_TRUE(verify.has_status_prefix(L"1 files need updating ("));
}

TEST(UpdatePass, NewWriteTimeIsHashedOnceThenTrusted)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    ASSERT_TRUE(set_write_time(dir / L"system/dv.exe", 132000000000000000ULL));

    PassResult first = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_EQ(first.state, UpToDate);
    EXPECT_TRUE(first.has_status(L"Checking system\\dv.exe"));
    PassResult second = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_EQ(second.state, UpToDate);
    EXPECT_EQ(count_statuses(second, L"Checking "), 0);
}

TEST(UpdatePass, SeedFilesOnlyHaveToExist)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"settings.ini", "[settings]\nvolume=9\n"));
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"settings.ini"), "[settings]\nvolume=9\n");
    // The player's own file is not the launcher's: no record, so an
    // uninstall keeps it.
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_FALSE(state_find(&state, "settings.ini"));
    state_free(&state);

    DeleteFileW((dir / L"settings.ini").c_str());
    PassResult check = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_EQ(check.state, UpdateNeeded);
    EXPECT_EQ(check.count, 1);
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"settings.ini"), release_file("main", "settings.ini"));
}

TEST(UpdatePass, InterfaceSwitchKeepsSharedPaths)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror(), 1).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"ui/layout.xml"), release_file("main", "ui/layout.xml"));
    EXPECT_TRUE(file_exists(dir / L"ui/only_interface.xml"));

    PassResult off = run_pass(dir.path(), Update, mirror("main"), dead_mirror(), 0);
    EXPECT_EQ(off.state, UpToDate);
    EXPECT_FALSE(file_exists(dir / L"ui/only_interface.xml"));
    // The shared path stays and now holds the stock file.
    EXPECT_EQ(file_text(dir, L"ui/layout.xml"), release_file("main", "ui/layout.xml.stock"));
    EXPECT_NE(log_text(dir.path()).find("removed interface-only ui\\only_interface.xml"),
              std::string::npos);
}

TEST(UpdatePass, VulkanFilesComeAndGoWithTheMode)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    // A file of another feature that the launcher never installed.
    ASSERT_TRUE(CreateDirectoryW((dir / L"textures").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"textures/hd.pak", "mine"));

    PassResult on = run_pass(dir.path(), Update, mirror("main"), dead_mirror(), 0, 1, 1);
    EXPECT_EQ(on.state, UpToDate);
    EXPECT_EQ(file_text(dir, L"system/d3d9.dll"), release_file("main", "system/d3d9.dll"));
    EXPECT_EQ(file_text(dir, L"system/dxgi.dll"), release_file("main", "system/dxgi.dll"));
    bool graphics_seen = false;
    for (const Message &m : on.messages)
        if (m.message == WM_LAUNCHER_GRAPHICS) {
            graphics_seen = true;
            EXPECT_EQ(m.wparam, (unsigned long)(GRAPHICS_DXVK_OFFERED | GRAPHICS_DXVK_ON |
                                               GRAPHICS_DXVK_TRIAL));
        }
    EXPECT_TRUE(graphics_seen);

    // A file held open (the game still running) cannot go now; its record
    // stays, so the next pass removes it.
    HANDLE held = CreateFileW((dir / L"system/dxgi.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    run_pass(dir.path(), Check, mirror("main"), dead_mirror(), 0, 0, 0);
    CloseHandle(held);
    EXPECT_TRUE(file_exists(dir / L"system/dxgi.dll"));
    PassResult off = run_pass(dir.path(), Check, mirror("main"), dead_mirror(), 0, 0, 0);
    EXPECT_EQ(off.state, UpToDate);
    EXPECT_FALSE(file_exists(dir / L"system/d3d9.dll"));
    EXPECT_FALSE(file_exists(dir / L"system/dxgi.dll"));
    EXPECT_EQ(file_text(dir, L"textures/hd.pak"), "mine");
    EXPECT_NE(log_text(dir.path()).find("removed optional system\\d3d9.dll"), std::string::npos);
}

TEST(UpdatePass, ForeignD3d9IsKeptAside)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"system/d3d9.dll", "a wrapper the player installed"));
    ASSERT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror(), 0, 1, 0).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"system/d3d9_dxvk.dll"), "a wrapper the player installed");
    EXPECT_EQ(file_text(dir, L"system/d3d9.dll"), release_file("main", "system/d3d9.dll"));
    EXPECT_NE(log_text(dir.path()).find("foreign system/d3d9.dll kept as system/d3d9_dxvk.dll"),
              std::string::npos);
}

namespace {

uint64_t g_free_bytes;
uint64_t fake_free(const wchar_t *) { return g_free_bytes; }

// Bytes on disk of a fresh update of "main" (interface off, Vulkan off).
uint64_t main_disk_bytes()
{
    Manifest m;
    EXPECT_TRUE(release_manifest("main", &m));
    LocalState flags;
    state_init(&flags);
    flags.dxvk = 0;
    uint64_t total = 0;
    for (int i = 0; i < m.file_count + m.optional_count; i++)
        if (is_entry_wanted(manifest_item(&m, i), &flags))
            total += manifest_item(&m, i)->size;
    manifest_free(&m);
    return total;
}

}  // namespace

TEST(UpdatePass, DiskReserveAtItsExactEdge)
{
    REQUIRE_RELEASES();
    SeamGuard seams;
    worker_disk_free = fake_free;
    uint64_t needed = main_disk_bytes();

    TempDir short_dir;
    log_open(short_dir.path().c_str());
    g_free_bytes = needed + 536870912 - 1;
    PassResult refused = run_pass(short_dir.path(), Update, mirror("main"), dead_mirror());
    EXPECT_EQ(refused.state, Failed);
    EXPECT_EQ(refused.count, 0);
    EXPECT_TRUE(refused.has_status(L"The file cannot be created. Please verify available disk "
                                   L"space and write permissions."));
    EXPECT_NE(log_text(short_dir.path()).find("disk: " + std::to_string(g_free_bytes) + " free, " +
                                              std::to_string(needed) + " needed"),
              std::string::npos);
    EXPECT_FALSE(file_exists(short_dir / L"system/dv.exe"));

    TempDir dir;
    g_free_bytes = needed + 536870912;
    EXPECT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);

    // A free-space figure near the top of the range must not wrap the sum.
    TempDir huge;
    g_free_bytes = UINT64_MAX - 1;
    EXPECT_EQ(run_pass(huge.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
}

// An object is judged while the next one transfers. One that is refused in
// judgement goes on through exactly the attempts it has left, and every
// file still lands with its record.
TEST(UpdatePass, RefusedObjectsGoOnThroughTheirAttempts)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    PassResult r = run_pass(dir.path(), Update, mirror("corrupt"), mirror("main"));
    EXPECT_EQ(r.state, UpToDate);
    for (const char *path : {"system/dv.exe", "data/text.txt", "data/copy_a.bin", "data/copy_b.bin"})
        EXPECT_EQ(file_text(dir, widen(path)), release_file("main", path)) << path;
    EXPECT_EQ(file_text(dir, L"ui/layout.xml"), release_file("main", "ui/layout.xml.stock"));
    for (const wchar_t *left : {L"system/dv.exe.part", L"data/text.txt.part", L"data/text.txt.tmp",
                                L"data/copy_a.bin.part", L"ui/layout.xml.tmp"})
        EXPECT_FALSE(file_exists(dir / left)) << narrow(left);
    // dv.exe has no packed object: three plain attempts on the corrupt
    // mirror, the first judged while the next object transferred.
    std::string log = log_text(dir.path());
    std::string dv = net_test::sha256_of(release_file("main", "system/dv.exe"));
    std::string mismatch = dv + ": hash mismatch from " + narrow(mirror("corrupt"));
    int n = 0;
    for (size_t p = log.find(mismatch); p != std::string::npos; p = log.find(mismatch, p + 1))
        n++;
    EXPECT_EQ(n, 3) << log;

    Locked locked(dir / L"data/text.txt");
    PassResult check = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_EQ(check.state, UpToDate);
    EXPECT_EQ(count_statuses(check, L"Checking "), 0);
}

// The move into place fails for the second file while later ones transfer:
// the pass ends with the second, as if nothing had overlapped.
TEST(UpdatePass, FailedMoveEndsThePassWithThatFile)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"data/text.txt").c_str(), nullptr));
    PassResult r = run_pass(dir.path(), Update, mirror("main"), dead_mirror());
    EXPECT_EQ(r.state, Failed);
    EXPECT_EQ(r.count, 5);  // of six pending: all but system/dv.exe
    EXPECT_EQ(r.statuses().back(), L"Connection Failure: data\\text.txt");
    // Objects behind it may have been judged and moved into place already,
    // but none of them has a record: the next pass hashes what is there.
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_TRUE(state_find(&state, "system/dv.exe"));
    EXPECT_FALSE(state_find(&state, "data/text.txt"));
    EXPECT_FALSE(state_find(&state, "data/copy_a.bin"));
    state_free(&state);

    ASSERT_TRUE(RemoveDirectoryW((dir / L"data/text.txt").c_str()));
    EXPECT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"data/text.txt"), release_file("main", "data/text.txt"));
    EXPECT_EQ(file_text(dir, L"data/copy_b.bin"), release_file("main", "data/copy_b.bin"));
}

TEST(UpdatePass, CancelBeforeTheFirstFile)
{
    REQUIRE_RELEASES();
    TempDir dir;
    PassResult r = run_pass(dir.path(), Check, mirror("main"), dead_mirror(), 0, 0, 0,
                            [](const Message &m) {
                                if (m.message == WM_LAUNCHER_STATUS)
                                    worker_request_cancel();
                            });
    EXPECT_EQ(r.state, UpToDate);
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.has_status(L"Cancelled."));
}

TEST(UpdatePass, CancelDuringADownloadKeepsThePartFile)
{
    REQUIRE_RELEASES();
    TempDir dir;
    // Cancelled once the large file is on its way: the small one's last
    // progress report must not count.
    bool large_file = false;
    PassResult r = run_pass(dir.path(), Update, slow_mirror("big"), dead_mirror(), 0, 0, 0,
                            [&](const Message &m) {
                                if (m.message == WM_LAUNCHER_STATUS)
                                    large_file = m.text.find(L"big.pak") != std::wstring::npos;
                                if (large_file && m.message == WM_LAUNCHER_FILE_PROGRESS &&
                                    m.wparam > 50)
                                    worker_request_cancel();
                            });
    EXPECT_EQ(r.state, UpdateNeeded);
    EXPECT_TRUE(r.has_status(L"Cancelled."));
    EXPECT_GE(r.count, 1);
    EXPECT_FALSE(file_exists(dir / L"data/big.pak"));
    EXPECT_GT(file_size(dir / L"data/big.pak.part"), 0u);
    // The file that landed just before keeps its record: the records are
    // saved when the download loop ends, not only once a second.
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_TRUE(state_find(&state, "system/dv.exe"));
    EXPECT_FALSE(state_find(&state, "data/big.pak"));
    state_free(&state);

    // The next update resumes and finishes.
    EXPECT_EQ(run_pass(dir.path(), Update, mirror("big"), dead_mirror()).state, UpToDate);
    EXPECT_EQ(file_text(dir, L"data/big.pak"), release_file("big", "data/big.pak"));
    EXPECT_FALSE(file_exists(dir / L"data/big.pak.part"));
}

TEST(UpdatePass, LegacyClientMovesUpAndItsRecordsAreTrusted)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"Drumveil").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"Drumveil/system").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"Drumveil/system/dv.exe", release_file("main", "system/dv.exe")));
    uint64_t size, time;
    ASSERT_TRUE(file_info((dir / L"Drumveil/system/dv.exe").c_str(), &size, &time));
    std::string state_text =
        "#Korvanth state\r\n#interface=0\r\n#dxvk=0\r\n#dxvk_trial=0\r\n#generated=0\r\n"
        "#version=0.1.9\r\n"
        "Drumveil/system/dv.exe\t" + std::to_string(size) + "\t" + std::to_string(time) + "\t" +
        net_test::sha256_of(release_file("main", "system/dv.exe")) + "\r\n"
        "aaa/current.txt\t1\t1\t" + std::string(64, '0') + "\r\n";
    ASSERT_TRUE(write_file(dir / L"Korvanth.state", state_text));
    log_open(dir.path().c_str());

    Locked during_check_only(dir / L"Drumveil/system/dv.exe");
    CloseHandle(during_check_only.handle);  // moved first, then locked below
    during_check_only.handle = INVALID_HANDLE_VALUE;

    PassResult r = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_FALSE(file_exists(dir / L"Drumveil"));
    EXPECT_EQ(file_text(dir, L"system/dv.exe"), release_file("main", "system/dv.exe"));
    EXPECT_FALSE(r.has_status(L"Checking system\\dv.exe"));  // its record vouched for it
    EXPECT_EQ(r.state, UpdateNeeded);
    EXPECT_NE(log_text(dir.path()).find("migrate: 1 entries moved, 0 failed"), std::string::npos);
}

TEST(UpdatePass, NewLauncherIsHandedOver)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", "MZ the running launcher"));
    SeamGuard seams;
    worker_set_launcher_file((dir / L"Korvanth.exe").c_str());
    PassResult r = run_pass(dir.path(), Check, mirror("launcher"), dead_mirror());
    EXPECT_TRUE(r.self_update);
    EXPECT_EQ(r.state, -1);  // no state message after a handed-over launcher
    EXPECT_TRUE(r.has_status(L"Download Korvanth.exe file"));
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().message, (unsigned)WM_LAUNCHER_SELF_UPDATE);
    EXPECT_EQ(r.messages.back().text, dir / L"Korvanth.new");
    EXPECT_EQ(file_text(dir, L"Korvanth.new"), release_file("launcher", "Korvanth.exe"));
    EXPECT_FALSE(file_exists(dir / L"system/dv.exe"));
}

TEST(UpdatePass, SameLauncherGoesOn)
{
    REQUIRE_RELEASES();
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", release_file("launcher", "Korvanth.exe")));
    SeamGuard seams;
    worker_set_launcher_file((dir / L"Korvanth.exe").c_str());
    PassResult r = run_pass(dir.path(), Check, mirror("launcher"), dead_mirror());
    EXPECT_FALSE(r.self_update);
    EXPECT_EQ(r.state, UpdateNeeded);
}

// Bytes of the files below `folder`, its state file and log aside.
uint64_t folder_bytes(const std::wstring &folder)
{
    uint64_t bytes = 0;
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &f);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &f)) {
        std::wstring name = f.cFileName;
        if (name == L"." || name == L".." || name == L"Korvanth.state" || name == L"Korvanth.log")
            continue;
        bytes += (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? folder_bytes(folder + L"\\" + name)
                     : ((uint64_t)f.nFileSizeHigh << 32 | f.nFileSizeLow);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return bytes;
}

// The size the list of installed apps shows for `folder`; -1 without an entry.
long long entry_size_kib(const std::wstring &folder)
{
    wchar_t key[UNINSTALL_KEY_CHARS];
    DWORD size = 0, bytes = sizeof size;
    if (!uninstall_entry_find(folder.c_str(), key, UNINSTALL_KEY_CHARS) ||
        RegGetValueW(HKEY_CURRENT_USER,
                     (L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                      std::wstring(key)).c_str(),
                     L"EstimatedSize", RRF_RT_REG_DWORD, nullptr, &size, &bytes) != ERROR_SUCCESS)
        return -1;
    return size;
}

// The list of installed apps shows what the passes left: an installation's
// entry follows its files and launcher; a folder without an entry (a
// driver's scratch folder) gets none.
TEST(UpdatePass, TheInstalledAppsEntryFollowsTheFolder)
{
    REQUIRE_RELEASES();
    TempDir dir, scratch;
    ASSERT_TRUE(write_file(dir / L"Korvanth.exe", std::string(3000, 'x')));
    ASSERT_TRUE(uninstall_entry_write(dir.path().c_str(), 0));
    EXPECT_EQ(run_pass(dir.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    uint64_t bytes = folder_bytes(dir.path());
    ASSERT_GT(bytes, 3000u);
    EXPECT_EQ(entry_size_kib(dir.path()), (long long)((bytes + 1023) / 1024));

    EXPECT_EQ(run_pass(scratch.path(), Update, mirror("main"), dead_mirror()).state, UpToDate);
    EXPECT_EQ(entry_size_kib(scratch.path()), -1);
}

TEST(UpdatePass, UndecidedVulkanModeIsProbedOnce)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    PassResult r = run_pass(dir.path(), Check, mirror("main"), dead_mirror(), 0, -1, 0);
    EXPECT_EQ(r.state, UpdateNeeded);
    EXPECT_NE(log_text(dir.path()).find(
                  "dxvk: off by the probe: Wine or CrossOver: the host renders, DXVK stays off"),
              std::string::npos)
        << log_text(dir.path());
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_EQ(state.dxvk, 0);
    EXPECT_EQ(state.dxvk_trial, 0);
    state_free(&state);
}
