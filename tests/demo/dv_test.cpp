// The demo game client (demo/game/dv.cpp) as scripts/demo publishes it: it
// must show what the launcher put into its folder, end with 0, and refuse a
// bad argument without opening a window.
#include "support/support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace testing_support;

namespace {

std::wstring demo_game_exe()
{
    return wine_path(KORVANTH_BINARY_DIR "/demo-game/dv.exe");
}

struct WindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK find_game_window(HWND window, LPARAM param)
{
    WindowSearch *search = (WindowSearch *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t cls[64];
    if (owner == search->pid && GetClassNameW(window, cls, 64) && !lstrcmpW(cls, L"DrumveilDemo")) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Starts the game copied into `client`/system with `args`; reads the title of
// its window (empty when none appeared) and its exit code.
bool run_game(const TempDir &client, const std::wstring &args, std::wstring *title,
              DWORD *exit_code)
{
    CreateDirectoryW((client / L"system").c_str(), nullptr);
    std::wstring exe = client / L"system/dv.exe";
    if (!CopyFileW(demo_game_exe().c_str(), exe.c_str(), FALSE))
        return false;
    std::wstring command = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        (client / L"system").c_str(), &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    title->clear();
    for (int i = 0; i < 100 && title->empty(); i++) {
        WindowSearch search = {pi.dwProcessId, nullptr};
        EnumWindows(find_game_window, (LPARAM)&search);
        wchar_t text[512];
        if (search.found && GetWindowTextW(search.found, text, 512) > 0)
            *title = text;
        else if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0)
            break;
    }
    bool ended = WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(pi.hProcess, 99);
    GetExitCodeProcess(pi.hProcess, exit_code);
    CloseHandle(pi.hProcess);
    return ended;
}

struct FolderCase {
    const char *why;
    bool interface_hud, stock_hud, dxvk;
    const wchar_t *title;
};

const FolderCase folder_cases[] = {
    {"stock files only", false, true, false,
     L"Drumveil demo - Direct3D 9 renderer, Stock HUD"},
    {"both HUDs (custom interface on): the interface one wins, with the dxvk set", true, true,
     true, L"Drumveil demo - DXVK renderer, Custom HUD"},
    {"an empty client", false, false, false,
     L"Drumveil demo - Direct3D 9 renderer, no HUD files"},
};

TEST(DemoGame, ShowsWhatItsFolderHoldsAndEndsWithZero)
{
    for (const FolderCase &c : folder_cases) {
        SCOPED_TRACE(c.why);
        TempDir client;
        CreateDirectoryW((client / L"system").c_str(), nullptr);
        CreateDirectoryW((client / L"interface").c_str(), nullptr);
        CreateDirectoryW((client / L"stock").c_str(), nullptr);
        if (c.interface_hud) {
            ASSERT_TRUE(write_file(client / L"interface/hud.cfg", "Custom HUD\r\nline 2\r\n"));
        }
        if (c.stock_hud) {
            ASSERT_TRUE(write_file(client / L"stock/hud.cfg", "Stock HUD\n"));
        }
        if (c.dxvk) {
            ASSERT_TRUE(write_file(client / L"system/d3d9_dxvk.dll", "stand-in"));
        }
        std::wstring title;
        DWORD code = 12345;
        ASSERT_TRUE(run_game(client, L"--seconds 1", &title, &code));
        EXPECT_EQ(title, c.title);
        EXPECT_EQ(code, 0u);
    }
}

TEST(DemoGame, RefusesBadArgumentsWithoutAWindow)
{
    const wchar_t *bad[] = {L"--seconds 0", L"--seconds 61", L"--seconds 2x", L"--seconds",
                            L"--fullscreen"};
    for (const wchar_t *args : bad) {
        SCOPED_TRACE(narrow(args));
        TempDir client;
        std::wstring title;
        DWORD code = 0;
        ASSERT_TRUE(run_game(client, args, &title, &code));
        EXPECT_EQ(title, L"");
        EXPECT_EQ(code, 2u);
    }
}

}  // namespace
