// The launcher as a process of its own, in a scratch folder: its window
// hands a new launcher to the swap, closing it mid-download keeps every
// verified record, and a folder has one launcher (or driver) at a time. This
// program plays the launcher (main.cpp).
#include "drive.h"
#include "support/harness.h"
#include "support/servers.h"

#include "app/app.h"
#include "content/content.h"
#include "korvanth_config.h"
#include "manifest/manifest.h"
#include "support/support.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wctype.h>

#include <string>

using namespace testing_support;
using namespace ui_test;

namespace {

class LauncherProcess : public ::testing::Test {
protected:
    TempDir dir;
    Job job;  // ends whatever still runs
    unsigned long pid = 0;

    void TearDown() override
    {
        // A launcher the swap started may be outside the job's reach.
        while (HWND w = launcher_window(0, 0)) {
            DWORD other = 0;
            GetWindowThreadProcessId(w, &other);
            HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, other);
            if (!p)
                break;
            TerminateProcess(p, 9);
            WaitForSingleObject(p, 10000);
            CloseHandle(p);
        }
    }

    void start(const std::wstring &first, const std::wstring &second)
    {
        pid = start_in(dir.path(), first, second);
        ASSERT_NE(pid, 0u);
    }

    // Copies this program into `folder` as Korvanth.exe, beside the sign of an
    // installed folder (the launcher runs where it stands), and launches it.
    unsigned long start_in(const std::wstring &folder, const std::wstring &first,
                           const std::wstring &second, const std::wstring &more = L"")
    {
        wchar_t own[MAX_PATH];
        GetModuleFileNameW(nullptr, own, MAX_PATH);
        EXPECT_TRUE(CopyFileW(own, (folder + L"\\Korvanth.exe").c_str(), FALSE));
        EXPECT_TRUE(write_file(folder + L"\\Korvanth.ini", ""));
        return launch(folder, L" --mirror-pair " + first + L" " + second + more);
    }

    // Starts `folder`'s Korvanth.exe as a launcher; its pid, or 0.
    unsigned long launch(const std::wstring &folder, const std::wstring &args = L"")
    {
        return job.start(in_quotes(folder + L"\\Korvanth.exe") + L" --launcher-role" + args,
                         folder);
    }

    // A launcher window of a process running this case's Korvanth.exe (or
    // `exe`), other than process `not_of`. The process that the swap starts
    // is found by its program: Wine's job lists need not hold grandchildren.
    HWND launcher_window(unsigned long not_of, unsigned timeout_ms, std::wstring exe = L"")
    {
        Search search = {exe.empty() ? dir / L"Korvanth.exe" : exe, not_of, nullptr};
        wait_until([&] {
            EnumWindows(match, (LPARAM)&search);
            return search.found != nullptr;
        }, timeout_ms);
        return search.found;
    }

    struct Search {
        std::wstring exe;
        unsigned long not_of;
        HWND found;
    };

    static BOOL CALLBACK match(HWND w, LPARAM param)
    {
        Search *search = (Search *)param;
        wchar_t cls[32], image[MAX_PATH];
        DWORD pid = 0, n = MAX_PATH;
        GetWindowThreadProcessId(w, &pid);
        if (pid == search->not_of || !IsWindowVisible(w) || !GetClassNameW(w, cls, 32) ||
            lstrcmpW(cls, L"KorvanthLauncher"))
            return TRUE;
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        bool ours = p && QueryFullProcessImageNameW(p, 0, image, &n) &&
                    !lstrcmpiW(image, search->exe.c_str());
        if (p)
            CloseHandle(p);
        if (ours)
            search->found = w;
        return ours ? FALSE : TRUE;
    }

    // The exit code of process `id`; 259 (still active) when it did not end in time.
    static DWORD exit_code_within(unsigned long id, unsigned ms)
    {
        HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        DWORD code = 259;
        if (p && WaitForSingleObject(p, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(p, &code);
        if (p)
            CloseHandle(p);
        return code;
    }

    // The folder's entries but the log, with their sizes and last-write times
    // ("." changes with every entry made or removed).
    static std::string listing(const std::wstring &folder)
    {
        std::string out;
        WIN32_FIND_DATAW f;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &f);
        for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &f))
            if (lstrcmpW(f.cFileName, L"Korvanth.log") && lstrcmpW(f.cFileName, L".."))
                out += narrow(f.cFileName) + " " + std::to_string(f.nFileSizeLow) + " " +
                       std::to_string(f.ftLastWriteTime.dwLowDateTime) + "\n";
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        return out;
    }

    // `what` is in `text` exactly once.
    static bool once(const std::string &text, const std::string &what)
    {
        size_t at = text.find(what);
        return at != std::string::npos && at == text.rfind(what);
    }

    std::string log() { return update_test::log_text(dir.path()); }
    bool logged(const std::string &text, unsigned ms = 30000)
    {
        return wait_until([&] { return log().find(text) != std::string::npos; }, ms);
    }
};

}  // namespace

TEST_F(LauncherProcess, ANewLauncherIsHandedToTheSwapAndOpensItsWindow)
{
    REQUIRE_RELEASES();
    start(update_test::mirror("selfupdate"), update_test::dead_mirror());
    // The swap starts the release's launcher from its copy; once its window
    // shows, that copy takes this program's place.
    HWND swapped = launcher_window(pid, 60000, dir / L"Korvanth.swap");
    ASSERT_TRUE(swapped != nullptr) << log();
    EXPECT_EQ(exit_code_within(pid, 10000), 0u) << log();
    DWORD next = 0;
    GetWindowThreadProcessId(swapped, &next);
    std::string installed, built;
    ASSERT_TRUE(read_file(launcher_exe(), &built));
    EXPECT_TRUE(wait_until([&] { return read_file(dir / L"Korvanth.exe", &installed) &&
                                        installed == built; }, 10000))
        << "Korvanth.exe is the release's launcher";
    EXPECT_FALSE(file_exists(dir / L"Korvanth.swap"));

    EXPECT_EQ(launcher_window(next, 0), nullptr) << "one launcher runs after the swap";
    EXPECT_EQ(launcher_window(next, 0, dir / L"Korvanth.swap"), nullptr);

    PostMessageW(swapped, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_within(next, 20000), 0u) << "the new launcher ends when closed";
    std::string text = log();
    size_t first = text.find("launcher " KORVANTH_VERSION " start");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(text.find("launcher " KORVANTH_VERSION " start", first + 1), std::string::npos)
        << text;
}

namespace {

// A release whose launcher cannot start (a test build, tests/faults).
struct RefusalCase {
    const char *name;  // release "launcher-NAME", build Korvanth-faults-NAME.exe
    const char *why;   // how the refusal's log line ends its account
    bool restarted;    // the helper ran and started the previous launcher again;
                       // else the previous launcher never closed
};

void PrintTo(const RefusalCase &c, std::ostream *os)
{
    *os << c.name;
}

class SwapRefusal : public LauncherProcess, public ::testing::WithParamInterface<RefusalCase> {
protected:
    void TearDown() override
    {
        SetEnvironmentVariableW(L"KORVANTH_TEST_LAUNCHER_MIRRORS", nullptr);
        LauncherProcess::TearDown();
    }

    // Launches the folder's launcher on `release`; the launchers a swap
    // starts again inherit the mirrors.
    unsigned long launch_on(const std::string &release, bool copy_in)
    {
        std::wstring first = update_test::mirror(release), second = update_test::dead_mirror();
        SetEnvironmentVariableW(L"KORVANTH_TEST_LAUNCHER_MIRRORS", (first + L" " + second).c_str());
        return copy_in ? start_in(dir.path(), first, second)
                       : launch(dir.path(), L" --mirror-pair " + first + L" " + second);
    }

    static std::string digest_hex(const std::wstring &path)
    {
        uint8_t digest[SHA256_BYTES];
        char hex[2 * SHA256_BYTES + 1] = "";
        if (sha256_file(path.c_str(), digest))
            hex_encode(digest, SHA256_BYTES, hex);
        return hex;
    }

    static int count_of(const std::string &text, const std::string &needle)
    {
        int n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            n++;
        return n;
    }
};

}  // namespace

// The player ends on the previous launcher with its window, the state file
// names the refused launcher, the log says why, the next pass leaves it, and
// a later release with a launcher that starts is taken.
TEST_P(SwapRefusal, ThePreviousLauncherStaysAndALaterOneIsTaken)
{
    REQUIRE_RELEASES();
    const RefusalCase &c = GetParam();
    wchar_t own[MAX_PATH];
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::string previous_bytes, bytes;
    ASSERT_TRUE(read_file(own, &previous_bytes));
    const std::string refused = digest_hex(
        wine_path(std::string(KORVANTH_BINARY_DIR "/Korvanth-faults-") + c.name + ".exe"));
    ASSERT_EQ(refused.size(), 64u);

    pid = launch_on(std::string("launcher-") + c.name, true);
    ASSERT_NE(pid, 0u);
    ASSERT_TRUE(logged("swap: the new launcher " + refused, 90000)) << log();
    EXPECT_NE(log().find(c.why), std::string::npos) << log();
    HWND window = launcher_window(c.restarted ? pid : 0, 30000);
    ASSERT_TRUE(window != nullptr) << log();
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner == pid, !c.restarted);
    ASSERT_TRUE(read_file(dir / L"Korvanth.exe", &bytes));
    EXPECT_TRUE(bytes == previous_bytes) << "Korvanth.exe is the previous launcher";
    EXPECT_FALSE(file_exists(dir / L"Korvanth.swap"));
    EXPECT_EQ(update_test::refused_launcher_hex(dir.path()), refused);
    if (c.restarted) {
        EXPECT_TRUE(logged("swap: started again in place of a new launcher that could not start"))
            << "the helper started it to tell the player\n" << log();
    }
    // The previous launcher's pass leaves the refused launcher where it is.
    EXPECT_TRUE(logged("swap: the release's launcher could not start here before")) << log();
    EXPECT_EQ(count_of(log(), "launcher update: "), 1) << log();

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_within(owner, 20000), 0u) << log();
    unsigned long later = launch_on("selfupdate", false);
    ASSERT_NE(later, 0u);
    HWND swapped = launcher_window(later, 60000, dir / L"Korvanth.swap");
    ASSERT_TRUE(swapped != nullptr) << log();
    std::string built;
    ASSERT_TRUE(read_file(launcher_exe(), &built));
    EXPECT_TRUE(wait_until(
        [&] { return read_file(dir / L"Korvanth.exe", &bytes) && bytes == built; }, 10000))
        << log();
    DWORD next = 0;
    GetWindowThreadProcessId(swapped, &next);
    PostMessageW(swapped, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_within(next, 20000), 0u);
}

const RefusalCase REFUSALS[] = {
    // Ends itself as a launcher; its swap helper runs and starts the
    // previous launcher again.
    {"crash", " ended at start with exit code 3221225781 (0xC0000135)", true},
    // Never shows a window: given up after the time limit.
    {"hang", " gave no sign of a start within 30 s", true},
    // Cannot run at all, not even as the helper: the previous launcher,
    // still open, refuses it itself.
    {"dead", " (as the swap helper) ended at start with exit code 3221225781", false},
};

INSTANTIATE_TEST_SUITE_P(Releases, SwapRefusal, ::testing::ValuesIn(REFUSALS),
                         [](const ::testing::TestParamInfo<RefusalCase> &info) {
                             return std::string(info.param.name);
                         });

// Closing during a download: the window goes at once, the process ends once
// the pass has stopped, and the state file vouches only for what is right.
TEST_F(LauncherProcess, ClosingDuringADownloadKeepsTheVerifiedRecords)
{
    REQUIRE_RELEASES();
    start(update_test::slow_mirror("big"), update_test::dead_mirror());
    HWND window = launcher_window(0, 20000);
    ASSERT_TRUE(window != nullptr);
    ASSERT_TRUE(logged("check: ")) << log();
    click(window, 745, 535);  // UPDATE
    ASSERT_TRUE(wait_until([&] { return file_exists(dir / L"data/big.pak.part"); }, 20000)) << log();

    click(window, 789, 25);  // the close glyph
    EXPECT_TRUE(wait_until([&] { return !IsWindowVisible(window); }, 2000)) << "hidden at once";
    EXPECT_EQ(exit_code_within(pid, 15000), 0u) << log();

    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_GE(state.count, 1) << "system/dv.exe landed before the large file";
    for (int i = 0; i < state.count; i++) {
        const StateEntry &e = state.entries[i];
        uint8_t digest[SHA256_BYTES];
        std::wstring path = dir / widen(e.path);
        ASSERT_TRUE(sha256_file(path.c_str(), digest)) << e.path;
        EXPECT_EQ(memcmp(digest, e.digest, SHA256_BYTES), 0) << e.path;
    }
    state_free(&state);
}

// On a folder that a launcher runs on, the console driver does nothing and
// says so with an exit code of its own; a second launcher brings the first
// one's window forward and ends, leaving one line in the log and nothing
// else: not even the move of a log past its size limit, which is the
// running launcher's to make.
TEST_F(LauncherProcess, AFolderWithALauncherTakesNoOther)
{
    REQUIRE_RELEASES();
    start(update_test::mirror("main"), update_test::dead_mirror());
    HWND window = launcher_window(0, 20000);
    ASSERT_TRUE(window != nullptr);
    ASSERT_TRUE(logged("check: ")) << log();  // the pass has saved its state
    std::string files = listing(dir.path());
    // Other spellings of the folder: letter case is no other folder.
    std::wstring lower = dir.path(), upper = dir.path();
    for (size_t i = 0; i < lower.size(); i++)
        lower[i] = towlower(lower[i]), upper[i] = towupper(upper[i]);
    TempDir out;
    update_test::CliRun cli = update_test::run_driver(
        wine_path(KORVANTH_BINARY_DIR "/korvanth-cli.exe"),
        L"--update --mirror-pair " + update_test::mirror("main") + L" " +
            update_test::dead_mirror() + L" " + in_quotes(lower),
        out / L"cli.txt");
    EXPECT_EQ(cli.code, 7u) << cli.out;
    EXPECT_EQ(cli.out, "korvanth-cli: " + narrow(lower) +
                           " is in use by a Korvanth launcher or another korvanth-cli; "
                           "nothing done\n");

    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(wait_until([&] { return IsIconic(window) != 0; }, 2000));
    // Another window in front, so that coming forward is seen.
    HWND front = CreateWindowExW(0, L"STATIC", L"in front", WS_POPUP | WS_VISIBLE, 0, 0, 100,
                                 100, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(front);
    ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == front; }, 2000));
    std::string filler(1100000, '.');
    ASSERT_TRUE(write_file(dir / L"Korvanth.log", log() + filler + "\r\n"));
    unsigned long second = launch(upper);
    EXPECT_EQ(exit_code_within(second, 3000), 0u);
    EXPECT_TRUE(wait_until([&] { return !IsIconic(window); }, 2000)) << "still minimised";
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == window; }, 2000));
    DestroyWindow(front);
    EXPECT_EQ(launcher_window(pid, 0), nullptr) << "a second window";

    std::string text = log();
    EXPECT_TRUE(once(text, "Z launcher already running in this folder\r\n")) << text;
    EXPECT_TRUE(once(text, "launcher " KORVANTH_VERSION " start")) << text;
    EXPECT_NE(text.find(filler), std::string::npos) << "the log was moved aside";
    EXPECT_EQ(listing(dir.path()), files) << "the driver or the second launcher wrote";
}

TEST_F(LauncherProcess, LaunchersOfTwoFoldersRunSideBySide)
{
    std::wstring other = dir / L"other";
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    start(update_test::dead_mirror(), update_test::dead_mirror());
    unsigned long second = start_in(other, update_test::dead_mirror(), update_test::dead_mirror());
    EXPECT_TRUE(launcher_window(0, 20000) != nullptr);
    HWND beside = launcher_window(0, 20000, other + L"\\Korvanth.exe");
    ASSERT_TRUE(beside != nullptr);
    EXPECT_EQ(exit_code_within(pid, 0), 259u) << "the first folder's launcher ended";
    PostMessageW(beside, WM_CLOSE, 0, 0);  // before the folder goes
    EXPECT_EQ(exit_code_within(second, 20000), 0u);
}

// A folder held by a process without a window (this test, as the console
// driver holds it): a launcher ends after a box; one that the swap starts
// waits for the one it follows, whose window may still be up while it ends.
TEST_F(LauncherProcess, AFolderHeldWithoutAWindow)
{
    FolderLock lock = {};
    ASSERT_EQ(folder_lock_take(&lock, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    const std::wstring dead = update_test::dead_mirror();
    unsigned long refused = start_in(dir.path(), dead, dead);
    std::wstring text;
    EXPECT_TRUE(close_message_box(refused, 20000, nullptr, &text));
    EXPECT_EQ(text, L"Another Korvanth program is updating this folder. Please start the "
                    L"launcher again when it has finished.");
    EXPECT_EQ(exit_code_within(refused, 5000), (DWORD)LAUNCHER_EXIT_FOLDER_BUSY);
    EXPECT_FALSE(file_exists(dir / L"Korvanth.log"));

    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"KorvanthLauncher";
    RegisterClassW(&wc);
    HWND ending = CreateWindowExW(0, L"KorvanthLauncher", L"ending", WS_POPUP | WS_VISIBLE, 0, 0,
                                  100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(ending != nullptr);
    wchar_t name[FOLDER_LOCK_NAME_CHARS];
    ASSERT_TRUE(folder_lock_name(dir.path().c_str(), name, FOLDER_LOCK_NAME_CHARS));
    SetPropW(ending, name, (HANDLE)1);
    pid = launch(dir.path(), L" --mirror-pair " + dead + L" " + dead + L" --swapped");
    Sleep(1500);
    RemovePropW(ending, name);
    DestroyWindow(ending);
    folder_lock_release(&lock);
    EXPECT_TRUE(launcher_window(0, 20000) != nullptr) << log();
    EXPECT_TRUE(once(log(), "launcher " KORVANTH_VERSION " start")) << log();
}

// A closed launcher ends within a few seconds whatever its threads were
// doing, lets go of its folder, and ends the ordinary way when its threads
// could end: a pass trickling in stops at its next block; a poll that a
// silent web site holds cannot stop, and the process ends without it.
namespace {

struct ExitCase {
    const char *name;
    bool trickling;   // an update under way on a mirror that trickles
    const char *web;  // the web site's route: answered at once, or held silent
    bool forced;      // a thread outlives the window's wait
};

const ExitCase EXITS[] = {
    {"TricklingTransfer", true, "", false},
    {"SilentWebSite", false, "mute/", true},
};

void PrintTo(const ExitCase &c, std::ostream *os)
{
    *os << c.name;
}

class LauncherExit : public LauncherProcess, public ::testing::WithParamInterface<ExitCase> {};

}  // namespace

TEST_P(LauncherExit, EndsWithinFiveSecondsAndLetsGoOfTheFolder)
{
    const ExitCase &c = GetParam();
    if (c.trickling)
        REQUIRE_RELEASES();
    const std::string site = KORVANTH_BINARY_DIR "/net-servers/tree/launcher-exit/api/";
    ASSERT_TRUE(make_parent_dirs(wine_path(site + "server/status").c_str()));
    ASSERT_TRUE(
        write_file(wine_path(site + "server/status"), "{\"gameServer\":{\"online\":true}}"));
    ASSERT_TRUE(write_file(wine_path(site + "feed"), "[]"));
    std::wstring web = *c.web ? net_test::fault_url("https", std::string(c.web) + "launcher-exit/")
                              : net_test::mirror_url("https", "launcher-exit/");
    std::wstring first = c.trickling ? update_test::paced_objects_mirror(1024, 200, "big")
                                     : update_test::dead_mirror();
    pid = start_in(dir.path(), first, update_test::dead_mirror(), L" --web-url " + web);
    ASSERT_NE(pid, 0u);
    HWND window = launcher_window(0, 20000);
    ASSERT_TRUE(window != nullptr);
    if (c.trickling) {
        ASSERT_TRUE(logged("check: ")) << log();
        click(window, 745, 535);  // UPDATE
        ASSERT_TRUE(wait_until([&] { return file_exists(dir / L"data/big.pak.part"); }, 20000))
            << log();
    } else {
        Sleep(500);  // the poll has begun
    }

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_within(pid, 5000), 0u) << log();
    FolderLock lock = {};
    EXPECT_EQ(folder_lock_take(&lock, dir.path().c_str(), 0), FOLDER_LOCK_OWNED);
    folder_lock_release(&lock);
    EXPECT_EQ(log().find("exit: a thread of the window still runs") != std::string::npos,
              c.forced)
        << log();
}

INSTANTIATE_TEST_SUITE_P(Closing, LauncherExit, ::testing::ValuesIn(EXITS),
                         [](const ::testing::TestParamInfo<ExitCase> &info) {
                             return std::string(info.param.name);
                         });
