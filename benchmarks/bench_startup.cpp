// Start-up to the first complete paint, seen from outside the program: the
// time from just before CreateProcess to the first moment a visible window
// of the program's class has no update region left, i.e. its first WM_PAINT
// has ended (BeginPaint validates the whole window, and nothing has been
// invalidated since). Polled about every millisecond; the program itself is
// not changed for the measurement.
//
// Usage:
//   bench_startup paint CLASS FOLDER COMMAND_LINE
//       Starts COMMAND_LINE in FOLDER, prints "paint: S s" (or "paint:
//       none" after 30 s), then closes the window and waits for the program.
//   bench_startup wait CLASS      waits up to 30 s for a visible window
//   bench_startup close CLASS     closes it and waits for its program to end
// Exit code 0 on success, 1 on bad usage or when the window did not come.
#include <windows.h>

#include <stdio.h>

#include "bench_clock.h"

namespace {

const double WINDOW_WAIT_S = 30.0;
const DWORD EXIT_WAIT_MS = 10000;

// The visible top-level window of `cls` (of process `pid` unless 0), or null.
HWND visible_window(const wchar_t *cls, DWORD pid)
{
    for (HWND w = FindWindowExW(nullptr, nullptr, cls, nullptr); w;
         w = FindWindowExW(nullptr, w, cls, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if ((pid == 0 || owner == pid) && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

// Closes `window` as a player would and waits for its process to end; a
// process still running after EXIT_WAIT_MS is ended.
void close_and_wait(HWND window, HANDLE process)
{
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, EXIT_WAIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process, 1);
}

int time_paint(const wchar_t *cls, const wchar_t *folder, const wchar_t *command)
{
    wchar_t line[2048];
    lstrcpynW(line, command, 2048);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    double start = now_seconds();
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, folder, &si, &pi)) {
        printf("paint: cannot start (%lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);
    HWND window = nullptr;
    double painted = 0;
    while (now_seconds() - start < WINDOW_WAIT_S) {
        window = window ? window : visible_window(cls, pi.dwProcessId);
        if (window && !GetUpdateRect(window, nullptr, FALSE)) {
            painted = now_seconds();
            break;
        }
        Sleep(1);
    }
    if (painted > 0)
        printf("paint: %.4f s\n", painted - start);
    else
        printf("paint: none\n");
    if (window)
        close_and_wait(window, pi.hProcess);
    else
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    return painted > 0 ? 0 : 1;
}

HWND wait_window(const wchar_t *cls)
{
    double start = now_seconds();
    HWND window;
    while (!(window = visible_window(cls, 0)) && now_seconds() - start < WINDOW_WAIT_S)
        Sleep(20);
    return window;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && !lstrcmpW(argv[1], L"paint"))
        return time_paint(argv[2], argv[3], argv[4]);
    if (argc == 3 && !lstrcmpW(argv[1], L"wait"))
        return wait_window(argv[2]) ? 0 : 1;
    if (argc == 3 && !lstrcmpW(argv[1], L"close")) {
        HWND window = wait_window(argv[2]);
        if (!window)
            return 1;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        if (!process) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        }
        close_and_wait(window, process);
        CloseHandle(process);
        return 0;
    }
    fprintf(stderr, "usage: bench_startup paint CLASS FOLDER COMMAND_LINE | wait CLASS | "
                    "close CLASS\n");
    return 1;
}
