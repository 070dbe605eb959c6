// The launcher as a process of its own, in a scratch folder: its window
// hands a new launcher to the swap, and closing it mid-download keeps every
// verified record. This program plays the launcher (main.cpp).
#include "drive.h"
#include "harness.h"

#include "content/content.h"
#include "manifest/manifest.h"
#include "support/support.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace testing_support;
using namespace ui_test;

namespace {

class LauncherProcess : public ::testing::Test {
protected:
    TempDir dir;
    PROCESS_INFORMATION process = {};

    void start(const std::wstring &first, const std::wstring &second)
    {
        wchar_t own[MAX_PATH];
        GetModuleFileNameW(nullptr, own, MAX_PATH);
        ASSERT_TRUE(CopyFileW(own, (dir / L"Korvanth.exe").c_str(), FALSE));
        // An installed folder: the launcher runs where it stands.
        ASSERT_TRUE(write_file(dir / L"Korvanth.ini", ""));
        std::wstring command = L"\"" + (dir / L"Korvanth.exe") + L"\" --launcher-role --mirror-pair " +
                               first + L" " + second;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   dir.path().c_str(), &si, &process));
    }

    void TearDown() override
    {
        // Every launcher window still open, this test's or a swapped one's.
        while (HWND w = wait_for_window(L"KorvanthLauncher", 0, 0)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            end_process(pid);
        }
        if (process.hProcess) {
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }

    static void end_process(DWORD pid)
    {
        HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        if (!p)
            return;
        TerminateProcess(p, 9);
        WaitForSingleObject(p, 10000);
        CloseHandle(p);
    }

    DWORD exit_code_within(unsigned ms)
    {
        DWORD code = 259;
        if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        return code;
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
    EXPECT_EQ(exit_code_within(60000), 0u) << log();

    // The swap replaced this program by the release's launcher and started it.
    HWND swapped = wait_for_window(L"KorvanthLauncher", 0, 30000);
    ASSERT_TRUE(swapped != nullptr) << log();
    DWORD pid = 0;
    GetWindowThreadProcessId(swapped, &pid);
    EXPECT_NE(pid, process.dwProcessId);
    std::string installed, built;
    ASSERT_TRUE(read_file(dir / L"Korvanth.exe", &installed));
    ASSERT_TRUE(read_file(launcher_exe(), &built));
    EXPECT_TRUE(installed == built) << "Korvanth.exe is the release's launcher";

    HANDLE next = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(swapped, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(next, 20000), WAIT_OBJECT_0) << "the new launcher ends when closed";
    CloseHandle(next);
    std::string text = log();
    size_t first = text.find("launcher 0.2.7 start");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(text.find("launcher 0.2.7 start", first + 1), std::string::npos) << text;
}

// Closing during a download: the window goes at once, the process ends once
// the pass has stopped, and the state file vouches only for what is right.
TEST_F(LauncherProcess, ClosingDuringADownloadKeepsTheVerifiedRecords)
{
    REQUIRE_RELEASES();
    start(update_test::slow_mirror("big"), update_test::dead_mirror());
    HWND window = wait_for_window(L"KorvanthLauncher", process.dwProcessId, 20000);
    ASSERT_TRUE(window != nullptr);
    ASSERT_TRUE(logged("check: ")) << log();
    click(window, 745, 535);  // UPDATE
    ASSERT_TRUE(wait_until([&] { return file_exists(dir / L"data/big.pak.part"); }, 20000)) << log();

    click(window, 789, 25);  // the close glyph
    EXPECT_TRUE(wait_until([&] { return !IsWindowVisible(window); }, 2000)) << "hidden at once";
    EXPECT_EQ(exit_code_within(15000), 0u) << log();

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
