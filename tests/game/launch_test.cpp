// The game start through the shell and the exit watch, with a real process:
// a stand-in client copied to "system\dv.exe" of a scratch game folder.
#include "base/base.h"
#include "game/game.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>

#include <string>
#include <thread>

using namespace testing_support;

namespace {

// A scratch game folder whose log is open, with a window to receive the
// watcher's message.
class GameStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_open(dir.path().c_str());
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KorvanthGameTest";
        RegisterClassW(&wc);
        window = CreateWindowW(L"KorvanthGameTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override
    {
        // A game still running here would outlive the test: let it end.
        write_file(dir / L"system/release", "");
        if (game_is_running())
            wait_exit(nullptr);
        DestroyWindow(window);
    }

    // Installs the stand-in as system\dv.exe with its plan.
    void install_game(const std::string &plan)
    {
        CreateDirectoryW((dir / L"system").c_str(), nullptr);
        std::wstring fake = wine_path(KORVANTH_BINARY_DIR "/tests/fake_game.exe");
        ASSERT_TRUE(CopyFileW(fake.c_str(), (dir / L"system/dv.exe").c_str(), FALSE));
        ASSERT_TRUE(write_file(dir / L"system/fake_game.txt", plan));
    }

    // Pumps messages until WM_LAUNCHER_GAME_EXITED for our window arrives.
    bool wait_exit(WPARAM *code)
    {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 60000) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.hwnd == window && msg.message == WM_LAUNCHER_GAME_EXITED &&
                    msg.lParam == 0) {
                    if (code)
                        *code = msg.wParam;
                    return true;
                }
                DispatchMessageW(&msg);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        }
        return false;
    }

    std::string log()
    {
        std::string text;
        read_file(dir / L"Korvanth.log", &text);
        return text;
    }

    TempDir dir;
    HWND window = nullptr;
};

}  // namespace

TEST_F(GameStart, ReportsPidAndExitCodeAndRefusesSecondStart)
{
    install_game("7 release");
    ASSERT_EQ(game_start(window, dir.path().c_str()), 1);
    EXPECT_TRUE(game_is_running());
    // While it runs, a second start does nothing and logs nothing.
    EXPECT_EQ(game_start(window, dir.path().c_str()), 0);

    std::string pid;
    for (int i = 0; i < 500 && (!read_file(dir / L"system/pid.txt", &pid) || pid.empty()); i++)
        Sleep(20);
    ASSERT_FALSE(pid.empty()) << "the game did not start in its system folder";
    std::string text = log();
    EXPECT_NE(text.find("Z dv.exe started, pid " + pid + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("dv.exe started", text.find("dv.exe started") + 1), std::string::npos);
    EXPECT_TRUE(game_is_running());

    ASSERT_TRUE(write_file(dir / L"system/release", ""));
    WPARAM code = 0;
    ASSERT_TRUE(wait_exit(&code));
    EXPECT_EQ(code, 7u);
    // The flag is clear by the time the window hears of the exit.
    EXPECT_FALSE(game_is_running());

    // And the next start goes ahead.
    ASSERT_TRUE(write_file(dir / L"system/fake_game.txt", "0 0"));
    ASSERT_EQ(game_start(window, dir.path().c_str()), 1);
    ASSERT_TRUE(wait_exit(&code));
    EXPECT_EQ(code, 0u);
}

TEST_F(GameStart, AccessViolationIsReportedWithItsCode)
{
    install_game("crash");
    ASSERT_EQ(game_start(window, dir.path().c_str()), 1);
    WPARAM code = 0;
    ASSERT_TRUE(wait_exit(&code));
    EXPECT_EQ(code, 3221225477u);
    EXPECT_FALSE(game_is_running());
}

TEST_F(GameStart, MissingClientIsLoggedWithTheShellError)
{
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    // The shell reports the missing file in a box of its own, owned by the
    // window, before the call returns.
    bool box_seen = false;
    std::thread closer([&] { box_seen = close_message_box(GetCurrentProcessId(), 30000); });
    EXPECT_EQ(game_start(window, dir.path().c_str()), 0);
    closer.join();
    EXPECT_TRUE(box_seen);
    EXPECT_FALSE(game_is_running());
    std::string expected =
        "Z dv.exe start failed (2): " + narrow(dir / L"system/dv.exe") + "\r\n";
    EXPECT_NE(log().find(expected), std::string::npos) << log();
    // The failed start left the flag clear: a start with the client in place works.
    install_game("0 0");
    EXPECT_EQ(game_start(window, dir.path().c_str()), 1);
    EXPECT_TRUE(wait_exit(nullptr));
}

TEST(GameExePresent, OnlyAFileCounts)
{
    TempDir dir;
    EXPECT_FALSE(game_exe_present(dir.path().c_str()));
    ASSERT_TRUE(CreateDirectoryW((dir / L"system").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir / L"system/dv.exe").c_str(), nullptr));
    EXPECT_FALSE(game_exe_present(dir.path().c_str()));
    ASSERT_TRUE(RemoveDirectoryW((dir / L"system/dv.exe").c_str()));
    ASSERT_TRUE(write_file(dir / L"system/dv.exe", "MZ"));
    EXPECT_TRUE(game_exe_present(dir.path().c_str()));
}
