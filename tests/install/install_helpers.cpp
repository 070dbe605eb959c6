#include "install_helpers.h"

#include <winternl.h>

#include <vector>

namespace install_testing {

namespace {

struct WindowSearch {
    DWORD pid;
    const wchar_t *cls;
    const wchar_t *title;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM param)
{
    WindowSearch *search = (WindowSearch *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t cls[64] = {}, title[128] = {};
    GetClassNameW(window, cls, 64);
    if (owner != search->pid || lstrcmpW(cls, search->cls) || !IsWindowVisible(window))
        return TRUE;
    if (search->title) {
        InternalGetWindowText(window, title, 128);
        if (lstrcmpW(title, search->title))
            return TRUE;
    }
    search->found = window;
    return FALSE;
}

}  // namespace

HWND wait_window(unsigned long pid, const wchar_t *cls, const wchar_t *title,
                 unsigned timeout_ms)
{
    DWORD start = GetTickCount();
    WindowSearch search = {(DWORD)pid, cls, title, nullptr};
    for (;;) {
        EnumWindows(match_window, (LPARAM)&search);
        if (search.found || GetTickCount() - start >= timeout_ms)
            return search.found;
        Sleep(20);
    }
}

HWND wait_install_window(unsigned long pid, unsigned timeout_ms)
{
    return wait_window(pid, L"KorvanthInstall", nullptr, timeout_ms);
}

std::wstring control_text(HWND window, int id)
{
    wchar_t buf[1024] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(window, id), WM_GETTEXT, 1024, (LPARAM)buf, SMTO_ABORTIFHUNG,
                        5000, &ignored);
    return buf;
}

void set_control_text(HWND window, int id, const std::wstring &text)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(window, id), WM_SETTEXT, 0, (LPARAM)text.c_str(),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
}

void press(HWND window, int id)
{
    PostMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0);
}

std::wstring process_command_line(unsigned long pid)
{
    typedef NTSTATUS(WINAPI * QueryProcess)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QueryProcess query = (QueryProcess)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                              "NtQueryInformationProcess");
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    std::wstring line;
    PROCESS_BASIC_INFORMATION basic = {};
    PEB peb = {};
    RTL_USER_PROCESS_PARAMETERS params = {};
    if (query && process &&
        query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0 &&
        ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof params, nullptr)) {
        std::vector<wchar_t> text(params.CommandLine.Length / sizeof(wchar_t) + 1, 0);
        if (ReadProcessMemory(process, params.CommandLine.Buffer, text.data(),
                              params.CommandLine.Length, nullptr))
            line = text.data();
    }
    if (process)
        CloseHandle(process);
    return line;
}

std::wstring upper_case(std::wstring path)
{
    CharUpperBuffW(&path[0], (DWORD)path.size());
    return path;
}

}  // namespace install_testing
