#include "support/support.h"

#include <windows.h>

namespace testing_support {

std::wstring in_quotes(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}

namespace {

// Wine starts its desktop process (explorer.exe /desktop) from whichever
// program opens the first window when none runs, and that program may be in
// a case's job; the desktop then outlives the case's own processes.
bool is_wine_desktop(unsigned long pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    wchar_t image[MAX_PATH];
    DWORD chars = MAX_PATH;
    bool desktop = false;
    if (QueryFullProcessImageNameW(process, 0, image, &chars)) {
        const wchar_t *name = wcsrchr(image, L'\\');
        desktop = lstrcmpiW(name ? name + 1 : image, L"explorer.exe") == 0;
    }
    CloseHandle(process);
    return desktop;
}

struct Closing {
    const std::function<bool(unsigned long)> *ours;
};

BOOL CALLBACK close_if_ours(HWND window, LPARAM param)
{
    const Closing *c = (const Closing *)param;
    wchar_t cls[32];
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (IsWindowVisible(window) && GetClassNameW(window, cls, 32) &&
        !lstrcmpW(cls, L"KorvanthLauncher") && (*c->ours)(pid))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

void close_launcher_windows(const std::function<bool(unsigned long pid)> &ours)
{
    Closing c = {&ours};
    EnumWindows(close_if_ours, (LPARAM)&c);
}

Job::Job()
{
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

Job::~Job()
{
    TerminateJobObject(job_, 99);
    CloseHandle(job_);
    for (HANDLE p : processes_)
        CloseHandle(p);
}

unsigned long Job::start(const std::wstring &command_line, const std::wstring &work_dir,
                         void *output)
{
    std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
    cmd.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = (HANDLE)output;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, output != nullptr,
                        CREATE_SUSPENDED, nullptr, work_dir.c_str(), &si, &pi))
        return 0;
    AssignProcessToJobObject(job_, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    processes_.push_back(pi.hProcess);
    return pi.dwProcessId;
}

bool Job::wait_last(unsigned timeout_ms)
{
    DWORD start = GetTickCount();
    while (WaitForSingleObject(processes_.back(), 50) != WAIT_OBJECT_0) {
        if (GetTickCount() - start >= timeout_ms)
            return false;
        close_windows();
    }
    return true;
}

void Job::close_windows()
{
    // The processes this job started by name, and whatever the job lists
    // beside them (Wine's lists need not hold every descendant).
    std::vector<unsigned long> ids = running_ids();
    for (HANDLE p : processes_)
        ids.push_back(GetProcessId(p));
    close_launcher_windows([&](unsigned long pid) {
        for (unsigned long id : ids)
            if (id == pid)
                return true;
        return false;
    });
}

unsigned long Job::last_exit_code()
{
    DWORD code = 12345;
    GetExitCodeProcess(processes_.back(), &code);
    return code;
}

bool Job::wait_all(unsigned timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (running_ids().empty())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        close_windows();
        Sleep(50);
    }
}

std::vector<unsigned long> Job::running_ids()
{
    // Room for the few processes a case starts.
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids = {};
    std::vector<unsigned long> out;
    if (QueryInformationJobObject(job_, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; i++)
            if (!is_wine_desktop((unsigned long)ids.list.ProcessIdList[i]))
                out.push_back((unsigned long)ids.list.ProcessIdList[i]);
    return out;
}

}  // namespace testing_support
