#include "support/support.h"

#include <windows.h>

namespace testing_support {

std::wstring in_quotes(const std::wstring &path)
{
    return L"\"" + path + L"\"";
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

unsigned long Job::start(const std::wstring &command_line, const std::wstring &work_dir)
{
    std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
    cmd.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        work_dir.c_str(), &si, &pi))
        return 0;
    AssignProcessToJobObject(job_, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    processes_.push_back(pi.hProcess);
    return pi.dwProcessId;
}

bool Job::wait_last(unsigned timeout_ms)
{
    return WaitForSingleObject(processes_.back(), timeout_ms) == WAIT_OBJECT_0;
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
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        if (QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info,
                                      sizeof info, nullptr) &&
            info.ActiveProcesses == 0)
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
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
            out.push_back((unsigned long)ids.list.ProcessIdList[i]);
    return out;
}

}  // namespace testing_support
