// Starting the game client through the shell and watching it until it ends.
//
// The shell (not CreateProcess) starts the game so that a client that asks
// for elevation or carries a zone mark gets the system's usual prompt, owned
// by the launcher window. One flag, changed only by interlocked operations,
// says that a game started here runs; the watcher clears it before it posts
// the exit, so the window already sees the game as ended when the message
// arrives. The game outlives a launcher that is closed: the watcher then
// stops watching (game_watch_end) and ends before the process does.
#include "game/game.h"

#include "base/base.h"

#include <windows.h>
#include <shellapi.h>

static_assert(WM_LAUNCHER_STATUS == WM_APP + 1 && WM_LAUNCHER_GAME_EXITED == WM_APP + 5 &&
                  WM_LAUNCHER_GRAPHICS == WM_APP + 9,
              "private messages are WM_APP + 1 to + 9");

namespace {

volatile LONG g_game_running = 0;
// The watcher of the running game and the event that ends its watch early;
// touched only by the window's thread (game_start, game_watch_end).
HANDLE g_watch_thread;
HANDLE g_watch_stop;

}  // namespace

int game_exe_present(const wchar_t *game_folder)
{
    wchar_t exe[CLIENT_PATH_CHARS];
    if (!path_join(exe, CLIENT_PATH_CHARS, game_folder, L"system\\dv.exe")[0])
        return 0;
    return file_info(exe, nullptr, nullptr);
}

int game_is_running(void)
{
    return g_game_running != 0;
}

unsigned long __stdcall game_watch_thread(void *param)
{
    GameWatch *watch = (GameWatch *)param;
    HANDLE ends[2] = {(HANDLE)watch->process, (HANDLE)watch->stop};
    if (WaitForMultipleObjects(watch->stop ? 2 : 1, ends, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // The launcher is ending and leaves the game running: no exit to report.
        CloseHandle((HANDLE)watch->process);
        HeapFree(GetProcessHeap(), 0, watch);
        return 0;
    }
    DWORD code = 0;
    GetExitCodeProcess((HANDLE)watch->process, &code);
    CloseHandle((HANDLE)watch->process);
    InterlockedExchange(&g_game_running, 0);
    PostMessageW((HWND)watch->window, WM_LAUNCHER_GAME_EXITED, (WPARAM)code, 0);
    HeapFree(GetProcessHeap(), 0, watch);
    return 0;
}

int game_start(void *main_window, const wchar_t *game_folder)
{
    if (InterlockedCompareExchange(&g_game_running, 1, 0) != 0)
        return 0;

    wchar_t exe[CLIENT_PATH_CHARS];
    wchar_t work_dir[CLIENT_PATH_CHARS];
    path_join(exe, CLIENT_PATH_CHARS, game_folder, L"system\\dv.exe");
    path_join(work_dir, CLIENT_PATH_CHARS, game_folder, L"system");

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = (HWND)main_window;
    info.lpVerb = L"open";
    info.lpFile = exe;
    info.lpDirectory = work_dir;
    info.nShow = SW_SHOWNORMAL;
    BOOL ok = exe[0] && work_dir[0] && ShellExecuteExW(&info);

    if (ok && info.hProcess) {
        log_printf("dv.exe started, pid %lu", GetProcessId(info.hProcess));
        GameWatch *watch = (GameWatch *)HeapAlloc(GetProcessHeap(), 0, sizeof(GameWatch));
        if (!watch) {
            // The game runs on, unwatched: no exit report, no trial judged.
            CloseHandle(info.hProcess);
            InterlockedExchange(&g_game_running, 0);
            return 1;
        }
        watch->window = main_window;
        watch->process = info.hProcess;
        // The watcher of the last game has posted its exit and is ending.
        game_watch_end(INFINITE, 0);
        if (g_watch_stop)
            ResetEvent(g_watch_stop);
        else
            g_watch_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        watch->stop = g_watch_stop;
        HANDLE thread = CreateThread(nullptr, 0, game_watch_thread, watch, 0, nullptr);
        if (thread) {
            g_watch_thread = thread;
        } else {
            CloseHandle(info.hProcess);
            HeapFree(GetProcessHeap(), 0, watch);
            InterlockedExchange(&g_game_running, 0);
        }
        return 1;
    }

    // A folder too long for the paths is reported like a missing file.
    DWORD error = exe[0] && work_dir[0] ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    // The shell's own code in hInstApp (2 file not found, 3 path not found,
    // 5 access denied, ... the system's numbers for these) is the reliable
    // one for a missing client: some shells leave the thread's error at 0,
    // or at whatever their error box last set, and report only there.
    INT_PTR shell_code = (INT_PTR)info.hInstApp;
    if (!ok && exe[0] && error != ERROR_CANCELLED && shell_code > 0 && shell_code <= 32 &&
        (error == 0 || shell_code == SE_ERR_FNF || shell_code == SE_ERR_PNF))
        error = (DWORD)shell_code;
    log_wprintf(L"dv.exe start failed (%lu): %s", error, exe);
    if (info.hProcess)
        CloseHandle(info.hProcess);
    InterlockedExchange(&g_game_running, 0);
    return error == ERROR_CANCELLED ? -1 : 0;
}

int game_watch_end(uint32_t wait_ms, int stop)
{
    if (stop && g_watch_stop)
        SetEvent(g_watch_stop);
    if (g_watch_thread) {
        if (WaitForSingleObject(g_watch_thread, wait_ms) != WAIT_OBJECT_0)
            return 0;
        CloseHandle(g_watch_thread);
        g_watch_thread = nullptr;
    }
    if (stop && g_watch_stop) {
        CloseHandle(g_watch_stop);
        g_watch_stop = nullptr;
    }
    return 1;
}
