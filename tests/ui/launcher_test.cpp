// The launcher as a process of its own, in a scratch folder: its window
// hands a new launcher to the swap, and closing it mid-download keeps every
// verified record. This program plays the launcher (main.cpp).
#include "drive.h"
#include "harness.h"

#include "content/content.h"
#include "korvanth_config.h"
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
        wchar_t own[MAX_PATH];
        GetModuleFileNameW(nullptr, own, MAX_PATH);
        ASSERT_TRUE(CopyFileW(own, (dir / L"Korvanth.exe").c_str(), FALSE));
        // An installed folder: the launcher runs where it stands.
        ASSERT_TRUE(write_file(dir / L"Korvanth.ini", ""));
        pid = job.start(in_quotes(dir / L"Korvanth.exe") + L" --launcher-role --mirror-pair " +
                            first + L" " + second,
                        dir.path());
        ASSERT_NE(pid, 0u);
    }

    // A launcher window of a process running this case's Korvanth.exe,
    // other than process `not_of`. The process that the swap starts is found
    // by its program: Wine's job lists need not hold grandchildren.
    HWND launcher_window(unsigned long not_of, unsigned timeout_ms)
    {
        Search search = {dir / L"Korvanth.exe", not_of, nullptr};
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
    // The swap replaces this program by the release's launcher and starts it.
    HWND swapped = launcher_window(pid, 60000);
    ASSERT_TRUE(swapped != nullptr) << log();
    EXPECT_EQ(exit_code_within(pid, 10000), 0u) << log();
    DWORD next = 0;
    GetWindowThreadProcessId(swapped, &next);
    std::string installed, built;
    ASSERT_TRUE(read_file(dir / L"Korvanth.exe", &installed));
    ASSERT_TRUE(read_file(launcher_exe(), &built));
    EXPECT_TRUE(installed == built) << "Korvanth.exe is the release's launcher";

    PostMessageW(swapped, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_within(next, 20000), 0u) << "the new launcher ends when closed";
    std::string text = log();
    size_t first = text.find("launcher " KORVANTH_VERSION " start");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(text.find("launcher " KORVANTH_VERSION " start", first + 1), std::string::npos)
        << text;
}

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
